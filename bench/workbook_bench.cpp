// Builds the export's workbook for a full record ring (1010 rows) through the built-in
// spreadsheet with the same late-bound calls the export makes, and saves it as .xlsx in a
// temporary folder. BM_ExportWorkbook times the whole export; BM_SaveWorkbook only the save
// (libxlsxwriter, the temporary file, fsync and rename).
//
//   build/bench/tavex_bench_workbook [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "export/automation/workbook_engine.h"

namespace {

namespace fs = std::filesystem;
using tavex::automation::Arguments;
using tavex::automation::ObjectRef;
using tavex::automation::Variant;

constexpr int kRows = 1010;

ObjectRef Obj(const ObjectRef& object, const std::string& name, const Arguments& args = {}) {
    return object->Get(name, args).AsObject();
}

class Folder {
public:
    Folder() {
        std::string pattern = (fs::temp_directory_path() / "tavex-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~Folder() {
        std::error_code error;
        if (!path_.empty()) fs::remove_all(path_, error);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

void Borders(const ObjectRef& range, int weight, int lineStyle, int colorIndex) {
    for (int edge = 7; edge <= 10; ++edge) {
        const ObjectRef border = Obj(range, "Borders", {Variant::Integer(edge)});
        border->Put("LineStyle", Variant::Integer(lineStyle));
        border->Put("Weight", Variant::Integer(weight));
        border->Put("ColorIndex", Variant::Integer(colorIndex));
    }
}

void Format(const ObjectRef& range, int fill, int color, bool bold) {
    Obj(range, "Interior")->Put("ColorIndex", Variant::Integer(fill));
    const ObjectRef font = Obj(range, "Font");
    font->Put("Color", Variant::Integer(color));
    range->Put("HorizontalAlignment", Variant::Integer(-4108));
    range->Put("VerticalAlignment", Variant::Integer(-4108));
    font->Put("Size", Variant::Integer(10));
    font->Put("Name", Variant::Text("ArialCur"));
    font->Put("Bold", Variant::Boolean(bold));
    font->Put("Italic", Variant::Boolean(bold));
}

// The export's workbook: header, column widths, 1010 data rows. Returns the workbook.
ObjectRef BuildWorkbook(tavex::automation::BuiltInSpreadsheet& engine) {
    const ObjectRef app = engine.Create("Excel.Application");
    const ObjectRef workbooks = Obj(app, "Workbooks");
    app->Put("SheetsInNewWorkbook", Variant::Byte(1));
    workbooks->Call("Add");
    const ObjectRef workbook = Obj(workbooks, "Item", {Variant::Integer(1)});
    const ObjectRef worksheets = Obj(workbook, "Worksheets");
    const ObjectRef sheet = Obj(worksheets, "Item", {Variant::Integer(1)});
    sheet->Call("Activate");
    Obj(worksheets, "Item", {Variant::Byte(1)})->Put("Name", Variant::Text("Измерения"));

    const ObjectRef header = Obj(sheet, "Range", {Variant::Text("E6:H6")});
    Borders(header, 3, 3, 1);
    Format(header, 16, 3, true);
    const char* captions[] = {"№ Measure", "Value, Bq/m3", "Time", "Date"};
    const int widths[] = {25, 25, 10, 20};
    for (int c = 0; c < 4; ++c) {
        const ObjectRef cell =
            Obj(Obj(sheet, "Cells"), "Item", {Variant::Integer(6), Variant::Integer(5 + c)});
        cell->Put("RowHeight", Variant::Integer(18));
        cell->Put("ColumnWidth", Variant::Integer(widths[c]));
        cell->Put("Value", Variant::Text(captions[c]));
    }
    Obj(Obj(Obj(sheet, "Range", {Variant::Text("E6:H6")}), "Characters",
            {Variant::Byte(12), Variant::Byte(1)}),
        "Font")
        ->Put("Superscript", Variant::Integer(1));

    const ObjectRef data = Obj(sheet, "Range", {Variant::Text("E7:H" + std::to_string(6 + kRows))});
    Borders(data, 2, 1, 1);
    Format(data, 0, 0, false);
    const char* values[] = {"850", "24,3", ">10000", "37", "1234,56"};
    for (int i = 0; i < kRows; ++i) {
        char time[16], date[16];
        std::snprintf(time, sizeof time, "%d:%02d", i % 24, (i * 7) % 60);
        std::snprintf(date, sizeof date, "%02d.%02d.21", 1 + i % 28, 1 + i % 12);
        const std::string texts[] = {std::to_string(i + 1), values[i % 5], time, date};
        for (int c = 0; c < 4; ++c) {
            Obj(Obj(sheet, "Cells"), "Item", {Variant::Integer(7 + i), Variant::Integer(5 + c)})
                ->Put("Value", Variant::Text(texts[c]));
        }
    }
    return workbook;
}

void BM_ExportWorkbook(benchmark::State& state) {
    Folder folder;
    const std::string file = (folder.path() / "export.xlsx").string();
    for (auto _ : state) {
        tavex::automation::BuiltInSpreadsheet engine;
        const ObjectRef workbook = BuildWorkbook(engine);
        workbook->Call("SaveAs", {Variant::Text(file)});
    }
    state.counters["bytes"] = static_cast<double>(fs::file_size(file));
}

void BM_SaveWorkbook(benchmark::State& state) {
    Folder folder;
    const std::string file = (folder.path() / "export.xlsx").string();
    tavex::automation::BuiltInSpreadsheet engine;
    const ObjectRef workbook = BuildWorkbook(engine);
    for (auto _ : state) workbook->Call("SaveAs", {Variant::Text(file)});
}

BENCHMARK(BM_ExportWorkbook)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SaveWorkbook)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
