#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace tavex::memory {

// Data addresses of requests 16 (read), 23 (block read) and 25 (write).
inline constexpr std::uint16_t kLanguageAddress = 2;  // 0 Russian, 1 English
inline constexpr std::uint16_t kUnitAddress = 3;      // 0 Bq/m3, 1 pCi/l
inline constexpr std::uint16_t kUnusedSettingAddress = 7;
inline constexpr std::uint16_t kPollAddress = 14;
inline constexpr std::uint16_t kHeaderAddress = 100;
inline constexpr std::uint16_t kHeaderSize = 5;
inline constexpr std::uint16_t kHeaderReadSize =
    8;  // the header is fetched with an 8-byte block read
inline constexpr std::uint16_t kRingAddress = 105;
inline constexpr std::uint32_t kSlotCount = 1010;
inline constexpr std::uint16_t kRecordSize = 8;
inline constexpr std::uint32_t kRingEnd = kRingAddress + kSlotCount * kRecordSize;  // 8185
inline constexpr std::uint32_t kMemorySize = 8192;

// Request codes.
inline constexpr std::uint8_t kRequestConnectStep = 8;
inline constexpr std::uint8_t kRequestRead = 16;
inline constexpr std::uint8_t kRequestBlockRead = 23;
inline constexpr std::uint8_t kRequestHeaderPrelude = 24;
inline constexpr std::uint8_t kRequestWrite = 25;
inline constexpr std::uint8_t kRequestSetClock = 50;
inline constexpr std::uint16_t kMaxBlockRead = 3570;

// Memory-size codes 0..9 stand for 128 << code bytes.
inline constexpr std::array<std::uint32_t, 10> kMemorySizeTable = {128,  256,  512,   1024,  2048,
                                                                   4096, 8192, 16384, 32768, 65536};

// Record slots that a memory of the given size code holds; 0 for a code above 9.
std::uint32_t SlotsForMemorySizeCode(std::uint8_t code);

// Address of slot 1..1010.
constexpr std::uint32_t SlotAddress(std::uint32_t slot) {
    return kRingAddress + kRecordSize * (slot - 1);
}
// The slot written before the given one: slot 1 follows slot 1010 in the ring.
constexpr std::uint32_t PreviousSlot(std::uint32_t slot) {
    return slot <= 1 ? kSlotCount : slot - 1;
}

struct MemoryHeader {
    std::uint16_t recordPointer = 0;  // slot of the newest stored record
    std::uint16_t recordCount = 0;
};

// The five header bytes (check byte, pointer high, low, count high, low); nullopt when the
// check byte does not match.
std::optional<MemoryHeader> DecodeHeader(const std::uint8_t* bytes);
std::array<std::uint8_t, kHeaderSize> EncodeHeader(const MemoryHeader& header);

// One stored measurement: raw value (big-endian), minutes, hours, day, month, year % 100,
// check byte over the first seven bytes.
struct StoredRecord {
    std::uint16_t raw = 0;
    std::uint8_t minutes = 0;
    std::uint8_t hours = 0;
    std::uint8_t day = 0;
    std::uint8_t month = 0;
    std::uint8_t year = 0;
    std::uint8_t check = 0;
};

StoredRecord DecodeRecord(const std::uint8_t* bytes);
// Encodes with the matching check byte.
std::array<std::uint8_t, kRecordSize> EncodeRecord(const StoredRecord& record);
bool RecordCheckMatches(const std::uint8_t* bytes);

}  // namespace tavex::memory
