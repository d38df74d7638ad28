#include "report/texts.h"

#include <gtest/gtest.h>

#include <charconv>
#include <string>
#include <vector>

namespace tavex::report {
namespace {

archive::Summary SummaryOf(double meanBq, std::size_t count, std::size_t overRange,
                           std::size_t belowLimit, int days) {
    archive::Summary s;
    s.count = count;
    s.meanBq = meanBq;
    s.overRange = overRange;
    s.belowLimit = belowLimit;
    s.days = days;
    s.shortTerm = days < archive::kLongTermDays;
    return s;
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

struct VerdictCase {
    const char* name;
    archive::Summary summary;
    std::uint8_t unit;
    std::vector<std::string> english;  // must appear
    std::vector<std::string> russian;
    std::vector<std::string> englishNot;  // must not appear
    std::vector<std::string> russianNot;
};

TEST(Verdict, CasesInBothLanguages) {
    const std::string who = "the WHO reference level (100 Bq/m³)";
    const std::string upper = "the upper level of many national rules (300 Bq/m³)";
    const std::string whoRu = "референтного уровня ВОЗ (100 Бк/м³)";
    const std::string upperRu = "верхнего уровня многих национальных норм (300 Бк/м³)";
    const std::vector<VerdictCase> cases = {
        {"below 100",
         SummaryOf(80, 4000, 0, 0, 180),
         0,
         {"The mean is 80.0 Bq/m³, below " + who + "."},
         {"Среднее значение — 80,0 Бк/м³, ниже " + whoRu + "."},
         {"at least", "decision", "counted"},
         {"не менее", "решения", "учтен"}},
        {"between",
         SummaryOf(150, 4000, 0, 0, 180),
         0,
         {"at or above " + who + " and below " + upper + "."},
         {"не ниже " + whoRu + " и ниже " + upperRu + "."},
         {"decision"},
         {"решения"}},
        {"above 300",
         SummaryOf(420, 4000, 0, 0, 365),
         0,
         {"The mean is 420.0 Bq/m³, at or above " + upper + "."},
         {"Среднее значение — 420,0 Бк/м³, не ниже " + upperRu + "."},
         {"below"},
         {", ниже ", "и ниже "}},
        {"over the range, mean under 100",
         SummaryOf(90, 1000, 2, 0, 120),
         0,
         {"The mean is at least 90.0 Bq/m³", "it may be at or above " + who,
          "2 results over the range were counted at 10000 Bq/m³."},
         {"не менее 90,0 Бк/м³", "может быть и не ниже " + whoRu,
          "2 результата выше диапазона учтены как 10000 Бк/м³."},
         {"below"},
         {", ниже ", "и ниже "}},
        {"over the range, mean between",
         SummaryOf(200, 1000, 1, 0, 120),
         0,
         {"at least 200.0 Bq/m³, at or above " + who + "; it may be at or above " + upper,
          "1 result over the range was counted"},
         {"не менее 200,0 Бк/м³, не ниже " + whoRu, "1 результат выше диапазона учтён"},
         {"below"},
         {", ниже ", "и ниже "}},
        {"short period",
         SummaryOf(150, 300, 0, 0, 12),
         0,
         {"covers 12 days", "at least 90 days"},
         {"охватывает 12 дней", "не менее 90 дней"},
         {},
         {}},
        {"one day",
         SummaryOf(150, 20, 0, 0, 1),
         0,
         {"covers 1 day;"},
         {"охватывает 1 день;"},
         {},
         {}},
        {"below the limit, level only just reached",
         SummaryOf(102, 1000, 0, 100, 200),
         0,
         {"The mean is 102.0 Bq/m³, at or above " + who + " as counted, but it may be below it.",
          "100 results below the lower limit were counted at 50 Bq/m³."},
         {"по учтённым результатам не ниже " + whoRu + ", но может быть и ниже.",
          "100 результатов ниже нижнего предела учтены как 50 Бк/м³."},
         {},
         {}},
        {"below the limit, level clearly reached",
         SummaryOf(180, 1000, 0, 21, 200),
         0,
         {"at or above " + who + " and below " + upper + ".", "21 results below the lower"},
         {"21 результат ниже нижнего предела учтён"},
         {"may be"},
         {"может"}},
        {"pCi/l: US action level",
         SummaryOf(160, 1000, 0, 0, 200),
         1,
         {"The mean is 4.3 pCi/l, at or above the US action level (4.0 pCi/l) and below the "
          "upper level of many national rules (8.1 pCi/l)."},
         {"Среднее значение — 4,3 пКи/л, не ниже уровня действий США (4,0 пКи/л)"},
         {},
         {}},
        {"no results", SummaryOf(0, 0, 0, 0, 0), 0, {"no results"}, {"результатов нет"}, {}, {}},
    };
    for (const VerdictCase& c : cases) {
        const std::string en = Verdict(c.summary, c.unit, 1);
        const std::string ru = Verdict(c.summary, c.unit, 0);
        for (const std::string& part : c.english)
            EXPECT_TRUE(Has(en, part)) << c.name << ": " << en;
        for (const std::string& part : c.russian)
            EXPECT_TRUE(Has(ru, part)) << c.name << ": " << ru;
        for (const std::string& part : c.englishNot)
            EXPECT_FALSE(Has(en, part)) << c.name << ": " << en;
        for (const std::string& part : c.russianNot)
            EXPECT_FALSE(Has(ru, part)) << c.name << ": " << ru;
    }
}

// The words agree with the number shown beside them, however the mean rounds.
TEST(Verdict, SaysBelowExactlyWhenTheShownMeanIsBelowTheShownLevel) {
    for (const std::uint8_t unit : {0, 1}) {
        for (int tenths = 900; tenths <= 1100; ++tenths) {
            const double mean = tenths / 10.0;
            const std::string text = Verdict(SummaryOf(mean, 5000, 0, 0, 200), unit, 1);
            double shownMean = 0;
            double shownLevel = 0;
            const std::string meanText = archive::MeanInUnit(mean, unit, 1);
            const std::string levelText = archive::MeanInUnit(archive::kReferenceWho, unit, 1);
            std::from_chars(meanText.data(), meanText.data() + meanText.size(), shownMean);
            std::from_chars(levelText.data(), levelText.data() + levelText.size(), shownLevel);
            EXPECT_TRUE(Has(text, meanText)) << text;
            EXPECT_EQ(Has(text, "below the WHO"), shownMean < shownLevel) << text;
            EXPECT_EQ(Has(text, "at or above the WHO"), shownMean >= shownLevel) << text;
        }
    }
}

TEST(Texts, RussianNumberForms) {
    const std::pair<std::size_t, const char*> forms[] = {
        {0, "0 результатов"},      {1, "1 результат"},     {2, "2 результата"},
        {4, "4 результата"},       {5, "5 результатов"},   {11, "11 результатов"},
        {12, "12 результатов"},    {14, "14 результатов"}, {21, "21 результат"},
        {22, "22 результата"},     {101, "101 результат"}, {111, "111 результатов"},
        {1004, "1004 результата"},
    };
    for (const auto& [n, text] : forms) EXPECT_EQ(CountOfResults(n, 0), text);
    EXPECT_EQ(CountOfResults(1, 1), "1 result");
    EXPECT_EQ(CountOfResults(2, 1), "2 results");
}

TEST(Texts, DateTimesStayAsStored) {
    archive::Result r;
    r.year = 2026;
    r.month = 2;
    r.day = 31;
    r.hour = 8;
    r.minute = 60;
    EXPECT_EQ(TimeText(r, 1), "2026-02-31 08:60");
    EXPECT_EQ(TimeText(r, 0), "31.02.2026 08:60");
    archive::Summary summary;
    summary.first = r;
    summary.last = r;
    archive::Period period;
    period.from = archive::Day{2026, 1, 5};
    EXPECT_EQ(PeriodText(period, summary, 1), "2026-01-05 – 2026-02-31");
    EXPECT_EQ(PeriodText(period, summary, 0), "05.01.2026 – 31.02.2026");
    EXPECT_EQ(DayText(0, 0, 0, 1), "–");
}

}  // namespace
}  // namespace tavex::report
