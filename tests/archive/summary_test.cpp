#include "archive/summary.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>

#include "instrument/results.h"
#include "tests/archive/archive_support.h"

namespace tavex::archive {
namespace {

using testing::DemoRecords;
using testing::RecordOf;
using testing::TempFolder;

Result At(int year, int month, int day, int hour, int minute, std::uint16_t raw) {
    return testing::ResultOf(year, month, day, hour, minute, raw);
}

double RoundedToTenths(double value) {
    return std::round(value * 10) / 10;
}

// The demo memory summarised by hand: each valid record decoded here, its value taken as
// raw x 8.5 Bq/m3 rounded, shown as 50 below 50 Bq/m3, with plain sums, a sorted median and
// calendar arithmetic; then the same records through the archive and Summarize.
TEST(Summary, TheDemoMemoryAgreesWithAHandCount) {
    struct Hand {
        int bq;
        int hour;
        int monthKey;
        std::chrono::sys_days day;
    };
    std::vector<Hand> hand;
    for (const RawRecord& record : DemoRecords()) {
        if (!IsRecordValid(record.data())) continue;
        const memory::StoredRecord r = memory::DecodeRecord(record.data());
        const int bq = std::max(50, static_cast<int>(std::floor(r.raw * 8.5 + 0.5)));
        const std::chrono::year_month_day ymd{std::chrono::year{2000 + r.year},
                                              std::chrono::month{r.month}, std::chrono::day{r.day}};
        hand.push_back({bq, r.hours, (2000 + r.year) * 100 + r.month, std::chrono::sys_days{ymd}});
    }
    ASSERT_EQ(hand.size(), 247u);
    std::vector<int> values;
    double sum = 0;
    std::size_t above100 = 0, above300 = 0, below = 0;
    std::map<int, std::pair<double, int>> hours, months;
    for (const Hand& h : hand) {
        values.push_back(h.bq);
        sum += h.bq;
        above100 += h.bq >= 100;
        above300 += h.bq >= 300;
        below += h.bq == 50;
        hours[h.hour].first += h.bq;
        hours[h.hour].second += 1;
        months[h.monthKey].first += h.bq;
        months[h.monthKey].second += 1;
    }
    std::sort(values.begin(), values.end());
    const auto [earliest, latest] = std::minmax_element(
        hand.begin(), hand.end(), [](const Hand& a, const Hand& b) { return a.day < b.day; });
    const int days = static_cast<int>((latest->day - earliest->day).count()) + 1;

    TempFolder folder;
    std::string error;
    const auto archive = Archive::Open(folder / "a.sqlite", error);
    ASSERT_TRUE(archive) << error;
    MergeCounts counts;
    ASSERT_TRUE(archive->Merge(DemoRecords(), 1, counts, error)) << error;
    std::vector<Result> results;
    ASSERT_TRUE(archive->Read({}, results, error)) << error;
    const Summary summary = Summarize(results);

    EXPECT_EQ(summary.count, hand.size());
    EXPECT_DOUBLE_EQ(summary.meanBq, RoundedToTenths(sum / static_cast<double>(hand.size())));
    EXPECT_DOUBLE_EQ(summary.medianBq, values[values.size() / 2]);  // 247: odd
    EXPECT_EQ(summary.minBq, values.front());
    EXPECT_EQ(summary.maxBq, values.back());
    EXPECT_EQ(summary.atOrAbove100, above100);
    EXPECT_EQ(summary.atOrAbove300, above300);
    EXPECT_EQ(summary.belowLimit, below);
    EXPECT_GT(below, 0u);  // the demo reaches below the lower limit: the rule is exercised
    EXPECT_EQ(summary.overRange, 0u);
    EXPECT_EQ(summary.days, days);
    EXPECT_TRUE(summary.shortTerm);
    for (int hour = 0; hour < 24; ++hour) {
        SCOPED_TRACE(hour);
        const auto& [hourSum, hourCount] = hours[hour];
        EXPECT_EQ(summary.byHour[hour].count, static_cast<std::size_t>(hourCount));
        EXPECT_DOUBLE_EQ(summary.byHour[hour].bq, RoundedToTenths(hourSum / hourCount));
    }
    ASSERT_EQ(summary.byMonth.size(), months.size());
    auto month = months.begin();
    for (const MonthMean& got : summary.byMonth) {
        EXPECT_EQ(got.year * 100 + got.month, month->first);
        EXPECT_EQ(got.mean.count, static_cast<std::size_t>(month->second.second));
        EXPECT_DOUBLE_EQ(got.mean.bq, RoundedToTenths(month->second.first / month->second.second));
        ++month;
    }
}

TEST(Summary, EdgeCases) {
    // raw 5: 42.5 Bq/m3, below the limit; raw 1177: beyond 10000 Bq/m3.
    struct Case {
        const char* what;
        std::vector<Result> results;
        double mean, median;
        int min, max, days;
        std::size_t below, over, above100, above300;
    };
    // clang-format off
    const Case cases[] = {
        {"one result", {At(2024, 5, 1, 10, 0, 12)}, 102, 102, 102, 102, 1, 0, 0, 1, 0},
        {"even count: median halfway", {At(2024, 5, 1, 10, 0, 7), At(2024, 5, 1, 11, 0, 8)},
         64, 64, 60, 68, 1, 0, 0, 0, 0},
        {"odd halves: (60 + 77) / 2", {At(2024, 5, 1, 10, 0, 7), At(2024, 5, 2, 11, 0, 9)},
         68.5, 68.5, 60, 77, 2, 0, 0, 0, 0},
        {"below and over counted at 50 and 10000",
         {At(2024, 5, 1, 0, 0, 5), At(2024, 5, 1, 1, 0, 0), At(2024, 5, 1, 2, 0, 1177),
          At(2024, 5, 1, 3, 0, 36)},
         (50 + 50 + 10000 + 306) / 4.0, (50 + 306) / 2.0, 50, 10000, 1, 2, 1, 2, 2},
        {"mean rounded to one decimal: 451 / 3",
         {At(2024, 5, 1, 0, 0, 12), At(2024, 5, 1, 1, 0, 12), At(2024, 5, 1, 2, 0, 29)},
         451 / 3.0, 102, 102, 247, 1, 0, 0, 3, 0},
        {"89 days", {At(2024, 1, 1, 0, 0, 12), At(2024, 3, 29, 23, 60, 12)},
         102, 102, 102, 102, 89, 0, 0, 2, 0},
        {"90 days", {At(2024, 1, 1, 0, 0, 12), At(2024, 3, 30, 0, 0, 12)},
         102, 102, 102, 102, 90, 0, 0, 2, 0},
        {"31 February is 2 March of a leap year",
         {At(2024, 2, 31, 0, 0, 12), At(2024, 3, 2, 0, 0, 12)}, 102, 102, 102, 102, 1, 0, 0, 2, 0},
        {"31 February lies after 1 March",
         {At(2023, 2, 31, 0, 0, 12), At(2023, 3, 1, 0, 0, 12)}, 102, 102, 102, 102, 3, 0, 0, 2, 0},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Summary s = Summarize(c.results);
        EXPECT_EQ(s.count, c.results.size());
        EXPECT_DOUBLE_EQ(s.meanBq, RoundedToTenths(c.mean));
        EXPECT_DOUBLE_EQ(s.medianBq, c.median);
        EXPECT_EQ(s.minBq, c.min);
        EXPECT_EQ(s.maxBq, c.max);
        EXPECT_EQ(s.days, c.days);
        EXPECT_EQ(s.shortTerm, c.days < 90);
        EXPECT_EQ(s.belowLimit, c.below);
        EXPECT_EQ(s.overRange, c.over);
        EXPECT_EQ(s.atOrAbove100, c.above100);
        EXPECT_EQ(s.atOrAbove300, c.above300);
        ASSERT_TRUE(s.first && s.last);
        EXPECT_EQ(*s.first, c.results.front());
        EXPECT_EQ(*s.last, c.results.back());
    }

    const Summary empty = Summarize({});
    EXPECT_EQ(empty.count, 0u);
    EXPECT_FALSE(empty.first || empty.last);
    EXPECT_EQ(empty.days, 0);
    EXPECT_TRUE(empty.shortTerm);
    EXPECT_TRUE(empty.byMonth.empty());
}

TEST(Summary, BqOfFollowsTheExportsScale) {
    const struct {
        std::uint16_t raw;
        int bq;
        bool below, over;
    } cases[] = {
        {0, 50, true, false},        {5, 50, true, false},       {6, 51, false, false},
        {12, 102, false, false},     {1176, 9996, false, false}, {1177, 10000, false, true},
        {65535, 10000, false, true},
    };
    for (const auto& c : cases) {
        const BqValue value = BqOf(c.raw);
        EXPECT_EQ(value.bq, c.bq) << c.raw;
        EXPECT_EQ(value.belowLimit, c.below) << c.raw;
        EXPECT_EQ(value.overRange, c.over) << c.raw;
    }
}

TEST(Summary, DecimalAndUnits) {
    const struct {
        double value;
        int decimals, language;
        const char* text;
    } cases[] = {
        {152.3, 1, 1, "152.3"}, {152.3, 1, 0, "152,3"}, {64, 1, 1, "64.0"},    {68.5, 0, 1, "69"},
        {0.04, 1, 1, "0.0"},    {-0.04, 1, 1, "0.0"},   {-2.25, 1, 0, "-2,3"}, {1.25, 1, 1, "1.3"},
        {9.96, 1, 1, "10.0"},   {7, 0, 0, "7"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Decimal(c.value, c.decimals, c.language), c.text) << c.value;
    }
    EXPECT_EQ(InUnit(152.3, 0, 1), "152");
    EXPECT_EQ(InUnit(148, 1, 1), "4.0");  // the US action level
    EXPECT_EQ(InUnit(300, 1, 0), "8,1");
    EXPECT_EQ(InUnit(10000, 1, 1), "270.3");
}

TEST(Summary, JsonAndTextCarryTheFigures) {
    const std::vector<Result> results = {At(2024, 1, 31, 9, 5, 12), At(2024, 2, 31, 23, 60, 40),
                                         At(2024, 3, 1, 10, 0, 5)};
    const Summary summary = Summarize(results);
    const std::string json = SummaryJson(summary, 0);
    for (const char* part : {
             "{\"unit\":\"Bq/m3\",\"count\":3,\"first\":\"2024-01-31T09:05\",",
             "\"last\":\"2024-03-01T10:00\",",
             "\"mean_bq\":164.0,\"median_bq\":102.0,\"min_bq\":50,\"max_bq\":340,",
             "\"at_or_above_100\":2,\"at_or_above_300\":1,\"below_limit\":1,\"over_range\":0,",
             "\"days\":32,\"short_term\":true,",
             "{\"hour\":9,\"count\":1,\"mean_bq\":102.0}",
             "{\"hour\":0,\"count\":0,\"mean_bq\":null}",
             "\"by_month\":[{\"month\":\"2024-01\",\"count\":1,\"mean_bq\":102.0},"
             "{\"month\":\"2024-02\",\"count\":1,\"mean_bq\":340.0},"
             "{\"month\":\"2024-03\",\"count\":1,\"mean_bq\":50.0}]}\n",
         }) {
        EXPECT_NE(json.find(part), std::string::npos) << part << "\nin " << json;
    }
    EXPECT_EQ(std::count(json.begin(), json.end(), '\n'), 1);
    EXPECT_EQ(SummaryJson(summary, 1).rfind("{\"unit\":\"pCi/l\",", 0), 0u);

    const std::string none = SummaryJson(Summarize({}), 0);
    for (const char* part :
         {"\"count\":0,\"first\":null,\"last\":null,\"mean_bq\":null,\"median_bq\":null,"
          "\"min_bq\":null,\"max_bq\":null,",
          "\"days\":0,\"short_term\":true,", "\"by_month\":[]}\n"}) {
        EXPECT_NE(none.find(part), std::string::npos) << part << "\nin " << none;
    }

    const std::string bq = SummaryText(summary, 0);
    for (const char* part : {"Results: 3, from 2024-01-31T09:05 to 2024-03-01T10:00 (32 days)",
                             "Mean: 164.0 Bq/m3", "Median: 102.0 Bq/m3", "Highest: 340 Bq/m3",
                             "At or above 100 Bq/m3: 2", "At or above 300 Bq/m3: 1",
                             "Below the lower limit (counted as 50 Bq/m3): 1", "Short-term"}) {
        EXPECT_NE(bq.find(part), std::string::npos) << part << "\nin " << bq;
    }
    const std::string pci = SummaryText(summary, 1);
    for (const char* part : {"Mean: 4.4 pCi/l", "Median: 2.8 pCi/l", "Highest: 9.2 pCi/l",
                             "At or above 2.7 pCi/l (100 Bq/m3): 2"}) {
        EXPECT_NE(pci.find(part), std::string::npos) << part << "\nin " << pci;
    }
    EXPECT_EQ(pci.find("Bq/m3:"), std::string::npos) << pci;
}

}  // namespace
}  // namespace tavex::archive
