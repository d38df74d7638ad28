#pragma once

#include <functional>

namespace tavex {

// A local date and time as the PC's clock gives it.
struct LocalDateTime {
    int year = 2000;
    int month = 1;  // 1..12
    int day = 1;    // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
    bool operator==(const LocalDateTime&) const = default;
};

// Where the program takes the local time from; tests fix it.
using LocalClock = std::function<LocalDateTime()>;

LocalDateTime SystemLocalTime();

}  // namespace tavex
