#pragma once

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "instrument/hid_platform.h"
#include "instrument/local_clock.h"

namespace tavex::cli {

// Exit codes.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitNoDevice = 3;

// What the tool takes from its surroundings, so that tests can supply their own.
struct Environment {
    // The HID platform used without --simulate.
    std::function<std::shared_ptr<HidPlatform>()> realPlatform;
    LocalClock clock = SystemLocalTime;
};

Environment DefaultEnvironment();

// Runs tavex-cli with the arguments after the program name; returns the exit code.
int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
        const Environment& environment);

}  // namespace tavex::cli
