#include "instrument/memory_map.h"

#include "instrument/usb.h"

namespace tavex::memory {

std::uint32_t SlotsForMemorySizeCode(std::uint8_t code) {
    if (code >= kMemorySizeTable.size()) return 0;
    return (kMemorySizeTable[code] - kRingAddress) / kRecordSize;
}

std::optional<MemoryHeader> DecodeHeader(const std::uint8_t* bytes) {
    if (USB::Checksum(bytes + 1, 4) != bytes[0]) return std::nullopt;
    MemoryHeader header;
    header.recordPointer = static_cast<std::uint16_t>(bytes[1] << 8 | bytes[2]);
    header.recordCount = static_cast<std::uint16_t>(bytes[3] << 8 | bytes[4]);
    return header;
}

std::array<std::uint8_t, kHeaderSize> EncodeHeader(const MemoryHeader& header) {
    std::array<std::uint8_t, kHeaderSize> bytes = {
        0, static_cast<std::uint8_t>(header.recordPointer >> 8),
        static_cast<std::uint8_t>(header.recordPointer & 0xFF),
        static_cast<std::uint8_t>(header.recordCount >> 8),
        static_cast<std::uint8_t>(header.recordCount & 0xFF)};
    bytes[0] = USB::Checksum(bytes.data() + 1, 4);
    return bytes;
}

StoredRecord DecodeRecord(const std::uint8_t* bytes) {
    StoredRecord record;
    record.raw = static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
    record.minutes = bytes[2];
    record.hours = bytes[3];
    record.day = bytes[4];
    record.month = bytes[5];
    record.year = bytes[6];
    record.check = bytes[7];
    return record;
}

std::array<std::uint8_t, kRecordSize> EncodeRecord(const StoredRecord& record) {
    std::array<std::uint8_t, kRecordSize> bytes = {static_cast<std::uint8_t>(record.raw >> 8),
                                                   static_cast<std::uint8_t>(record.raw & 0xFF),
                                                   record.minutes,
                                                   record.hours,
                                                   record.day,
                                                   record.month,
                                                   record.year,
                                                   0};
    bytes[7] = USB::Checksum(bytes.data(), 7);
    return bytes;
}

bool RecordCheckMatches(const std::uint8_t* bytes) {
    return USB::Checksum(bytes, 7) == bytes[7];
}

}  // namespace tavex::memory
