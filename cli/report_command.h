#pragma once

#include <string>
#include <vector>

#include "archive/archive.h"

namespace tavex::cli {

// Writes the report of these results (oldest first) to path, a PDF document or an HTML page by
// its extension, rendered without a display. language 0 Russian, 1 English; unit 0 Bq/m3,
// 1 pCi/l; date: the report's date. False with error when it could not be written (or when this
// build has no report: built without Qt).
bool WriteReportFile(const std::string& path, std::vector<archive::Result> results,
                     const archive::Period& period, int language, std::uint8_t unit,
                     const archive::Day& date, std::string& error);

}  // namespace tavex::cli
