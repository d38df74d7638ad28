#include "archive/history.h"

#include <gtest/gtest.h>

#include "tests/archive/archive_support.h"

namespace tavex::archive {
namespace {

Result At(int year, int month, int day, int hour, int minute, std::uint16_t raw) {
    return testing::ResultOf(year, month, day, hour, minute, raw);
}

// Raw values around the floors and caps of both scales (raw x 8.5 Bq/m3; 37 Bq/m3 a pCi/l):
//   0, 5     below 50 Bq/m3: 50 and flagged, and below 1.4 pCi/l: 1.4
//   6        51 Bq/m3 (51.0), still below 1.4 pCi/l
//   7        59.5 -> 60 Bq/m3; 1.608 -> 1.6 pCi/l
//   87       739.5 -> 740 Bq/m3; 19.99 -> 20 pCi/l, a whole number
//   1175     9987.5 -> 9988 Bq/m3; 269.93 -> 269.9 pCi/l
//   1176     9996 Bq/m3, within its scale; 270.2 pCi/l, over its own: 270, no flag
//   1177     10004.5 Bq/m3, over the range: 10000 and 270, flagged
const std::vector<Result> kResults = {
    At(2024, 1, 1, 0, 0, 0),     At(2024, 1, 1, 1, 0, 5),     At(2024, 1, 1, 2, 0, 6),
    At(2024, 2, 31, 23, 60, 7),  At(2024, 3, 1, 0, 0, 87),    At(2024, 3, 1, 9, 5, 1175),
    At(2024, 3, 1, 10, 0, 1176), At(2024, 3, 1, 11, 0, 1177), At(2099, 12, 31, 23, 59, 65535),
};

TEST(History, CsvByTheExportsRules) {
    EXPECT_EQ(HistoryCsv(kResults),
              "time,bq_m3,pci_l,flag\n"
              "2024-01-01T00:00,50,1.4,below_limit\n"
              "2024-01-01T01:00,50,1.4,below_limit\n"
              "2024-01-01T02:00,51,1.4,\n"
              "2024-02-31T23:60,60,1.6,\n"
              "2024-03-01T00:00,740,20,\n"
              "2024-03-01T09:05,9988,269.9,\n"
              "2024-03-01T10:00,9996,270,\n"
              "2024-03-01T11:00,10000,270,over_range\n"
              "2099-12-31T23:59,10000,270,over_range\n");
    EXPECT_EQ(HistoryCsv({}), "time,bq_m3,pci_l,flag\n");
}

TEST(History, JsonWithTheSameFields) {
    const std::vector<Result> some(kResults.begin() + 1, kResults.begin() + 4);
    EXPECT_EQ(
        HistoryJson(some),
        "[\n"
        "{\"time\":\"2024-01-01T01:00\",\"bq_m3\":50,\"pci_l\":1.4,\"flag\":\"below_limit\"},\n"
        "{\"time\":\"2024-01-01T02:00\",\"bq_m3\":51,\"pci_l\":1.4,\"flag\":\"\"},\n"
        "{\"time\":\"2024-02-31T23:60\",\"bq_m3\":60,\"pci_l\":1.6,\"flag\":\"\"}\n"
        "]\n");
    EXPECT_EQ(HistoryJson({kResults[7]}),
              "[\n{\"time\":\"2024-03-01T11:00\",\"bq_m3\":10000,\"pci_l\":270,"
              "\"flag\":\"over_range\"}\n]\n");
    EXPECT_EQ(HistoryJson({}), "[]\n");
}

}  // namespace
}  // namespace tavex::archive
