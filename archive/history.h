#pragma once

#include <string>
#include <vector>

#include "archive/archive.h"

namespace tavex::archive {

// The archived results for spreadsheets and scripts, UTF-8, oldest first as given: time
// (YYYY-MM-DDTHH:MM), bq_m3 and pci_l by the exports' rules with a decimal point, and a flag
// (below_limit, over_range or empty) by the Bq/m3 rules.
// CSV: the header "time,bq_m3,pci_l,flag", lines ending in "\n".
std::string HistoryCsv(const std::vector<Result>& results);
// JSON: one array of objects with the same four keys, one object a line, ending in a newline;
// numbers are JSON numbers and the flag always a string ("" for none).
std::string HistoryJson(const std::vector<Result>& results);

}  // namespace tavex::archive
