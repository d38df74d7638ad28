#pragma once

#include <memory>
#include <string>

#include "export/automation/automation.h"
#include "export/shell.h"

namespace tavex::automation {

// The program's own spreadsheet application. Create("Excel.Application") gives an application
// object with the part of the spreadsheet object model that the workbook export uses; it keeps
// the workbook in memory and SaveAs writes it as an Office Open XML workbook (.xlsx). Once the
// application has been made visible, a saved workbook is opened with its default program
// through the shell (when one is given).
class BuiltInSpreadsheet : public ObjectFactory {
public:
    explicit BuiltInSpreadsheet(std::shared_ptr<Shell> shell = nullptr);
    ObjectRef Create(const std::string& progId) override;

private:
    std::shared_ptr<Shell> shell_;
};

// The front ends' spreadsheet: on Windows the application registered as "Excel.Application"
// when there is one; otherwise, and on Linux, the built-in engine (given the shell to open saved
// workbooks).
std::shared_ptr<ObjectFactory> MakeSpreadsheetFactory(std::shared_ptr<Shell> shell = nullptr);

}  // namespace tavex::automation
