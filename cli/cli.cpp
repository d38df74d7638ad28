#include "cli/cli.h"

#ifdef _WIN32
#include <io.h>

#include "cli/windows_shell.h"
#else
#include <unistd.h>

#include "cli/xdg_shell.h"
#endif

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <thread>
#include <utility>

#include "export/automation/workbook_engine.h"
#include "export/excel.h"
#include "export/files.h"
#include "export/formfileexel.h"
#include "export/message_box.h"
#include "fileio/safe_file.h"
#include "instrument/hid_platform.h"
#include "instrument/protokol.h"
#include "instrument/sim/memory_image.h"
#include "instrument/sim/sim_bus.h"
#include "instrument/sim/sim_meter.h"

namespace tavex::cli {

namespace {

constexpr const char* kUsage =
    "usage: tavex-cli [--simulate[=IMAGE]] [--wait SECONDS] COMMAND [ARGS]\n"
    "\n"
    "Talks to the TAVEX QX482TDA radon meter over USB (or to the built-in simulated meter).\n"
    "\n"
    "commands:\n"
    "  info                         show connection, language, unit and memory header\n"
    "  set-clock                    set the meter's clock to this computer's local time\n"
    "  clear --yes [--backup FILE]  erase the stored results (after saving a memory image)\n"
    "  dump FILE                    save the meter's memory as an image that --simulate loads\n"
    "  export FILE [--format htm|csv|xlsx] [--language en|ru] [--open]\n"
    "                               write the stored results as a page, CSV file or workbook\n"
    "\n"
    "options:\n"
    "  --simulate[=IMAGE]  use the simulated meter, with the demo memory or the given\n"
    "                      8192-byte memory image (only read, never written)\n"
    "  --wait SECONDS      how long to look for the meter (default 3)\n"
    "  --help              show this text; COMMAND --help shows the command's\n"
    "\n"
    "exit codes: 0 success, 1 the operation failed, 2 usage error, 3 no meter found\n";

constexpr const char* kInfoUsage =
    "usage: tavex-cli [OPTIONS] info\n"
    "Prints whether the meter is connected, its language and unit, and its memory header.\n";
constexpr const char* kSetClockUsage =
    "usage: tavex-cli [OPTIONS] set-clock\n"
    "Sets the meter's clock to this computer's local date and time.\n";
constexpr const char* kClearUsage =
    "usage: tavex-cli [OPTIONS] clear --yes [--backup FILE]\n"
    "Erases every result stored in the meter. --yes confirms it; --backup FILE first saves\n"
    "the meter's memory as an image (nothing is erased when that fails).\n";
constexpr const char* kDumpUsage =
    "usage: tavex-cli [OPTIONS] dump FILE\n"
    "Saves the meter's settings, memory header and stored results as an 8192-byte image\n"
    "that `tavex-cli --simulate=FILE` loads again.\n";

constexpr const char* kExportUsage =
    "usage: tavex-cli [OPTIONS] export FILE [--format htm|csv|xlsx] [--language en|ru] [--open]\n"
    "Writes the results stored in the meter, newest first, as an HTML page (htm), a CSV file\n"
    "in Windows-1251 (csv) or a workbook (xlsx). The format follows FILE's extension (.htm,\n"
    ".html, .csv, .xlsx) unless --format names it. Damaged results are left out. An existing\n"
    "FILE is replaced only once the export has finished.\n"
    "  --format F     htm, csv or xlsx, whatever FILE's extension\n"
    "  --language L   captions in English (en) or Russian (ru); default: the meter's language\n"
    "  --open         open FILE with its default program afterwards (xdg-open)\n";

constexpr const char* kFormatList = "supported formats: htm, csv, xlsx";

struct ExportRequest {
    std::string file;
    std::uint8_t format = kFormatHtm;
    std::optional<std::uint8_t> language;  // 0 Russian, 1 English; unset: the meter's
    bool open = false;
};

struct Options {
    bool simulate = false;
    std::string simulateImage;
    int waitSeconds = 3;
    std::string command;
    std::vector<std::string> commandArgs;
};

int UsageError(std::ostream& err, const std::string& message) {
    err << "tavex-cli: " << message << " (see tavex-cli --help)\n";
    return kExitUsage;
}

std::optional<int> ParseSeconds(const std::string& text) {
    int value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end || value < 0 || value > 3600) return std::nullopt;
    return value;
}

const char* CommandUsage(const std::string& command) {
    if (command == "info") return kInfoUsage;
    if (command == "set-clock") return kSetClockUsage;
    if (command == "clear") return kClearUsage;
    if (command == "dump") return kDumpUsage;
    if (command == "export") return kExportUsage;
    return nullptr;
}

std::string Lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::optional<std::uint8_t> FormatNamed(const std::string& name) {
    const std::string lower = Lowercase(name);
    if (lower == "htm" || lower == "html") return kFormatHtm;
    if (lower == "csv") return kFormatCsv;
    if (lower == "xlsx") return kFormatXls;
    return std::nullopt;
}

// Reads export's arguments into request; kExitOk, or a usage error already reported.
int ParseExportArguments(const std::vector<std::string>& rest, ExportRequest& request,
                         std::ostream& err) {
    std::optional<std::string> format;
    std::optional<std::string> language;
    for (std::size_t k = 0; k < rest.size(); ++k) {
        const std::string& arg = rest[k];
        std::optional<std::string>* value = nullptr;
        std::string name;
        if (arg == "--open") {
            request.open = true;
            continue;
        } else if (arg == "--format" || arg.rfind("--format=", 0) == 0) {
            value = &format;
            name = "--format";
        } else if (arg == "--language" || arg.rfind("--language=", 0) == 0) {
            value = &language;
            name = "--language";
        } else if (!arg.empty() && arg[0] != '-' && request.file.empty()) {
            request.file = arg;
            continue;
        } else {
            return UsageError(err, "export: unexpected argument '" + arg + "'");
        }
        if (arg == name) {
            if (k + 1 >= rest.size()) return UsageError(err, "export: " + name + " needs a value");
            *value = rest[++k];
        } else {
            *value = arg.substr(name.size() + 1);
        }
    }
    if (request.file.empty()) return UsageError(err, "export needs a FILE");

    if (language) {
        const std::string lower = Lowercase(*language);
        if (lower == "en") {
            request.language = 1;
        } else if (lower == "ru") {
            request.language = 0;
        } else {
            return UsageError(err, "export: --language takes en or ru, not '" + *language + "'");
        }
    }

    const std::string extension =
        Lowercase(std::filesystem::path(request.file).extension().string());
    const std::string formatName = format ? *format : extension.empty() ? "" : extension.substr(1);
    if (Lowercase(formatName) == "xls") {
        return UsageError(err, std::string("export: the workbook is written as .xlsx, not .xls (") +
                                   kFormatList + ")");
    }
    const std::optional<std::uint8_t> named = FormatNamed(formatName);
    if (!named) {
        if (format) {
            return UsageError(err,
                              "export: unknown format '" + *format + "' (" + kFormatList + ")");
        }
        return UsageError(err, "export: cannot tell the format from the name '" + request.file +
                                   "'; give --format (" + kFormatList + ")");
    }
    request.format = *named;
    return kExitOk;
}

std::string TwoDigits(int value) {
    char text[8];
    std::snprintf(text, sizeof text, "%02d", value);
    return text;
}

// Polls at once and then every second until the meter is connected or the wait is over.
bool WaitForConnection(TForm2& form, int waitSeconds) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::seconds(waitSeconds);
    for (;;) {
        const auto pollTime = Clock::now();
        form.Timer1Timer();
        form.WaitForExchangeThreads(std::chrono::seconds(10));
        if (form.connected.load(std::memory_order_acquire)) return true;
        const auto next = pollTime + std::chrono::milliseconds(form.Timer1.Interval.load());
        if (next >= deadline) return false;
        std::this_thread::sleep_until(next);
    }
}

// Why the meter stopped in the middle of a command.
const char* StopReason(const TForm2& form) {
    return form.MeterInUse() ? "the meter is in use by another program"
                             : "the meter stopped answering";
}

int Connect(TForm2& form, int waitSeconds, std::ostream& err) {
    if (WaitForConnection(form, waitSeconds)) return kExitOk;
    if (form.MeterInUse()) {
        err << "tavex-cli: the meter is in use by another program\n";
        return kExitFailed;
    }
    if (form.Usb().everFound.load()) {
        err << "tavex-cli: the meter (USB ID 03eb:5603) was found but did not answer\n";
        return kExitFailed;
    }
#ifdef _WIN32
    err << "tavex-cli: no device with USB ID 03eb:5603 was found (is the meter plugged in and "
           "switched on?)\n";
#else
    err << "tavex-cli: no device with USB ID 03eb:5603 was found (on Linux a normal user needs "
           "the udev rule from packaging/linux to open it; see README)\n";
#endif
    return kExitNoDevice;
}

bool Lost(const TForm2& form) {
    return form.connected.load(std::memory_order_acquire) == 0;
}

int Info(TForm2& form, std::ostream& out) {
    const bool valid = form.headerStatus.load() == kHeaderValid;
    out << "connected: yes\n"
        << "language: " << (form.instrumentLanguage.load() == 1 ? "English" : "Russian") << "\n"
        << "unit: " << (form.instrumentUnit.load() == 1 ? "pCi/l" : "Bq/m3") << "\n"
        << "header: " << (valid ? "valid" : "invalid") << "\n"
        << "record pointer: " << form.recordPointer.load() << "\n"
        << "record count: " << form.recordCount.load() << "\n";
    return kExitOk;
}

int SetClock(TForm2& form, std::ostream& out, std::ostream& err) {
    form.SetInstrumentClock();
    if (Lost(form) || !form.LastCommandSucceeded()) {
        err << "tavex-cli: setting the clock failed: " << StopReason(form) << "\n";
        return kExitFailed;
    }
    const LocalDateTime t = form.LastClockSent();
    out << "clock set: " << t.year << "-" << TwoDigits(t.month) << "-" << TwoDigits(t.day) << " "
        << TwoDigits(t.hour) << ":" << TwoDigits(t.minute) << ":" << TwoDigits(t.second) << "\n";
    return kExitOk;
}

bool DumpTo(TForm2& form, const std::string& path, std::ostream& err) {
    std::string refused;
    if (!FileReplacement::CheckTarget(path, {}, refused)) {
        err << "tavex-cli: " << refused << "\n";
        return false;
    }
    sim::MemoryImage image{};
    if (!form.ReadMemoryImage(image.data())) {
        err << "tavex-cli: reading the meter's memory failed: " << StopReason(form) << "\n";
        return false;
    }
    std::string error;
    if (!sim::SaveMemoryImage(path, image, error)) {
        err << "tavex-cli: " << error << "\n";
        return false;
    }
    return true;
}

int Dump(TForm2& form, const std::string& path, std::ostream& out, std::ostream& err) {
    if (!DumpTo(form, path, err)) return kExitFailed;
    out << "memory image written: " << path << "\n";
    return kExitOk;
}

int Clear(TForm2& form, const std::string& backup, int waitSeconds, std::ostream& out,
          std::ostream& err) {
    form.ReadMemoryHeader();
    if (Lost(form)) {
        err << "tavex-cli: the memory header could not be read: " << StopReason(form) << "\n";
        return kExitFailed;
    }
    if (form.headerStatus.load() != kHeaderValid) {
        err << "tavex-cli: the meter's memory header is not valid; nothing was changed\n";
        return kExitFailed;
    }
    const std::uint32_t count = form.recordCount.load();
    if (!backup.empty()) {
        if (!DumpTo(form, backup, err)) {
            err << "tavex-cli: the backup failed; nothing was erased\n";
            return kExitFailed;
        }
    }
    form.ClearMemory();
    form.WaitWhileBusy();
    // The erase may have reached the meter although its answer was lost: what is told is what
    // the meter holds afterwards, once it answers again.
    if ((Lost(form) || !form.LastCommandSucceeded()) && !WaitForConnection(form, waitSeconds)) {
        err << "tavex-cli: " << StopReason(form)
            << " while its memory was being cleared; "
               "`tavex-cli info` will tell whether it was cleared\n";
        return kExitFailed;
    }
    form.ReadMemoryHeader();
    if (Lost(form) || form.headerStatus.load() != kHeaderValid) {
        err << "tavex-cli: the meter did not confirm the cleared memory; `tavex-cli info` will "
               "tell whether it was cleared\n";
        return kExitFailed;
    }
    if (form.recordCount.load() != 0) {
        err << "tavex-cli: clearing the memory failed: the meter still holds "
            << form.recordCount.load() << " results\n";
        return kExitFailed;
    }
    out << "cleared: " << count << " results\n";
    return kExitOk;
}

// The spreadsheet context's messages go to the error stream.
class ErrorStreamMessageBox : public MessageBox {
public:
    explicit ErrorStreamMessageBox(std::ostream& err) : err_(err) {}
    void Show(const std::string& text, const std::string& caption, int) override {
        err_ << "tavex-cli: " << (caption.empty() ? "" : caption + ": ") << text << "\n";
    }

private:
    std::ostream& err_;
};

// Without --open the exported file is opened by nobody.
class OpensNothing : public Shell {
public:
    bool OpenDocument(const std::string&) override { return false; }
    bool StartCommand(const std::string&) override { return false; }
};

// Hands --open to the environment's shell and keeps the names it could not open, to be told
// once the progress bar is done.
class OpeningShell : public Shell {
public:
    explicit OpeningShell(std::shared_ptr<Shell> shell) : shell_(std::move(shell)) {}
    bool OpenDocument(const std::string& path) override {
        const bool opened = shell_ && shell_->OpenDocument(path);
        if (!opened) unopened.push_back(path);
        return opened;
    }
    bool StartCommand(const std::string& commandLine) override {
        return shell_ && shell_->StartCommand(commandLine);
    }

    std::vector<std::string> unopened;

private:
    std::shared_ptr<Shell> shell_;
};

// The export's progress on one line of a terminal, in the export's six stages.
class ProgressBar {
public:
    ProgressBar(std::ostream& err, bool shown) : err_(err), shown_(shown) {}

    void Show(std::uint8_t stage) {
        // The export reports up to 9 before it has finished when there are only a few results.
        const int done = std::min<int>(stage, kStages);
        if (!shown_ || done == drawn_) return;
        drawn_ = done;
        err_ << "\rexporting [" << std::string(static_cast<std::size_t>(done * kStep), '#')
             << std::string(static_cast<std::size_t>((kStages - done) * kStep), ' ') << "] "
             << done * 100 / kStages << "%" << std::flush;
    }
    // Ends the bar's line, full when the export has finished.
    void End(bool finished) {
        if (finished) Show(kStages);
        if (shown_ && drawn_ >= 0) err_ << "\n" << std::flush;
        drawn_ = -1;
    }

private:
    static constexpr int kStages = 6;
    static constexpr int kStep = 5;
    std::ostream& err_;
    bool shown_;
    int drawn_ = -1;
};

int Export(TForm2& form, const ExportRequest& request, std::ostream& out, std::ostream& err,
           const Environment& environment) {
    form.ReadMemoryHeader();
    if (Lost(form)) {
        err << "tavex-cli: the memory header could not be read: " << StopReason(form) << "\n";
        return kExitFailed;
    }
    if (form.headerStatus.load() != kHeaderValid) {
        err << "tavex-cli: the meter's memory header is not valid; nothing was exported\n";
        return kExitFailed;
    }
    if (form.recordCount.load() == 0) {
        out << "the meter holds no results; nothing was exported\n";
        return kExitOk;
    }

    const std::uint8_t language =
        request.language ? *request.language : form.instrumentLanguage.load();
    std::shared_ptr<OpeningShell> opening;
    std::shared_ptr<Shell> shell = std::make_shared<OpensNothing>();
    if (request.open) {
        opening = std::make_shared<OpeningShell>(
            environment.openingShell ? environment.openingShell() : nullptr);
        shell = opening;
    }
    // Excel itself when it is installed (Windows), else the built-in engine.
    Excel excel(automation::MakeSpreadsheetFactory(shell),
                std::make_shared<ErrorStreamMessageBox>(err));
    Formfileexel exporter(form, excel, TheRawFile(), *shell, language);
    ProgressBar bar(err, environment.errorIsTerminal && environment.errorIsTerminal());

    if (!exporter.BeginExport(request.format, request.file)) {
        err << "tavex-cli: " << exporter.ExportError() << "\n";
        return kExitFailed;
    }
    // Nothing else takes the busy flag here (no poll runs), so each round either hands over a
    // chunk and starts the next read, or ends the export.
    while (exporter.ExportProgress() != kProgressDone && !exporter.ExportFailed()) {
        bar.Show(exporter.ExportProgress());
        form.WaitWhileBusy();
        exporter.ExportNext();
        if (exporter.ExportState() == kExportIdle && !exporter.ExportFinished() &&
            !exporter.ExportFailed()) {
            exporter.AbortExport();
            bar.End(false);
            err << "tavex-cli: the export stopped before it had finished\n";
            return kExitFailed;
        }
    }
    const bool finished = !exporter.ExportFailed();
    bar.End(finished);
    if (!finished) {
        err << "tavex-cli: "
            << (form.MeterInUse() ? "the meter is in use by another program; the export was not "
                                    "finished"
                                  : exporter.ExportError())
            << "\n";
        return kExitFailed;
    }
    out << "exported: " << exporter.RowsWritten() << " results to " << request.file << "\n";
    // The results are saved either way; only the viewing did not happen.
    if (opening) {
        for (const std::string& path : opening->unopened)
            err << "tavex-cli: " << path << " could not be opened with its default program\n";
    }
    return kExitOk;
}

}  // namespace

#ifdef _WIN32
std::shared_ptr<Shell> MakeDesktopShell() {
    return std::make_shared<WindowsShell>();
}

bool StandardErrorIsTerminal() {
    return ::_isatty(2) != 0;
}
#else
std::shared_ptr<Shell> MakeDesktopShell() {
    return std::make_shared<XdgShell>();
}

bool StandardErrorIsTerminal() {
    return ::isatty(2) == 1;
}
#endif

Environment DefaultEnvironment() {
    Environment environment;
    environment.realPlatform = [] { return MakeSystemHidPlatform(); };
    return environment;
}

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
        const Environment& environment) {
    Options options;
    std::size_t i = 0;
    for (; i < args.size() && options.command.empty(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            out << kUsage;
            return kExitOk;
        } else if (arg == "--simulate") {
            options.simulate = true;
        } else if (arg.rfind("--simulate=", 0) == 0) {
            options.simulate = true;
            options.simulateImage = arg.substr(11);
            if (options.simulateImage.empty())
                return UsageError(err, "--simulate= needs an image file");
        } else if (arg == "--wait" || arg.rfind("--wait=", 0) == 0) {
            std::string value;
            if (arg == "--wait") {
                if (i + 1 >= args.size())
                    return UsageError(err, "--wait needs a number of seconds");
                value = args[++i];
            } else {
                value = arg.substr(7);
            }
            const auto seconds = ParseSeconds(value);
            if (!seconds)
                return UsageError(err,
                                  "--wait takes whole seconds from 0 to 3600, not '" + value + "'");
            options.waitSeconds = *seconds;
        } else if (!arg.empty() && arg[0] == '-') {
            return UsageError(err, "unknown option '" + arg + "'");
        } else {
            options.command = arg;
        }
    }
    options.commandArgs.assign(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
    if (options.command.empty()) return UsageError(err, "no command given");

    const char* commandUsage = CommandUsage(options.command);
    if (!commandUsage) return UsageError(err, "unknown command '" + options.command + "'");
    for (const std::string& arg : options.commandArgs) {
        if (arg == "--help" || arg == "-h") {
            out << commandUsage;
            return kExitOk;
        }
    }

    // Check the command's own arguments before touching the meter.
    bool confirmed = false;
    std::string file;
    ExportRequest exportRequest;
    const auto& rest = options.commandArgs;
    if (options.command == "info" || options.command == "set-clock") {
        if (!rest.empty()) return UsageError(err, options.command + " takes no arguments");
    } else if (options.command == "dump") {
        if (rest.size() != 1 || rest[0].empty() || rest[0][0] == '-') {
            return UsageError(err, "dump needs exactly one FILE");
        }
        file = rest[0];
    } else if (options.command == "export") {
        if (const int code = ParseExportArguments(rest, exportRequest, err); code != kExitOk) {
            return code;
        }
    } else if (options.command == "clear") {
        for (std::size_t k = 0; k < rest.size(); ++k) {
            if (rest[k] == "--yes") {
                confirmed = true;
            } else if (rest[k] == "--backup" && k + 1 < rest.size() && !rest[k + 1].empty()) {
                file = rest[++k];
            } else if (rest[k].rfind("--backup=", 0) == 0 && rest[k].size() > 9) {
                file = rest[k].substr(9);
            } else {
                return UsageError(err, "clear: unexpected argument '" + rest[k] + "'");
            }
        }
        if (!confirmed) {
            err << "tavex-cli: clear erases every result stored in the meter; run "
                   "`tavex-cli clear --yes` to confirm (add --backup FILE to keep a copy)\n";
            return kExitUsage;
        }
    }

    std::shared_ptr<HidPlatform> platform;
    if (options.simulate) {
        sim::MemoryImage image = sim::DemoMemoryImage();
        if (!options.simulateImage.empty()) {
            std::string error;
            if (!sim::LoadMemoryImage(options.simulateImage, image, error)) {
                err << "tavex-cli: " << error << "\n";
                return kExitFailed;
            }
        }
        auto bus = std::make_shared<sim::SimBus>();
        bus->Plug(std::make_shared<sim::SimMeter>(image));
        platform = bus;
    } else {
        platform = environment.realPlatform();
    }

    auto form = TForm2::Create(platform, environment.clock);
    form->FormCreate();
    int code = Connect(*form, options.waitSeconds, err);
    if (code == kExitOk) {
        if (options.command == "info") {
            code = Info(*form, out);
        } else if (options.command == "set-clock") {
            code = SetClock(*form, out, err);
        } else if (options.command == "dump") {
            code = Dump(*form, file, out, err);
        } else if (options.command == "export") {
            code = Export(*form, exportRequest, out, err, environment);
        } else {
            code = Clear(*form, file, options.waitSeconds, out, err);
        }
    }
    form->WaitForExchangeThreads(std::chrono::seconds(10));
    return code;
}

}  // namespace tavex::cli
