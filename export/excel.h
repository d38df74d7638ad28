#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "export/automation/automation.h"
#include "export/message_box.h"

namespace tavex {

// The spreadsheet context: drives a spreadsheet application through late-bound automation to
// build one workbook at a time. Every operation but SetBorderStyle wraps its calls in a
// catch-all: the first call that fails ends that operation and nothing else.
class Excel {
public:
    Excel(std::shared_ptr<automation::ObjectFactory> factory, std::shared_ptr<MessageBox> messageBox);

    bool IsSpreadsheetAvailable();
    bool OpenWorkbook(std::uint8_t sheets);
    bool RenameSheet(std::uint8_t sheet, const std::string& name);
    bool ActivateSheet(std::uint8_t sheet);
    bool SelectRange(std::int32_t row1, std::int32_t column1, std::int32_t row2,
                     std::int32_t column2, bool merge);
    void SelectCell(std::int32_t row, std::int32_t column);
    void SetBorderStyle(std::int32_t weight, std::int32_t lineStyle, std::int32_t colorIndex);
    void ApplyBorders();
    void SetRowHeightAndColumnWidth(std::int32_t rowHeight, std::int32_t columnWidth);
    void FormatRange(std::int32_t horizontalAlignment, std::int32_t verticalAlignment,
                     std::int32_t fontSize, std::int32_t interiorColorIndex,
                     const std::string& fontName, std::int32_t fontColor, std::int32_t fontStyle,
                     std::int32_t effect, std::int32_t underline);
    void SuperscriptCharacters(std::int32_t start, std::int32_t length);
    void SetValue(const std::string& text);
    void ShowApplication();
    // Saves the workbook under fileName and closes the context. True when the workbook was
    // saved; otherwise error (when given) says why.
    bool SaveWorkbookAs(const std::string& fileName, std::string* error = nullptr);
    void CloseWorkbook();

    // Builds the A1-style address of the range (E6:H6, E7:I112, E6) into rangeAddress; false,
    // leaving it unchanged, for a row above 9999, a row or column of 0, or a column beyond Z.
    bool BuildRangeAddress(std::int32_t row1, std::int32_t column1, std::int32_t row2,
                           std::int32_t column2);

    bool IsOpen() const { return open_ != 0; }
    const std::string& RangeAddress() const { return rangeAddress_; }
    const std::string& SaveName() const { return saveName_; }

private:
    std::shared_ptr<automation::ObjectFactory> factory_;
    std::shared_ptr<MessageBox> messageBox_;

    automation::ObjectRef application_;
    automation::ObjectRef workbooks_;
    automation::ObjectRef workbook_;
    automation::ObjectRef worksheets_;
    automation::ObjectRef worksheet_;
    automation::ObjectRef currentRange_;
    std::string saveName_;
    std::uint8_t open_ = 0;
    std::uint8_t sheetBound_ = 0;

    std::int32_t borderWeight_ = 0;
    std::int32_t borderLineStyle_ = 0;
    std::int32_t borderColorIndex_ = 0;
    std::int32_t horizontalAlignment_ = 0;
    std::int32_t verticalAlignment_ = 0;
    std::int32_t fontSize_ = 0;
    std::int32_t interiorColorIndex_ = 0;
    std::int32_t fontColor_ = 0;
    std::int32_t fontStyle_ = 0;
    std::int32_t effect_ = 0;
    std::int32_t underline_ = 0;
    std::string fontName_;
    std::string rangeAddress_;
};

}  // namespace tavex
