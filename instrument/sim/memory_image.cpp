#include "instrument/sim/memory_image.h"

#include <algorithm>
#include <chrono>

#include "fileio/safe_file.h"

namespace tavex::sim {

namespace {

// --- demo memory ---

// Indoor radon over a day, Bq/m3 at each hour: it builds up at night behind closed windows and
// is lowest in the afternoon.
constexpr int kHourProfile[24] = {150, 165, 175, 185, 190, 192, 188, 175, 155, 130, 110, 95,
                                  85,  78,  72,  70,  72,  78,  88,  100, 112, 125, 135, 143};

// Day-to-day level in percent (weather, airing), by the day's offset from the first day shown:
// a still, cold spell in the middle and an aired-out room after it.
constexpr int kDayLevel[12] = {95, 110, 125, 150, 170, 135, 60, 35, 80, 115, 130, 105};

constexpr std::uint32_t kDemoCount = 250;
constexpr std::uint16_t kDemoPointer = 120;

// The newest demo result was taken at 2026-12-01 08:00.
constexpr std::chrono::sys_days kNewestDay =
    std::chrono::year{2026} / std::chrono::December / std::chrono::day{1};
constexpr std::chrono::hours kNewestHour{8};

}  // namespace

bool LoadMemoryImage(const std::string& path, MemoryImage& image, std::string& error) {
    MemoryImage loaded{};
    std::string bytes;
    ReadLimits limits;
    limits.exactSize = loaded.size();
    if (!ReadRegularFile(path, limits, bytes, error)) {
        error = "memory image: " + error;
        return false;
    }
    std::copy(bytes.begin(), bytes.end(), loaded.begin());
    image = loaded;
    return true;
}

bool SaveMemoryImage(const std::string& path, const MemoryImage& image, std::string& error) {
    if (!ReplaceWholeFile(path, image.data(), image.size(), error)) {
        error = "cannot save the memory image: " + error;
        return false;
    }
    return true;
}

MemoryImage DemoMemoryImage() {
    using namespace std::chrono;
    MemoryImage image{};
    image[memory::kLanguageAddress] = 1;  // English
    image[memory::kUnitAddress] = 0;      // Bq/m3

    const auto header =
        memory::EncodeHeader({kDemoPointer, static_cast<std::uint16_t>(kDemoCount)});
    std::copy(header.begin(), header.end(), image.begin() + memory::kHeaderAddress);

    const sys_time<hours> newest = kNewestDay + kNewestHour;
    const sys_days firstDay = floor<days>(newest - hours{kDemoCount - 1});
    // A fixed linear congruential sequence gives the hour-to-hour wobble: the same bytes every
    // time, on every machine.
    std::uint32_t state = 0x7A5E1u;
    // Oldest first, so that the wobble follows time; slots are counted back from the newest.
    for (std::uint32_t age = kDemoCount; age-- > 0;) {
        const sys_time<hours> taken = newest - hours{age};
        const sys_days day = floor<days>(taken);
        const year_month_day date{day};
        const int hour = static_cast<int>((taken - day).count());
        const auto dayIndex = static_cast<std::size_t>((day - firstDay).count());

        state = state * 1664525u + 1013904223u;
        const int wobble = static_cast<int>((state >> 16) % 25) - 12;  // -12..+12 percent
        // Bq/m3 times 10^4; raw = round(Bq / 8.5) in integers.
        const std::int64_t scaled =
            std::int64_t{kHourProfile[hour]} * kDayLevel[dayIndex % 12] * (100 + wobble);
        std::int64_t raw = (2 * scaled + 85000) / 170000;
        raw = std::clamp<std::int64_t>(raw, 3, 47);  // 25.5 .. 399.5 Bq/m3

        memory::StoredRecord record;
        record.raw = static_cast<std::uint16_t>(raw);
        record.minutes = 0;
        record.hours = static_cast<std::uint8_t>(hour);
        record.day = static_cast<std::uint8_t>(static_cast<unsigned>(date.day()));
        record.month = static_cast<std::uint8_t>(static_cast<unsigned>(date.month()));
        record.year = static_cast<std::uint8_t>(static_cast<int>(date.year()) % 100);
        // Three results damaged on purpose, counted from the newest (the newest is the 1st).
        if (age == 57) record.hours = 24;
        if (age == 132) record.month = 13;
        auto bytes = memory::EncodeRecord(record);
        if (age == 16) bytes[7] ^= 0x5A;

        // Counting back from the pointer, slot 1 is followed by slot 1010.
        const std::uint32_t back = age % memory::kSlotCount;
        const std::uint32_t recordSlot =
            (kDemoPointer - 1 + memory::kSlotCount - back) % memory::kSlotCount + 1;
        std::copy(bytes.begin(), bytes.end(), image.begin() + memory::SlotAddress(recordSlot));
    }
    return image;
}

}  // namespace tavex::sim
