#include "archive/history.h"

#include "instrument/results.h"

namespace tavex::archive {

namespace {

// The values of one result as the exports show them, with a decimal point.
struct Row {
    std::string time;
    std::string bq;
    std::string pci;
    const char* flag = "";
};

Row RowOf(const Result& result) {
    Row row;
    row.time = IsoTime(result);
    const ConvertedValue bq = ConvertValue(result.raw, 0);
    // Over the range each unit shows its cap: 10000 Bq/m3, 270 pCi/l.
    row.bq = bq.overRange ? "10000" : std::to_string(bq.integer);
    const ConvertedValue pci = ConvertValue(result.raw, 1);
    if (pci.overRange) {
        row.pci = "270";
    } else {
        row.pci = std::to_string(pci.integer);
        if (pci.tenths != 0) row.pci += "." + std::to_string(pci.tenths);
    }
    // The flag follows the Bq/m3 scale: pCi/l reaches its cap a little below 10000 Bq/m3.
    if (bq.overRange) {
        row.flag = "over_range";
    } else if (IsBelowLimit(result.raw)) {
        row.flag = "below_limit";
    }
    return row;
}

}  // namespace

std::string HistoryCsv(const std::vector<Result>& results) {
    std::string csv = "time,bq_m3,pci_l,flag\n";
    csv.reserve(csv.size() + results.size() * 40);
    for (const Result& result : results) {
        const Row row = RowOf(result);
        csv += row.time + "," + row.bq + "," + row.pci + "," + row.flag + "\n";
    }
    return csv;
}

// A result without a flag has the empty string, so that every flag is a string.
std::string HistoryJson(const std::vector<Result>& results) {
    if (results.empty()) return "[]\n";
    std::string json = "[\n";
    json.reserve(results.size() * 72);
    for (std::size_t i = 0; i < results.size(); ++i) {
        const Row row = RowOf(results[i]);
        json += "{\"time\":\"" + row.time + "\",\"bq_m3\":" + row.bq + ",\"pci_l\":" + row.pci +
                ",\"flag\":\"" + row.flag + "\"}" + (i + 1 < results.size() ? ",\n" : "\n");
    }
    json += "]\n";
    return json;
}

}  // namespace tavex::archive
