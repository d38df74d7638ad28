#include "report/texts.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace tavex::report {

namespace {

bool English(int language) {
    return language == 1;
}

// Russian nouns after a number: 1, 21 ... one; 2-4, 22-24 ... few; else many.
const char* RussianPlural(std::size_t n, const char* one, const char* few, const char* many) {
    const std::size_t tens = n % 100;
    const std::size_t units = n % 10;
    if (tens >= 11 && tens <= 14) return many;
    if (units == 1) return one;
    if (units >= 2 && units <= 4) return few;
    return many;
}

constexpr const char* kCaptions[][2] = {
    {"Отчёт об измерениях радона", "Radon measurement report"},
    {"Прибор", "Meter"},
    {"Период", "Period"},
    {"Результатов", "Results"},
    {"Дата отчёта", "Date of the report"},
    {"Сводка", "Summary"},
    {"Среднее", "Mean"},
    {"Медиана", "Median"},
    {"Наименьшее", "Lowest"},
    {"Наибольшее", "Highest"},
    {"Не ниже", "At or above"},
    {"Ниже нижнего предела", "Below the lower limit"},
    {"Выше диапазона", "Over the range"},
    {"Дней измерения", "Days measured"},
    {"Первый результат", "First result"},
    {"Последний результат", "Last result"},
    {"Все результаты", "Every result"},
    {"Среднее по часам суток", "Mean by hour of day"},
    {"Час суток", "Hour of day"},
    {"Средние по месяцам", "Monthly means"},
    {"Месяц", "Month"},
    {"Результатов", "Results"},
    {"Все результаты, от первого к последнему", "All results, oldest first"},
    {"№", "No."},
    {"Дата и время", "Date and time"},
    {"Значение", "Value"},
    {"За этот период результатов нет.", "There are no results in this period."},
    {"Страница", "Page"},
    {"ниже нижнего предела, учтено как", "below the lower limit, counted at"},
    {"выше диапазона, учтено как", "over the range, counted at"},
    {"ВОЗ", "WHO"},
    {"США", "US"},
    {"верхний", "upper"},
};

constexpr const char* kMonths[12][2] = {
    {"январь", "January"},  {"февраль", "February"}, {"март", "March"},
    {"апрель", "April"},    {"май", "May"},          {"июнь", "June"},
    {"июль", "July"},       {"август", "August"},    {"сентябрь", "September"},
    {"октябрь", "October"}, {"ноябрь", "November"},  {"декабрь", "December"},
};

constexpr const char* kShortMonths[12][2] = {
    {"янв", "Jan"}, {"фев", "Feb"}, {"мар", "Mar"}, {"апр", "Apr"}, {"май", "May"}, {"июн", "Jun"},
    {"июл", "Jul"}, {"авг", "Aug"}, {"сен", "Sep"}, {"окт", "Oct"}, {"ноя", "Nov"}, {"дек", "Dec"},
};

std::string TwoDigits(int n) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%02d", n);
    return buffer;
}

// A reference level by name and value, in the form the sentence needs (Russian: genitive, after
// "ниже", "не ниже").
std::string LevelPhrase(int bq, std::uint8_t unit, int language) {
    const std::string value = WithUnit(bq, unit, language);
    if (English(language)) {
        if (bq == archive::kReferenceWho) return "the WHO reference level (" + value + ")";
        if (bq == archive::kReferenceUs) return "the US action level (" + value + ")";
        return "the upper level of many national rules (" + value + ")";
    }
    if (bq == archive::kReferenceWho) return "референтного уровня ВОЗ (" + value + ")";
    if (bq == archive::kReferenceUs) return "уровня действий США (" + value + ")";
    return "верхнего уровня многих национальных норм (" + value + ")";
}

}  // namespace

std::string Text(Caption caption, int language) {
    return kCaptions[static_cast<int>(caption)][English(language) ? 1 : 0];
}

std::string UnitName(std::uint8_t unit, int language) {
    if (unit == 1) return English(language) ? "pCi/l" : "пКи/л";
    return English(language) ? "Bq/m³" : "Бк/м³";
}

std::string WithUnit(double bq, std::uint8_t unit, int language) {
    return archive::InUnit(bq, unit, language) + " " + UnitName(unit, language);
}

std::string MeanWithUnit(double bq, std::uint8_t unit, int language) {
    return archive::MeanInUnit(bq, unit, language) + " " + UnitName(unit, language);
}

double Shown(double bq, std::uint8_t unit) {
    // English writes a decimal point, which from_chars reads whatever the locale.
    const std::string text = archive::MeanInUnit(bq, unit, 1);
    double value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (result.ec == std::errc()) return value;
    return unit == 1 ? bq / 37.0 : bq;
}

std::vector<int> ReferenceLevels(std::uint8_t unit) {
    if (unit == 1) return {archive::kReferenceWho, archive::kReferenceUs, archive::kReferenceUpper};
    return {archive::kReferenceWho, archive::kReferenceUpper};
}

std::string Verdict(const archive::Summary& summary, std::uint8_t unit, int language) {
    const bool en = English(language);
    if (summary.count == 0) return Text(Caption::NoResults, language);

    // What a result below the lower limit and one over the range are counted at.
    const int floorBq = archive::BqOf(0).bq;
    const int topBq = archive::BqOf(0xFFFF).bq;
    const std::vector<int> levels = ReferenceLevels(unit);
    const int levelCount = static_cast<int>(levels.size());
    // How many levels a mean reaches, compared as shown, so that the words agree with the
    // number beside them.
    const auto band = [&](double bq) {
        int reached = 0;
        for (const int level : levels) {
            if (Shown(bq, unit) >= Shown(level, unit)) ++reached;
        }
        return reached;
    };
    // A result over the range was higher than counted, so the mean may be any higher; one below
    // the lower limit may have been as low as nothing.
    const bool over = summary.overRange > 0;
    const bool below = summary.belowLimit > 0;
    const double count = static_cast<double>(summary.count);
    const double lowest =
        std::max(0.0, summary.meanBq - floorBq * static_cast<double>(summary.belowLimit) / count);
    const int high = over ? levelCount : band(summary.meanBq);
    const int low = std::min(band(lowest), high);
    const auto level = [&](int reached) {
        return LevelPhrase(levels[reached - 1], unit, language);
    };

    const std::string mean = MeanWithUnit(summary.meanBq, unit, language);
    std::string text;
    if (en) {
        text = over && !below ? "The mean is at least " + mean
               : over         ? "The mean as counted is " + mean
                              : "The mean is " + mean;
        if (low == high) {
            if (high == 0) {
                text += ", below " + level(1) + ".";
            } else if (high < levelCount) {
                text += ", at or above " + level(high) + " and below " + level(high + 1) + ".";
            } else {
                text += ", at or above " + level(high) + ".";
            }
        } else if (over) {
            if (low > 0) text += ", at or above " + level(low);
            text += "; it may be at or above " + level(low + 1) + ".";
        } else {
            text += ", at or above " + level(high) + " as counted, but it may be below it.";
        }
        if (over) {
            text += " " + CountOfResults(summary.overRange, language) + " over the range " +
                    (summary.overRange == 1 ? "was" : "were") + " counted at " +
                    WithUnit(topBq, unit, language) + ".";
        }
        if (below) {
            text += " " + CountOfResults(summary.belowLimit, language) + " below the lower limit " +
                    (summary.belowLimit == 1 ? "was" : "were") + " counted at " +
                    WithUnit(floorBq, unit, language) + ".";
        }
        if (summary.shortTerm) {
            text += " The measurement covers " + std::to_string(summary.days) +
                    (summary.days == 1 ? " day" : " days") +
                    "; a decision needs a measurement of at least " +
                    std::to_string(archive::kLongTermDays) + " days, ideally a year.";
        }
        return text;
    }

    text = over && !below ? "Среднее значение — не менее " + mean
           : over ? "Среднее значение по учтённым результатам — " + mean
                  : "Среднее значение — " + mean;
    if (low == high) {
        if (high == 0) {
            text += ", ниже " + level(1) + ".";
        } else if (high < levelCount) {
            text += ", не ниже " + level(high) + " и ниже " + level(high + 1) + ".";
        } else {
            text += ", не ниже " + level(high) + ".";
        }
    } else if (over) {
        if (low > 0) text += ", не ниже " + level(low);
        text += "; оно может быть и не ниже " + level(low + 1) + ".";
    } else {
        text += ", по учтённым результатам не ниже " + level(high) + ", но может быть и ниже.";
    }
    if (over) {
        text += " " + CountOfResults(summary.overRange, language) + " выше диапазона " +
                RussianPlural(summary.overRange, "учтён", "учтены", "учтены") + " как " +
                WithUnit(topBq, unit, language) + ".";
    }
    if (below) {
        text += " " + CountOfResults(summary.belowLimit, language) + " ниже нижнего предела " +
                RussianPlural(summary.belowLimit, "учтён", "учтены", "учтены") + " как " +
                WithUnit(floorBq, unit, language) + ".";
    }
    if (summary.shortTerm) {
        const auto days = static_cast<std::size_t>(std::max(summary.days, 0));
        const auto longTerm = static_cast<std::size_t>(archive::kLongTermDays);
        text += " Измерение охватывает " + std::to_string(days) + " " +
                RussianPlural(days, "день", "дня", "дней") +
                "; для решения нужно измерять не менее " + std::to_string(longTerm) + " " +
                RussianPlural(longTerm, "дня", "дней", "дней") + ", лучше год.";
    }
    return text;
}

std::string DayText(int year, int month, int day, int language) {
    // A date never given (the report's own, say) shows as a dash.
    if (year <= 0 || month < 1 || month > 12 || day < 1 || day > 31) return "–";
    if (English(language)) {
        return std::to_string(year) + "-" + TwoDigits(month) + "-" + TwoDigits(day);
    }
    return TwoDigits(day) + "." + TwoDigits(month) + "." + std::to_string(year);
}

std::string TimeText(const archive::Result& result, int language) {
    return DayText(result.year, result.month, result.day, language) + " " + TwoDigits(result.hour) +
           ":" + TwoDigits(result.minute);
}

std::string MonthText(int year, int month, int language) {
    if (month < 1 || month > 12) return std::to_string(year) + "-" + TwoDigits(month);
    return std::string(kMonths[month - 1][English(language) ? 1 : 0]) + " " + std::to_string(year);
}

std::string ShortMonth(int month, int language) {
    if (month < 1 || month > 12) return TwoDigits(month);
    return kShortMonths[month - 1][English(language) ? 1 : 0];
}

std::string PeriodText(const archive::Period& period, const archive::Summary& summary,
                       int language) {
    std::string from = "…";
    std::string to = "…";
    if (period.from) {
        from = DayText(period.from->year, period.from->month, period.from->day, language);
    } else if (summary.first) {
        from = DayText(summary.first->year, summary.first->month, summary.first->day, language);
    }
    if (period.to) {
        to = DayText(period.to->year, period.to->month, period.to->day, language);
    } else if (summary.last) {
        to = DayText(summary.last->year, summary.last->month, summary.last->day, language);
    }
    return from + " – " + to;
}

std::string CountOfResults(std::size_t count, int language) {
    if (English(language)) return std::to_string(count) + (count == 1 ? " result" : " results");
    return std::to_string(count) + " " +
           RussianPlural(count, "результат", "результата", "результатов");
}

}  // namespace tavex::report
