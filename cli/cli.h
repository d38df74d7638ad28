#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "export/shell.h"
#include "instrument/hid_platform.h"
#include "instrument/hidraw_access.h"
#include "instrument/local_clock.h"

namespace tavex::cli {

// Exit codes.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitNoDevice = 3;

// The real surroundings: the desktop's way of opening a file (xdg-open, cli/xdg_shell.h; on
// Windows the shell's "open", cli/windows_shell.h), and whether standard error is a terminal.
std::shared_ptr<Shell> MakeDesktopShell();
bool StandardErrorIsTerminal();

// What the tool takes from its surroundings, so that tests can supply their own.
struct Environment {
    // The HID platform used without --simulate.
    std::function<std::shared_ptr<HidPlatform>()> realPlatform;
    // Without --simulate and no meter found: a meter on the bus that this user may not open
    // (Linux: FindBlockedMeter). None: not looked for.
    std::function<std::optional<BlockedMeter>()> blockedMeter;
    LocalClock clock = SystemLocalTime;
    // The shell that `export --open` opens the exported file with.
    std::function<std::shared_ptr<Shell>()> openingShell = MakeDesktopShell;
    // Whether the error stream is a terminal: the export draws its progress bar only there.
    std::function<bool()> errorIsTerminal = StandardErrorIsTerminal;
    // The environment variables the archive's place comes from (UTF-8; nullopt when unset).
    std::function<std::optional<std::string>(const char*)> getenv;
    // The clock and the sleep the wait for the meter (--wait) goes by.
    std::function<std::chrono::steady_clock::time_point()> steadyNow = std::chrono::steady_clock::now;
    std::function<void(std::chrono::steady_clock::time_point)> sleepUntil =
        [](std::chrono::steady_clock::time_point until) { std::this_thread::sleep_until(until); };
};

Environment DefaultEnvironment();

// Runs tavex-cli with the arguments after the program name; returns the exit code.
int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
        const Environment& environment);

}  // namespace tavex::cli
