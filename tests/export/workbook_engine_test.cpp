#include "export/automation/workbook_engine.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "export/automation/workbook_model.h"
#include "export/excel.h"
#include "tests/export/workbook_check.h"

namespace tavex::automation {
namespace {

namespace fs = std::filesystem;
using namespace tavex::workbook_check;
using model::BorderLine;
using model::ValueKind;

const auto I = [](std::int32_t value) { return Variant::Integer(value); };
const auto Y = [](std::uint8_t value) { return Variant::Byte(value); };
const auto B = [](bool value) { return Variant::Boolean(value); };
const auto T = [](std::string value) { return Variant::Text(std::move(value)); };

ObjectRef Obj(const ObjectRef& object, const std::string& name, const Arguments& args = {}) {
    return object->Get(name, args).AsObject();
}

class RecordingShell : public Shell {
public:
    bool OpenDocument(const std::string& path) override {
        opened.push_back(path);
        return true;
    }
    bool StartCommand(const std::string&) override { return false; }
    std::vector<std::string> opened;
};

#ifndef _WIN32
std::string ReadFile(const fs::path& path) {
    std::ifstream stream(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(stream), {});
}
#endif

// An application with one workbook of one sheet, opened the way the export opens it.
class WorkbookEngine : public ::testing::Test {
protected:
    void SetUp() override {
        app = engine.Create("Excel.Application");
        workbooks = Obj(app, "Workbooks");
        app->Put("SheetsInNewWorkbook", Y(1));
        workbooks->Call("Add");
        workbook = Obj(workbooks, "Item", {I(1)});
        sheet = Obj(Obj(workbook, "Worksheets"), "Item", {I(1)});
        sheet->Call("Activate");
    }

    ObjectRef Range(const std::string& address) { return Obj(sheet, "Range", {T(address)}); }
    ObjectRef CellObject(std::int32_t row, std::int32_t column) {
        return Obj(Obj(sheet, "Cells"), "Item", {I(row), I(column)});
    }
    const model::Sheet& Model() { return model::ModelBehind(workbook)->sheets.at(0); }
    // The cell as the model holds it; a default cell where none exists.
    model::Cell At(const std::string& address) {
        const auto area = model::ParseAddress(address);
        const model::Cell* cell = Model().Find(area->top, area->left);
        return cell ? *cell : model::Cell{};
    }
    void Put(const std::string& address, const std::string& text) {
        Range(address)->Put("Value", T(text));
    }

    std::shared_ptr<RecordingShell> shell = std::make_shared<RecordingShell>();
    BuiltInSpreadsheet engine{shell};
    ObjectRef app, workbooks, workbook, sheet;
};

TEST(WorkbookCellText, NumbersTimesAndDatesAreRecognisedAndAllElseStaysText) {
    struct Case {
        const char* text;
        ValueKind kind;
        double number;
    };
    const Case cases[] = {{"1", ValueKind::Number, 1},
                          {"850", ValueKind::Number, 850},
                          {"-5", ValueKind::Number, -5},
                          {"+7", ValueKind::Number, 7},
                          {"007", ValueKind::Number, 7},
                          {"24,3", ValueKind::Number, 24.3},
                          {"-0,5", ValueKind::Number, -0.5},
                          {"9:05", ValueKind::Time, 545 / 1440.0},
                          {"09:05", ValueKind::Time, 545 / 1440.0},
                          {"0:00", ValueKind::Time, 0},
                          {"23:59", ValueKind::Time, 1439 / 1440.0},
                          {"07.03.21", ValueKind::Date, 44262},  // 7 March 2021
                          {"1.1.00", ValueKind::Date, 36526},    // 1 January 2000
                          {"29.02.20", ValueKind::Date, 43890},  // a leap day
                          {"31.12.99", ValueKind::Date, 73050}};
    for (const Case& c : cases) {
        const model::CellValue value = model::ParseCellText(c.text);
        EXPECT_EQ(value.kind, c.kind) << c.text;
        EXPECT_DOUBLE_EQ(value.number, c.number) << c.text;
    }
    const std::string tooLarge(400, '9');  // beyond any double
    for (const std::string text : {">10000",       "№ Measure",
                                   "Value, Bq/m3", "9:60",
                                   "24:00",        "9:",
                                   ":05",          "9:005",
                                   "31.2.21",      "29.02.21",
                                   "0.1.21",       "1.13.21",
                                   "07.03.2021",   "24.3",
                                   "1,2,3",        ",5",
                                   "5,",           "1e5",
                                   " 5",           "5 ",
                                   "0x10",         "-",
                                   "1 234",        "12:30:00",
                                   "Время",        tooLarge.c_str()}) {
        const model::CellValue value = model::ParseCellText(text);
        EXPECT_EQ(value.kind, ValueKind::Text) << text;
        EXPECT_EQ(value.text, text);
    }
    EXPECT_EQ(model::ParseCellText("").kind, ValueKind::Empty);
}

TEST(WorkbookAddresses, ParseWithinTheSheetLimitsAndRejectEverythingElse) {
    EXPECT_EQ(model::ParseAddress("E6"), (model::Area{6, 5, 6, 5}));
    EXPECT_EQ(model::ParseAddress("E7:I112"), (model::Area{7, 5, 112, 9}));
    EXPECT_EQ(model::ParseAddress("h6:$E$6"), (model::Area{6, 5, 6, 8}));
    EXPECT_EQ(model::ParseAddress("XFD1048576"), (model::Area{1048576, 16384, 1048576, 16384}));
    for (const char* bad : {"", "E", "6", "E0", "E06", "XFE1", "A1048577", "AAAA1", "E6:", ":E6",
                            "E6:H6:I7", "E 6", "E6 ", "1E", "E-6"}) {
        EXPECT_FALSE(model::ParseAddress(bad)) << bad;
    }
    EXPECT_EQ(model::AddressOf({6, 5, 6, 8}), "$E$6:$H$6");
    EXPECT_EQ(model::ColumnName(16384), "XFD");
    EXPECT_EQ(model::ColumnName(27), "AA");
}

TEST_F(WorkbookEngine, ValuesAreTypedPerCellAndMergedAreasKeepOnlyTheirFirstValue) {
    Put("E7", "24,3");
    Put("F7", "9:60");
    CellObject(8, 5)->Put("Value", I(12));
    Put("E9:F10", "31.2.21");
    EXPECT_EQ(At("E7").value.kind, ValueKind::Number);
    EXPECT_EQ(At("F7").value, (model::CellValue{ValueKind::Text, 0, "9:60"}));
    EXPECT_EQ(At("E8").value.kind, ValueKind::Number);
    EXPECT_EQ(At("F10").value.text, "31.2.21");

    // Merging keeps the top-left value; a value put into the merged range lands there only.
    Put("B2:C3", "x");
    Range("B2:C3")->Call("Merge");
    EXPECT_EQ(At("B2").value.text, "x");
    EXPECT_EQ(At("C3").value.kind, ValueKind::Empty);
    Put("A1:D4", "Итог");
    EXPECT_EQ(At("B2").value.text, "Итог");
    EXPECT_EQ(At("A1").value.text, "Итог");
    EXPECT_EQ(At("C2").value.kind, ValueKind::Empty);
    // Merging over a merged area replaces it.
    Range("C3:D4")->Call("Merge");
    EXPECT_EQ(Model().merged, (std::vector<model::Area>{{3, 3, 4, 4}}));

    EXPECT_THROW(Put("A1", "bad \xC3 UTF-8"), AutomationError);
    EXPECT_THROW(Put("A1", std::string("nul\0inside", 10)), AutomationError);
    EXPECT_THROW(Put("A1", std::string(32768, 'x')), AutomationError);
    EXPECT_NO_THROW(Put("A1", std::string(32767, 'x')));
}

TEST_F(WorkbookEngine, ColoursComeFromThePaletteAndRgbValuesKeepRedInTheLowByte) {
    EXPECT_EQ(model::PaletteColor(1), 0x000000u);
    EXPECT_EQ(model::PaletteColor(3), 0xFF0000u);
    EXPECT_EQ(model::PaletteColor(16), 0x808080u);
    EXPECT_EQ(model::PaletteColor(46), 0xFF6600u);
    EXPECT_EQ(model::PaletteColor(56), 0x333333u);

    const ObjectRef interior = Obj(Range("E6:H6"), "Interior");
    interior->Put("ColorIndex", I(16));
    EXPECT_EQ(At("H6").style.fillIndex, 16);
    interior->Put("ColorIndex", Y(0));
    EXPECT_EQ(At("H6").style.fillIndex, 0);
    for (std::int32_t bad : {57, -1, model::xl::kNone, model::xl::kAutomatic}) {
        EXPECT_THROW(interior->Put("ColorIndex", I(bad)), AutomationError) << bad;
    }
    EXPECT_THROW(Obj(Range("E6"), "Borders", {I(7)})->Put("ColorIndex", I(0)), AutomationError);

    const ObjectRef font = Obj(Range("E6"), "Font");
    font->Put("Color", I(3));
    EXPECT_EQ(At("E6").style.font.rgb, 0x030000u);
    font->Put("Color", I(0x00FF10));  // blue 0, green 0xFF, red 0x10
    EXPECT_EQ(At("E6").style.font.rgb, 0x10FF00u);
    EXPECT_THROW(font->Put("Color", I(-1)), AutomationError);
    EXPECT_THROW(font->Put("Color", I(0x1000000)), AutomationError);
}

TEST_F(WorkbookEngine, BordersApplyToTheOuterEdgesOfTheRangeWithTheObjectModelsConstants) {
    const ObjectRef range = Range("E6:H8");
    for (std::int32_t edge = 7; edge <= 10; ++edge) {
        const ObjectRef border = Obj(range, "Borders", {I(edge)});
        border->Put("LineStyle", I(3));  // not a line style: continuous
        border->Put("Weight", I(3));
        border->Put("ColorIndex", I(1));
    }
    EXPECT_EQ(At("E7").style.left.Line(), BorderLine::Medium);
    EXPECT_EQ(At("F7").style.left.Line(), BorderLine::None);
    EXPECT_EQ(At("F7").style.top.Line(), BorderLine::None);
    EXPECT_EQ(At("G6").style.top.Line(), BorderLine::Medium);
    EXPECT_EQ(At("G8").style.bottom.Line(), BorderLine::Medium);
    EXPECT_EQ(At("G7").style.bottom.Line(), BorderLine::None);
    EXPECT_EQ(At("H8").style.right.Line(), BorderLine::Medium);
    EXPECT_EQ(At("H8").style.right.colorIndex, 1);
    EXPECT_EQ(At("G8").style.right.Line(), BorderLine::None);

    struct Case {
        std::int32_t lineStyle, weight;
        BorderLine line;
    };
    const Case cases[] = {{1, 1, BorderLine::Hair},
                          {1, 2, BorderLine::Thin},
                          {1, -4138, BorderLine::Medium},
                          {1, 4, BorderLine::Thick},
                          {-4115, 2, BorderLine::Dashed},
                          {-4115, 4, BorderLine::MediumDashed},
                          {-4118, 2, BorderLine::Dotted},
                          {4, 2, BorderLine::DashDot},
                          {4, -4138, BorderLine::MediumDashDot},
                          {5, 1, BorderLine::DashDotDot},
                          {5, 4, BorderLine::MediumDashDotDot},
                          {-4119, 2, BorderLine::Double},
                          {13, 2, BorderLine::SlantDashDot},
                          {-4142, 4, BorderLine::None},
                          {77, 2, BorderLine::Thin}};
    const ObjectRef left = Obj(Range("B2"), "Borders", {I(7)});
    for (const Case& c : cases) {
        left->Put("Weight", I(c.weight));
        left->Put("LineStyle", I(c.lineStyle));
        EXPECT_EQ(At("B2").style.left.Line(), c.line) << c.lineStyle << "/" << c.weight;
    }
    // A weight or colour alone draws a line where there was none.
    Obj(Range("C3"), "Borders", {I(9)})->Put("ColorIndex", I(5));
    EXPECT_EQ(At("C3").style.bottom.Line(), BorderLine::Thin);

    EXPECT_THROW(left->Put("Weight", I(5)), AutomationError);
    EXPECT_THROW(left->Put("Weight", I(0)), AutomationError);
    for (std::int32_t edge : {5, 6, 11, 12, 0}) {
        EXPECT_THROW(Obj(range, "Borders", {I(edge)}), AutomationError) << edge;
    }
}

TEST_F(WorkbookEngine, CharactersFormatOnlyTheirRunCountedInCharactersInEachCellThatReachesIt) {
    const char* captions[] = {"№ Measure", "Value, Bq/m3", "Time", "Значение, Бк/м3"};
    for (int i = 0; i < 4; ++i) CellObject(6, 5 + i)->Put("Value", T(captions[i]));
    Obj(Range("E6:H6"), "Font")->Put("Size", I(10));
    // The export's call: position 12 of every caption of the header.
    Obj(Obj(Range("E6:H6"), "Characters", {Y(12), Y(1)}), "Font")->Put("Superscript", I(1));
    EXPECT_TRUE(At("E6").characterFonts.empty());  // 9 characters (11 bytes)
    EXPECT_TRUE(At("G6").characterFonts.empty());
    const auto f6 = At("F6").characterFonts;
    ASSERT_EQ(f6.size(), 12u);
    EXPECT_EQ(f6[10].script, model::Script::None);
    EXPECT_EQ(f6[11].script, model::Script::Superscript);
    EXPECT_EQ(f6[11].size, 10);
    // Position 12 of the Russian caption is "м", not a byte inside a letter.
    const auto h6 = At("H6").characterFonts;
    ASSERT_EQ(h6.size(), 15u);
    EXPECT_EQ(h6[11].script, model::Script::Superscript);
    EXPECT_EQ(h6[14].script, model::Script::None);

    // A font change of the whole cell reaches every character and keeps the run's own change.
    Obj(Range("F6"), "Font")->Put("Bold", B(true));
    EXPECT_TRUE(At("F6").characterFonts[0].bold);
    EXPECT_TRUE(At("F6").characterFonts[11].bold);
    EXPECT_EQ(At("F6").characterFonts[11].script, model::Script::Superscript);
    // Subscript replaces superscript; turning superscript off then leaves subscript alone.
    const ObjectRef run = Obj(Obj(Range("F6"), "Characters", {I(11), I(5)}), "Font");
    run->Put("Subscript", B(true));
    run->Put("Superscript", B(false));
    EXPECT_EQ(At("F6").characterFonts[11].script, model::Script::Subscript);
    // A new value starts again in the cell's font.
    Put("F6", "Value");
    EXPECT_TRUE(At("F6").characterFonts.empty());

    // Numbers have no characters to format; start 0 or a negative length is refused.
    Put("B2", "850");
    Obj(Obj(Range("B2"), "Characters", {I(1), I(1)}), "Font")->Put("Bold", B(true));
    EXPECT_TRUE(At("B2").characterFonts.empty());
    EXPECT_FALSE(At("B2").style.font.bold);
    EXPECT_THROW(Obj(Range("B2"), "Characters", {I(0), I(1)}), AutomationError);
    EXPECT_THROW(Obj(Range("B2"), "Characters", {I(1), I(-1)}), AutomationError);
}

TEST_F(WorkbookEngine, UnknownNamesWrongTypesAndOutOfRangeValuesRaise) {
    EXPECT_THROW(engine.Create("Word.Application"), AutomationError);
    EXPECT_THROW(engine.Create(""), AutomationError);
    const ObjectRef range = Range("E6:H6");
    const ObjectRef font = Obj(range, "Font");
    const ObjectRef objects[] = {app,
                                 workbooks,
                                 workbook,
                                 Obj(workbook, "Worksheets"),
                                 sheet,
                                 range,
                                 font,
                                 Obj(range, "Interior"),
                                 Obj(range, "Borders", {I(7)}),
                                 Obj(range, "Characters", {I(1), I(1)})};
    for (const ObjectRef& object : objects) {
        EXPECT_THROW(object->Get("NoSuchThing"), AutomationError);
        EXPECT_THROW(object->Put("NoSuchThing", I(1)), AutomationError);
        EXPECT_THROW(object->Call("NoSuchThing"), AutomationError);
    }
    // Names are case-sensitive; properties are not methods.
    EXPECT_THROW(app->Get("workbooks"), AutomationError);
    EXPECT_THROW(range->Call("Value"), AutomationError);
    EXPECT_THROW(workbooks->Put("Count", I(2)), AutomationError);

    // Wrong types.
    EXPECT_THROW(sheet->Put("Name", I(1)), AutomationError);
    EXPECT_THROW(sheet->Get("Range", {I(6)}), AutomationError);
    EXPECT_THROW(font->Put("Bold", T("yes")), AutomationError);
    EXPECT_THROW(font->Put("Name", B(true)), AutomationError);
    EXPECT_THROW(workbook->Call("SaveAs", {I(1)}), AutomationError);
    EXPECT_THROW(range->Put("Value", Variant::Of(app)), AutomationError);
    // Numeric types stand in for each other.
    EXPECT_NO_THROW(Obj(workbook, "Worksheets")->Get("Item", {Y(1)}));
    EXPECT_NO_THROW(font->Put("Size", Y(10)));
    EXPECT_NO_THROW(font->Put("Italic", I(1)));
    EXPECT_TRUE(At("E6").style.font.italic);

    // Out of range.
    EXPECT_THROW(workbooks->Get("Item", {I(2)}), AutomationError);
    EXPECT_THROW(Obj(workbook, "Worksheets")->Get("Item", {I(0)}), AutomationError);
    EXPECT_THROW(app->Put("SheetsInNewWorkbook", I(0)), AutomationError);
    EXPECT_THROW(app->Put("SheetsInNewWorkbook", I(256)), AutomationError);
    EXPECT_THROW(sheet->Get("Range", {T("XFE1")}), AutomationError);
    EXPECT_THROW(sheet->Get("Range", {T("A1048577")}), AutomationError);
    EXPECT_THROW(Obj(sheet, "Cells")->Get("Item", {I(0), I(1)}), AutomationError);
    EXPECT_THROW(range->Get("Item", {I(1), I(16384)}), AutomationError);  // E + 16383 columns
    EXPECT_THROW(range->Put("RowHeight", I(410)), AutomationError);
    EXPECT_THROW(range->Put("ColumnWidth", I(256)), AutomationError);
    EXPECT_THROW(font->Put("Size", I(0)), AutomationError);
    EXPECT_THROW(font->Put("Name", T("")), AutomationError);
    EXPECT_THROW(font->Put("Name", T("Arial\n")), AutomationError);
    EXPECT_THROW(font->Put("Underline", I(1)), AutomationError);
    EXPECT_THROW(range->Put("HorizontalAlignment", I(0)), AutomationError);
    EXPECT_THROW(range->Put("VerticalAlignment", I(model::xl::kLeft)), AutomationError);

    // Item counts from the range's corner; Workbooks(1) is Workbooks.Item(1).
    EXPECT_EQ(range->Get("Item", {I(2), I(3)}).AsObject()->Get("Address").AsText(), "$G$7");
    EXPECT_EQ(model::ModelBehind(app->Get("Workbooks", {I(1)}).AsObject()),
              model::ModelBehind(workbook));
    // A whole sheet is too large to format cell by cell, but its columns can be sized.
    EXPECT_THROW(Obj(Obj(sheet, "Cells"), "Font")->Put("Bold", B(true)), AutomationError);
    EXPECT_NO_THROW(Obj(sheet, "Cells")->Put("ColumnWidth", I(9)));
    EXPECT_EQ(Model().columnWidths.size(), 16384u);
}

TEST_F(WorkbookEngine, SheetNamesFollowTheSpreadsheetsRules) {
    app->Put("SheetsInNewWorkbook", I(3));
    const ObjectRef book = workbooks->Call("Add").AsObject();
    const ObjectRef sheets = Obj(book, "Worksheets");
    EXPECT_EQ(sheets->Get("Count").AsInteger(), 3);
    EXPECT_EQ(Obj(sheets, "Item", {I(3)})->Get("Name").AsText(), "Sheet3");

    const ObjectRef first = Obj(sheets, "Item", {I(1)});
    first->Put("Name", T("Измерения радона за март 2021 г"));  // 31 characters, 55 bytes
    EXPECT_THROW(first->Put("Name", T("Измерения радона за март 2021 го")), AutomationError);
    EXPECT_THROW(first->Put("Name", T("")), AutomationError);
    for (const char* bad : {"a[b", "a]b", "a:b", "a*b", "a?b", "a/b", "a\\b", "'ab", "ab'",
                            "a\x01"
                            "b",
                            "a\nb"}) {
        EXPECT_THROW(first->Put("Name", T(bad)), AutomationError) << bad;
    }
    EXPECT_THROW(first->Put("Name", T("sheet2")), AutomationError);  // taken, in any case
    first->Put("Name", T("Данные"));
    EXPECT_THROW(Obj(sheets, "Item", {I(2)})->Put("Name", T("ДАННЫЕ")), AutomationError);
    first->Put("Name", T("данные"));  // its own name in another case is fine
    EXPECT_EQ(Obj(sheets, "Item", {T("ДАННЫЕ")})->Get("Name").AsText(), "данные");
}

TEST_F(WorkbookEngine, ClosedWorkbooksAreGoneAndTheirObjectsFail) {
    const ObjectRef range = Range("E6");
    EXPECT_TRUE(workbook->Get("Saved").AsBoolean());
    range->Put("Value", T("1"));
    EXPECT_FALSE(workbook->Get("Saved").AsBoolean());
    workbook->Put("Saved", B(true));
    workbooks->Call("Close");
    EXPECT_EQ(workbooks->Get("Count").AsInteger(), 0);
    EXPECT_THROW(range->Put("Value", T("2")), AutomationError);
    EXPECT_THROW(sheet->Get("Name"), AutomationError);
    EXPECT_THROW(workbook->Call("SaveAs", {T("/tmp/never.xlsx")}), AutomationError);
    EXPECT_THROW(workbooks->Get("Item", {I(1)}), AutomationError);
}

// POSIX targets: permission bits, symbolic links, TMPDIR (the Windows rule has its own tests).
#ifndef _WIN32
TEST_F(WorkbookEngine, SaveAsReplacesTheTargetWholeOrNotAtAll) {
    TempDir dir;
    const fs::path target = dir / "results.xlsx";
    { std::ofstream(target) << "old contents"; }
    ::chmod(target.c_str(), 0640);
    Put("E6", "№ Measure");
    workbook->Call("SaveAs", {T(target.string())});
    EXPECT_EQ(ReadFile(target).substr(0, 2), "PK");
    EXPECT_EQ(fs::status(target).permissions(), fs::perms(0640));
    EXPECT_EQ(dir.Entries(), std::set<std::string>{"results.xlsx"});
    EXPECT_TRUE(workbook->Get("Saved").AsBoolean());
    EXPECT_EQ(workbook->Get("FullName").AsText(), target.string());

    // Through a symbolic link the file it points to is replaced and the link stays.
    const fs::path link = dir / "link.xlsx";
    fs::create_symlink(target, link);
    Put("E7", "850");
    workbook->Call("SaveAs", {T(link.string())});
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(dir.Entries(), (std::set<std::string>{"link.xlsx", "results.xlsx"}));

    // Targets that cannot be written: the error names the path and the reason.
    fs::create_directory(dir / "folder");
    const std::string before = ReadFile(target);
    struct Case {
        fs::path path;
        const char* reason;
    };
    const Case cases[] = {
        {dir / "missing" / "x.xlsx", "No such file or directory"},
        {dir / "folder", "not a regular file"},
        {target / "x.xlsx", "Not a directory"},
        {dir.path() / "", "file name"},
    };
    for (const Case& c : cases) {
        try {
            workbook->Call("SaveAs", {T(c.path.string())});
            ADD_FAILURE() << "saved as " << c.path;
        } catch (const AutomationError& error) {
            EXPECT_NE(std::string(error.what()).find(c.path.string()), std::string::npos)
                << error.what();
            EXPECT_NE(std::string(error.what()).find(c.reason), std::string::npos) << error.what();
        }
    }
    EXPECT_THROW(workbook->Call("SaveAs", {T("")}), AutomationError);
    EXPECT_THROW(workbook->Call("SaveAs", {T(target.string()), I(51)}), AutomationError);

    // A TMPDIR that is gone or too long to use does not keep the workbook from being saved.
    const char* tmpdir = std::getenv("TMPDIR");
    const std::string savedTmpdir = tmpdir ? tmpdir : "";
    const fs::path other = dir / "other.xlsx";
    for (const std::string& unusable : {(dir / "gone").string(), "/" + std::string(5000, 'x')}) {
        ::setenv("TMPDIR", unusable.c_str(), 1);
        EXPECT_NO_THROW(workbook->Call("SaveAs", {T(other.string())})) << unusable.size();
        EXPECT_EQ(ReadFile(other).substr(0, 2), "PK");
        fs::remove(other);
    }
    if (tmpdir) {
        ::setenv("TMPDIR", savedTmpdir.c_str(), 1);
    } else {
        ::unsetenv("TMPDIR");
    }

    // A failure while writing (more cell styles than a workbook may hold) keeps the old file.
    const ObjectRef cells = Obj(sheet, "Cells");
    for (std::int32_t i = 0; i <= static_cast<std::int32_t>(model::kMaxCellStyles); ++i) {
        Obj(Obj(cells, "Item", {I(10 + i), I(1)}), "Font")->Put("Color", I(i));
    }
    EXPECT_THROW(workbook->Call("SaveAs", {T(target.string())}), AutomationError);
    EXPECT_EQ(ReadFile(target), before);
    EXPECT_EQ(dir.Entries(), (std::set<std::string>{"folder", "link.xlsx", "results.xlsx"}));
    EXPECT_FALSE(workbook->Get("Saved").AsBoolean());
}
#endif

TEST_F(WorkbookEngine, ASavedWorkbookIsOpenedOnlyWhenTheApplicationIsVisible) {
    TempDir dir;
    workbook->Call("SaveAs", {T((dir / "hidden.xlsx").string())});
    EXPECT_TRUE(shell->opened.empty());

    app->Put("Visible", B(true));
    EXPECT_THROW(workbook->Call("SaveAs", {T((dir / "no" / "x.xlsx").string())}), AutomationError);
    EXPECT_TRUE(shell->opened.empty());
    // A relative name is opened by its full path.
    const fs::path cwd = fs::current_path();
    fs::current_path(dir.path());
    const fs::path shown = fs::current_path() / "shown.xlsx";
    workbook->Call("SaveAs", {T("shown.xlsx")});
    fs::current_path(cwd);
    EXPECT_EQ(shell->opened, std::vector<std::string>{shown.string()});

    // No shell: saved all the same.
    BuiltInSpreadsheet noShell;
    const ObjectRef other = noShell.Create("Excel.Application");
    other->Put("Visible", B(true));
    const ObjectRef book = Obj(other, "Workbooks")->Call("Add").AsObject();
    EXPECT_NO_THROW(book->Call("SaveAs", {T((dir / "plain.xlsx").string())}));
    EXPECT_TRUE(fs::is_regular_file(dir / "plain.xlsx"));
}

// ---- Saved files, read back by tests/export/check_workbook.py ----

// The workbook export's own calls, made through the spreadsheet context: the header in Russian
// with the superscript "3", then two chunks of rows, saved and read back cell by cell.
TEST(WorkbookFile, TheExportsWorkbookReadsBackCellByCell) {
    auto engine = std::make_shared<BuiltInSpreadsheet>();
    Excel excel(engine, nullptr);
    ASSERT_TRUE(excel.OpenWorkbook(1));
    excel.RenameSheet(1, "Результаты измерений");
    excel.ActivateSheet(1);
    excel.SelectRange(6, 5, 6, 8, false);
    excel.SetBorderStyle(3, 3, 1);
    excel.FormatRange(-4108, -4108, 10, 16, "ArialCur", 3, 3, 0, 0);
    const char* captions[] = {"№ Измерения", "Значение, Бк/м3", "Время", "Дата"};
    const std::int32_t widths[] = {25, 25, 10, 20};
    for (int i = 0; i < 4; ++i) {
        excel.SelectCell(6, 5 + i);
        excel.SetRowHeightAndColumnWidth(13, widths[i]);
        excel.ApplyBorders();
        excel.SetValue(captions[i]);
        if (i == 1) excel.SuperscriptCharacters(15, 1);
    }

    // Rows as the export writes them: number, value, "h:m" and "d.m.yy" texts.
    struct Row {
        const char* texts[4];
        const char* expected[4];
    };
    const std::vector<Row> rows = {
        {{"1", "850", "9:5", "7.3.21"},
         {R"("number": 1)", R"("number": 850)", R"("time": "9:05")", R"("date": "2021-03-07")"}},
        {{"2", "24,3", "0:0", "31.12.99"},
         {R"("number": 2)", R"("number": 24.3)", R"("time": "0:00")", R"("date": "2099-12-31")"}},
        {{"3", ">10000", "23:59", "1.1.5"},
         {R"("number": 3)", R"("text": ">10000")", R"("time": "23:59")",
          R"("date": "2005-01-01")"}},
        {{"4", "1,4", "12:30", "29.2.24"},
         {R"("number": 4)", R"("number": 1.4)", R"("time": "12:30")", R"("date": "2024-02-29")"}},
        {{"5", ">270", "9:60", "31.2.21"},
         {R"("number": 5)", R"("text": ">270")", R"("text": "9:60")", R"("text": "31.2.21")"}},
    };
    int row = 7;
    for (const auto& chunk : {std::pair<std::size_t, std::size_t>{0, 3}, {3, 5}}) {
        const int n = static_cast<int>(chunk.second - chunk.first);
        excel.SelectRange(row, 5, row + n, 9, false);
        excel.FormatRange(-4108, -4108, 10, 0, "ArialCur", 3, 3, 0, 0);
        for (std::size_t k = chunk.first; k < chunk.second; ++k, ++row) {
            for (int c = 0; c < 4; ++c) {
                excel.SelectCell(row, 5 + c);
                excel.SetValue(rows[k].texts[c]);
            }
        }
    }
    excel.ShowApplication();
    TempDir dir;
    const fs::path file = dir / "радон.xlsx";
    std::string error;
    ASSERT_TRUE(excel.SaveWorkbookAs(file.string(), &error)) << error;
    excel.CloseWorkbook();

    const std::string font = R"("font": {"name": "ArialCur", "size": 10, "color": "030000", )"
                             R"("bold": true, "italic": true}, "horizontal": "center", )"
                             R"("vertical": "center")";
    auto medium = [](bool on) {
        return on ? std::string(R"({"style": "medium", "color": "000000"})") : std::string("null");
    };
    std::vector<std::string> cells;
    for (int i = 0; i < 4; ++i) {
        const std::string edges = R"("borders": {"left": )" + medium(true) + R"(, "top": )" +
                                  medium(true) + R"(, "bottom": )" + medium(true) +
                                  R"(, "right": )" + medium(true) + "}";
        cells.push_back(R"({"ref": ")" + std::string(1, static_cast<char>('E' + i)) +
                        R"(6", "text": )" + Json(captions[i]) + R"(, "style": {)" + font +
                        R"(, "fill": "808080", )" + edges + "}" +
                        (i == 1 ? R"(, "runs": [{"text": "Значение, Бк/м"}, )"
                                  R"({"text": "3", "font": {"script": "superscript"}}])"
                                : "") +
                        "}");
    }
    for (std::size_t k = 0; k < rows.size(); ++k) {
        for (int c = 0; c < 4; ++c) {
            cells.push_back(R"({"ref": ")" + std::string(1, static_cast<char>('E' + c)) +
                            std::to_string(7 + k) + "\", " + rows[k].expected[c] +
                            R"(, "style": {)" + font + "}}");
        }
    }
    ExpectWorkbookMatches(file,
                          R"({"sheets": ["Результаты измерений"], "active": "Результаты измерений",
                              "columns": {"E": 25, "F": 25, "G": 10, "H": 20}, "rows": {"6": 13},
                              "merged": [], "cells": [)" +
                              Joined(cells) + "]}",
                          dir);
}

TEST(WorkbookFile, EveryKindOfFormattingReadsBack) {
    BuiltInSpreadsheet engine;
    const ObjectRef app = engine.Create("Excel.Application");
    app->Put("SheetsInNewWorkbook", I(3));
    const ObjectRef book = Obj(app, "Workbooks")->Call("Add").AsObject();
    const ObjectRef sheet = Obj(book, "Worksheets", {I(1)});
    sheet->Put("Name", T("Данные"));
    Obj(book, "Worksheets", {I(2)})->Call("Activate");
    auto range = [&](const std::string& address) { return Obj(sheet, "Range", {T(address)}); };
    auto font = [&](const std::string& address) { return Obj(range(address), "Font"); };
    auto value = [&](const std::string& address, const std::string& text) {
        range(address)->Put("Value", T(text));
    };

    const std::int32_t underlines[] = {2, -4119, 4, 5};
    for (int i = 0; i < 4; ++i) {
        value("B" + std::to_string(2 + i), "Ёлка");
        font("B" + std::to_string(2 + i))->Put("Underline", I(underlines[i]));
    }
    font("B3")->Put("Underline", I(-4142));  // and off again
    value("C2", "strike");
    font("C2")->Put("Strikethrough", B(true));
    value("C3", "sub");
    font("C3")->Put("Subscript", B(true));
    font("C4")->Put("Shadow", B(true));
    font("C4")->Put("OutlineFont", B(true));
    const std::int32_t borders[][3] = {
        {1, 1, 3},         {1, 2, 5},     {1, -4138, 10}, {1, 4, 46},    {-4115, 2, 1},
        {-4115, -4138, 1}, {-4118, 2, 1}, {4, 2, 1},      {4, -4138, 1}, {5, 2, 1},
        {5, 4, 1},         {-4119, 2, 1}, {13, 2, 1}};
    for (int i = 0; i < 13; ++i) {
        const ObjectRef left = Obj(range("D" + std::to_string(2 + i)), "Borders", {I(7)});
        left->Put("LineStyle", I(borders[i][0]));
        left->Put("Weight", I(borders[i][1]));
        left->Put("ColorIndex", I(borders[i][2]));
    }
    Obj(range("E2"), "Interior")->Put("ColorIndex", I(6));
    Obj(range("E3"), "Interior")->Put("ColorIndex", I(46));
    Obj(range("E4"), "Interior")->Put("ColorIndex", I(6));
    Obj(range("E4"), "Interior")->Put("ColorIndex", I(0));
    const std::int32_t aligns[][2] = {
        {-4131, -4160}, {-4152, -4107}, {-4130, -4117}, {7, -4130}, {5, -4108}};
    for (int i = 0; i < 5; ++i) {
        range("F" + std::to_string(2 + i))->Put("HorizontalAlignment", I(aligns[i][0]));
        range("F" + std::to_string(2 + i))->Put("VerticalAlignment", I(aligns[i][1]));
    }
    const char* texts[] = {"31.2.21", "9:60", "29.02.20", "23:59", "-5", "0,5", "24.3"};
    for (int i = 0; i < 7; ++i) value("G" + std::to_string(2 + i), texts[i]);
    value("H2", "Значение, Бк/м3");
    Obj(Obj(range("H2"), "Characters", {I(15), I(1)}), "Font")->Put("Superscript", B(true));
    value("H3", "abc");
    Obj(Obj(range("H3"), "Characters", {I(2), I(1)}), "Font")->Put("Bold", B(true));
    font("H3")->Put("Italic", B(true));
    value("H5", "a\x01z");
    value("H6", "x\x02yz");
    Obj(Obj(range("H6"), "Characters", {I(3), I(2)}), "Font")->Put("Bold", B(true));
    value("H4", "all");
    Obj(Obj(range("H4"), "Characters", {I(1), I(3)}), "Font")->Put("Size", I(14));
    range("B16:D17")->Call("Merge");
    value("B16:D17", "Итог");
    range("B16:D17")->Put("RowHeight", I(30));
    Obj(Obj(sheet, "Cells"), "Item", {I(1), I(2)})->Put("ColumnWidth", I(12));
    range("C1:D1")->Put("ColumnWidth", I(30));

    TempDir dir;
    const fs::path file = dir / "variety.xlsx";
    book->Call("SaveAs", {T(file.string())});

    ExpectWorkbookMatches(file, R"({
      "sheets": ["Данные", "Sheet2", "Sheet3"], "active": "Sheet2", "sheet": "Данные",
      "columns": {"B": 12, "C": 30, "D": 30}, "rows": {"16": 30, "17": 30},
      "merged": ["B16:D17"], "only_listed": true,
      "cells": [
        {"ref": "B2", "text": "Ёлка", "style": {"font": {"underline": "single"}}},
        {"ref": "B3", "text": "Ёлка"}, {"ref": "C4"}, {"ref": "E4"},
        {"ref": "B4", "text": "Ёлка", "style": {"font": {"underline": "singleAccounting"}}},
        {"ref": "B5", "text": "Ёлка", "style": {"font": {"underline": "doubleAccounting"}}},
        {"ref": "C2", "text": "strike", "style": {"font": {"strike": true}}},
        {"ref": "C3", "text": "sub", "style": {"font": {"script": "subscript"}}},
        {"ref": "D2", "style": {"borders": {"left": {"style": "hair", "color": "FF0000"}}}},
        {"ref": "D3", "style": {"borders": {"left": {"style": "thin", "color": "0000FF"}}}},
        {"ref": "D4", "style": {"borders": {"left": {"style": "medium", "color": "008000"}}}},
        {"ref": "D5", "style": {"borders": {"left": {"style": "thick", "color": "FF6600"}}}},
        {"ref": "D6", "style": {"borders": {"left": {"style": "dashed", "color": "000000"}}}},
        {"ref": "D7", "style": {"borders": {"left": {"style": "mediumDashed", "color": "000000"}}}},
        {"ref": "D8", "style": {"borders": {"left": {"style": "dotted", "color": "000000"}}}},
        {"ref": "D9", "style": {"borders": {"left": {"style": "dashDot", "color": "000000"}}}},
        {"ref": "D10", "style": {"borders": {"left": {"style": "mediumDashDot", "color": "000000"}}}},
        {"ref": "D11", "style": {"borders": {"left": {"style": "dashDotDot", "color": "000000"}}}},
        {"ref": "D12", "style": {"borders": {"left": {"style": "mediumDashDotDot", "color": "000000"}}}},
        {"ref": "D13", "style": {"borders": {"left": {"style": "double", "color": "000000"}}}},
        {"ref": "D14", "style": {"borders": {"left": {"style": "slantDashDot", "color": "000000"}}}},
        {"ref": "E2", "style": {"fill": "FFFF00"}}, {"ref": "E3", "style": {"fill": "FF6600"}},
        {"ref": "F2", "style": {"horizontal": "left", "vertical": "top"}},
        {"ref": "F3", "style": {"horizontal": "right"}},
        {"ref": "F4", "style": {"horizontal": "justify", "vertical": "distributed"}},
        {"ref": "F5", "style": {"horizontal": "centerContinuous", "vertical": "justify"}},
        {"ref": "F6", "style": {"horizontal": "fill", "vertical": "center"}},
        {"ref": "G2", "text": "31.2.21"}, {"ref": "G3", "text": "9:60"},
        {"ref": "G4", "date": "2020-02-29"}, {"ref": "G5", "time": "23:59"},
        {"ref": "G6", "number": -5}, {"ref": "G7", "number": 0.5}, {"ref": "G8", "text": "24.3"},
        {"ref": "H2", "text": "Значение, Бк/м3",
         "runs": [{"text": "Значение, Бк/м"}, {"text": "3", "font": {"script": "superscript"}}]},
        {"ref": "H3", "text": "abc", "style": {"font": {"italic": true}},
         "runs": [{"text": "a"}, {"text": "b", "font": {"bold": true}}, {"text": "c"}]},
        {"ref": "H4", "text": "all", "style": {"font": {"size": 14}}},
        {"ref": "H5", "text": "a\u0001z"},
        {"ref": "H6", "text": "x\u0002yz", "runs": [{"text": "x\u0002"}, {"text": "yz", "font": {"bold": true}}]},
        {"ref": "B16", "text": "Итог"}, {"ref": "C17"}
      ]})",
                          dir);
}

}  // namespace
}  // namespace tavex::automation
