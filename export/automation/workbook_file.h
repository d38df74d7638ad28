#pragma once

#include <string>

#include "export/automation/workbook_model.h"

namespace tavex::automation::model {

// Writes book as an .xlsx file at path. The file is written beside the target under a
// temporary name and renamed over it once complete, so a failed save leaves whatever was there
// before. A symbolic link is followed and the file it points to replaced. Raises
// AutomationError naming the path and the reason when the target cannot be written, exists
// and is not a regular file, or the library fails.
void WriteWorkbookFile(const Workbook& book, const std::string& path);

}  // namespace tavex::automation::model
