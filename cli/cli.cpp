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
#include <set>
#include <thread>
#include <tuple>
#include <utility>

#include "archive/archive.h"
#include "archive/history.h"
#include "archive/summary.h"
#include "cli/report_command.h"
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
    "usage: tavex-cli [--simulate[=IMAGE]] [--wait SECONDS] [--archive FILE] COMMAND [ARGS]\n"
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
    "  archive                      read the stored results into the archive on this computer\n"
    "  summary [--from D] [--to D] [--unit bq|pci] [--json]\n"
    "                               the archive's long-term summary (no meter needed)\n"
    "  history [--from D] [--to D] [--format csv|json] [FILE]\n"
    "                               the archived results for spreadsheets and scripts\n"
    "  report FILE.pdf|FILE.html [--from D] [--to D] [--language en|ru] [--unit bq|pci]\n"
    "                               a report of the archived results to print or share\n"
    "\n"
    "options:\n"
    "  --simulate[=IMAGE]  use the simulated meter, with the demo memory or the given\n"
    "                      8192-byte memory image (only read, never written)\n"
    "  --wait SECONDS      how long to look for the meter (default 3)\n"
    "  --archive FILE      the results archive to use (default: archive.sqlite, with\n"
    "                      --simulate demo-archive.sqlite, in ~/.local/share/tavex; for the\n"
    "                      real meter TAVEX_ARCHIVE names another)\n"
    "  --help              show this text; COMMAND --help shows the command's\n"
    "\n"
    "exit codes: 0 success, 1 the operation failed, 2 usage error,\n"
    "            3 no meter found (or only one that this user may not open)\n";

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

constexpr const char* kArchiveUsage =
    "usage: tavex-cli [OPTIONS] archive\n"
    "Reads every result stored in the meter and adds the new ones to the archive on this\n"
    "computer (each result is kept once). Exports and clearing do the same by themselves.\n";
constexpr const char* kSummaryUsage =
    "usage: tavex-cli [OPTIONS] summary [--from YYYY-MM-DD] [--to YYYY-MM-DD] [--unit bq|pci] "
    "[--json]\n"
    "The archived results' summary: period, count, mean, median, minimum, maximum, results at\n"
    "or above 100 and 300 Bq/m3, means by hour of day and by month. --from and --to include\n"
    "their days. --json prints one JSON object (values in Bq/m3).\n";
constexpr const char* kHistoryUsage =
    "usage: tavex-cli [OPTIONS] history [--from YYYY-MM-DD] [--to YYYY-MM-DD] [--format csv|json] "
    "[FILE]\n"
    "The archived results, oldest first, in UTF-8: time (YYYY-MM-DDTHH:MM), bq_m3, pci_l and\n"
    "flag (below_limit, over_range or empty). Written to FILE, or to standard output.\n";
constexpr const char* kReportUsage =
    "usage: tavex-cli [OPTIONS] report FILE.pdf|FILE.html [--from YYYY-MM-DD] [--to YYYY-MM-DD]\n"
    "                 [--language en|ru] [--unit bq|pci]\n"
    "Writes a report of the archived results (summary, comparison with the reference levels,\n"
    "charts and every result) as an A4 PDF document or one self-contained HTML page.\n";

constexpr const char* kFormatList = "supported formats: htm, csv, xlsx";

struct ExportRequest {
    std::string file;
    std::uint8_t format = kFormatHtm;
    std::optional<std::uint8_t> language;  // 0 Russian, 1 English; unset: the meter's
    bool open = false;
};

// What summary, history and report take: a period, a unit, a format, a language, a file.
struct ArchiveRequest {
    archive::Period period;
    std::uint8_t unit = 0;
    bool json = false;
    int language = 1;
    std::string file;
};

struct Options {
    bool simulate = false;
    std::string simulateImage;
    std::string archivePath;
    int waitSeconds = 3;
    std::string command;
    std::vector<std::string> commandArgs;
};

int UsageError(std::ostream& err, const std::string& message) {
    err << "tavex-cli: " << message << " (see tavex-cli --help)\n";
    return kExitUsage;
}

// An option may be given once: the second of two would silently win.
bool GivenTwice(std::set<std::string>& seen, const std::string& name) {
    return !seen.insert(name).second;
}

std::string TwiceText(const std::string& where, const std::string& name) {
    return where + name + " is given more than once";
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
    if (command == "archive") return kArchiveUsage;
    if (command == "summary") return kSummaryUsage;
    if (command == "history") return kHistoryUsage;
    if (command == "report") return kReportUsage;
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
    std::set<std::string> seen;
    for (std::size_t k = 0; k < rest.size(); ++k) {
        const std::string& arg = rest[k];
        std::optional<std::string>* value = nullptr;
        std::string name;
        if (arg == "--open") {
            if (GivenTwice(seen, arg)) return UsageError(err, TwiceText("export: ", arg));
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
        if (GivenTwice(seen, name)) return UsageError(err, TwiceText("export: ", name));
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

// Reads the arguments of summary, history and report into request; kExitOk, or a usage error
// already reported.
int ParseArchiveArguments(const std::string& command, const std::vector<std::string>& rest,
                          ArchiveRequest& request, std::ostream& err) {
    const bool summary = command == "summary";
    const bool history = command == "history";
    const bool report = command == "report";
    std::optional<std::string> format;
    std::set<std::string> seen;
    for (std::size_t k = 0; k < rest.size(); ++k) {
        const std::string& arg = rest[k];
        if (summary && arg == "--json") {
            if (GivenTwice(seen, arg)) return UsageError(err, TwiceText(command + ": ", arg));
            request.json = true;
            continue;
        }
        std::string name = arg.substr(0, arg.find('='));
        const bool takesValue = name == "--from" || name == "--to" ||
                                ((summary || report) && name == "--unit") ||
                                (history && name == "--format") || (report && name == "--language");
        if (!takesValue) {
            if (!arg.empty() && arg[0] != '-' && !summary && request.file.empty()) {
                request.file = arg;
                continue;
            }
            return UsageError(err, command + ": unexpected argument '" + arg + "'");
        }
        if (GivenTwice(seen, name)) return UsageError(err, TwiceText(command + ": ", name));
        std::string value;
        if (arg == name) {
            if (k + 1 >= rest.size())
                return UsageError(err, command + ": " + name + " needs a value");
            value = rest[++k];
        } else {
            value = arg.substr(name.size() + 1);
        }
        if (name == "--from" || name == "--to") {
            const std::optional<archive::Day> day = archive::ParseDay(value);
            if (!day) {
                return UsageError(err, command + ": " + name +
                                           " takes a date as YYYY-MM-DD, not '" + value + "'");
            }
            (name == "--from" ? request.period.from : request.period.to) = day;
        } else if (name == "--unit") {
            const std::string lower = Lowercase(value);
            if (lower != "bq" && lower != "pci")
                return UsageError(err, command + ": --unit takes bq or pci, not '" + value + "'");
            request.unit = lower == "pci" ? 1 : 0;
        } else if (name == "--language") {
            const std::string lower = Lowercase(value);
            if (lower != "en" && lower != "ru")
                return UsageError(err,
                                  command + ": --language takes en or ru, not '" + value + "'");
            request.language = lower == "ru" ? 0 : 1;
        } else {
            format = Lowercase(value);
            if (*format != "csv" && *format != "json")
                return UsageError(err,
                                  command + ": --format takes csv or json, not '" + value + "'");
        }
    }
    if (request.period.from && request.period.to &&
        std::tie(request.period.from->year, request.period.from->month, request.period.from->day) >
            std::tie(request.period.to->year, request.period.to->month, request.period.to->day)) {
        return UsageError(err, command + ": --from is after --to");
    }
    if (history) request.json = format && *format == "json";
    if (report) {
        if (request.file.empty()) return UsageError(err, "report needs a FILE (.pdf or .html)");
        const std::string extension =
            Lowercase(std::filesystem::path(request.file).extension().string());
        if (extension != ".pdf" && extension != ".html" && extension != ".htm") {
            return UsageError(
                err, "report: FILE must end in .pdf, .html or .htm, not '" + request.file + "'");
        }
    }
    return kExitOk;
}

std::string TwoDigits(int value) {
    char text[8];
    std::snprintf(text, sizeof text, "%02d", value);
    return text;
}

// Polls at once, then at every poll interval, and a last time when the wait is over, until the
// meter is connected: `--wait N` looks for it for N seconds, `--wait 0` polls once.
bool WaitForConnection(TForm2& form, int waitSeconds, const Environment& environment) {
    const auto deadline = environment.steadyNow() + std::chrono::seconds(waitSeconds);
    for (;;) {
        const auto pollTime = environment.steadyNow();
        form.Timer1Timer();
        form.WaitForExchangeThreads(std::chrono::seconds(10));
        if (form.connected.load(std::memory_order_acquire)) return true;
        if (pollTime >= deadline) return false;
        const auto next = pollTime + std::chrono::milliseconds(form.Timer1.Interval.load());
        environment.sleepUntil(std::min(next, deadline));
    }
}

// Why the meter stopped in the middle of a command.
const char* StopReason(const TForm2& form) {
    return form.MeterInUse() ? "the meter is in use by another program"
                             : "the meter stopped answering";
}

int Connect(TForm2& form, int waitSeconds, bool realBus, std::ostream& err,
            const Environment& environment) {
    if (WaitForConnection(form, waitSeconds, environment)) return kExitOk;
    if (form.MeterInUse()) {
        err << "tavex-cli: the meter is in use by another program\n";
        return kExitFailed;
    }
    if (form.Usb().everFound.load()) {
        err << "tavex-cli: the meter (USB ID 03eb:5603) was found but did not answer\n";
        return kExitFailed;
    }
    // The HID library only fails to open a meter that this user may not open: say why.
    if (realBus && environment.blockedMeter) {
        if (const auto blocked = environment.blockedMeter()) {
            err << "tavex-cli: the meter is connected (" << blocked->node
                << ") but this user may not open it: install the udev rule (`sudo apt-get "
                   "install` the package, or copy 60-tavex-qx482tda.rules to "
                   "/etc/udev/rules.d/ and replug)\n";
            return kExitNoDevice;
        }
    }
#ifdef _WIN32
    err << "tavex-cli: no device with USB ID 03eb:5603 was found (is the meter plugged in and "
           "switched on?)\n";
#else
    err << "tavex-cli: no device with USB ID 03eb:5603 was found (is the meter plugged in and "
           "switched on? a normal user also needs the udev rule to open it: install the package "
           "or the udev rule 60-tavex-qx482tda.rules)\n";
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
    ProgressBar(std::ostream& err, bool shown, const char* label = "exporting")
        : err_(err), shown_(shown), label_(label) {}

    void Show(std::uint8_t stage) {
        // The export reports up to 9 before it has finished when there are only a few results.
        const int done = std::min<int>(stage, kStages);
        if (!shown_ || done == drawn_) return;
        drawn_ = done;
        err_ << "\r" << label_ << " [" << std::string(static_cast<std::size_t>(done * kStep), '#')
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
    const char* label_;
    int drawn_ = -1;
};

// Where the archive is, and opening it, for the commands that use it.
struct ArchiveAccess {
    std::string explicitPath;
    bool simulated = false;
    std::function<std::optional<std::string>(const char*)> getenv;

    bool Locate(archive::Location& location, std::string& error) const {
        return archive::Locate(explicitPath, simulated,
                               getenv ? getenv : archive::SystemEnvironment, location, error);
    }
    // Adds the valid records to the archive.
    bool Merge(const std::vector<RawRecord>& records, archive::MergeCounts& counts,
               std::string& error, archive::Totals* totals = nullptr) const {
        archive::Location location;
        if (!Locate(location, error)) return false;
        const auto opened = archive::OpenLocated(location, error);
        if (!opened) return false;
        const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
        if (!opened->Merge(records, now, counts, error)) return false;
        return !totals || opened->ReadTotals(*totals, error);
    }
    // Opens the archive to read it; opened stays empty, with no error, when there is none yet (it
    // is not made by reading).
    bool OpenForReading(std::unique_ptr<archive::Archive>& opened, std::string& where,
                        std::string& error) const {
        archive::Location location;
        if (!Locate(location, error)) return false;
        where = location.path;
        bool missing = false;
        opened = archive::Archive::OpenForReading(location.path, error, missing);
        return opened || missing;
    }
};

// Runs a started export (or read) until it has finished; false, with the reason told, when it
// did not.
bool RunToEnd(TForm2& form, Formfileexel& exporter, ProgressBar& bar, std::ostream& err,
              const std::string& context) {
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
            err << "tavex-cli: " << context << "the export stopped before it had finished\n";
            return false;
        }
    }
    const bool finished = !exporter.ExportFailed();
    bar.End(finished);
    if (!finished) {
        err << "tavex-cli: " << context
            << (form.MeterInUse() ? "the meter is in use by another program; the export was not "
                                    "finished"
                                  : exporter.ExportError())
            << "\n";
    }
    return finished;
}

// Reads every stored result as an export does (the header's count, newest first, at most 1010)
// and writes nothing; false, with the reason told, when the read failed.
bool ReadStoredResults(TForm2& form, std::vector<RawRecord>& records, std::ostream& err,
                       const Environment& environment, const std::string& context) {
    records.clear();
    if (form.recordCount.load() == 0) return true;
    OpensNothing shell;
    Excel excel(automation::MakeSpreadsheetFactory(nullptr),
                std::make_shared<ErrorStreamMessageBox>(err));
    Formfileexel reader(form, excel, TheRawFile(), shell, form.instrumentLanguage.load());
    ProgressBar bar(err, environment.errorIsTerminal && environment.errorIsTerminal(), "reading");
    if (!reader.BeginExport(kFormatReadOnly, "")) {
        err << "tavex-cli: " << context << reader.ExportError() << "\n";
        return false;
    }
    if (!RunToEnd(form, reader, bar, err, context)) return false;
    records = reader.RecordsRead();
    return true;
}

std::string PeriodText(const archive::Totals& totals) {
    if (!totals.first || !totals.last) return "archive: no results";
    return "archive: " + std::to_string(totals.count) + " results from " +
           archive::IsoTime(*totals.first) + " to " + archive::IsoTime(*totals.last);
}

// Reads the memory header before a command that reads or changes the results; false, with the
// reason told (and what was not done), when it cannot be read or is not valid.
bool ReadValidHeader(TForm2& form, const char* notDone, std::ostream& err) {
    form.ReadMemoryHeader();
    if (Lost(form)) {
        err << "tavex-cli: the memory header could not be read: " << StopReason(form) << "\n";
        return false;
    }
    if (form.headerStatus.load() != kHeaderValid) {
        err << "tavex-cli: the meter's memory header is not valid; nothing was " << notDone << "\n";
        return false;
    }
    return true;
}

int Export(TForm2& form, const ExportRequest& request, const ArchiveAccess& archiveAccess,
           std::ostream& out, std::ostream& err, const Environment& environment) {
    if (!ReadValidHeader(form, "exported", err)) return kExitFailed;
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
    if (!RunToEnd(form, exporter, bar, err, "")) return kExitFailed;
    out << "exported: " << exporter.RowsWritten() << " results to " << request.file << "\n";
    // The file is written either way; the archive's trouble is told, not fatal.
    archive::MergeCounts counts;
    std::string archiveError;
    if (!archiveAccess.Merge(exporter.RecordsRead(), counts, archiveError)) {
        err << "tavex-cli: warning: the results were exported but not archived: " << archiveError
            << "\n";
    }
    // The results are saved either way; only the viewing did not happen.
    if (opening) {
        for (const std::string& path : opening->unopened)
            err << "tavex-cli: " << path << " could not be opened with its default program\n";
    }
    return kExitOk;
}

// Reads every stored result into the archive, then reads the header again: when the meter
// stored a new result meanwhile (pointer or count changed), once more. False, with the reason
// told, when the results could not be read or archived.
bool ArchiveStoredResults(TForm2& form, const ArchiveAccess& archiveAccess, std::ostream& err,
                          const Environment& environment, const std::string& context,
                          archive::MergeCounts& counts, archive::Totals& totals) {
    counts = {};
    for (int round = 0; round < 5; ++round) {
        const std::uint32_t pointer = form.recordPointer.load();
        const std::uint32_t count = form.recordCount.load();
        std::vector<RawRecord> records;
        if (!ReadStoredResults(form, records, err, environment, context)) return false;
        archive::MergeCounts merged;
        std::string error;
        if (!archiveAccess.Merge(records, merged, error, &totals)) {
            err << "tavex-cli: " << context << "the results could not be archived: " << error
                << "\n";
            return false;
        }
        // A result read again in a later round was counted as new in the first.
        if (round == 0)
            counts = merged;
        else
            counts.added += merged.added;
        form.ReadMemoryHeader();
        if (Lost(form)) {
            err << "tavex-cli: " << context << StopReason(form) << "\n";
            return false;
        }
        if (form.headerStatus.load() != kHeaderValid) {
            err << "tavex-cli: " << context << "the meter's memory header is not valid\n";
            return false;
        }
        if (form.recordPointer.load() == pointer && form.recordCount.load() == count) return true;
    }
    err << "tavex-cli: " << context << "the meter keeps storing new results\n";
    return false;
}

int ArchiveCommand(TForm2& form, const ArchiveAccess& archiveAccess, std::ostream& out,
                   std::ostream& err, const Environment& environment) {
    if (!ReadValidHeader(form, "archived", err)) return kExitFailed;
    archive::MergeCounts counts;
    archive::Totals totals;
    if (!ArchiveStoredResults(form, archiveAccess, err, environment, "", counts, totals)) {
        return kExitFailed;
    }
    out << "archived: " << counts.added << " new, " << counts.alreadyThere << " already there\n"
        << PeriodText(totals) << "\n";
    return kExitOk;
}

int Clear(TForm2& form, const std::string& backup, int waitSeconds,
          const ArchiveAccess& archiveAccess, std::ostream& out, std::ostream& err,
          const Environment& environment) {
    if (!ReadValidHeader(form, "changed", err)) return kExitFailed;
    if (!backup.empty()) {
        if (!DumpTo(form, backup, err)) {
            err << "tavex-cli: the backup failed; nothing was erased\n";
            return kExitFailed;
        }
    }
    // No result is erased before it is in the archive; the header is read again right before
    // the clearing command.
    archive::MergeCounts counts;
    archive::Totals totals;
    if (!ArchiveStoredResults(form, archiveAccess, err, environment,
                              "nothing was cleared: ", counts, totals)) {
        return kExitFailed;
    }
    const std::uint32_t count = form.recordCount.load();
    form.ClearMemory();
    form.WaitWhileBusy();
    // The erase may have reached the meter although its answer was lost: what is told is what
    // the meter holds afterwards, once it answers again.
    if ((Lost(form) || !form.LastCommandSucceeded()) &&
        !WaitForConnection(form, waitSeconds, environment)) {
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

// kExitOk once what went to out has reached it; a full disk or a closed pipe is told.
int Written(std::ostream& out, std::ostream& err) {
    if (out) return kExitOk;
    err << "tavex-cli: the output could not be written\n";
    return kExitFailed;
}

// summary, history and report: the archive alone, no meter.
int ArchiveReading(const std::string& command, const ArchiveRequest& request,
                   const ArchiveAccess& archiveAccess, std::ostream& out, std::ostream& err,
                   const Environment& environment) {
    // Declared first, so closed last: the archive stays open until the output is out.
    std::unique_ptr<archive::Archive> opened;
    std::vector<archive::Result> results;
    std::string where;
    std::string error;
    if (!archiveAccess.OpenForReading(opened, where, error) ||
        (opened && !opened->Read(request.period, results, error))) {
        err << "tavex-cli: " << error << "\n";
        return kExitFailed;
    }
    if (command == "summary") {
        const archive::Summary summary = archive::Summarize(results);
        out << (request.json ? archive::SummaryJson(summary, request.unit)
                             : archive::SummaryText(summary, request.unit))
            << std::flush;
        return Written(out, err);
    }
    if (command == "history") {
        const std::string text =
            request.json ? archive::HistoryJson(results) : archive::HistoryCsv(results);
        if (request.file.empty()) {
            out << text << std::flush;
            return Written(out, err);
        }
        if (!ReplaceWholeFile(request.file, text.data(), text.size(), error)) {
            err << "tavex-cli: " << error << "\n";
            return kExitFailed;
        }
        out << "history: " << results.size() << " results written to " << request.file << "\n";
        return kExitOk;
    }
    if (results.empty()) {
        err << "tavex-cli: the archive (" << where
            << ") holds no results for the report; `tavex-cli archive` reads them from the meter\n";
        return kExitFailed;
    }
    const LocalDateTime today = environment.clock ? environment.clock() : SystemLocalTime();
    if (!WriteReportFile(request.file, std::move(results), request.period, request.language,
                         request.unit, {today.year, today.month, today.day}, error)) {
        err << "tavex-cli: " << error << "\n";
        return kExitFailed;
    }
    out << "report written: " << request.file << "\n";
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
    environment.blockedMeter = [] { return FindBlockedMeter(); };
    return environment;
}

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
        const Environment& environment) {
    Options options;
    std::size_t i = 0;
    std::set<std::string> seen;
    for (; i < args.size() && options.command.empty(); ++i) {
        const std::string& arg = args[i];
        const std::string name = arg.substr(0, arg.find('='));
        if ((name == "--simulate" || name == "--wait" || name == "--archive") &&
            GivenTwice(seen, name)) {
            return UsageError(err, TwiceText("", name));
        }
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
        } else if (arg == "--archive" || arg.rfind("--archive=", 0) == 0) {
            if (arg == "--archive") {
                if (i + 1 >= args.size() || args[i + 1].empty())
                    return UsageError(err, "--archive needs a file");
                options.archivePath = args[++i];
            } else {
                options.archivePath = arg.substr(10);
                if (options.archivePath.empty()) return UsageError(err, "--archive= needs a file");
            }
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
    ArchiveRequest archiveRequest;
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
    } else if (options.command == "archive") {
        if (!rest.empty()) return UsageError(err, "archive takes no arguments");
    } else if (options.command == "summary" || options.command == "history" ||
               options.command == "report") {
        if (const int code = ParseArchiveArguments(options.command, rest, archiveRequest, err);
            code != kExitOk) {
            return code;
        }
    } else if (options.command == "clear") {
        std::set<std::string> given;
        for (std::size_t k = 0; k < rest.size(); ++k) {
            const std::string name = rest[k].substr(0, rest[k].find('='));
            if ((name == "--yes" || name == "--backup") && GivenTwice(given, name)) {
                return UsageError(err, TwiceText("clear: ", name));
            }
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

    ArchiveAccess archiveAccess{options.archivePath, options.simulate, environment.getenv};
    // These read the archive alone.
    if (options.command == "summary" || options.command == "history" ||
        options.command == "report") {
        return ArchiveReading(options.command, archiveRequest, archiveAccess, out, err,
                              environment);
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
    int code = Connect(*form, options.waitSeconds, !options.simulate, err, environment);
    if (code == kExitOk) {
        if (options.command == "info") {
            code = Info(*form, out);
        } else if (options.command == "set-clock") {
            code = SetClock(*form, out, err);
        } else if (options.command == "dump") {
            code = Dump(*form, file, out, err);
        } else if (options.command == "export") {
            code = Export(*form, exportRequest, archiveAccess, out, err, environment);
        } else if (options.command == "archive") {
            code = ArchiveCommand(*form, archiveAccess, out, err, environment);
        } else {
            code = Clear(*form, file, options.waitSeconds, archiveAccess, out, err, environment);
        }
    }
    form->WaitForExchangeThreads(std::chrono::seconds(10));
    return code;
}

}  // namespace tavex::cli
