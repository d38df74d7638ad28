#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "archive/archive.h"

namespace tavex::archive {

// Reference levels, Bq/m3: the WHO reference level, the US action level (4 pCi/l) and the upper
// level of many national rules.
inline constexpr int kReferenceWho = 100;
inline constexpr int kReferenceUs = 148;
inline constexpr int kReferenceUpper = 300;
// A decision needs a measurement of at least this many days.
inline constexpr int kLongTermDays = 90;

// A result's value as the exports show it in Bq/m3: a whole number, 50 for a result below the
// lower limit and 10000 for one over the range, each flagged.
struct BqValue {
    int bq = 0;
    bool belowLimit = false;
    bool overRange = false;
};
BqValue BqOf(std::uint16_t raw);

// A mean over some results; count 0 when there were none.
struct Mean {
    std::size_t count = 0;
    double bq = 0;
};

struct MonthMean {
    int year = 0;
    int month = 0;
    Mean mean;
};

struct Summary {
    std::size_t count = 0;
    std::optional<Result> first;
    std::optional<Result> last;
    double meanBq = 0;    // rounded to one decimal
    double medianBq = 0;  // rounded to one decimal
    int minBq = 0;
    int maxBq = 0;
    std::size_t atOrAbove100 = 0;
    std::size_t atOrAbove300 = 0;
    std::size_t belowLimit = 0;
    std::size_t overRange = 0;
    // Calendar days from the first result's date to the last's, both counted (0 without
    // results); the meter's dates taken as they are (31 February is 3 March's day).
    int days = 0;
    bool shortTerm = true;  // days < 90
    std::array<Mean, 24> byHour{};
    // Calendar months that have results, in order.
    std::vector<MonthMean> byMonth;
};

// results oldest first, as Archive::Read gives them.
Summary Summarize(const std::vector<Result>& results);

// Number formatting for people: one decimal, a decimal point in English (language 1) and a
// decimal comma in Russian (language 0).
std::string Decimal(double value, int decimals, int language);
// A Bq/m3 value in the unit (0 Bq/m3 as a whole number, 1 pCi/l with one decimal).
std::string InUnit(double bq, std::uint8_t unit, int language);
// A mean or a median in the unit, one decimal in either.
std::string MeanInUnit(double bq, std::uint8_t unit, int language);

// The summary for people (English), in the unit (0 Bq/m3, 1 pCi/l).
std::string SummaryText(const Summary& summary, std::uint8_t unit);
// One JSON object with count, first, last, mean_bq, median_bq, min_bq, max_bq, at_or_above_100,
// at_or_above_300, below_limit, over_range, days, short_term (and unit, by_hour and by_month),
// one line ending in a newline. Without results first, last, mean_bq, median_bq, min_bq and
// max_bq are null (as is the mean of an hour without results): never a made-up 0.
std::string SummaryJson(const Summary& summary, std::uint8_t unit);

}  // namespace tavex::archive
