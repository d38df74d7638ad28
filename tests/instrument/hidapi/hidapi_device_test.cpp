// The hidapi platform over a stand-in of hidapi that answers as hidraw does (this executable
// links tests/support/hidapi_stand_in.cpp in place of the library).
#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "instrument/hidapi_platform.h"
#include "tests/support/hidapi_stand_in.h"

namespace tavex {
namespace {

namespace standin = hidapi_stand_in;
using Bytes = std::vector<std::uint8_t>;

class HidapiDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        standin::Reset();
        platform = MakeHidapiPlatform();
        ASSERT_TRUE(platform->Load());
    }
    void TearDown() override { platform->Unload(); }

    std::shared_ptr<HidPlatform> platform;
};

Bytes Counting(std::size_t n, std::uint8_t from = 1) {
    Bytes bytes(n);
    for (std::size_t k = 0; k < n; ++k) bytes[k] = static_cast<std::uint8_t>(from + k);
    return bytes;
}

// The count of a fetch is the bytes received with the report number counted in; a short reply
// is a success that leaves the rest of the buffer alone, and only a failed transfer is negative.
TEST_F(HidapiDeviceTest, FeatureFetchCountsWhatArrived) {
    standin::Device& meter = standin::Add("/dev/hidraw3", 0x03EB, 0x5603);
    auto device = platform->Open("/dev/hidraw3");
    ASSERT_TRUE(device);
    struct Case {
        const char* what;
        std::uint8_t reportId;
        std::optional<Bytes> sends;
        int count;
        std::size_t landsAt;  // where the device's bytes start in the buffer
    };
    const Case cases[] = {
        {"full report", 0, Counting(14), 15, 1},
        {"short report", 0, Counting(9), 10, 1},
        {"one byte", 0, Counting(1), 2, 1},
        {"nothing", 0, Bytes{}, 0, 1},
        {"more than the buffer holds", 0, Counting(20), 15, 1},
        {"numbered report", 5, Bytes{5, 0xA1, 0xA2}, 3, 0},
        {"stalled transfer", 0, std::nullopt, -1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        meter.replies.push_back(c.sends);
        std::array<std::uint8_t, 15> buffer;
        buffer.fill(0xEE);
        buffer[0] = c.reportId;
        std::array<std::uint8_t, 15> expected = buffer;
        if (c.count > 0) {
            std::copy_n(c.sends->begin(), c.count - static_cast<int>(c.landsAt),
                        expected.begin() + c.landsAt);
        }
        EXPECT_EQ(device->GetFeature(buffer.data(), buffer.size()), c.count);
        EXPECT_EQ(buffer, expected);
    }
    // Buffers hidapi must not be handed do not reach it.
    const int calls = standin::GetCounts().featureCalls;
    std::array<std::uint8_t, 15> buffer{};
    EXPECT_LT(device->GetFeature(nullptr, 15), 0);
    EXPECT_LT(device->GetFeature(buffer.data(), 0), 0);
    EXPECT_FALSE(device->SetFeature(buffer.data(), 0));
    std::vector<std::uint8_t> huge(16384);
    EXPECT_LT(device->GetFeature(huge.data(), huge.size()), 0);
    EXPECT_FALSE(device->SetFeature(huge.data(), huge.size()));
    EXPECT_EQ(standin::GetCounts().featureCalls, calls);
}

TEST_F(HidapiDeviceTest, SendSucceedsOnlyWhenTheWholeReportWentOut) {
    standin::Device& meter = standin::Add("/dev/hidraw3", 0x03EB, 0x5603);
    auto device = platform->Open("/dev/hidraw3");
    ASSERT_TRUE(device);
    Bytes report = Counting(15, 0);
    EXPECT_TRUE(device->SetFeature(report.data(), report.size()));
    ASSERT_EQ(meter.sent.size(), 1u);
    EXPECT_EQ(meter.sent[0], report);
    meter.takes = 14;
    EXPECT_FALSE(device->SetFeature(report.data(), report.size()));
}

// Unplugged under an open handle: every transfer fails, the path no longer opens or lists, and
// the handle still closes.
TEST_F(HidapiDeviceTest, AVanishedDeviceFailsEveryCall) {
    standin::Device& meter = standin::Add("/dev/hidraw3", 0x03EB, 0x5603);
    auto device = platform->Open("/dev/hidraw3");
    ASSERT_TRUE(device);
    meter.replies.push_back(Counting(14));
    meter.gone = true;
    std::array<std::uint8_t, 15> buffer{};
    std::uint16_t vendor = 0, product = 0;
    EXPECT_FALSE(device->GetAttributes(vendor, product));
    EXPECT_FALSE(device->SetFeature(buffer.data(), buffer.size()));
    EXPECT_LT(device->GetFeature(buffer.data(), buffer.size()), 0);
    EXPECT_EQ(platform->Open("/dev/hidraw3"), nullptr);
    EXPECT_EQ(platform->ListInterfaces(), std::vector<std::string>{});
    device.reset();
    EXPECT_EQ(standin::GetCounts().openHandles, 0);
}

// Listing tells "nothing attached" from "could not look", lists each interface once and frees
// what hidapi handed out; handles are closed with their objects.
TEST_F(HidapiDeviceTest, ListingOpeningAndClosing) {
    EXPECT_EQ(platform->ListInterfaces(), std::vector<std::string>{});
    standin::SetEnumerationFails(true);
    EXPECT_FALSE(platform->ListInterfaces().has_value());
    standin::SetEnumerationFails(false);

    standin::Add("/dev/hidraw10", 0x046D, 0xC52B);
    standin::Add("/dev/hidraw2", 0x03EB, 0x5603);
    standin::Add("/dev/hidraw2", 0x03EB, 0x5603);  // a second collection of the same interface
    standin::Add("", 0x1234, 0x5678);
    EXPECT_EQ(platform->ListInterfaces(),
              (std::vector<std::string>{"/dev/hidraw2", "/dev/hidraw10"}));
    EXPECT_EQ(standin::GetCounts().liveEnumerations, 0);

    EXPECT_EQ(platform->Open("/dev/hidraw7"), nullptr);
    auto device = platform->Open("/dev/hidraw2");
    ASSERT_TRUE(device);
    std::uint16_t vendor = 0, product = 0;
    ASSERT_TRUE(device->GetAttributes(vendor, product));
    EXPECT_EQ(vendor, 0x03EB);
    EXPECT_EQ(product, 0x5603);
    EXPECT_EQ(standin::GetCounts().openHandles, 1);
    device.reset();
    EXPECT_EQ(standin::GetCounts().openHandles, 0);
    platform->Unload();
    EXPECT_EQ(standin::GetCounts().exit, 1);
    ASSERT_TRUE(platform->Load());
    EXPECT_EQ(standin::GetCounts().init, 2);
}

}  // namespace
}  // namespace tavex
