#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "fileio/safe_file.h"
#include "instrument/memory_map.h"
#include "instrument/sim/memory_image.h"

namespace tavex::archive::testing {

// A folder of the test's own, removed at the end.
class TempFolder {
public:
    TempFolder() {
        std::string error;
        if (!MakePrivateFolder("tavex-archive-test", path_, error)) ADD_FAILURE() << error;
    }
    ~TempFolder() { RemoveTree(path_); }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// A result as the archive gives it back: year is the full year.
inline Result ResultOf(int year, int month, int day, int hour, int minute, std::uint16_t raw = 0) {
    Result result;
    result.year = year;
    result.month = month;
    result.day = day;
    result.hour = hour;
    result.minute = minute;
    result.raw = raw;
    return result;
}

// A record as the meter stores it, with its check byte: year is yy (2000 + yy).
inline RawRecord RecordOf(int yy, int month, int day, int hour, int minute, std::uint16_t raw) {
    memory::StoredRecord stored;
    stored.raw = raw;
    stored.year = static_cast<std::uint8_t>(yy);
    stored.month = static_cast<std::uint8_t>(month);
    stored.day = static_cast<std::uint8_t>(day);
    stored.hours = static_cast<std::uint8_t>(hour);
    stored.minutes = static_cast<std::uint8_t>(minute);
    return memory::EncodeRecord(stored);
}

// Every slot of the demo memory's ring, the empty ones too.
inline std::vector<RawRecord> DemoRecords() {
    const sim::MemoryImage image = sim::DemoMemoryImage();
    std::vector<RawRecord> records(memory::kSlotCount);
    for (std::uint32_t slot = 1; slot <= memory::kSlotCount; ++slot) {
        const auto* bytes = image.data() + memory::SlotAddress(slot);
        std::copy(bytes, bytes + memory::kRecordSize, records[slot - 1].begin());
    }
    return records;
}

// count distinct valid results, an hour apart from 2010-01-01 00:00 on (days 1-28 only).
inline std::vector<RawRecord> HourlyRecords(std::size_t count, int firstYy = 10,
                                            std::uint16_t raw = 20) {
    std::vector<RawRecord> records;
    records.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t hours = i % 24;
        const std::size_t days = i / 24;
        const std::size_t day = days % 28 + 1;
        const std::size_t months = days / 28;
        records.push_back(RecordOf(firstYy + static_cast<int>(months / 12),
                                   static_cast<int>(months % 12) + 1, static_cast<int>(day),
                                   static_cast<int>(hours), 0,
                                   static_cast<std::uint16_t>(raw + i % 7)));
    }
    return records;
}

inline std::string FileBytes(const std::string& path) {
    std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool NameTaken(const std::string& path) {
    std::error_code ignored;
    return std::filesystem::exists(
        std::filesystem::symlink_status(std::filesystem::u8path(path), ignored));
}

inline std::size_t CountIn(const std::string& path) {
    std::string error;
    const auto archive = Archive::Open(path, error);
    EXPECT_TRUE(archive) << error;
    Totals totals;
    if (!archive || !archive->ReadTotals(totals, error)) ADD_FAILURE() << error;
    return totals.count;
}

}  // namespace tavex::archive::testing
