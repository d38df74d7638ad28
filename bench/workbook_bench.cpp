// Builds the export's workbook for a full record ring (1010 rows in chunks of 105) through the
// spreadsheet context and the built-in engine, with the calls the export makes, and saves it as
// .xlsx in a temporary folder (libxlsxwriter, a temporary file, fsync and rename).
//
//   build/bench/tavex_bench_workbook [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "export/automation/workbook_engine.h"
#include "export/excel.h"

namespace {

namespace fs = std::filesystem;

constexpr int kRows = 1010;
constexpr int kChunk = 105;

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

// The export's workbook: header, column widths, 1010 data rows.
void BuildWorkbook(tavex::Excel& excel) {
    excel.OpenWorkbook(1);
    excel.RenameSheet(1, "Monitoring results");
    excel.ActivateSheet(1);
    excel.SelectRange(6, 5, 6, 8, false);
    excel.SetBorderStyle(3, 3, 1);
    excel.FormatRange(-4108, -4108, 10, 16, "ArialCur", 3, 3, 0, 0);
    const char* captions[] = {"№ Measure", "Value, Bq/m3", "Time", "Date"};
    const int widths[] = {25, 25, 10, 20};
    for (int c = 0; c < 4; ++c) {
        excel.SelectCell(6, 5 + c);
        excel.SetRowHeightAndColumnWidth(13, widths[c]);
        excel.ApplyBorders();
        excel.SetValue(captions[c]);
        if (c == 1) excel.SuperscriptCharacters(12, 1);
    }
    const char* values[] = {"850", "51", ">10000", "349", "9444"};
    int row = 7;
    for (int done = 0; done < kRows; done += kChunk) {
        const int n = kRows - done < kChunk ? kRows - done : kChunk;
        excel.SelectRange(row, 5, row + n, 9, false);
        excel.FormatRange(-4108, -4108, 10, 0, "ArialCur", 3, 3, 0, 0);
        for (int k = 0; k < n; ++k, ++row) {
            const int i = done + k;
            char time[16], date[16];
            std::snprintf(time, sizeof time, "%d:%d", i % 24, (i * 7) % 60);
            std::snprintf(date, sizeof date, "%d.%d.26", 1 + i % 28, 1 + i % 12);
            const std::string texts[] = {std::to_string(i + 1), values[i % 5], time, date};
            for (int c = 0; c < 4; ++c) {
                excel.SelectCell(row, 5 + c);
                excel.SetValue(texts[c]);
            }
        }
    }
}

void BM_ExportWorkbook(benchmark::State& state) {
    Folder folder;
    const std::string file = (folder.path() / "export.xlsx").string();
    for (auto _ : state) {
        tavex::Excel excel(std::make_shared<tavex::automation::BuiltInSpreadsheet>(), nullptr);
        BuildWorkbook(excel);
        if (!excel.SaveWorkbookAs(file)) state.SkipWithError("the workbook was not saved");
    }
    state.counters["bytes"] = static_cast<double>(fs::file_size(file));
}

BENCHMARK(BM_ExportWorkbook)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
