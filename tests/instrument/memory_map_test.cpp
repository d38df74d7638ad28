#include "instrument/memory_map.h"

#include <gtest/gtest.h>

namespace tavex::memory {
namespace {

TEST(MemoryMap, HeaderDecodeAndEncode) {
    const std::uint8_t good[] = {0xF6, 0x01, 0x02, 0x03, 0x04};
    const auto header = DecodeHeader(good);
    ASSERT_TRUE(header);
    EXPECT_EQ(header->recordPointer, 258);
    EXPECT_EQ(header->recordCount, 772);
    const std::uint8_t bad[] = {0xF5, 0x01, 0x02, 0x03, 0x04};
    EXPECT_FALSE(DecodeHeader(bad));
    const std::uint8_t zeros[5] = {};
    ASSERT_TRUE(DecodeHeader(zeros));
    EXPECT_EQ(DecodeHeader(zeros)->recordPointer, 0);

    const auto cleared = EncodeHeader({300, 0});
    EXPECT_EQ(cleared, (std::array<std::uint8_t, 5>{0xD3, 0x01, 0x2C, 0x00, 0x00}));
}

TEST(MemoryMap, RecordLayout) {
    const std::uint8_t bytes[] = {0x00, 0x64, 0x1E, 0x0C, 0x06, 0x0C, 0x1A, 0x46};
    EXPECT_TRUE(RecordCheckMatches(bytes));
    const StoredRecord record = DecodeRecord(bytes);
    EXPECT_EQ(record.raw, 100);
    EXPECT_EQ(record.hours, 12);
    EXPECT_EQ(record.minutes, 30);
    EXPECT_EQ(record.day, 6);
    EXPECT_EQ(record.month, 12);
    EXPECT_EQ(record.year, 26);
    const auto encoded = EncodeRecord(record);
    EXPECT_TRUE(std::equal(encoded.begin(), encoded.end(), bytes));
    std::uint8_t damaged[8];
    std::copy(bytes, bytes + 8, damaged);
    damaged[0] = 0x01;
    EXPECT_FALSE(RecordCheckMatches(damaged));
}

TEST(MemoryMap, RingAndSizeCodes) {
    EXPECT_EQ(SlotAddress(1), 105u);
    EXPECT_EQ(SlotAddress(1010) + kRecordSize - 1, 8184u);
    EXPECT_LT(kRingEnd, kMemorySize + 1);
    EXPECT_EQ(PreviousSlot(1), 1010u);
    EXPECT_EQ(PreviousSlot(2), 1u);
    EXPECT_EQ(SlotsForMemorySizeCode(0), 2u);
    EXPECT_EQ(SlotsForMemorySizeCode(6), kSlotCount);
    EXPECT_EQ(SlotsForMemorySizeCode(9), (65536u - 105u) / 8u);
    EXPECT_EQ(SlotsForMemorySizeCode(10), 0u);
}

}  // namespace
}  // namespace tavex::memory
