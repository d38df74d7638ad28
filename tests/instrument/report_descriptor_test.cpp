#include "instrument/report_descriptor.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <vector>

namespace tavex {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Parses from a heap block of exactly the descriptor's size, so that a read past the end is
// caught by AddressSanitizer.
std::optional<HidReportLengths> Parse(const Bytes& bytes) {
    auto copy = std::make_unique<std::uint8_t[]>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), copy.get());
    return ParseReportLengths(copy.get(), bytes.size());
}

void ExpectLengths(const Bytes& bytes, std::uint16_t input, std::uint16_t output,
                   std::uint16_t feature) {
    const auto lengths = Parse(bytes);
    ASSERT_TRUE(lengths.has_value());
    EXPECT_EQ(lengths->input, input);
    EXPECT_EQ(lengths->output, output);
    EXPECT_EQ(lengths->feature, feature);
}

const Bytes kBootKeyboard = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01,              // Generic Desktop, Keyboard, Application
    0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7,              // modifier keys
    0x15, 0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x08,  // 8 x 1 bit
    0x81, 0x02,                                      // Input: modifiers
    0x95, 0x01, 0x75, 0x08, 0x81, 0x01,              // Input: reserved byte
    0x95, 0x05, 0x75, 0x01, 0x05, 0x08,              // 5 x 1 bit, LEDs
    0x19, 0x01, 0x29, 0x05, 0x91, 0x02,              // Output: LEDs
    0x95, 0x01, 0x75, 0x03, 0x91, 0x01,              // Output: LED padding
    0x95, 0x06, 0x75, 0x08, 0x15, 0x00, 0x25, 0x65,  // 6 x 8 bits
    0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00,  // Input: key codes
    0xC0,
};

const Bytes kBootMouse = {
    0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x09, 0x01, 0xA1, 0x00,  // Mouse, Pointer
    0x05, 0x09, 0x19, 0x01, 0x29, 0x03, 0x15, 0x00, 0x25, 0x01,
    0x95, 0x03, 0x75, 0x01, 0x81, 0x02,  // Input: 3 buttons
    0x95, 0x01, 0x75, 0x05, 0x81, 0x01,  // Input: padding
    0x05, 0x01, 0x09, 0x30, 0x09, 0x31, 0x15, 0x81, 0x25, 0x7F,
    0x75, 0x08, 0x95, 0x02, 0x81, 0x06,  // Input: X, Y
    0xC0, 0xC0,
};

// Vendor-defined interface with one 14-byte feature report and no report IDs, as the meter has.
const Bytes kVendorFeature = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01,  // Usage Page 0xFF00, Application
    0x09, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00,  // Logical Maximum 255 (two-byte item)
    0x75, 0x08, 0x95, 0x0E, 0xB1, 0x02,        // Feature: 14 x 8 bits
    0xC0,
};

TEST(ReportDescriptor, StandardDescriptors) {
    ExpectLengths(kBootKeyboard, 9, 2, 0);
    ExpectLengths(kBootMouse, 4, 0, 0);
    ExpectLengths(kVendorFeature, 0, 0, 15);
    ExpectLengths({}, 0, 0, 0);
}

TEST(ReportDescriptor, ReportIdsKeepReportsApartAndLongestWins) {
    const Bytes withIds = {
        0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x85,
        0x01, 0x75, 0x08, 0x95, 0x04, 0xB1, 0x02,  // ID 1: 4 bytes
        0x85, 0x02, 0x95, 0x20, 0xB1, 0x02,        // ID 2: 32 bytes
        0x85, 0x03, 0x95, 0x02, 0xB1, 0x02,        // ID 3: 2 bytes
        0x81, 0x02,                                // ID 3 input: 2 bytes
        0x85, 0x01, 0x95, 0x04, 0xB1, 0x02,        // ID 1 again: now 8 bytes
        0xC0,
    };
    ExpectLengths(withIds, 3, 0, 33);

    // Fields of one report add up, and a partial last byte counts as a whole one.
    const Bytes bits = {
        0x85, 0x07, 0x75, 0x01, 0x95, 0x03, 0xB1, 0x02,  // 3 bits
        0x75, 0x05, 0x95, 0x01, 0xB1, 0x01,              // 5 bits
        0x75, 0x04, 0x95, 0x01, 0xB1, 0x01,              // 4 bits: 12 in all
    };
    ExpectLengths(bits, 0, 0, 3);
}

TEST(ReportDescriptor, PushAndPopRestoreSizeCountAndId) {
    const Bytes pushPop = {
        0x85, 0x01, 0x75, 0x08, 0x95, 0x04, 0xB1, 0x02,  // ID 1: 4 bytes
        0xA4,                                            // Push
        0x85, 0x02, 0x95, 0x01, 0xB1, 0x02,              // ID 2: 1 byte
        0x75, 0x10, 0x95, 0x0A, 0x91, 0x02,              // ID 2 output: 20 bytes
        0xB4,                                            // Pop: ID 1, 8 x 4 again
        0xB1, 0x02,                                      // ID 1: 8 bytes
    };
    ExpectLengths(pushPop, 0, 21, 9);

    EXPECT_FALSE(Parse({0x75, 0x08, 0xB4, 0x95, 0x01, 0xB1, 0x02}).has_value());
    EXPECT_FALSE(Parse({0xA4, 0xB4, 0xB4}).has_value());
    EXPECT_FALSE(Parse(Bytes(100000, 0xA4)).has_value());
}

TEST(ReportDescriptor, LongItemsAreSkipped) {
    Bytes withLong = {0xFE, 0x04, 0xF0, 0xB1, 0x02, 0x81, 0x02};  // its data looks like items
    withLong.insert(withLong.end(), kVendorFeature.begin(), kVendorFeature.end());
    ExpectLengths(withLong, 0, 0, 15);
    ExpectLengths({0xFE, 0x00, 0xF0, 0x75, 0x08, 0x95, 0x02, 0x81, 0x02}, 3, 0, 0);
}

TEST(ReportDescriptor, TruncatedItemsAreRejected) {
    for (const Bytes& cut : {
             Bytes{0x75},                                // Report Size without its byte
             Bytes{0x06, 0x00},                          // two-byte item, one byte left
             Bytes{0x75, 0x08, 0x97, 0x0E, 0x00, 0x00},  // four-byte item, three left
             Bytes{0xFE},                                // long item without its header
             Bytes{0xFE, 0x05},
             Bytes{0xFE, 0x05, 0xF0, 0x01, 0x02, 0x03, 0x04},  // one data byte short
         }) {
        EXPECT_FALSE(Parse(cut).has_value()) << "first byte " << int(cut[0]) << ", " << cut.size();
    }
    // The meter's descriptor cut inside its Logical Maximum item.
    const Bytes meterCut(kVendorFeature.begin(), kVendorFeature.begin() + 13);
    EXPECT_FALSE(Parse(meterCut).has_value());
    EXPECT_FALSE(ParseReportLengths(nullptr, 4).has_value());
}

TEST(ReportDescriptor, InvalidReportIdsAndAbsurdSizesAreRejected) {
    EXPECT_FALSE(Parse({0x85, 0x00, 0x75, 0x08, 0x95, 0x01, 0xB1, 0x02}).has_value());
    EXPECT_FALSE(Parse({0x86, 0x00, 0x01, 0x75, 0x08, 0x95, 0x01, 0xB1, 0x02}).has_value());

    // 2^32-1 squared would wrap a 32-bit product, and nearly does a 64-bit running total.
    const Bytes huge = {0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0xB1, 0x02};
    EXPECT_FALSE(Parse(huge).has_value());
    Bytes hugeTwice = huge;
    hugeTwice.insert(hugeTwice.end(), {0xB1, 0x02});
    EXPECT_FALSE(Parse(hugeTwice).has_value());

    // 65534 bytes plus the ID byte is the longest length there is; one bit more is rejected.
    ExpectLengths({0x75, 0x08, 0x96, 0xFE, 0xFF, 0xB1, 0x02}, 0, 0, 65535);
    EXPECT_FALSE(
        Parse({0x75, 0x08, 0x96, 0xFE, 0xFF, 0xB1, 0x02, 0x75, 0x01, 0x95, 0x01, 0xB1, 0x02})
            .has_value());
    // The same limit holds when the fields are small but many.
    Bytes many = {0x75, 0x08, 0x96, 0xFF, 0x00};  // 255 bytes per Feature item
    for (int i = 0; i < 300; ++i) many.insert(many.end(), {0xB1, 0x02});
    EXPECT_FALSE(Parse(many).has_value());
}

TEST(ReportDescriptor, GarbageNeverReadsPastTheEnd) {
    for (int first = 0; first < 256; ++first) {
        for (int second = 0; second < 256; second += 17) {
            Parse({static_cast<std::uint8_t>(first)});
            Parse({static_cast<std::uint8_t>(first), static_cast<std::uint8_t>(second)});
        }
    }
    std::mt19937 random(20240611);
    for (int round = 0; round < 2000; ++round) {
        Bytes bytes(random() % 80);
        for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random());
        Parse(bytes);
    }
}

}  // namespace
}  // namespace tavex
