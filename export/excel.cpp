#include "export/excel.h"

#include <utility>

namespace tavex {

namespace {

using automation::AutomationError;
using automation::ObjectRef;
using automation::Variant;

constexpr const char* kProgId = "Excel.Application";
constexpr const char* kNotInstalled = "Microsoft Excel не установлен на компьютере";
constexpr const char* kErrorCaption = "Ошибка";
constexpr std::size_t kRangeAddressRoom = 15;

// A reference that was never set (an earlier call failed) makes the next call fail too.
automation::Object& Use(const ObjectRef& object) {
    if (!object) throw AutomationError("no such object");
    return *object;
}

ObjectRef GetObject(const ObjectRef& object, const std::string& name,
                    const automation::Arguments& args = {}) {
    return Use(object).Get(name, args).AsObject();
}

Variant Int(std::int32_t value) { return Variant::Integer(value); }

}  // namespace

Excel::Excel(std::shared_ptr<automation::ObjectFactory> factory, std::shared_ptr<MessageBox> messageBox)
    : factory_(std::move(factory)), messageBox_(std::move(messageBox)) {}

bool Excel::IsSpreadsheetAvailable() {
    bool available = false;
    try {
        if (factory_) application_ = factory_->Create(kProgId);
        available = application_ != nullptr;
    } catch (...) {
    }
    application_.reset();
    return available;
}

bool Excel::OpenWorkbook(std::uint8_t sheets) {
    if (open_) return true;
    try {
        if (factory_) application_ = factory_->Create(kProgId);
    } catch (...) {
        application_.reset();
    }
    if (!application_) {
        if (messageBox_) messageBox_->Show(kNotInstalled, kErrorCaption, kMessageBoxError);
        return false;
    }
    if (sheets == 0) return false;
    try {
        workbooks_ = GetObject(application_, "Workbooks");
        application_->Put("SheetsInNewWorkbook", Variant::Byte(sheets));
        Use(workbooks_).Call("Add");
        workbook_ = GetObject(workbooks_, "Item", {Int(1)});
        worksheets_ = GetObject(workbook_, "Worksheets");
        worksheet_ = GetObject(worksheets_, "Item", {Int(1)});
        Use(worksheet_).Call("Activate");
    } catch (...) {
    }
    open_ = 1;
    sheetBound_ = static_cast<std::uint8_t>(sheets + 1);
    return true;
}

bool Excel::RenameSheet(std::uint8_t sheet, const std::string& name) {
    if (!open_ || sheet < 1 || sheet >= sheetBound_) return false;
    try {
        worksheet_ = GetObject(worksheets_, "Item", {Variant::Byte(sheet)});
        Use(worksheet_).Put("Name", Variant::Text(name));
    } catch (...) {
    }
    return true;
}

bool Excel::ActivateSheet(std::uint8_t sheet) {
    if (!open_ || sheet < 1 || sheet >= sheetBound_) return false;
    try {
        worksheet_ = GetObject(worksheets_, "Item", {Variant::Byte(sheet)});
        Use(worksheet_).Call("Activate");
    } catch (...) {
    }
    return true;
}

bool Excel::BuildRangeAddress(std::int32_t row1, std::int32_t column1, std::int32_t row2,
                              std::int32_t column2) {
    // One letter per column, so columns A..Z only.
    if (row1 <= 0 || row1 > 9999 || column1 <= 0 || column1 > 26) return false;
    std::string address(1, static_cast<char>(64 + column1));
    address += std::to_string(row1);
    if (row2 > 0 && column2 > 0) {
        if (column2 > 26) return false;
        address += ':';
        address += static_cast<char>(64 + column2);
        address += std::to_string(row2);
    }
    if (address.size() > kRangeAddressRoom) return false;
    rangeAddress_ = std::move(address);
    return true;
}

bool Excel::SelectRange(std::int32_t row1, std::int32_t column1, std::int32_t row2,
                        std::int32_t column2, bool merge) {
    if (BuildRangeAddress(row1, column1, row2, column2)) {
        try {
            currentRange_ = GetObject(worksheet_, "Range", {Variant::Text(rangeAddress_)});
            if (merge) Use(currentRange_).Call("Merge");
        } catch (...) {
        }
    }
    return true;
}

void Excel::SelectCell(std::int32_t row, std::int32_t column) {
    try {
        const ObjectRef cells = GetObject(worksheet_, "Cells");
        currentRange_ = GetObject(cells, "Item", {Int(row), Int(column)});
    } catch (...) {
    }
}

void Excel::SetBorderStyle(std::int32_t weight, std::int32_t lineStyle, std::int32_t colorIndex) {
    borderWeight_ = weight;
    borderLineStyle_ = lineStyle;
    borderColorIndex_ = colorIndex;
}

void Excel::ApplyBorders() {
    try {
        // Left, top, bottom and right edges.
        for (std::int32_t edge = 7; edge <= 10; ++edge) {
            const ObjectRef border = GetObject(currentRange_, "Borders", {Int(edge)});
            border->Put("LineStyle", Int(borderLineStyle_));
            border->Put("Weight", Int(borderWeight_));
            border->Put("ColorIndex", Int(borderColorIndex_));
        }
    } catch (...) {
    }
}

void Excel::SetRowHeightAndColumnWidth(std::int32_t rowHeight, std::int32_t columnWidth) {
    try {
        Use(currentRange_).Put("RowHeight", Int(rowHeight));
        Use(currentRange_).Put("ColumnWidth", Int(columnWidth));
    } catch (...) {
    }
}

void Excel::FormatRange(std::int32_t horizontalAlignment, std::int32_t verticalAlignment,
                        std::int32_t fontSize, std::int32_t interiorColorIndex,
                        const std::string& fontName, std::int32_t fontColor,
                        std::int32_t fontStyle, std::int32_t effect, std::int32_t underline) {
    horizontalAlignment_ = horizontalAlignment;
    verticalAlignment_ = verticalAlignment;
    fontSize_ = fontSize;
    interiorColorIndex_ = interiorColorIndex;
    fontName_ = fontName;
    fontColor_ = fontColor;
    fontStyle_ = fontStyle;
    effect_ = effect;
    underline_ = underline;
    try {
        auto font = [this] { return GetObject(currentRange_, "Font"); };
        GetObject(currentRange_, "Interior")->Put("ColorIndex", Int(interiorColorIndex));
        font()->Put("Color", Int(fontColor));
        Use(currentRange_).Put("HorizontalAlignment", Int(horizontalAlignment));
        Use(currentRange_).Put("VerticalAlignment", Int(verticalAlignment));
        font()->Put("Size", Int(fontSize));
        font()->Put("Name", Variant::Text(fontName));
        const bool bold = fontStyle == 1 || fontStyle == 3;
        const bool italic = fontStyle == 2 || fontStyle == 3;
        font()->Put("Bold", Variant::Boolean(bold));
        font()->Put("Italic", Variant::Boolean(italic));
        const char* effectName = "OutlineFont";
        switch (effect) {
            case 1:
                effectName = "Strikethrough";
                break;
            case 2:
                effectName = "Superscript";
                break;
            case 3:
            case 4:
                effectName = "Subscript";
                break;
            case 6:
                effectName = "Shadow";
                break;
            default:
                break;
        }
        font()->Put(effectName, Variant::Boolean(true));
        if (underline == 2 || underline == 4 || underline == 5 || underline == -4119) {
            font()->Put("Underline", Int(underline));
        }
    } catch (...) {
    }
}

void Excel::SuperscriptCharacters(std::int32_t start, std::int32_t length) {
    try {
        const ObjectRef range = GetObject(worksheet_, "Range", {Variant::Text(rangeAddress_)});
        currentRange_ = GetObject(range, "Characters",
                                  {Variant::Byte(static_cast<std::uint8_t>(start)),
                                   Variant::Byte(static_cast<std::uint8_t>(length))});
        GetObject(currentRange_, "Font")->Put("Superscript", Int(1));
    } catch (...) {
    }
}

void Excel::SetValue(const std::string& text) {
    try {
        Use(currentRange_).Put("Value", Variant::Text(text));
    } catch (...) {
    }
}

void Excel::ShowApplication() {
    if (!open_) return;
    try {
        Use(application_).Put("Visible", Variant::Boolean(true));
    } catch (...) {
    }
}

bool Excel::SaveWorkbookAs(const std::string& fileName, std::string* error) {
    if (!open_) {
        if (error) *error = "no workbook is open";
        return false;
    }
    bool saved = false;
    std::string why;
    try {
        saveName_ = fileName;
        const Variant alerts = Use(application_).Get("DisplayAlerts");
        application_->Put("DisplayAlerts", Variant::Boolean(false));
        const ObjectRef book = GetObject(GetObject(application_, "Workbooks"), "Item", {Int(1)});
        book->Call("SaveAs", {Variant::Text(fileName)});
        saved = true;
        application_->Put("DisplayAlerts", alerts);
    } catch (const std::exception& e) {
        why = e.what();
    } catch (...) {
        why = "the spreadsheet application failed";
    }
    open_ = 0;
    if (error) *error = saved ? std::string() : why;
    return saved;
}

void Excel::CloseWorkbook() {
    if (!open_) return;
    try {
        GetObject(application_, "Workbooks", {Int(1)})->Put("Saved", Variant::Boolean(true));
        GetObject(application_, "Workbooks")->Call("Close");
    } catch (...) {
    }
    open_ = 0;
}

}  // namespace tavex
