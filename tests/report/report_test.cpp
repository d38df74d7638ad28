#include "report/report.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QXmlStreamReader>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "fileio/safe_file.h"
#include "report/texts.h"
#include "tests/report/report_test_data.h"

namespace tavex::report {
namespace {

namespace fs = std::filesystem;
using test_data::At;
using test_data::Hourly;
using test_data::RequestOf;

class ReportFiles : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(MakePrivateFolder("tavex-report-test", folder_, error)) << error;
    }
    void TearDown() override { RemoveTree(folder_); }

    std::string PathOf(const std::string& name) const {
        return (fs::path(folder_) / name).string();
    }
    static std::string Contents(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        return bytes.str();
    }
    // The PDF's text laid out as on the page; nullopt without pdftotext.
    std::optional<std::string> PdfText(const std::string& pdf) {
        const QString tool = QStandardPaths::findExecutable(QStringLiteral("pdftotext"));
        if (tool.isEmpty()) return std::nullopt;
        const std::string path = PathOf("text.pdf");
        std::string error;
        EXPECT_TRUE(ReplaceWholeFile(path, pdf.data(), pdf.size(), error)) << error;
        QProcess process;
        process.start(tool,
                      {QStringLiteral("-layout"), QStringLiteral("-enc"), QStringLiteral("UTF-8"),
                       QString::fromStdString(path), QStringLiteral("-")});
        EXPECT_TRUE(process.waitForFinished(60000));
        EXPECT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
        return process.readAllStandardOutput().toStdString();
    }

    std::string folder_;
};

bool Matches(const std::string& text, const QString& pattern) {
    return QRegularExpression(pattern).match(QString::fromStdString(text)).hasMatch();
}

// 300 hourly results of 170 Bq/m3 (raw 20) from 1 November 2026.
ReportRequest Steady(std::uint8_t unit, int language) {
    return RequestOf(Hourly(At(2026, 11, 1), 300, [](int) { return 20; }), unit, language);
}

TEST_F(ReportFiles, PdfHoldsPeriodCountMeanAndEveryResultInBothLanguages) {
    const struct {
        std::uint8_t unit;
        int language;
        const char* count;   // the label and the count
        const char* mean;    // the label and 170 Bq/m3 in the unit
        const char* period;  // the first and last days
        const char* firstRow;
        const char* lastRow;
    } cases[] = {
        {0, 1, "Results\\s+300\\b", "Mean\\s+170.0 Bq/m³", "2026-11-01 – 2026-11-13",
         "\\b1\\s+2026-11-01 00:00\\s+170\\b", "\\b300\\s+2026-11-13 11:00\\s+170\\b"},
        {1, 0, "Результатов\\s+300\\b", "Среднее\\s+4,6 пКи/л", "01.11.2026 – 13.11.2026",
         "\\b1\\s+01.11.2026 00:00\\s+4,6\\b", "\\b300\\s+13.11.2026 11:00\\s+4,6\\b"},
        {1, 1, "Results\\s+300\\b", "Mean\\s+4.6 pCi/l", "2026-11-01 – 2026-11-13",
         "\\b1\\s+2026-11-01 00:00\\s+4.6\\b", "\\b300\\s+2026-11-13 11:00\\s+4.6\\b"},
    };
    for (const auto& c : cases) {
        const ReportRequest request = Steady(c.unit, c.language);
        std::string pdf;
        std::string error;
        ASSERT_TRUE(RenderPdf(request, pdf, error)) << error;
        ASSERT_EQ(pdf.rfind("%PDF-", 0), 0u);
        const auto text = PdfText(pdf);
        if (!text) GTEST_SKIP() << "pdftotext is not installed";
        EXPECT_TRUE(Matches(*text, QString::fromUtf8(c.count))) << *text;
        EXPECT_TRUE(Matches(*text, QString::fromUtf8(c.mean))) << *text;
        EXPECT_NE(text->find(c.period), std::string::npos) << *text;
        EXPECT_TRUE(Matches(*text, QString::fromUtf8(c.firstRow))) << *text;
        EXPECT_TRUE(Matches(*text, QString::fromUtf8(c.lastRow))) << *text;
        for (const archive::Result& r : request.results) {
            ASSERT_NE(text->find(TimeText(r, c.language)), std::string::npos)
                << TimeText(r, c.language);
        }
        // The short period is said in the sentence.
        EXPECT_TRUE(Matches(*text, c.language == 1 ? QStringLiteral("at\\s+least\\s+90\\s+days")
                                                   : QStringLiteral("не\\s+менее\\s+90\\s+дней")));
    }
}

TEST_F(ReportFiles, MonthlyMeansBeyondTheFirstPageFlowOn) {
    // A result a day for twelve years: 144 monthly means.
    std::vector<archive::Result> results;
    for (QDate d(2010, 1, 1); d.year() < 2022; d = d.addDays(1)) {
        results.push_back(test_data::ResultAt(QDateTime(d, QTime(12, 0), Qt::UTC), 15));
    }
    const ReportRequest request = RequestOf(results, 0, 0);
    ASSERT_EQ(request.summary.byMonth.size(), 144u);
    std::string pdf;
    std::string error;
    ASSERT_TRUE(RenderPdf(request, pdf, error)) << error;
    const auto text = PdfText(pdf);
    if (!text) GTEST_SKIP() << "pdftotext is not installed";
    for (const archive::MonthMean& m : request.summary.byMonth) {
        EXPECT_TRUE(Matches(*text, QString::fromStdString(MonthText(m.year, m.month, 0)) +
                                       QStringLiteral("\\s+") + QString::number(m.mean.count) +
                                       QStringLiteral("\\s+128\\b")))
            << MonthText(m.year, m.month, 0);
    }
    EXPECT_TRUE(Matches(*text, QStringLiteral("\\b4383\\s+31.12.2021 12:00")));
}

TEST_F(ReportFiles, PageImagesMatchThePdfsPages) {
    // A year: the results need many pages.
    const ReportRequest request =
        RequestOf(Hourly(At(2025, 12, 1), 8760, [](int i) { return 5 + i % 40; }), 0, 1);
    std::string pdf;
    std::string error;
    ASSERT_TRUE(RenderPdf(request, pdf, error)) << error;
    const QString text = QString::fromLatin1(pdf.data(), static_cast<qsizetype>(pdf.size()));
    const int pages =
        static_cast<int>(text.count(QRegularExpression(QStringLiteral("/Type\\s*/Page[^s]"))));
    ASSERT_GT(pages, 10);
    ASSERT_LT(pages, 60);  // several columns of results on a page

    const QImage first = RenderPageImage(request, 0, 40);
    ASSERT_FALSE(first.isNull());
    EXPECT_NEAR(static_cast<double>(first.height()) / first.width(), 297.0 / 210.0, 0.01);
    long dark = 0;
    for (int y = 0; y < first.height(); ++y) {
        for (int x = 0; x < first.width(); ++x) dark += qGray(first.pixel(x, y)) < 128;
    }
    EXPECT_GT(dark, 1000);
    EXPECT_FALSE(RenderPageImage(request, pages - 1, 40).isNull());
    EXPECT_TRUE(RenderPageImage(request, pages, 40).isNull());
    EXPECT_TRUE(RenderPageImage(request, -1, 40).isNull());
    EXPECT_TRUE(RenderPageImage(request, 0, 5000).isNull());
}

TEST(Html, SelfContainedWellFormedWithEveryResult) {
    std::vector<archive::Result> results =
        Hourly(At(2026, 11, 1), 120, [](int i) { return static_cast<std::uint16_t>(i % 50); });
    results[7].raw = 0xFFFF;
    for (const int language : {0, 1}) {
        ReportRequest request = RequestOf(results, 1, language);
        request.model = "Model <X> & \"Co\"";
        const std::string html = RenderHtml(request);

        EXPECT_EQ(html.rfind("<!DOCTYPE html>", 0), 0u);
        EXPECT_NE(html.find("<meta charset=\"utf-8\""), std::string::npos);
        EXPECT_EQ(QString::fromUtf8(html.data(), static_cast<qsizetype>(html.size()))
                      .toUtf8()
                      .toStdString(),
                  html);
        for (const char* outside : {"<script", "http:", "https:", "src=", "href=", "@import",
                                    "url(", "<link", "<iframe", "<object", "<img"}) {
            EXPECT_EQ(html.find(outside), std::string::npos) << outside;
        }
        EXPECT_EQ(html.find("<X>"), std::string::npos);
        EXPECT_NE(html.find("Model &lt;X&gt; &amp; &quot;Co&quot;"), std::string::npos);

        // The whole page reads as XML; two charts; the results table has a row per result,
        // oldest first, the one over the range marked.
        QXmlStreamReader reader(QByteArray::fromStdString(html));
        int charts = 0;
        int rows = 0;
        bool inResults = false;
        while (!reader.atEnd()) {
            const auto token = reader.readNext();
            if (token == QXmlStreamReader::StartElement) {
                if (reader.name() == QStringLiteral("svg")) ++charts;
                if (reader.name() == QStringLiteral("table")) {
                    inResults = reader.attributes().value(QStringLiteral("class")) ==
                                QStringLiteral("results");
                }
                if (inResults && reader.name() == QStringLiteral("tr")) ++rows;
            }
        }
        EXPECT_FALSE(reader.hasError()) << reader.errorString().toStdString();
        EXPECT_EQ(charts, 2);
        EXPECT_EQ(rows, 1 + static_cast<int>(results.size()));  // with the header
        std::size_t at = 0;
        for (const archive::Result& r : results) {
            const std::size_t found = html.find(">" + TimeText(r, language) + "<", at);
            ASSERT_NE(found, std::string::npos) << TimeText(r, language);
            at = found + 1;
        }
        EXPECT_NE(html.find(">&gt;" + archive::InUnit(archive::BqOf(0xFFFF).bq, 1, language) + "<"),
                  std::string::npos);
    }
}

TEST_F(ReportFiles, WriteReportReplacesByTheRule) {
    const ReportRequest request = Steady(0, 1);
    std::string error;

    // A folder at the target is refused and stays.
    const std::string folder = PathOf("folder.pdf");
    fs::create_directory(folder);
    EXPECT_FALSE(WriteReport(folder, request, error));
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(fs::is_directory(folder));

    // A read-only earlier report is left as it was.
    const std::string readOnly = PathOf("earlier.html");
    ASSERT_TRUE(ReplaceWholeFile(readOnly, "earlier", 7, error)) << error;
    fs::permissions(readOnly,
                    fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    error.clear();
    EXPECT_FALSE(WriteReport(readOnly, request, error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(Contents(readOnly), "earlier");

    // Nothing is made in a folder that is not there.
    EXPECT_FALSE(WriteReport(PathOf("missing/report.html"), request, error));
    EXPECT_FALSE(fs::exists(PathOf("missing")));

    // The name's ending chooses the kind; an earlier file is replaced.
    const std::string pdf = PathOf("report.PDF");
    ASSERT_TRUE(ReplaceWholeFile(pdf, "old", 3, error)) << error;
    ASSERT_TRUE(WriteReport(pdf, request, error)) << error;
    EXPECT_EQ(Contents(pdf).rfind("%PDF-", 0), 0u);
    const std::string html = PathOf("report.html");
    ASSERT_TRUE(WriteReport(html, request, error)) << error;
    EXPECT_EQ(Contents(html), RenderHtml(request));
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder_)) ++files;
    EXPECT_EQ(files, 4u);  // no partial files left beside them
}

TEST(Report, WithoutResults) {
    const ReportRequest request = RequestOf({}, 0, 1);
    std::string pdf;
    std::string error;
    EXPECT_TRUE(RenderPdf(request, pdf, error)) << error;
    EXPECT_FALSE(RenderPageImage(request, 0, 30).isNull());
    EXPECT_TRUE(RenderPageImage(request, 1, 30).isNull());
    const std::string html = RenderHtml(request);
    EXPECT_NE(html.find(Text(Caption::NoResults, 1)), std::string::npos);
}

}  // namespace
}  // namespace tavex::report
