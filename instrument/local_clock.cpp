#include "instrument/local_clock.h"

#include <ctime>

namespace tavex {

LocalDateTime SystemLocalTime() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    LocalDateTime t;
    t.year = local.tm_year + 1900;
    t.month = local.tm_mon + 1;
    t.day = local.tm_mday;
    t.hour = local.tm_hour;
    t.minute = local.tm_min;
    // A leap second is sent as 59: the meter's clock has no 60th second.
    t.second = local.tm_sec > 59 ? 59 : local.tm_sec;
    return t;
}

}  // namespace tavex
