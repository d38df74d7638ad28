#include "export/excel.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "export/automation/recorder.h"

namespace tavex {
namespace {

using automation::Recorder;
using automation::Variant;
using Lines = std::vector<std::string>;

const std::string App = "Excel.Application";
const std::string Books = App + ".Workbooks";
const std::string Book = Books + ".Item(Integer 1)";
const std::string Sheets = Book + ".Worksheets";
const std::string Sheet1 = Sheets + ".Item(Integer 1)";

struct ShownMessage {
    std::string text;
    std::string caption;
    int flags;
};

class RecordingMessageBox : public MessageBox {
public:
    void Show(const std::string& text, const std::string& caption, int flags) override {
        shown.push_back({text, caption, flags});
    }
    std::vector<ShownMessage> shown;
};

class ExcelTest : public ::testing::Test {
protected:
    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
    std::shared_ptr<RecordingMessageBox> messages = std::make_shared<RecordingMessageBox>();
    Excel excel{recorder, messages};

    void Open() {
        ASSERT_TRUE(excel.OpenWorkbook(1));
        recorder->ClearLog();
    }
};

TEST_F(ExcelTest, OpenWorkbookSequence) {
    ASSERT_TRUE(excel.OpenWorkbook(1));
    EXPECT_TRUE(excel.IsOpen());
    const Lines expected = {
        "Create " + App,
        App + " Get Workbooks",
        App + " Put SheetsInNewWorkbook = Byte 1",
        Books + " Call Add",
        Books + " Get Item(Integer 1)",
        Book + " Get Worksheets",
        Sheets + " Get Item(Integer 1)",
        Sheet1 + " Call Activate",
    };
    EXPECT_EQ(recorder->Log(), expected);

    recorder->ClearLog();
    EXPECT_TRUE(excel.OpenWorkbook(1));  // already open: nothing is created
    EXPECT_TRUE(recorder->Log().empty());
    EXPECT_TRUE(messages->shown.empty());
}

TEST_F(ExcelTest, OpenWorkbookWithoutSheetsOrApplication) {
    EXPECT_FALSE(excel.OpenWorkbook(0));
    EXPECT_EQ(recorder->Log(), (Lines{"Create " + App}));
    EXPECT_FALSE(excel.IsOpen());

    recorder->SetCreateFails(true);
    EXPECT_FALSE(excel.OpenWorkbook(1));
    ASSERT_EQ(messages->shown.size(), 1u);
    EXPECT_EQ(messages->shown[0].text, "Microsoft Excel не установлен на компьютере");
    EXPECT_EQ(messages->shown[0].caption, "Ошибка");
    EXPECT_EQ(messages->shown[0].flags, 16);
    EXPECT_FALSE(excel.IsOpen());
    EXPECT_FALSE(excel.IsSpreadsheetAvailable());
    EXPECT_EQ(messages->shown.size(), 1u);  // the start-up check stays silent

    recorder->SetCreateFails(false);
    recorder->ClearLog();
    EXPECT_TRUE(excel.IsSpreadsheetAvailable());
    EXPECT_EQ(recorder->Log(), (Lines{"Create " + App}));
}

TEST_F(ExcelTest, OpenWorkbookOpensEvenWhenItsStepsFail) {
    recorder->FailCall(4);  // workbooks Add
    EXPECT_TRUE(excel.OpenWorkbook(1));
    EXPECT_TRUE(excel.IsOpen());
    EXPECT_EQ(recorder->Log().size(), 4u);
    EXPECT_EQ(recorder->Log().back(), Books + " Call Add !failed");
}

TEST_F(ExcelTest, SheetNumbersMustBeBelowTheBound) {
    EXPECT_FALSE(excel.RenameSheet(1, "Results"));  // closed
    Open();
    EXPECT_FALSE(excel.RenameSheet(2, "Results"));
    EXPECT_FALSE(excel.RenameSheet(0, "Results"));
    EXPECT_FALSE(excel.ActivateSheet(2));
    EXPECT_TRUE(recorder->Log().empty());

    EXPECT_TRUE(excel.RenameSheet(1, "Результаты"));
    EXPECT_TRUE(excel.ActivateSheet(1));
    const std::string sheet = Sheets + ".Item(Byte 1)";
    EXPECT_EQ(recorder->Log(), (Lines{Sheets + " Get Item(Byte 1)",
                                      sheet + " Put Name = Text \"Результаты\"",
                                      Sheets + " Get Item(Byte 1)", sheet + " Call Activate"}));

    recorder->ClearLog();
    recorder->FailCall(1);
    EXPECT_TRUE(excel.RenameSheet(1, "x"));  // true once the conditions held
}

TEST(ExcelAddress, BuildRangeAddress) {
    Excel excel(std::make_shared<Recorder>(), nullptr);
    struct Case {
        int r1, c1, r2, c2;
        const char* address;
    };
    for (const Case& c : {Case{6, 5, 6, 8, "E6:H6"}, Case{7, 5, 112, 9, "E7:I112"},
                          Case{6, 5, 0, 0, "E6"}, Case{9999, 26, 0, 3, "Z9999"},
                          Case{1, 1, 99999999, 26, "A1:Z99999999"}}) {
        EXPECT_TRUE(excel.BuildRangeAddress(c.r1, c.c1, c.r2, c.c2)) << c.address;
        EXPECT_EQ(excel.RangeAddress(), c.address);
    }
    excel.BuildRangeAddress(6, 5, 6, 8);
    for (const Case& c : {Case{10000, 1, 0, 0, ""}, Case{0, 5, 6, 8, ""}, Case{6, 0, 6, 8, ""},
                          Case{-1, 5, 0, 0, ""}, Case{6, 27, 0, 0, ""}, Case{6, 5, 6, 27, ""},
                          Case{1000, 1, 1000000000, 2, ""}}) {
        EXPECT_FALSE(excel.BuildRangeAddress(c.r1, c.c1, c.r2, c.c2)) << c.r1 << "," << c.c1;
        EXPECT_EQ(excel.RangeAddress(), "E6:H6");
    }
}

TEST_F(ExcelTest, SelectionsAndBorders) {
    Open();
    EXPECT_TRUE(excel.SelectRange(10000, 1, 0, 0, false));
    EXPECT_TRUE(recorder->Log().empty());

    EXPECT_TRUE(excel.SelectRange(6, 5, 6, 8, true));
    const std::string range = Sheet1 + ".Range(Text \"E6:H6\")";
    EXPECT_EQ(recorder->Log(),
              (Lines{Sheet1 + " Get Range(Text \"E6:H6\")", range + " Call Merge"}));

    recorder->ClearLog();
    excel.SetBorderStyle(3, 3, 1);
    EXPECT_TRUE(recorder->Log().empty());
    excel.ApplyBorders();
    Lines expected;
    for (int edge = 7; edge <= 10; ++edge) {
        const std::string border = range + ".Borders(Integer " + std::to_string(edge) + ")";
        expected.push_back(range + " Get Borders(Integer " + std::to_string(edge) + ")");
        expected.push_back(border + " Put LineStyle = Integer 3");
        expected.push_back(border + " Put Weight = Integer 3");
        expected.push_back(border + " Put ColorIndex = Integer 1");
    }
    EXPECT_EQ(recorder->Log(), expected);

    recorder->ClearLog();
    excel.SelectCell(6, 5);
    excel.SetRowHeightAndColumnWidth(15, 25);
    const std::string cell = Sheet1 + ".Cells.Item(Integer 6, Integer 5)";
    EXPECT_EQ(recorder->Log(), (Lines{Sheet1 + " Get Cells", Sheet1 + ".Cells Get Item(Integer 6, Integer 5)",
                                      cell + " Put RowHeight = Integer 15",
                                      cell + " Put ColumnWidth = Integer 25"}));

    // A failed selection leaves the current range where it was.
    recorder->ClearLog();
    recorder->FailCall(1);
    excel.SelectCell(7, 5);
    excel.SetValue("1");
    EXPECT_EQ(recorder->Log().back(), cell + " Put Value = Text \"1\"");
}

TEST_F(ExcelTest, FormatRangeSequenceEffectsAndUnderlines) {
    Open();
    excel.SelectRange(6, 5, 6, 8, false);
    const std::string range = Sheet1 + ".Range(Text \"E6:H6\")";
    const std::string font = range + ".Font";
    recorder->ClearLog();
    excel.FormatRange(-4108, -4108, 10, 16, "ArialCur", 3, 3, 0, 0);
    const Lines expected = {
        range + " Get Interior",
        range + ".Interior Put ColorIndex = Integer 16",
        range + " Get Font",
        font + " Put Color = Integer 3",
        range + " Put HorizontalAlignment = Integer -4108",
        range + " Put VerticalAlignment = Integer -4108",
        range + " Get Font",
        font + " Put Size = Integer 10",
        range + " Get Font",
        font + " Put Name = Text \"ArialCur\"",
        range + " Get Font",
        font + " Put Bold = Boolean -1",
        range + " Get Font",
        font + " Put Italic = Boolean -1",
        range + " Get Font",
        font + " Put OutlineFont = Boolean -1",
    };
    EXPECT_EQ(recorder->Log(), expected);

    auto lastPuts = [&](int style, int effect, int underline) {
        recorder->ClearLog();
        excel.FormatRange(1, 1, 10, 0, "Arial", 0, style, effect, underline);
        Lines puts;
        for (const auto& line : recorder->Log()) {
            if (line.rfind(font + " Put ", 0) == 0) puts.push_back(line.substr(font.size() + 5));
        }
        return Lines(puts.begin() + 3, puts.end());  // after Color, Size, Name
    };
    EXPECT_EQ(lastPuts(1, 1, 2), (Lines{"Bold = Boolean -1", "Italic = Boolean 0",
                                        "Strikethrough = Boolean -1", "Underline = Integer 2"}));
    EXPECT_EQ(lastPuts(2, 2, 4), (Lines{"Bold = Boolean 0", "Italic = Boolean -1",
                                        "Superscript = Boolean -1", "Underline = Integer 4"}));
    EXPECT_EQ(lastPuts(0, 3, 5), (Lines{"Bold = Boolean 0", "Italic = Boolean 0",
                                        "Subscript = Boolean -1", "Underline = Integer 5"}));
    EXPECT_EQ(lastPuts(7, 4, -4119), (Lines{"Bold = Boolean 0", "Italic = Boolean 0",
                                            "Subscript = Boolean -1", "Underline = Integer -4119"}));
    EXPECT_EQ(lastPuts(3, 5, 1),
              (Lines{"Bold = Boolean -1", "Italic = Boolean -1", "OutlineFont = Boolean -1"}));
    EXPECT_EQ(lastPuts(3, 6, 3),
              (Lines{"Bold = Boolean -1", "Italic = Boolean -1", "Shadow = Boolean -1"}));
    EXPECT_EQ(lastPuts(3, 7, -4142),
              (Lines{"Bold = Boolean -1", "Italic = Boolean -1", "OutlineFont = Boolean -1"}));
}

TEST_F(ExcelTest, SuperscriptActsOnTheAddressBuiltLast) {
    Open();
    excel.SelectRange(6, 5, 6, 8, false);
    excel.SelectCell(6, 6);
    recorder->ClearLog();
    excel.SuperscriptCharacters(12, 1);
    const std::string range = Sheet1 + ".Range(Text \"E6:H6\")";
    const std::string characters = range + ".Characters(Byte 12, Byte 1)";
    EXPECT_EQ(recorder->Log(),
              (Lines{Sheet1 + " Get Range(Text \"E6:H6\")", range + " Get Characters(Byte 12, Byte 1)",
                     characters + " Get Font", characters + ".Font Put Superscript = Integer 1"}));
}

TEST_F(ExcelTest, SaveAndClose) {
    excel.ShowApplication();  // closed: nothing
    EXPECT_TRUE(recorder->Log().empty());
    Open();
    recorder->SetGetResult("DisplayAlerts", Variant::Boolean(true));
    excel.ShowApplication();
    std::string error = "stale";
    EXPECT_TRUE(excel.SaveWorkbookAs("/tmp/results.xlsx", &error));
    EXPECT_EQ(error, "");
    EXPECT_FALSE(excel.IsOpen());
    EXPECT_EQ(excel.SaveName(), "/tmp/results.xlsx");
    EXPECT_EQ(recorder->Log(), (Lines{App + " Put Visible = Boolean -1", App + " Get DisplayAlerts",
                                      App + " Put DisplayAlerts = Boolean 0", App + " Get Workbooks",
                                      Books + " Get Item(Integer 1)",
                                      Book + " Call SaveAs(Text \"/tmp/results.xlsx\")",
                                      App + " Put DisplayAlerts = Boolean -1"}));

    recorder->ClearLog();
    excel.CloseWorkbook();  // closed by the save: nothing happens to that workbook
    EXPECT_TRUE(recorder->Log().empty());
    EXPECT_FALSE(excel.SaveWorkbookAs("/tmp/again.xlsx", &error));
    EXPECT_FALSE(error.empty());

    Open();
    excel.CloseWorkbook();
    EXPECT_EQ(recorder->Log(), (Lines{App + " Get Workbooks(Integer 1)",
                                      App + ".Workbooks(Integer 1) Put Saved = Boolean -1",
                                      App + " Get Workbooks", Books + " Call Close"}));
    EXPECT_FALSE(excel.IsOpen());
}

TEST_F(ExcelTest, FailedSaveIsReportedAndStillCloses) {
    Open();
    recorder->SetGetResult("DisplayAlerts", Variant::Boolean(true));
    recorder->FailCall(5);  // SaveAs
    std::string error;
    EXPECT_FALSE(excel.SaveWorkbookAs("/nowhere/results.xlsx", &error));
    EXPECT_NE(error.find("SaveAs"), std::string::npos);
    EXPECT_FALSE(excel.IsOpen());
    EXPECT_EQ(recorder->Log().size(), 5u);

    Open();
    recorder->FailCall(1);
    excel.CloseWorkbook();
    EXPECT_FALSE(excel.IsOpen());
}

// Whichever call fails, only the operation that made it ends: the operations after it make
// their calls as before.
TEST(ExcelFailures, AFailedCallEndsOnlyItsOperation) {
    using Operation = std::function<void(Excel&)>;
    const std::vector<Operation> script = {
        [](Excel& e) { e.OpenWorkbook(1); },
        [](Excel& e) { e.RenameSheet(1, "Results"); },
        [](Excel& e) { e.SelectRange(6, 5, 6, 8, false); },
        [](Excel& e) { e.SetBorderStyle(3, 3, 1); },
        [](Excel& e) { e.ApplyBorders(); },
        [](Excel& e) { e.FormatRange(-4108, -4108, 10, 16, "ArialCur", 3, 3, 0, 0); },
        [](Excel& e) { e.SetValue("Value, Bq/m3"); },
        [](Excel& e) { e.SuperscriptCharacters(12, 1); },
        [](Excel& e) { e.SelectCell(7, 5); },
        [](Excel& e) { e.SetRowHeightAndColumnWidth(15, 25); },
        [](Excel& e) { e.SetValue("1"); },
        [](Excel& e) { e.SaveWorkbookAs("out.xlsx"); },
    };
    // Operations that change no references: a failure inside leaves the rest untouched.
    const std::vector<bool> stateless = {false, false, false, true, true, true,
                                         true,  false, false, true, true, false};
    auto run = [&](std::size_t failAt) {
        auto recorder = std::make_shared<Recorder>();
        recorder->SetGetResult("DisplayAlerts", Variant::Boolean(true));
        if (failAt) recorder->FailCall(failAt);
        Excel excel(recorder, nullptr);
        std::vector<Lines> slices;
        for (const auto& operation : script) {
            const std::size_t before = recorder->Log().size();
            operation(excel);
            slices.emplace_back(recorder->Log().begin() + static_cast<std::ptrdiff_t>(before),
                                recorder->Log().end());
        }
        return slices;
    };
    const std::vector<Lines> baseline = run(0);
    std::size_t total = 0;
    for (const auto& slice : baseline) total += slice.size();
    ASSERT_GT(total, 40u);

    for (std::size_t failAt = 1; failAt <= total; ++failAt) {
        SCOPED_TRACE(failAt);
        const std::vector<Lines> slices = run(failAt);
        std::size_t seen = 0;
        std::size_t failed = script.size();
        for (std::size_t op = 0; op < script.size(); ++op) {
            if (failAt > seen && failAt <= seen + slices[op].size()) {
                failed = op;
                // The failed call is the operation's last.
                ASSERT_EQ(slices[op].size(), failAt - seen);
                EXPECT_NE(slices[op].back().find("!failed"), std::string::npos);
            }
            seen += slices[op].size();
        }
        ASSERT_LT(failed, script.size());
        for (std::size_t op = 0; op < failed; ++op) EXPECT_EQ(slices[op], baseline[op]);
        if (stateless[failed]) {
            for (std::size_t op = failed + 1; op < script.size(); ++op) {
                EXPECT_EQ(slices[op], baseline[op]) << "operation " << op;
            }
        }
    }
}

}  // namespace
}  // namespace tavex
