#pragma once

// The built-in spreadsheet's workbook as it is held in memory: sheets of cells with values and
// styles, row heights, column widths and merged areas. The automation objects of
// workbook_engine.cpp edit it; workbook_file.cpp writes it as an .xlsx file.

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "export/automation/automation.h"

namespace tavex::automation::model {

inline constexpr std::int32_t kMaxRows = 1048576;
inline constexpr std::int32_t kMaxColumns = 16384;
// One operation on a range touches at most this many cells (a whole column); beyond that the
// in-memory sheet would grow without bound, so the call fails instead.
inline constexpr std::uint64_t kMaxCellsPerOperation = 1u << 20;
inline constexpr std::size_t kMaxTextLength = 32767;    // characters in one cell
inline constexpr std::size_t kMaxSheetNameLength = 31;  // characters
inline constexpr std::size_t kMaxFontNameLength = 31;   // characters
inline constexpr std::size_t kMaxCellStyles = 64000;    // distinct cell formats in a workbook
inline constexpr std::int32_t kMaxRowHeight = 409;      // points
inline constexpr std::int32_t kMaxColumnWidth = 255;    // characters
inline constexpr std::int32_t kMinFontSize = 1;
inline constexpr std::int32_t kMaxFontSize = 409;

// Constants of the spreadsheet object model, as callers pass them.
namespace xl {
inline constexpr std::int32_t kNone = -4142;
inline constexpr std::int32_t kAutomatic = -4105;

inline constexpr std::int32_t kGeneral = 1;
inline constexpr std::int32_t kLeft = -4131;
inline constexpr std::int32_t kCenter = -4108;
inline constexpr std::int32_t kRight = -4152;
inline constexpr std::int32_t kFill = 5;
inline constexpr std::int32_t kJustify = -4130;
inline constexpr std::int32_t kCenterAcrossSelection = 7;
inline constexpr std::int32_t kDistributed = -4117;
inline constexpr std::int32_t kTop = -4160;
inline constexpr std::int32_t kBottom = -4107;

inline constexpr std::int32_t kEdgeLeft = 7;
inline constexpr std::int32_t kEdgeTop = 8;
inline constexpr std::int32_t kEdgeBottom = 9;
inline constexpr std::int32_t kEdgeRight = 10;

inline constexpr std::int32_t kContinuous = 1;
inline constexpr std::int32_t kDash = -4115;
inline constexpr std::int32_t kDashDot = 4;
inline constexpr std::int32_t kDashDotDot = 5;
inline constexpr std::int32_t kDot = -4118;
inline constexpr std::int32_t kDouble = -4119;
inline constexpr std::int32_t kSlantDashDot = 13;

inline constexpr std::int32_t kHairline = 1;
inline constexpr std::int32_t kThin = 2;
inline constexpr std::int32_t kMedium = -4138;
inline constexpr std::int32_t kThick = 4;

inline constexpr std::int32_t kUnderlineSingle = 2;
inline constexpr std::int32_t kUnderlineDouble = -4119;
inline constexpr std::int32_t kUnderlineSingleAccounting = 4;
inline constexpr std::int32_t kUnderlineDoubleAccounting = 5;
}  // namespace xl

// The standard 56-colour palette that ColorIndex values 1..56 select, as 0xRRGGBB.
inline constexpr std::array<std::uint32_t, 56> kPalette = {
    0x000000, 0xFFFFFF, 0xFF0000, 0x00FF00, 0x0000FF, 0xFFFF00, 0xFF00FF, 0x00FFFF,  //  1.. 8
    0x800000, 0x008000, 0x000080, 0x808000, 0x800080, 0x008080, 0xC0C0C0, 0x808080,  //  9..16
    0x9999FF, 0x993366, 0xFFFFCC, 0xCCFFFF, 0x660066, 0xFF8080, 0x0066CC, 0xCCCCFF,  // 17..24
    0x000080, 0xFF00FF, 0xFFFF00, 0x00FFFF, 0x800080, 0x800000, 0x008080, 0x0000FF,  // 25..32
    0x00CCFF, 0xCCFFFF, 0xCCFFCC, 0xFFFF99, 0x99CCFF, 0xFF99CC, 0xCC99FF, 0xFFCC99,  // 33..40
    0x3366FF, 0x33CCCC, 0x99CC00, 0xFFCC00, 0xFF9900, 0xFF6600, 0x666699, 0x969696,  // 41..48
    0x003366, 0x339966, 0x003300, 0x333300, 0x993300, 0x993366, 0x333399, 0x333333,  // 49..56
};

enum class HAlign : std::uint8_t {
    General,
    Left,
    Center,
    Right,
    Fill,
    Justify,
    CenterAcross,
    Distributed
};
enum class VAlign : std::uint8_t { Bottom, Top, Center, Justify, Distributed };
enum class Script : std::uint8_t { None, Superscript, Subscript };
enum class Underline : std::uint8_t { None, Single, Double, SingleAccounting, DoubleAccounting };
// Border line kinds of the file format.
enum class BorderLine : std::uint8_t {
    None,
    Hair,
    Thin,
    Medium,
    Thick,
    Dashed,
    MediumDashed,
    Dotted,
    DashDot,
    MediumDashDot,
    DashDotDot,
    MediumDashDotDot,
    Double,
    SlantDashDot,
};

struct Font {
    std::string name = "Calibri";
    std::int32_t size = 11;
    std::optional<std::uint32_t> rgb;  // 0xRRGGBB; none: automatic
    bool bold = false;
    bool italic = false;
    bool strikethrough = false;
    Script script = Script::None;
    Underline underline = Underline::None;
    auto operator<=>(const Font&) const = default;
};

// One side of a cell, kept in the object model's terms so that LineStyle, Weight and
// ColorIndex can be set one after another in any order.
struct BorderEdge {
    std::int32_t lineStyle = xl::kNone;  // xl::kNone: no line
    std::int32_t weight = xl::kThin;
    std::int32_t colorIndex = 0;  // 0: automatic
    auto operator<=>(const BorderEdge&) const = default;

    BorderLine Line() const;
};

struct CellStyle {
    Font font;
    std::int32_t fillIndex = 0;  // palette index; 0: no fill
    HAlign horizontal = HAlign::General;
    VAlign vertical = VAlign::Bottom;
    BorderEdge left, top, bottom, right;
    auto operator<=>(const CellStyle&) const = default;
};

enum class ValueKind : std::uint8_t { Empty, Number, Time, Date, Text, Boolean };

struct CellValue {
    ValueKind kind = ValueKind::Empty;
    double number = 0;  // Number, Time and Date as serial numbers; Boolean as 0 or 1
    std::string text;   // Text
    bool operator==(const CellValue&) const = default;
};

struct Cell {
    CellValue value;
    CellStyle style;
    // The font of each character of a Text value when some run of it was formatted on its
    // own; empty while every character uses style.font.
    std::vector<Font> characterFonts;
};

// A rectangle of cells, 1-based and inclusive.
struct Area {
    std::int32_t top = 1, left = 1, bottom = 1, right = 1;
    bool operator==(const Area&) const = default;

    std::uint64_t CellCount() const;
    bool Overlaps(const Area& other) const;
    bool Contains(std::int32_t row, std::int32_t column) const;
};

// What a text put into a cell becomes: integers and decimals with a comma ("24,3") numbers,
// "h:m" a time, "d.m.yy" a date in 2000..2099; anything else, including times and dates that
// do not exist, stays text. Empty text empties the cell.
CellValue ParseCellText(std::string_view text);

// "E6", "$E$6", "E6:H6" (either corner first, any letter case) within A1:XFD1048576.
std::optional<Area> ParseAddress(std::string_view address);
std::string ColumnName(std::int32_t column);  // 1 -> "A", 16384 -> "XFD"
std::string AddressOf(const Area& area);      // "$E$6" or "$E$6:$H$6"

// UTF-8: whether text is well formed (and free of NUL, which no cell or name can hold); its
// length in characters; the byte offset where each character starts.
bool IsCleanUtf8(std::string_view text);
std::size_t CharacterCount(std::string_view text);
std::vector<std::size_t> CharacterOffsets(std::string_view text);

// Empty when the spreadsheet accepts name for a sheet, otherwise why not.
std::string SheetNameProblem(std::string_view name);
// Sheet names compare without regard to letter case (Latin and Cyrillic).
bool SameSheetName(std::string_view a, std::string_view b);

// Conversions of object model values; each raises AutomationError for a value it does not know.
std::uint32_t PaletteColor(std::int32_t colorIndex);  // 1..56
std::uint32_t RgbFromColorValue(std::int32_t color);  // red in the low byte -> 0xRRGGBB
HAlign HorizontalAlignmentFrom(std::int32_t value);
VAlign VerticalAlignmentFrom(std::int32_t value);
Underline UnderlineFrom(std::int32_t value);
std::int32_t BorderLineStyleFrom(std::int32_t value);  // unknown styles draw a continuous line
std::int32_t BorderWeightFrom(std::int32_t value);

class Sheet {
public:
    explicit Sheet(std::string sheetName) : name(std::move(sheetName)) {}

    // Every cell of area, created where missing; raises AutomationError for a range larger
    // than kMaxCellsPerOperation.
    void ForEachCell(const Area& area, const std::function<void(Cell&)>& visit);
    // Only the cells of area that exist.
    void ForEachExistingCell(const Area& area, const std::function<void(Cell&)>& visit);

    // Every cell of area but those a merged area covers beyond its top-left cell.
    void SetValue(const Area& area, const CellValue& value);
    void EditStyle(const Area& area, const std::function<void(CellStyle&)>& edit);
    // The font of whole cells, including characters formatted on their own.
    void EditFont(const Area& area, const std::function<void(Font&)>& edit);
    // The characters start..start+length-1 (1-based) of each text cell that reaches start.
    void EditCharacterFonts(const Area& area, std::size_t start, std::size_t length,
                            const std::function<void(Font&)>& edit);
    // One outer edge (xl::kEdgeLeft..xl::kEdgeRight) of the area as a whole.
    void EditBorder(const Area& area, std::int32_t edge,
                    const std::function<void(BorderEdge&)>& edit);
    // Keeps the top-left value; merged areas that overlap the new one are unmerged first.
    void Merge(const Area& area);
    void SetRowHeight(const Area& area, std::int32_t points);
    void SetColumnWidth(const Area& area, std::int32_t characters);

    const Cell* Find(std::int32_t row, std::int32_t column) const;

    std::string name;
    std::map<std::pair<std::int32_t, std::int32_t>, Cell> cells;  // by (row, column)
    std::map<std::int32_t, std::int32_t> rowHeights;              // points, by row
    std::optional<std::int32_t> defaultRowHeight;                 // set for all rows at once
    std::map<std::int32_t, std::int32_t> columnWidths;            // characters, by column
    std::vector<Area> merged;
};

struct Workbook {
    std::vector<Sheet> sheets;
    std::size_t activeSheet = 0;
    bool saved = true;
    bool closed = false;
    std::string fullName;  // where it was last saved
};

// The workbook behind a workbook, worksheet or range object of the built-in spreadsheet, for
// tests and diagnostics; null for any other object.
const Workbook* ModelBehind(const ObjectRef& object);

}  // namespace tavex::automation::model
