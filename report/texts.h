#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/summary.h"

// The report's words in its two languages (0 Russian, 1 English; any other value reads as
// Russian, as the meter's language byte does), UTF-8.
namespace tavex::report {

enum class Caption {
    Title,
    Meter,
    Period,
    Results,
    ReportDate,
    Summary,
    Mean,
    Median,
    Lowest,
    Highest,
    AtOrAbove,  // followed by a level: "At or above 100 Bq/m³"
    BelowLimit,
    OverRange,
    Days,
    First,
    Last,
    EveryResult,
    ByHour,
    HourOfDay,
    ByMonth,
    Month,
    Count,
    AllResults,
    Number,
    Time,
    Value,
    NoResults,
    Page,
    MarkBelow,  // the results table's legend
    MarkOver,
    Who,  // the reference levels' short names beside their lines
    Us,
    Upper,
};
std::string Text(Caption caption, int language);

// "Bq/m³" or "pCi/l" in the language.
std::string UnitName(std::uint8_t unit, int language);
// A Bq/m3 value as the summary shows it in the unit, with the unit's name ("2,7 пКи/л").
std::string WithUnit(double bq, std::uint8_t unit, int language);
// A mean or a median with its unit, one decimal.
std::string MeanWithUnit(double bq, std::uint8_t unit, int language);
// The number the summary shows for a mean in the unit (archive::MeanInUnit, read back).
double Shown(double bq, std::uint8_t unit);

// The reference levels, Bq/m3, that the report draws and compares the mean with: 100 and 300
// Bq/m3; in pCi/l the US action level (4 pCi/l) as well.
std::vector<int> ReferenceLevels(std::uint8_t unit);

// One sentence (a few, really) in plain words comparing the summary's mean with the reference
// levels: how many results were counted at the lower limit or at the top of the range, and that
// a decision needs a longer measurement when the period is short. With results over the range
// the mean is only a lower bound: it says "at least" and never "below"; with results below the
// lower limit (counted at 50 though lower) a level the mean only just reaches is said to be
// perhaps not reached.
std::string Verdict(const archive::Summary& summary, std::uint8_t unit, int language);

// "2026-12-08" in English, "08.12.2026" in Russian; a dash for no date (month 0).
std::string DayText(int year, int month, int day, int language);
// The result's date and time as the meter stored it ("2026-02-31 08:60" stays so).
std::string TimeText(const archive::Result& result, int language);
// "November 2026", "ноябрь 2026".
std::string MonthText(int year, int month, int language);
// Short month ("Nov", "ноя") for chart axes; month 1-12.
std::string ShortMonth(int month, int language);

// The period shown: its ends as asked, open ends from the first or to the last result.
std::string PeriodText(const archive::Period& period, const archive::Summary& summary,
                       int language);

// Number of results with the noun in the right form ("1 result", "3 результата").
std::string CountOfResults(std::size_t count, int language);

}  // namespace tavex::report
