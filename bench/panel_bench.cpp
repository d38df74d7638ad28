// The panel during a full-ring export (1010 results, 1 ms per report, page format), driven by
// its own timer steps on the offscreen platform: the longest time one step holds the GUI thread
// (the step that starts the export, which waits for one memory-header read, counted apart),
// and the export's total time against the time its reports need.
//
//   build/bench/tavex_bench_panel
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <chrono>

#include "app/menu1.h"
#include "app/tavex_m.h"
#include "export/automation/workbook_engine.h"
#include "instrument/memory_map.h"
#include "instrument/sim/sim_bus.h"
#include "instrument/sim/sim_meter.h"

namespace {

using Clock = std::chrono::steady_clock;

class NoShell : public tavex::Shell {
public:
    bool OpenDocument(const std::string&) override { return true; }
    bool StartCommand(const std::string&) override { return true; }
};

tavex::sim::MemoryImage FullRing() {
    tavex::sim::MemoryImage image{};
    image[tavex::memory::kLanguageAddress] = 1;
    const auto header = tavex::memory::EncodeHeader({1010, 1010});
    std::copy(header.begin(), header.end(), image.begin() + tavex::memory::kHeaderAddress);
    for (std::uint32_t slot = 1; slot <= tavex::memory::kSlotCount; ++slot) {
        const tavex::memory::StoredRecord record{static_cast<std::uint16_t>(slot % 60), 5,
                                                 static_cast<std::uint8_t>(slot % 24), 7, 3, 26, 0};
        const auto bytes = tavex::memory::EncodeRecord(record);
        std::copy(bytes.begin(), bytes.end(), image.begin() + tavex::memory::SlotAddress(slot));
    }
    return image;
}

void BM_PanelExport(benchmark::State& state) {
    QTemporaryDir dir;
    const QString oldDir = QDir::currentPath();
    for (const QString& name : QDir(TAVEX_RUN_DIR).entryList({"*.dat"})) {
        QFile::link(QDir(TAVEX_RUN_DIR).filePath(name), QDir(dir.path()).filePath(name));
    }
    QDir::setCurrent(dir.path());
    auto bus = std::make_shared<tavex::sim::SimBus>();
    auto meter = std::make_shared<tavex::sim::SimMeter>(FullRing());
    bus->Plug(meter);
    auto shell = std::make_shared<NoShell>();
    tavex::PanelServices services;
    services.shell = shell;
    services.spreadsheet = std::make_shared<tavex::automation::BuiltInSpreadsheet>(shell);
    services.runSaveDialog = [&](QFileDialog&, QString& name, int& type) {
        name = QDir(dir.path()).filePath("export");
        type = 1;
        return true;
    };
    tavex::TForm1 form1(services);
    auto form2 = tavex::TForm2::Create(bus);
    form2->FormCreate();
    tavex::TForm4 form4;
    form1.Attach(form2, &form4);
    form2->Timer1Timer();
    form2->WaitForExchangeThreads(std::chrono::seconds(10));
    form1.FormActivate();
    form1.Timer1Timer();
    meter->SetLatency(std::chrono::microseconds(state.range(0)));

    double startMs = 0, longestMs = 0, totalMs = 0, transportMs = 0;
    for (auto _ : state) {
        const std::uint64_t firstReport = meter->ReportCount();
        const auto begin = Clock::now();
        form1.StartExport();  // the step that reads the memory header and begins
        startMs = std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
        longestMs = 0;
        while (form1.PanelState == tavex::kPanelExporting) {
            // The timer would fire every 50 ms; here the next step runs as soon as the chunk
            // is in, which only makes the export faster, not a step longer.
            form2->WaitWhileBusy();
            const auto stepBegin = Clock::now();
            form1.Timer1Timer();
            longestMs = std::max(
                longestMs, std::chrono::duration<double, std::milli>(Clock::now() - stepBegin).count());
        }
        totalMs = std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
        transportMs = static_cast<double>(meter->ReportCount() - firstReport) *
                      static_cast<double>(state.range(0)) / 1000.0;
        form1.Timer1Timer();  // back to idle
    }
    state.counters["start_step_ms"] = startMs;
    state.counters["longest_step_ms"] = longestMs;
    state.counters["total_ms"] = totalMs;
    state.counters["transport_ms"] = transportMs;
    if (transportMs > 0) state.counters["ratio"] = totalMs / transportMs;
    form2->WaitForExchangeThreads(std::chrono::seconds(10));
    QDir::setCurrent(oldDir);
}

BENCHMARK(BM_PanelExport)->Arg(1000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
