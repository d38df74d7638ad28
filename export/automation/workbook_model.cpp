#include "export/automation/workbook_model.h"

#include <algorithm>
#include <charconv>
#include <chrono>

namespace tavex::automation::model {

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool AllDigits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), IsDigit);
}

// A run of 1..maxDigits digits as a number.
std::optional<int> SmallNumber(std::string_view text, std::size_t maxDigits) {
    if (!AllDigits(text) || text.size() > maxDigits) return std::nullopt;
    int value = 0;
    for (char c : text) value = value * 10 + (c - '0');
    return value;
}

std::optional<double> Decimal(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    const std::size_t comma = text.find(',');
    std::string digits(text);
    if (comma == std::string_view::npos) {
        if (!AllDigits(text)) return std::nullopt;
    } else {
        if (!AllDigits(text.substr(0, comma)) || !AllDigits(text.substr(comma + 1))) {
            return std::nullopt;
        }
        digits[comma] = '.';
    }
    double value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    if (value == 0) return 0.0;  // no negative zero
    return negative ? -value : value;
}

std::optional<double> TimeOfDay(std::string_view text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    const auto hours = SmallNumber(text.substr(0, colon), 2);
    const auto minutes = SmallNumber(text.substr(colon + 1), 2);
    if (!hours || !minutes || *hours > 23 || *minutes > 59) return std::nullopt;
    return (*hours * 60 + *minutes) / 1440.0;
}

std::optional<double> DateSerial(std::string_view text) {
    const std::size_t dot1 = text.find('.');
    if (dot1 == std::string_view::npos) return std::nullopt;
    const std::size_t dot2 = text.find('.', dot1 + 1);
    if (dot2 == std::string_view::npos) return std::nullopt;
    const auto day = SmallNumber(text.substr(0, dot1), 2);
    const auto month = SmallNumber(text.substr(dot1 + 1, dot2 - dot1 - 1), 2);
    const std::string_view yearText = text.substr(dot2 + 1);
    const auto year = SmallNumber(yearText, 2);
    if (!day || !month || !year) return std::nullopt;
    using namespace std::chrono;
    const year_month_day date{std::chrono::year(2000 + *year),
                              std::chrono::month(static_cast<unsigned>(*month)),
                              std::chrono::day(static_cast<unsigned>(*day))};
    if (!date.ok()) return std::nullopt;
    // Serial numbers count days from 30 December 1899 (day 1 is 1 January 1900, and the
    // file format keeps the nonexistent 29 February 1900, which is before any date here).
    const sys_days epoch = 1899y / December / 30d;
    return static_cast<double>((sys_days(date) - epoch).count());
}

// Decodes one UTF-8 character at text[i]; its length, or 0 when malformed.
std::size_t DecodeUtf8(std::string_view text, std::size_t i, char32_t* codePoint) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length;
    char32_t value;
    if (lead < 0x80) {
        *codePoint = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        value = (value << 6) | (byte(i + k) & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF.
    if ((length == 3 && value < 0x800) || (length == 4 && value < 0x10000) ||
        (value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF) {
        return 0;
    }
    *codePoint = value;
    return length;
}

char32_t FoldCase(char32_t c) {
    if (c >= U'A' && c <= U'Z') return c + 0x20;
    if (c >= 0x0410 && c <= 0x042F) return c + 0x20;  // А..Я
    if (c >= 0x0400 && c <= 0x040F) return c + 0x50;  // Ѐ..Џ, Ё among them
    return c;
}

std::u32string Folded(std::string_view text) {
    std::u32string result;
    for (std::size_t i = 0; i < text.size();) {
        char32_t c = 0xFFFD;
        const std::size_t length = DecodeUtf8(text, i, &c);
        result.push_back(FoldCase(length ? c : 0xFFFD));
        i += length ? length : 1;
    }
    return result;
}

[[noreturn]] void Reject(const std::string& what, std::int32_t value) {
    throw AutomationError("invalid " + what + ": " + std::to_string(value));
}

}  // namespace

CellValue ParseCellText(std::string_view text) {
    CellValue value;
    if (text.empty()) return value;
    if (const auto number = Decimal(text)) {
        value.kind = ValueKind::Number;
        value.number = *number;
    } else if (const auto time = TimeOfDay(text)) {
        value.kind = ValueKind::Time;
        value.number = *time;
    } else if (const auto date = DateSerial(text)) {
        value.kind = ValueKind::Date;
        value.number = *date;
    } else {
        value.kind = ValueKind::Text;
        value.text = std::string(text);
    }
    return value;
}

std::uint64_t Area::CellCount() const {
    return static_cast<std::uint64_t>(bottom - top + 1) *
           static_cast<std::uint64_t>(right - left + 1);
}

bool Area::Overlaps(const Area& other) const {
    return top <= other.bottom && other.top <= bottom && left <= other.right && other.left <= right;
}

bool Area::Contains(std::int32_t row, std::int32_t column) const {
    return row >= top && row <= bottom && column >= left && column <= right;
}

namespace {

// "$E$6" / "e6" -> (row, column)
std::optional<std::pair<std::int32_t, std::int32_t>> ParseCell(std::string_view text) {
    std::size_t i = 0;
    if (i < text.size() && text[i] == '$') ++i;
    std::int64_t column = 0;
    const std::size_t lettersStart = i;
    while (i < text.size() && i - lettersStart < 3) {
        const char c = text[i];
        if (c >= 'A' && c <= 'Z') {
            column = column * 26 + (c - 'A' + 1);
        } else if (c >= 'a' && c <= 'z') {
            column = column * 26 + (c - 'a' + 1);
        } else {
            break;
        }
        ++i;
    }
    if (i == lettersStart || column > kMaxColumns) return std::nullopt;
    if (i < text.size() && text[i] == '$') ++i;
    const std::string_view digits = text.substr(i);
    if (!AllDigits(digits) || digits.size() > 7 || digits.front() == '0') return std::nullopt;
    std::int64_t row = 0;
    for (char c : digits) row = row * 10 + (c - '0');
    if (row > kMaxRows) return std::nullopt;
    return std::pair{static_cast<std::int32_t>(row), static_cast<std::int32_t>(column)};
}

}  // namespace

std::optional<Area> ParseAddress(std::string_view address) {
    const std::size_t colon = address.find(':');
    const auto first = ParseCell(address.substr(0, colon));
    if (!first) return std::nullopt;
    auto second = first;
    if (colon != std::string_view::npos) {
        second = ParseCell(address.substr(colon + 1));
        if (!second) return std::nullopt;
    }
    return Area{std::min(first->first, second->first), std::min(first->second, second->second),
                std::max(first->first, second->first), std::max(first->second, second->second)};
}

std::string ColumnName(std::int32_t column) {
    std::string name;
    for (; column > 0; column = (column - 1) / 26) {
        name.insert(name.begin(), static_cast<char>('A' + (column - 1) % 26));
    }
    return name;
}

std::string AddressOf(const Area& area) {
    auto cell = [](std::int32_t row, std::int32_t column) {
        return "$" + ColumnName(column) + "$" + std::to_string(row);
    };
    std::string address = cell(area.top, area.left);
    if (area.bottom != area.top || area.right != area.left) {
        address += ":" + cell(area.bottom, area.right);
    }
    return address;
}

bool IsCleanUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        char32_t c = 0;
        const std::size_t length = DecodeUtf8(text, i, &c);
        if (length == 0 || c == 0) return false;
        i += length;
    }
    return true;
}

std::size_t CharacterCount(std::string_view text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

std::vector<std::size_t> CharacterOffsets(std::string_view text) {
    std::vector<std::size_t> offsets;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) offsets.push_back(i);
    }
    return offsets;
}

std::string SheetNameProblem(std::string_view name) {
    if (name.empty()) return "a sheet name cannot be empty";
    if (!IsCleanUtf8(name)) return "a sheet name must be valid UTF-8 text";
    if (CharacterCount(name) > kMaxSheetNameLength) {
        return "a sheet name cannot be longer than 31 characters";
    }
    if (std::any_of(name.begin(), name.end(), [](char c) { return c >= 0 && c < 0x20; })) {
        return "a sheet name cannot contain control characters";
    }
    if (name.find_first_of("[]:*?/\\") != std::string_view::npos) {
        return "a sheet name cannot contain any of [ ] : * ? / \\";
    }
    if (name.front() == '\'' || name.back() == '\'') {
        return "a sheet name cannot begin or end with an apostrophe";
    }
    return {};
}

bool SameSheetName(std::string_view a, std::string_view b) {
    return Folded(a) == Folded(b);
}

std::uint32_t PaletteColor(std::int32_t colorIndex) {
    if (colorIndex < 1 || colorIndex > static_cast<std::int32_t>(kPalette.size())) {
        Reject("colour index (1..56)", colorIndex);
    }
    return kPalette[static_cast<std::size_t>(colorIndex - 1)];
}

std::uint32_t RgbFromColorValue(std::int32_t color) {
    if (color < 0 || color > 0xFFFFFF) Reject("colour", color);
    const auto value = static_cast<std::uint32_t>(color);
    return ((value & 0xFF) << 16) | (value & 0xFF00) | ((value >> 16) & 0xFF);
}

HAlign HorizontalAlignmentFrom(std::int32_t value) {
    switch (value) {
        case xl::kGeneral:
            return HAlign::General;
        case xl::kLeft:
            return HAlign::Left;
        case xl::kCenter:
            return HAlign::Center;
        case xl::kRight:
            return HAlign::Right;
        case xl::kFill:
            return HAlign::Fill;
        case xl::kJustify:
            return HAlign::Justify;
        case xl::kCenterAcrossSelection:
            return HAlign::CenterAcross;
        case xl::kDistributed:
            return HAlign::Distributed;
    }
    Reject("horizontal alignment", value);
}

VAlign VerticalAlignmentFrom(std::int32_t value) {
    switch (value) {
        case xl::kBottom:
            return VAlign::Bottom;
        case xl::kTop:
            return VAlign::Top;
        case xl::kCenter:
            return VAlign::Center;
        case xl::kJustify:
            return VAlign::Justify;
        case xl::kDistributed:
            return VAlign::Distributed;
    }
    Reject("vertical alignment", value);
}

Underline UnderlineFrom(std::int32_t value) {
    switch (value) {
        case xl::kNone:
            return Underline::None;
        case xl::kUnderlineSingle:
            return Underline::Single;
        case xl::kUnderlineDouble:
            return Underline::Double;
        case xl::kUnderlineSingleAccounting:
            return Underline::SingleAccounting;
        case xl::kUnderlineDoubleAccounting:
            return Underline::DoubleAccounting;
    }
    Reject("underline style", value);
}

std::int32_t BorderLineStyleFrom(std::int32_t value) {
    switch (value) {
        case xl::kNone:
        case xl::kContinuous:
        case xl::kDash:
        case xl::kDashDot:
        case xl::kDashDotDot:
        case xl::kDot:
        case xl::kDouble:
        case xl::kSlantDashDot:
            return value;
    }
    return xl::kContinuous;
}

std::int32_t BorderWeightFrom(std::int32_t value) {
    switch (value) {
        case xl::kHairline:
        case xl::kThin:
        case xl::kThick:
        case xl::kMedium:
            return value;
        case 3:
            return xl::kMedium;
    }
    Reject("border weight", value);
}

BorderLine BorderEdge::Line() const {
    const bool heavy = weight == xl::kMedium || weight == xl::kThick;
    switch (lineStyle) {
        case xl::kNone:
            return BorderLine::None;
        case xl::kDash:
            return heavy ? BorderLine::MediumDashed : BorderLine::Dashed;
        case xl::kDot:
            return BorderLine::Dotted;
        case xl::kDashDot:
            return heavy ? BorderLine::MediumDashDot : BorderLine::DashDot;
        case xl::kDashDotDot:
            return heavy ? BorderLine::MediumDashDotDot : BorderLine::DashDotDot;
        case xl::kDouble:
            return BorderLine::Double;
        case xl::kSlantDashDot:
            return BorderLine::SlantDashDot;
        default:
            break;
    }
    switch (weight) {
        case xl::kHairline:
            return BorderLine::Hair;
        case xl::kMedium:
            return BorderLine::Medium;
        case xl::kThick:
            return BorderLine::Thick;
        default:
            return BorderLine::Thin;
    }
}

namespace {

void CheckOperationSize(const Area& area) {
    if (area.CellCount() > kMaxCellsPerOperation) {
        throw AutomationError("the range " + AddressOf(area) + " has " +
                              std::to_string(area.CellCount()) + " cells; at most " +
                              std::to_string(kMaxCellsPerOperation) + " can be changed at once");
    }
}

}  // namespace

void Sheet::ForEachCell(const Area& area, const std::function<void(Cell&)>& visit) {
    CheckOperationSize(area);
    for (std::int32_t row = area.top; row <= area.bottom; ++row) {
        auto hint = cells.lower_bound({row, area.left});
        for (std::int32_t column = area.left; column <= area.right; ++column) {
            hint = cells.try_emplace(hint, std::pair{row, column});
            visit(hint->second);
            ++hint;
        }
    }
}

void Sheet::ForEachExistingCell(const Area& area, const std::function<void(Cell&)>& visit) {
    for (auto it = cells.lower_bound({area.top, area.left});
         it != cells.end() && it->first.first <= area.bottom; ++it) {
        const auto [row, column] = it->first;
        if (column < area.left) {
            it = std::prev(cells.lower_bound({row, area.left}));
        } else if (column > area.right) {
            if (row == area.bottom) break;
            it = std::prev(cells.lower_bound({row + 1, area.left}));
        } else {
            visit(it->second);
        }
    }
}

void Sheet::SetValue(const Area& area, const CellValue& value) {
    CheckOperationSize(area);
    // Of a merged area only the top-left cell holds a value.
    std::vector<Area> covering;
    for (const Area& other : merged) {
        if (other.Overlaps(area)) covering.push_back(other);
    }
    for (std::int32_t row = area.top; row <= area.bottom; ++row) {
        for (std::int32_t column = area.left; column <= area.right; ++column) {
            const bool hidden = std::any_of(covering.begin(), covering.end(), [&](const Area& m) {
                return m.Contains(row, column) && (row != m.top || column != m.left);
            });
            if (hidden) continue;
            Cell& cell = cells[{row, column}];
            cell.value = value;
            cell.characterFonts.clear();
        }
    }
}

void Sheet::EditStyle(const Area& area, const std::function<void(CellStyle&)>& edit) {
    ForEachCell(area, [&](Cell& cell) { edit(cell.style); });
}

void Sheet::EditFont(const Area& area, const std::function<void(Font&)>& edit) {
    ForEachCell(area, [&](Cell& cell) {
        edit(cell.style.font);
        for (Font& font : cell.characterFonts) edit(font);
    });
}

void Sheet::EditCharacterFonts(const Area& area, std::size_t start, std::size_t length,
                               const std::function<void(Font&)>& edit) {
    if (start < 1 || length == 0) return;
    ForEachExistingCell(area, [&](Cell& cell) {
        if (cell.value.kind != ValueKind::Text) return;
        const std::size_t count = CharacterCount(cell.value.text);
        if (count < start) return;
        if (cell.characterFonts.empty()) cell.characterFonts.assign(count, cell.style.font);
        const std::size_t end = std::min(count, start - 1 + length);
        for (std::size_t i = start - 1; i < end; ++i) edit(cell.characterFonts[i]);
    });
}

void Sheet::EditBorder(const Area& area, std::int32_t edge,
                       const std::function<void(BorderEdge&)>& edit) {
    Area side = area;
    BorderEdge CellStyle::*member = nullptr;
    switch (edge) {
        case xl::kEdgeLeft:
            side.right = area.left;
            member = &CellStyle::left;
            break;
        case xl::kEdgeTop:
            side.bottom = area.top;
            member = &CellStyle::top;
            break;
        case xl::kEdgeBottom:
            side.top = area.bottom;
            member = &CellStyle::bottom;
            break;
        case xl::kEdgeRight:
            side.left = area.right;
            member = &CellStyle::right;
            break;
        default:
            Reject("border edge", edge);
    }
    ForEachCell(side, [&](Cell& cell) { edit(cell.style.*member); });
}

void Sheet::Merge(const Area& area) {
    CheckOperationSize(area);
    if (area.CellCount() == 1) return;
    std::erase_if(merged, [&](const Area& other) { return other.Overlaps(area); });
    merged.push_back(area);
    const Cell* topLeft = Find(area.top, area.left);
    ForEachExistingCell(area, [&](Cell& cell) {
        if (&cell == topLeft) return;
        cell.value = CellValue{};
        cell.characterFonts.clear();
    });
}

void Sheet::SetRowHeight(const Area& area, std::int32_t points) {
    if (points < 0 || points > kMaxRowHeight) Reject("row height (0..409)", points);
    if (area.top == 1 && area.bottom == kMaxRows) {
        defaultRowHeight = points;
        rowHeights.clear();
        return;
    }
    for (std::int32_t row = area.top; row <= area.bottom; ++row) rowHeights[row] = points;
}

void Sheet::SetColumnWidth(const Area& area, std::int32_t characters) {
    if (characters < 0 || characters > kMaxColumnWidth) Reject("column width (0..255)", characters);
    for (std::int32_t column = area.left; column <= area.right; ++column) {
        columnWidths[column] = characters;
    }
}

const Cell* Sheet::Find(std::int32_t row, std::int32_t column) const {
    const auto it = cells.find({row, column});
    return it == cells.end() ? nullptr : &it->second;
}

}  // namespace tavex::automation::model
