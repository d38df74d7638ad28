// Stored records and the memory header as the meter's memory may hold them, and the values and
// texts the export makes of them. Input: a unit byte, a five-byte header, then eight-byte records.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "export/formfileexel.h"
#include "instrument/memory_map.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

using namespace tavex;

// A value as tenths, with the over-range mark above every value.
std::int64_t Tenths(const ConvertedValue& value) {
    return value.overRange ? INT64_MAX : std::int64_t{value.integer} * 10 + value.tenths;
}

void CheckValue(std::uint16_t raw, std::uint8_t unit) {
    const ConvertedValue value = ConvertValue(raw, unit);
    const std::string text = ValueText(value, unit);
    FUZZ_CHECK(!text.empty());
    if (!value.overRange) {
        FUZZ_CHECK(value.tenths >= 0 && value.tenths <= 9);
        if (unit == 1) {
            // 1,4 to 270 pCi/l; the text is the integer, and a comma and the tenths unless 0.
            FUZZ_CHECK(Tenths(value) >= 14 && Tenths(value) <= 2700);
            std::string expected = std::to_string(value.integer);
            if (value.tenths != 0) expected += "," + std::to_string(value.tenths);
            FUZZ_CHECK(text == expected);
        } else {
            FUZZ_CHECK(value.tenths == 0 && value.integer >= 50 && value.integer <= 10000);
            FUZZ_CHECK(text == std::to_string(value.integer));
        }
    } else {
        FUZZ_CHECK(text[0] == '>');
    }
    // A larger reading never shows as a smaller value.
    if (raw < 0xFFFF) FUZZ_CHECK(Tenths(value) <= Tenths(ConvertValue(raw + 1, unit)));
}

void CheckRecord(const std::uint8_t* bytes) {
    const memory::StoredRecord record = memory::DecodeRecord(bytes);
    const auto encoded = memory::EncodeRecord(record);
    FUZZ_CHECK(std::equal(encoded.begin(), encoded.begin() + 7, bytes));
    FUZZ_CHECK(memory::RecordCheckMatches(bytes) == (encoded[7] == bytes[7]));
    if (IsRecordValid(bytes)) {
        FUZZ_CHECK(memory::RecordCheckMatches(bytes));
        FUZZ_CHECK(record.hours <= 23 && record.minutes <= 60);
        FUZZ_CHECK(record.day >= 1 && record.day <= 31 && record.month >= 1 && record.month <= 12);
    }
    for (const std::string& text :
         {PageTime(record.hours, record.minutes), PageDate(record.day, record.month, record.year),
          WorkbookTime(record.hours, record.minutes),
          WorkbookDate(record.day, record.month, record.year)}) {
        FUZZ_CHECK(text.size() >= 3);
    }
    FUZZ_CHECK(TwoDigits(record.minutes).size() >= 2);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 + memory::kHeaderSize) return 0;
    const std::uint8_t unit = data[0];
    const std::uint8_t* header = data + 1;

    // A header decodes exactly when its check byte matches, and then encodes back to itself.
    const auto decoded = memory::DecodeHeader(header);
    const auto reencoded =
        memory::EncodeHeader({static_cast<std::uint16_t>(header[1] << 8 | header[2]),
                              static_cast<std::uint16_t>(header[3] << 8 | header[4])});
    FUZZ_CHECK(decoded.has_value() == std::equal(reencoded.begin(), reencoded.end(), header));
    if (decoded) FUZZ_CHECK(memory::EncodeHeader(*decoded) == reencoded);

    for (std::size_t at = 1 + memory::kHeaderSize; at + memory::kRecordSize <= size;
         at += memory::kRecordSize) {
        CheckRecord(data + at);
        const std::uint16_t raw = static_cast<std::uint16_t>(data[at] << 8 | data[at + 1]);
        CheckValue(raw, unit);
        CheckValue(raw, unit == 1 ? 0 : 1);
    }
    return 0;
}
