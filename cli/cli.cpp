#include "cli/cli.h"

#include <charconv>
#include <chrono>
#include <cstdio>
#include <optional>
#include <thread>

#include "instrument/hidapi_platform.h"
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
    return nullptr;
}

std::string TwoDigits(int value) {
    char text[8];
    std::snprintf(text, sizeof text, "%02d", value);
    return text;
}

// Polls at once and then every second until the meter is connected or the wait is over.
int Connect(TForm2& form, int waitSeconds, std::ostream& err) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::seconds(waitSeconds);
    for (;;) {
        const auto pollTime = Clock::now();
        form.Timer1Timer();
        form.WaitForExchangeThreads(std::chrono::seconds(10));
        if (form.connected.load(std::memory_order_acquire)) return kExitOk;
        const auto next = pollTime + std::chrono::milliseconds(form.Timer1.Interval.load());
        if (next >= deadline) break;
        std::this_thread::sleep_until(next);
    }
    if (form.Usb().everFound.load()) {
        err << "tavex-cli: the meter (USB ID 03eb:5603) was found but did not answer\n";
        return kExitFailed;
    }
    err << "tavex-cli: no device with USB ID 03eb:5603 was found (on Linux a normal user needs "
           "the udev rule from packaging/linux to open it; see README)\n";
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
        err << "tavex-cli: setting the clock failed: the meter stopped answering\n";
        return kExitFailed;
    }
    const LocalDateTime t = form.LastClockSent();
    out << "clock set: " << t.year << "-" << TwoDigits(t.month) << "-" << TwoDigits(t.day) << " "
        << TwoDigits(t.hour) << ":" << TwoDigits(t.minute) << ":" << TwoDigits(t.second) << "\n";
    return kExitOk;
}

bool DumpTo(TForm2& form, const std::string& path, std::ostream& err) {
    sim::MemoryImage image{};
    if (!form.ReadMemoryImage(image.data())) {
        err << "tavex-cli: reading the meter's memory failed: the meter stopped answering\n";
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

int Clear(TForm2& form, const std::string& backup, std::ostream& out, std::ostream& err) {
    form.ReadMemoryHeader();
    if (Lost(form)) {
        err << "tavex-cli: reading the memory header failed: the meter stopped answering\n";
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
    if (Lost(form) || !form.LastCommandSucceeded()) {
        err << "tavex-cli: clearing the memory failed: the meter stopped answering\n";
        return kExitFailed;
    }
    form.ReadMemoryHeader();
    if (form.headerStatus.load() != kHeaderValid || form.recordCount.load() != 0) {
        err << "tavex-cli: the meter did not confirm the cleared memory; read it again with "
               "`tavex-cli info`\n";
        return kExitFailed;
    }
    out << "cleared: " << count << " results\n";
    return kExitOk;
}

}  // namespace

Environment DefaultEnvironment() {
    Environment environment;
    environment.realPlatform = [] { return MakeHidapiPlatform(); };
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
    const auto& rest = options.commandArgs;
    if (options.command == "info" || options.command == "set-clock") {
        if (!rest.empty()) return UsageError(err, options.command + " takes no arguments");
    } else if (options.command == "dump") {
        if (rest.size() != 1 || rest[0].empty() || rest[0][0] == '-') {
            return UsageError(err, "dump needs exactly one FILE");
        }
        file = rest[0];
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
                return kExitUsage;
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
        } else {
            code = Clear(*form, file, out, err);
        }
    }
    form->WaitForExchangeThreads(std::chrono::seconds(10));
    return code;
}

}  // namespace tavex::cli
