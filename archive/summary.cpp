#include "archive/summary.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

#include "instrument/results.h"

namespace tavex::archive {

namespace {

constexpr int kBelowLimitBq = 50;
constexpr int kOverRangeBq = 10000;
constexpr double kBqPerPciL = 37.0;

// Days since 1970-01-01 of a date; a day beyond its month's end runs on into the next month
// (31 February is 3 March, or 2 March in a leap year), as the meter's dates may have it.
std::int64_t DayNumber(int year, int month, int day) {
    // The first of the month by the days-from-civil rule, then the day added to it.
    const std::int64_t y = year - (month <= 2 ? 1 : 0);
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yearOfEra = y - era * 400;
    const std::int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468 + (day - 1);
}

// sum / count rounded to one decimal, half up, worked out in integers (sums are whole numbers).
double MeanOf(std::int64_t sum, std::size_t count) {
    if (count == 0) return 0;
    const auto n = static_cast<std::int64_t>(count);
    const std::int64_t tenths = (sum * 20 + n) / (2 * n);
    return static_cast<double>(tenths) / 10.0;
}

struct Accumulator {
    std::int64_t sum = 0;
    std::size_t count = 0;
    void Add(int bq) {
        sum += bq;
        ++count;
    }
    Mean Get() const { return {count, MeanOf(sum, count)}; }
};

// A number as JSON has it: one decimal, a decimal point.
std::string JsonDecimal(double value) {
    return Decimal(value, 1, 1);
}

std::string JsonTime(const std::optional<Result>& result) {
    return result ? "\"" + IsoTime(*result) + "\"" : "null";
}

std::string UnitName(std::uint8_t unit) {
    return unit == 1 ? "pCi/l" : "Bq/m3";
}

}  // namespace

BqValue BqOf(std::uint16_t raw) {
    const ConvertedValue value = ConvertValue(raw, 0);
    BqValue bq;
    if (value.overRange) {
        bq.bq = kOverRangeBq;
        bq.overRange = true;
    } else {
        bq.bq = value.integer;
        bq.belowLimit = IsBelowLimit(raw);
        if (bq.belowLimit) bq.bq = kBelowLimitBq;
    }
    return bq;
}

Summary Summarize(const std::vector<Result>& results) {
    Summary summary;
    if (results.empty()) return summary;
    summary.count = results.size();

    std::vector<int> values;
    values.reserve(results.size());
    std::int64_t sum = 0;
    std::array<Accumulator, 24> hours{};
    std::map<int, Accumulator> months;  // year * 100 + month
    std::int64_t firstDay = INT64_MAX;
    std::int64_t lastDay = INT64_MIN;
    const Result* first = &results.front();
    const Result* last = &results.front();
    for (const Result& result : results) {
        const BqValue value = BqOf(result.raw);
        values.push_back(value.bq);
        sum += value.bq;
        if (value.bq >= kReferenceWho) ++summary.atOrAbove100;
        if (value.bq >= kReferenceUpper) ++summary.atOrAbove300;
        if (value.belowLimit) ++summary.belowLimit;
        if (value.overRange) ++summary.overRange;
        if (result.hour >= 0 && result.hour < 24) hours[result.hour].Add(value.bq);
        months[result.year * 100 + result.month].Add(value.bq);
        // The oldest and the newest by the meter's own date-time; among equal times the first
        // and the last given.
        if (result.Key() < first->Key()) first = &result;
        if (result.Key() >= last->Key()) last = &result;
        // The period spans the earliest to the latest calendar day: a day beyond its month's
        // end can lie after a later-written date (31 February after 1 March).
        const std::int64_t day = DayNumber(result.year, result.month, result.day);
        firstDay = std::min(firstDay, day);
        lastDay = std::max(lastDay, day);
    }
    summary.first = *first;
    summary.last = *last;
    summary.meanBq = MeanOf(sum, results.size());

    const std::size_t middle = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle),
                     values.end());
    const int upper = values[middle];
    if (values.size() % 2 == 1) {
        summary.medianBq = upper;
    } else {
        const int lower =
            *std::max_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle));
        summary.medianBq = (static_cast<double>(lower) + upper) / 2.0;  // whole or half
    }
    const auto [low, high] = std::minmax_element(values.begin(), values.end());
    summary.minBq = *low;
    summary.maxBq = *high;

    summary.days = static_cast<int>(lastDay - firstDay + 1);
    summary.shortTerm = summary.days < kLongTermDays;
    for (std::size_t hour = 0; hour < hours.size(); ++hour)
        summary.byHour[hour] = hours[hour].Get();
    for (const auto& [key, accumulator] : months) {
        summary.byMonth.push_back({key / 100, key % 100, accumulator.Get()});
    }
    return summary;
}

std::string Decimal(double value, int decimals, int language) {
    if (!std::isfinite(value)) return "-";
    decimals = std::clamp(decimals, 0, 6);
    std::int64_t scale = 1;
    for (int i = 0; i < decimals; ++i) scale *= 10;
    // Half away from zero, on the value as given.
    const double scaled = std::round(std::fabs(value) * static_cast<double>(scale));
    if (scaled > 9e15) {
        char text[64];
        std::snprintf(text, sizeof text, "%.*f", decimals, value);
        return text;
    }
    const auto units = static_cast<std::int64_t>(scaled);
    std::string text = (value < 0 && units != 0) ? "-" : "";
    text += std::to_string(units / scale);
    if (decimals > 0) {
        std::string fraction = std::to_string(units % scale);
        fraction.insert(0, static_cast<std::size_t>(decimals) - fraction.size(), '0');
        text += (language == 0 ? "," : ".") + fraction;
    }
    return text;
}

std::string InUnit(double bq, std::uint8_t unit, int language) {
    return unit == 1 ? Decimal(bq / kBqPerPciL, 1, language) : Decimal(bq, 0, language);
}

std::string MeanInUnit(double bq, std::uint8_t unit, int language) {
    return Decimal(unit == 1 ? bq / kBqPerPciL : bq, 1, language);
}

std::string SummaryText(const Summary& summary, std::uint8_t unit) {
    const std::string name = UnitName(unit);
    const auto value = [&](double bq) { return InUnit(bq, unit, 1) + " " + name; };
    const auto mean = [&](double bq) { return MeanInUnit(bq, unit, 1) + " " + name; };
    // A reference level in the chosen unit, with its Bq/m3 beside it for pCi/l.
    const auto level = [&](int bq) {
        return unit == 1 ? value(bq) + " (" + std::to_string(bq) + " Bq/m3)" : value(bq);
    };
    const auto share = [&](std::size_t part) {
        return Decimal(100.0 * static_cast<double>(part) / static_cast<double>(summary.count), 1,
                       1) +
               " %";
    };
    if (summary.count == 0) return "No archived results for this period.\n";

    std::string text;
    text += "Results: " + std::to_string(summary.count) + ", from " + IsoTime(*summary.first) +
            " to " + IsoTime(*summary.last) + " (" + std::to_string(summary.days) +
            (summary.days == 1 ? " day" : " days") + ")\n";
    text += "Mean: " + mean(summary.meanBq) + "\n";
    text += "Median: " + mean(summary.medianBq) + "\n";
    text += "Lowest: " + value(summary.minBq) + "\n";
    text += "Highest: " + value(summary.maxBq) + "\n";
    text += "At or above " + level(kReferenceWho) + ": " + std::to_string(summary.atOrAbove100) +
            " (" + share(summary.atOrAbove100) + ")\n";
    text += "At or above " + level(kReferenceUpper) + ": " + std::to_string(summary.atOrAbove300) +
            " (" + share(summary.atOrAbove300) + ")\n";
    // What such results count as, in Bq/m3 in either unit: the pCi/l scale caps at 270.
    text += "Below the lower limit (counted as " + std::to_string(kBelowLimitBq) +
            " Bq/m3): " + std::to_string(summary.belowLimit) + "\n";
    text += "Over the range (counted as " + std::to_string(kOverRangeBq) +
            " Bq/m3): " + std::to_string(summary.overRange) + "\n";
    if (summary.shortTerm) {
        text += "Short-term: " + std::to_string(summary.days) +
                (summary.days == 1 ? " day" : " days") + " of results; a decision needs at least " +
                std::to_string(kLongTermDays) + " days of measurement.\n";
    } else {
        text += "Long-term: " + std::to_string(summary.days) + " days of results.\n";
    }
    text += "Mean by hour of day:\n";
    for (std::size_t hour = 0; hour < summary.byHour.size(); ++hour) {
        const Mean& mean = summary.byHour[hour];
        if (mean.count == 0) continue;
        char label[16];
        std::snprintf(label, sizeof label, "  %02zu:00  ", hour);
        text += label + value(mean.bq) + " (" + std::to_string(mean.count) + ")\n";
    }
    text += "Mean by month:\n";
    for (const MonthMean& month : summary.byMonth) {
        char label[24];
        std::snprintf(label, sizeof label, "  %04d-%02d  ", month.year, month.month);
        text += label + value(month.mean.bq) + " (" + std::to_string(month.mean.count) + ")\n";
    }
    return text;
}

std::string SummaryJson(const Summary& summary, std::uint8_t unit) {
    const bool any = summary.count > 0;
    // Without results there is no mean, median, lowest or highest value: null, never 0.
    const auto number = [&](double value) { return any ? JsonDecimal(value) : "null"; };
    const auto whole = [&](int value) { return any ? std::to_string(value) : "null"; };
    std::string json = "{";
    json += "\"unit\":\"" + UnitName(unit) + "\"";
    json += ",\"count\":" + std::to_string(summary.count);
    json += ",\"first\":" + JsonTime(summary.first);
    json += ",\"last\":" + JsonTime(summary.last);
    json += ",\"mean_bq\":" + number(summary.meanBq);
    json += ",\"median_bq\":" + number(summary.medianBq);
    json += ",\"min_bq\":" + whole(summary.minBq);
    json += ",\"max_bq\":" + whole(summary.maxBq);
    json += ",\"at_or_above_100\":" + std::to_string(summary.atOrAbove100);
    json += ",\"at_or_above_300\":" + std::to_string(summary.atOrAbove300);
    json += ",\"below_limit\":" + std::to_string(summary.belowLimit);
    json += ",\"over_range\":" + std::to_string(summary.overRange);
    json += ",\"days\":" + std::to_string(summary.days);
    json += std::string(",\"short_term\":") + (summary.shortTerm ? "true" : "false");
    json += ",\"by_hour\":[";
    for (std::size_t hour = 0; hour < summary.byHour.size(); ++hour) {
        const Mean& mean = summary.byHour[hour];
        json += (hour ? ",{" : "{") + std::string("\"hour\":") + std::to_string(hour) +
                ",\"count\":" + std::to_string(mean.count) +
                ",\"mean_bq\":" + (mean.count ? JsonDecimal(mean.bq) : "null") + "}";
    }
    json += "],\"by_month\":[";
    for (std::size_t i = 0; i < summary.byMonth.size(); ++i) {
        const MonthMean& month = summary.byMonth[i];
        char label[16];
        std::snprintf(label, sizeof label, "%04d-%02d", month.year, month.month);
        json += (i ? ",{" : "{") + std::string("\"month\":\"") + label +
                "\",\"count\":" + std::to_string(month.mean.count) +
                ",\"mean_bq\":" + JsonDecimal(month.mean.bq) + "}";
    }
    json += "]}\n";
    return json;
}

}  // namespace tavex::archive
