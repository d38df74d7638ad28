#include "export/automation/workbook_file.h"

#include <xlsxwriter.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "fileio/safe_file.h"

namespace tavex::automation::model {

namespace {

// Why a save failed; WriteWorkbookFile adds the path.
struct SaveFailure {
    std::string reason;
};
// A reason that names the file already.
struct Refused {
    std::string reason;
};

[[noreturn]] void Fail(std::string reason) {
    throw SaveFailure{std::move(reason)};
}

void Check(lxw_error error, const std::string& what) {
    if (error != LXW_NO_ERROR) Fail(what + ": " + lxw_strerror(error));
}

enum class NumberFormat : std::uint8_t { General, Time, Date };

NumberFormat NumberFormatOf(ValueKind kind) {
    switch (kind) {
        case ValueKind::Time:
            return NumberFormat::Time;
        case ValueKind::Date:
            return NumberFormat::Date;
        default:
            return NumberFormat::General;
    }
}

// libxlsxwriter reads a colour of 0 as "not set"; black has a value of its own.
lxw_color_t LxwColor(std::uint32_t rgb) {
    return rgb == 0 ? static_cast<lxw_color_t>(LXW_COLOR_BLACK) : rgb;
}

std::uint8_t LxwBorder(BorderLine line) {
    switch (line) {
        case BorderLine::None:
            return LXW_BORDER_NONE;
        case BorderLine::Hair:
            return LXW_BORDER_HAIR;
        case BorderLine::Thin:
            return LXW_BORDER_THIN;
        case BorderLine::Medium:
            return LXW_BORDER_MEDIUM;
        case BorderLine::Thick:
            return LXW_BORDER_THICK;
        case BorderLine::Dashed:
            return LXW_BORDER_DASHED;
        case BorderLine::MediumDashed:
            return LXW_BORDER_MEDIUM_DASHED;
        case BorderLine::Dotted:
            return LXW_BORDER_DOTTED;
        case BorderLine::DashDot:
            return LXW_BORDER_DASH_DOT;
        case BorderLine::MediumDashDot:
            return LXW_BORDER_MEDIUM_DASH_DOT;
        case BorderLine::DashDotDot:
            return LXW_BORDER_DASH_DOT_DOT;
        case BorderLine::MediumDashDotDot:
            return LXW_BORDER_MEDIUM_DASH_DOT_DOT;
        case BorderLine::Double:
            return LXW_BORDER_DOUBLE;
        case BorderLine::SlantDashDot:
            return LXW_BORDER_SLANT_DASH_DOT;
    }
    return LXW_BORDER_NONE;
}

std::uint8_t LxwAlign(HAlign align) {
    switch (align) {
        case HAlign::General:
            return LXW_ALIGN_NONE;
        case HAlign::Left:
            return LXW_ALIGN_LEFT;
        case HAlign::Center:
            return LXW_ALIGN_CENTER;
        case HAlign::Right:
            return LXW_ALIGN_RIGHT;
        case HAlign::Fill:
            return LXW_ALIGN_FILL;
        case HAlign::Justify:
            return LXW_ALIGN_JUSTIFY;
        case HAlign::CenterAcross:
            return LXW_ALIGN_CENTER_ACROSS;
        case HAlign::Distributed:
            return LXW_ALIGN_DISTRIBUTED;
    }
    return LXW_ALIGN_NONE;
}

std::uint8_t LxwAlign(VAlign align) {
    switch (align) {
        case VAlign::Bottom:
            return LXW_ALIGN_NONE;  // the default
        case VAlign::Top:
            return LXW_ALIGN_VERTICAL_TOP;
        case VAlign::Center:
            return LXW_ALIGN_VERTICAL_CENTER;
        case VAlign::Justify:
            return LXW_ALIGN_VERTICAL_JUSTIFY;
        case VAlign::Distributed:
            return LXW_ALIGN_VERTICAL_DISTRIBUTED;
    }
    return LXW_ALIGN_NONE;
}

std::uint8_t LxwUnderline(Underline underline) {
    switch (underline) {
        case Underline::None:
            return LXW_UNDERLINE_NONE;
        case Underline::Single:
            return LXW_UNDERLINE_SINGLE;
        case Underline::Double:
            return LXW_UNDERLINE_DOUBLE;
        case Underline::SingleAccounting:
            return LXW_UNDERLINE_SINGLE_ACCOUNTING;
        case Underline::DoubleAccounting:
            return LXW_UNDERLINE_DOUBLE_ACCOUNTING;
    }
    return LXW_UNDERLINE_NONE;
}

// One libxlsxwriter format per distinct cell style, and one per distinct font of a rich-text
// run.
class Formats {
public:
    explicit Formats(lxw_workbook* workbook) : workbook_(workbook) {}

    // Null for a cell in the default style.
    lxw_format* ForCell(const CellStyle& style, NumberFormat number) {
        if (number == NumberFormat::General && style == CellStyle{}) return nullptr;
        auto key = std::pair{style, number};
        if (const auto it = cells_.find(key); it != cells_.end()) return it->second;
        if (cells_.size() >= kMaxCellStyles) {
            Fail("the workbook has more than " + std::to_string(kMaxCellStyles) +
                 " different cell styles");
        }
        lxw_format* format = Add();
        ApplyFont(format, style.font);
        if (number == NumberFormat::Time) format_set_num_format(format, "h:mm");
        if (number == NumberFormat::Date) format_set_num_format(format, "dd.mm.yyyy");
        if (style.fillIndex != 0) {
            format_set_pattern(format, LXW_PATTERN_SOLID);
            format_set_bg_color(format, LxwColor(PaletteColor(style.fillIndex)));
        }
        if (style.horizontal != HAlign::General)
            format_set_align(format, LxwAlign(style.horizontal));
        if (style.vertical != VAlign::Bottom) format_set_align(format, LxwAlign(style.vertical));
        ApplyBorder(format, style.left, format_set_left, format_set_left_color);
        ApplyBorder(format, style.top, format_set_top, format_set_top_color);
        ApplyBorder(format, style.bottom, format_set_bottom, format_set_bottom_color);
        ApplyBorder(format, style.right, format_set_right, format_set_right_color);
        cells_.emplace(std::move(key), format);
        return format;
    }

    lxw_format* ForRun(const Font& font) {
        if (const auto it = runs_.find(font); it != runs_.end()) return it->second;
        lxw_format* format = Add();
        ApplyFont(format, font);
        runs_.emplace(font, format);
        return format;
    }

private:
    lxw_format* Add() {
        lxw_format* format = workbook_add_format(workbook_);
        if (format == nullptr) Fail("the spreadsheet library could not add a cell format");
        return format;
    }

    static void ApplyFont(lxw_format* format, const Font& font) {
        const Font standard;
        if (font.name != standard.name) format_set_font_name(format, font.name.c_str());
        if (font.size != standard.size) format_set_font_size(format, font.size);
        if (font.rgb) format_set_font_color(format, LxwColor(*font.rgb));
        if (font.bold) format_set_bold(format);
        if (font.italic) format_set_italic(format);
        if (font.strikethrough) format_set_font_strikeout(format);
        if (font.script == Script::Superscript)
            format_set_font_script(format, LXW_FONT_SUPERSCRIPT);
        if (font.script == Script::Subscript) format_set_font_script(format, LXW_FONT_SUBSCRIPT);
        if (font.underline != Underline::None) {
            format_set_underline(format, LxwUnderline(font.underline));
        }
    }

    static void ApplyBorder(lxw_format* format, const BorderEdge& edge,
                            void (*setStyle)(lxw_format*, std::uint8_t),
                            void (*setColor)(lxw_format*, lxw_color_t)) {
        const BorderLine line = edge.Line();
        if (line == BorderLine::None) return;
        setStyle(format, LxwBorder(line));
        if (edge.colorIndex != 0) setColor(format, LxwColor(PaletteColor(edge.colorIndex)));
    }

    lxw_workbook* workbook_;
    std::map<std::pair<CellStyle, NumberFormat>, lxw_format*> cells_;
    std::map<Font, lxw_format*> runs_;
};

// The library escapes control characters in plain strings but not in rich-text runs, and a raw
// one there makes the file unreadable; they are written the way the file format escapes them.
std::string EscapeControlCharacters(const std::string& text) {
    std::string escaped;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 && c != '\t' && c != '\n' && c != '\r') {
            char code[8];
            std::snprintf(code, sizeof code, "_x%04X_", byte);
            escaped += code;
        } else {
            escaped += c;
        }
    }
    return escaped;
}

void WriteText(lxw_worksheet* worksheet, lxw_row_t row, lxw_col_t column, const Cell& cell,
               Formats& formats) {
    const std::string& text = cell.value.text;
    const std::vector<std::size_t> offsets = CharacterOffsets(text);
    const std::vector<Font>& fonts = cell.characterFonts;
    if (fonts.empty() || fonts.size() != offsets.size()) {
        Check(worksheet_write_string(worksheet, row, column, text.c_str(),
                                     formats.ForCell(cell.style, NumberFormat::General)),
              "a text cell could not be written");
        return;
    }
    // Runs of characters that share a font.
    std::vector<std::pair<std::size_t, std::size_t>> runs;  // [first, last) characters
    for (std::size_t i = 0; i < fonts.size(); ++i) {
        if (runs.empty() || fonts[i] != fonts[runs.back().first]) runs.emplace_back(i, i);
        runs.back().second = i + 1;
    }
    if (runs.size() == 1) {
        // A single run is the cell's font; the library takes rich text of two runs or more.
        CellStyle style = cell.style;
        style.font = fonts.front();
        Check(worksheet_write_string(worksheet, row, column, text.c_str(),
                                     formats.ForCell(style, NumberFormat::General)),
              "a text cell could not be written");
        return;
    }
    std::vector<std::string> pieces;
    pieces.reserve(runs.size());
    std::vector<lxw_rich_string_tuple> fragments;
    fragments.reserve(runs.size());
    for (const auto& [first, last] : runs) {
        const std::size_t begin = offsets[first];
        const std::size_t end = last < offsets.size() ? offsets[last] : text.size();
        pieces.push_back(EscapeControlCharacters(text.substr(begin, end - begin)));
        fragments.push_back({formats.ForRun(fonts[first]), pieces.back().data()});
    }
    std::vector<lxw_rich_string_tuple*> list;
    for (auto& fragment : fragments) list.push_back(&fragment);
    list.push_back(nullptr);
    Check(worksheet_write_rich_string(worksheet, row, column, list.data(),
                                      formats.ForCell(cell.style, NumberFormat::General)),
          "a rich text cell could not be written");
}

void WriteSheet(lxw_workbook* workbook, const Sheet& sheet, bool active, Formats& formats) {
    const lxw_error nameError = workbook_validate_sheet_name(workbook, sheet.name.c_str());
    Check(nameError, "the sheet name \"" + sheet.name + "\" was refused");
    lxw_worksheet* worksheet = workbook_add_worksheet(workbook, sheet.name.c_str());
    if (worksheet == nullptr) Fail("the sheet \"" + sheet.name + "\" could not be added");
    if (active) worksheet_activate(worksheet);

    for (auto it = sheet.columnWidths.begin(); it != sheet.columnWidths.end();) {
        const std::int32_t first = it->first;
        const std::int32_t width = it->second;
        std::int32_t last = first;
        for (++it; it != sheet.columnWidths.end() && it->first == last + 1 && it->second == width;
             ++it) {
            last = it->first;
        }
        lxw_row_col_options hidden{};
        hidden.hidden = LXW_TRUE;
        Check(worksheet_set_column_opt(worksheet, static_cast<lxw_col_t>(first - 1),
                                       static_cast<lxw_col_t>(last - 1), width, nullptr,
                                       width == 0 ? &hidden : nullptr),
              "a column width could not be set");
    }
    if (sheet.defaultRowHeight)
        worksheet_set_default_row(worksheet, *sheet.defaultRowHeight, LXW_FALSE);
    for (const auto& [row, height] : sheet.rowHeights) {
        Check(worksheet_set_row(worksheet, static_cast<lxw_row_t>(row - 1), height, nullptr),
              "a row height could not be set");
    }
    // Merge first: the cells written afterwards replace the blank the library puts in the
    // top-left corner.
    for (const Area& area : sheet.merged) {
        Check(worksheet_merge_range(worksheet, static_cast<lxw_row_t>(area.top - 1),
                                    static_cast<lxw_col_t>(area.left - 1),
                                    static_cast<lxw_row_t>(area.bottom - 1),
                                    static_cast<lxw_col_t>(area.right - 1), "", nullptr),
              "the range " + AddressOf(area) + " could not be merged");
    }

    for (const auto& [position, cell] : sheet.cells) {
        const auto row = static_cast<lxw_row_t>(position.first - 1);
        const auto column = static_cast<lxw_col_t>(position.second - 1);
        const CellValue& value = cell.value;
        lxw_format* format = nullptr;
        switch (value.kind) {
            case ValueKind::Empty:
                format = formats.ForCell(cell.style, NumberFormat::General);
                if (format != nullptr) {
                    Check(worksheet_write_blank(worksheet, row, column, format),
                          "a cell could not be written");
                }
                break;
            case ValueKind::Number:
            case ValueKind::Time:
            case ValueKind::Date:
                format = formats.ForCell(cell.style, NumberFormatOf(value.kind));
                Check(worksheet_write_number(worksheet, row, column, value.number, format),
                      "a number could not be written");
                break;
            case ValueKind::Boolean:
                format = formats.ForCell(cell.style, NumberFormat::General);
                Check(worksheet_write_boolean(worksheet, row, column, value.number != 0, format),
                      "a logical value could not be written");
                break;
            case ValueKind::Text:
                WriteText(worksheet, row, column, cell, formats);
                break;
        }
    }
}

struct WorkbookDeleter {
    void operator()(lxw_workbook* workbook) const { lxw_workbook_free(workbook); }
};

// A folder only this user can enter, for the library to build the file in; removed with all it
// holds when the save ends.
class PrivateFolder {
public:
    PrivateFolder() {
        std::string error;
        if (!MakePrivateFolder("tavex-workbook", path_, error)) Fail(error);
    }
    PrivateFolder(const PrivateFolder&) = delete;
    PrivateFolder& operator=(const PrivateFolder&) = delete;
    ~PrivateFolder() { RemoveTree(path_); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// A workbook of the export is some tens of kilobytes; far more than that is not one of ours.
constexpr std::uint64_t kMaxWorkbookBytes = 256u << 20;

void Write(const Workbook& book, const std::string& path) {
    if (path.empty()) Fail("no file name was given");
    if (book.sheets.empty()) Fail("the workbook has no sheets");
    std::string refused;
    // Refused targets are told before any work is done.
    if (!FileReplacement::CheckTarget(path, {}, refused)) throw Refused{refused};

    PrivateFolder folder;
    // The library opens files by their names in the system's code page, which the programs set
    // to UTF-8.
    const std::string built = folder.path() + "/workbook.xlsx";
    lxw_workbook_options options{};
    options.constant_memory = LXW_FALSE;
    std::string tmpdir = folder.path();
    options.tmpdir = tmpdir.data();
    options.use_zip64 = LXW_FALSE;
    std::unique_ptr<lxw_workbook, WorkbookDeleter> workbook(
        workbook_new_opt(built.c_str(), &options));
    if (!workbook) Fail("the spreadsheet library could not start a workbook");

    Formats formats(workbook.get());
    for (std::size_t i = 0; i < book.sheets.size(); ++i) {
        WriteSheet(workbook.get(), book.sheets[i], i == book.activeSheet, formats);
    }
    // workbook_close frees the workbook whatever it returns.
    Check(workbook_close(workbook.release()), "the file could not be written");

    std::string bytes;
    std::string error;
    ReadLimits limits;
    limits.maxSize = kMaxWorkbookBytes;
    if (!ReadRegularFile(built, limits, bytes, error)) Fail(error);
    if (!ReplaceWholeFile(path, bytes.data(), bytes.size(), error)) throw Refused{error};
}

}  // namespace

void WriteWorkbookFile(const Workbook& book, const std::string& path) {
    try {
        Write(book, path);
    } catch (const Refused& refused) {
        throw AutomationError(refused.reason);
    } catch (const SaveFailure& failure) {
        throw AutomationError("cannot save the workbook as \"" + path + "\": " + failure.reason);
    } catch (const std::exception& error) {
        throw AutomationError("cannot save the workbook as \"" + path + "\": " + error.what());
    }
}

}  // namespace tavex::automation::model
