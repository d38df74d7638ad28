// The panel program as a user meets it, on the offscreen platform: the panel built as the
// program builds it (its poll timer, its own timers, the real event loop), over the simulated
// meter with a full ring (1010 results), exporting into a temporary folder and archiving into an
// archive there too.
//
// - BM_PanelConnects: from show() to the connected screen, with the meter plugged in
//   (connected_ms).
// - BM_PanelExport: a full-ring export as a page, a CSV file and a workbook, at 1 ms per report
//   and at none, started as the menu item starts it and timed until the panel is back to idle
//   with the done row. With latency, the time against the time the meter really spent waiting
//   (ratio_measured) and against reports x latency (ratio_nominal); without, the time itself
//   (total_ms). longest_hold_ms: the longest the GUI thread was held by one event meanwhile, the
//   longest a click or a repaint would have waited.
//
//   build/bench/tavex_bench_panel [--benchmark_repetitions=3] [--benchmark_format=json]
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/panel_program.h"
#include "app/tavex_m.h"
#include "archive/archive.h"
#include "bench/full_ring.h"
#include "export/automation/workbook_engine.h"
#include "instrument/platform_thread.h"
#include "instrument/sim/sim_bus.h"
#include "instrument/sim/sim_meter.h"

namespace {

using Clock = std::chrono::steady_clock;

double Milliseconds(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// The application, timing every event it delivers on the GUI thread: the longest one is the
// longest the thread was held. Events sent from inside another event's handling count in that
// one. After each event it checks the condition being waited for, so that the moment it came
// true is known to the event.
class TimedApplication : public QApplication {
public:
    using QApplication::QApplication;

    bool notify(QObject* receiver, QEvent* event) override {
        if (depth_ > 0 || QThread::currentThread() != thread()) {
            return QApplication::notify(receiver, event);
        }
        ++depth_;
        const auto begin = Clock::now();
        const bool handled = QApplication::notify(receiver, event);
        const auto end = Clock::now();
        --depth_;
        longest_ = std::max(longest_, end - begin);
        if (condition_ && !metAt_ && condition_()) metAt_ = end;
        return handled;
    }

    void ResetLongestHold() { longest_ = Clock::duration::zero(); }
    Clock::duration LongestHold() const { return longest_; }

    // Runs the event loop until condition holds after an event, at most for limit; the moment
    // it came to hold, or none.
    std::optional<Clock::time_point> RunUntil(std::function<bool()> condition,
                                              std::chrono::seconds limit) {
        condition_ = std::move(condition);
        metAt_.reset();
        const auto giveUp = Clock::now() + limit;
        // The panel's poll timer wakes the loop every second at least.
        while (!metAt_ && Clock::now() < giveUp) {
            processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        }
        condition_ = nullptr;
        return metAt_;
    }

private:
    int depth_ = 0;
    Clock::duration longest_{};
    std::function<bool()> condition_;
    std::optional<Clock::time_point> metAt_;
};

TimedApplication& App() {
    return *static_cast<TimedApplication*>(QCoreApplication::instance());
}

class NoShell : public tavex::Shell {
public:
    bool OpenDocument(const std::string&) override { return true; }
    bool StartCommand(const std::string&) override { return true; }
};

// A message box is a failure here: the benchmark says what it said.
class KeptMessages : public tavex::MessageBox {
public:
    void Show(const std::string& text, const std::string&, int) override { shown.push_back(text); }
    std::vector<std::string> shown;
};

// The panel as the program builds it (PanelWindows), its files in a temporary folder: the language
// file, the exports and the archive. The skin comes from the build's run folder.
class Panel {
public:
    explicit Panel(std::chrono::microseconds latency) {
        meter_->SetLatency(latency);
        bus_->Plug(meter_);
        tavex::PanelServices services;
        services.shell = std::make_shared<NoShell>();
        services.messageBox = messages_;
        services.spreadsheet =
            std::make_shared<tavex::automation::BuiltInSpreadsheet>(services.shell);
        services.runSaveDialog = [this](QFileDialog&, QString& name, int& typeIndex) {
            name = ExportBase();
            typeIndex = saveType_;
            return true;
        };
        services.programFolder = QStringLiteral(TAVEX_RUN_DIR);
        services.dataFolder = dir_.path();
        const std::string archivePath = QDir(dir_.path()).filePath("archive.sqlite").toStdString();
        services.openArchive = [archivePath](std::string& error) {
            return tavex::archive::Archive::Open(archivePath, error);
        };

        windows_ = std::make_unique<tavex::PanelWindows>(services, bus_);
    }

    ~Panel() {
        windows_->Form1().WaitForArchiveJob(std::chrono::seconds(10));
        windows_.reset();
    }

    // Shows the panel; the moment the connected screen came, or none within the limit.
    std::optional<Clock::time_point> ShowUntilConnected() {
        windows_->Show();
        return App().RunUntil([this] { return Form1().ConnectedShown == 1; },
                              std::chrono::seconds(10));
    }

    // Chooses the save dialog's file type by its label's start; false when it is not offered.
    bool ChooseType(const QString& label) {
        const auto& types = Form1().SaveTypes();
        for (int i = 0; i < types.size(); ++i) {
            if (types[i].startsWith(label)) {
                saveType_ = i + 1;
                return true;
            }
        }
        return false;
    }

    QString ExportBase() const { return QDir(dir_.path()).filePath("export"); }
    tavex::TForm1& Form1() { return windows_->Form1(); }
    tavex::sim::SimMeter& Meter() { return *meter_; }
    const std::vector<std::string>& Messages() const { return messages_->shown; }

private:
    QTemporaryDir dir_;
    std::shared_ptr<tavex::sim::SimBus> bus_ = std::make_shared<tavex::sim::SimBus>();
    std::shared_ptr<tavex::sim::SimMeter> meter_ =
        std::make_shared<tavex::sim::SimMeter>(tavex::bench::FullRing());
    std::shared_ptr<KeptMessages> messages_ = std::make_shared<KeptMessages>();
    int saveType_ = 1;
    std::unique_ptr<tavex::PanelWindows> windows_;
};

void BM_PanelConnects(benchmark::State& state) {
    double connectedMs = 0;
    for (auto _ : state) {
        Panel panel{std::chrono::microseconds(state.range(0))};
        const auto shown = Clock::now();
        const auto connected = panel.ShowUntilConnected();
        if (!connected) {
            state.SkipWithError("the panel never showed the connected screen");
            return;
        }
        const double ms = Milliseconds(*connected - shown);
        state.SetIterationTime(ms / 1000.0);
        connectedMs += ms;
    }
    state.counters["connected_ms"] = connectedMs / static_cast<double>(state.iterations());
}

void BM_PanelExport(benchmark::State& state) {
    struct Format {
        const char* label;      // the save dialog's type
        const char* extension;  // appended to the chosen name
    };
    static constexpr Format kFormats[] = {
        {"HTM", ".htm"}, {"CSV", ".csv"}, {"Microsoft Excel", ".xlsx"}};
    const Format format = kFormats[state.range(0)];
    const auto latency = std::chrono::microseconds(state.range(1));
    state.SetLabel(format.extension + 1);

    Panel panel{latency};
    if (!panel.ChooseType(format.label)) {
        state.SkipWithError("the save dialog does not offer the format");
        return;
    }
    tavex::TForm1& form1 = panel.Form1();
    const QString file = panel.ExportBase() + format.extension;

    if (!panel.ShowUntilConnected()) {
        state.SkipWithError("the panel never showed the connected screen");
        return;
    }
    // The save dialog is made when first asked for, before the user picks a file: not part of
    // the export.
    form1.SaveDialog();
    double totalMs = 0, longestHoldMs = 0, waitedMs = 0;
    std::uint64_t reports = 0;
    for (auto _ : state) {
        // The menu is there only on the connected screen, which comes back a while after an
        // export.
        if (form1.ConnectedShown != 1 &&
            !App().RunUntil([&] { return form1.ConnectedShown == 1; }, std::chrono::seconds(10))) {
            state.SkipWithError("the panel did not come back to the connected screen");
            return;
        }
        QFile::remove(file);
        const std::uint64_t firstReport = panel.Meter().ReportCount();
        const auto firstWaited = panel.Meter().WaitedTime();
        App().ResetLongestHold();
        // The menu item's click is an event of its own: started from one.
        Clock::time_point start;
        bool started = false;
        QTimer::singleShot(0, &form1, [&] {
            start = Clock::now();
            started = true;
            form1.StartExport();
        });
        const auto done =
            App().RunUntil([&] { return started && form1.PanelState == tavex::kPanelIdle; },
                           std::chrono::seconds(60));
        const tavex::SkinStrip& display = form1.Skin()->Display();
        const bool doneRow = display.rowHeight > 0 && display.source.top() / display.rowHeight == 4;
        if (!done || !doneRow || !panel.Messages().empty() || QFileInfo(file).size() == 0) {
            state.SkipWithError(("the export did not finish: " +
                                 (panel.Messages().empty() ? std::string("no done row or file")
                                                           : panel.Messages().front()))
                                    .c_str());
            return;
        }
        const double ms = Milliseconds(*done - start);
        state.SetIterationTime(ms / 1000.0);
        totalMs += ms;
        longestHoldMs = std::max(longestHoldMs, Milliseconds(App().LongestHold()));
        reports += panel.Meter().ReportCount() - firstReport;
        waitedMs += Milliseconds(panel.Meter().WaitedTime() - firstWaited);
    }
    const double iterations = static_cast<double>(state.iterations());
    const double transportMs =
        static_cast<double>(reports) * static_cast<double>(latency.count()) / 1000.0;
    state.counters["reports"] = static_cast<double>(reports) / iterations;
    if (latency.count() > 0) {
        state.counters["ratio_measured"] = totalMs / waitedMs;
        state.counters["ratio_nominal"] = totalMs / transportMs;
    } else {
        state.counters["total_ms"] = totalMs / iterations;
    }
    state.counters["longest_hold_ms"] = longestHoldMs;
}

BENCHMARK(BM_PanelConnects)
    ->Arg(1000)
    ->ArgName("latency_us")
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime();

BENCHMARK(BM_PanelExport)
    ->ArgsProduct({{0, 1, 2}, {1000, 0}})
    ->ArgNames({"format", "latency_us"})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime();

}  // namespace

int main(int argc, char** argv) {
    // No display needed, whatever the surroundings say.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // Qt's own settings (the save dialog keeps its history there) go into a folder of the
    // benchmark's, not the user's.
    const QTemporaryDir settings;
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"}) {
        qputenv(name, settings.path().toLocal8Bit());
    }
    TimedApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    tavex::WaitForDetachedThreadsToEnd(std::chrono::seconds(10));
    return 0;
}
