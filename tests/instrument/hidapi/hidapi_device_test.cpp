// The hidapi platform over a stand-in of hidapi that answers as hidraw does (this executable
// links tests/support/hidapi_stand_in.cpp in place of the library).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "instrument/hidapi_platform.h"
#include "instrument/usb.h"
#include "tests/support/char_nodes.h"
#include "tests/support/hidapi_stand_in.h"

namespace tavex {
namespace {

namespace standin = hidapi_stand_in;
using Bytes = std::vector<std::uint8_t>;

namespace fs = std::filesystem;

// The meter's kind of report descriptor: one 14-byte feature report, no report IDs.
const Bytes kMeterDescriptor = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x09, 0x01, 0x15, 0x00,
                                0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x0E, 0xB1, 0x02, 0xC0};

// Each test has a tree of its own laid out as the kernel's: <root>/dev/hidrawN nodes (0, 2, 3
// and 10) and <root>/sys/class/hidraw/hidrawN/device/report_descriptor. The platform opens the
// nodes themselves; the stand-in answers for them.
class HidapiDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "tavex-hidraw-tree-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        fs::create_directories(root_ / "dev");
        for (const char* node : {"hidraw0", "hidraw2", "hidraw3", "hidraw10"}) {
            const fs::path device = root_ / "sys/class/hidraw" / node / "device";
            fs::create_directories(device);
            std::ofstream(device / "report_descriptor", std::ios::binary)
                .write(reinterpret_cast<const char*>(kMeterDescriptor.data()),
                       static_cast<std::streamsize>(kMeterDescriptor.size()));
            std::string why;
            if (!nodes_.Make(Path(node), why)) {
                GTEST_SKIP() << "no character device node can be made here: " << why;
            }
        }
        standin::Reset();
        platform = MakeHidapiPlatform((root_ / "sys/class/hidraw").string());
        ASSERT_TRUE(platform->Load());
    }
    void TearDown() override {
        if (platform) platform->Unload();
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    std::string Path(const std::string& node) const { return (root_ / "dev" / node).string(); }

    std::shared_ptr<HidPlatform> platform;
    testing::CharNodes nodes_;

private:
    fs::path root_;
};

Bytes Counting(std::size_t n, std::uint8_t from = 1) {
    Bytes bytes(n);
    for (std::size_t k = 0; k < n; ++k) bytes[k] = static_cast<std::uint8_t>(from + k);
    return bytes;
}

// The count of a fetch is the bytes received with the report number counted in; a short reply
// is a success that leaves the rest of the buffer alone, and only a failed transfer is negative.
TEST_F(HidapiDeviceTest, FeatureFetchCountsWhatArrived) {
    const std::string node = Path("hidraw3");
    standin::Device& meter = standin::Add(node, 0x03EB, 0x5603);
    auto device = platform->Open(node);
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
    const std::string node = Path("hidraw3");
    standin::Device& meter = standin::Add(node, 0x03EB, 0x5603);
    auto device = platform->Open(node);
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
    const std::string node = Path("hidraw3");
    standin::Device& meter = standin::Add(node, 0x03EB, 0x5603);
    auto device = platform->Open(node);
    ASSERT_TRUE(device);
    meter.replies.push_back(Counting(14));
    meter.gone = true;
    std::array<std::uint8_t, 15> buffer{};
    std::uint16_t vendor = 0, product = 0;
    EXPECT_FALSE(device->GetAttributes(vendor, product));
    EXPECT_FALSE(device->SetFeature(buffer.data(), buffer.size()));
    EXPECT_LT(device->GetFeature(buffer.data(), buffer.size()), 0);
    EXPECT_EQ(platform->Open(node), nullptr);
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

    const std::string ten = Path("hidraw10");
    const std::string two = Path("hidraw2");
    standin::Add(ten, 0x046D, 0xC52B);
    standin::Add(two, 0x03EB, 0x5603);
    standin::Add(two, 0x03EB, 0x5603);  // a second collection of the same interface
    standin::Add("", 0x1234, 0x5678);
    EXPECT_EQ(platform->ListInterfaces(), (std::vector<std::string>{two, ten}));
    EXPECT_EQ(standin::GetCounts().liveEnumerations, 0);

    EXPECT_EQ(platform->Open(Path("hidraw7")), nullptr);
    auto device = platform->Open(two);
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

// The lock is taken on the node the device was opened on; a name that names another node by
// then (the meter plugged in again) gives a lock that does not match.
TEST_F(HidapiDeviceTest, TheLockTellsWhichNodeItHolds) {
    const std::string node = Path("hidraw0");
    standin::Add(node, kMeterVendorId, kMeterProductId);
    const auto device = platform->Open(node);
    const auto lock = platform->OpenDeviceLock(node);
    ASSERT_TRUE(device && lock);
    EXPECT_FALSE(device->NodeIdentity().empty());
    EXPECT_EQ(lock->NodeIdentity(), device->NodeIdentity());
    fs::remove(node);
    std::string why;
    ASSERT_TRUE(nodes_.Make(node, why)) << why;
    const auto later = platform->OpenDeviceLock(node);
    ASSERT_TRUE(later);
    EXPECT_NE(later->NodeIdentity(), device->NodeIdentity());
}

// Two programs exchanging with one meter at the same time: each exchange (a command report and
// its reply) is over before the other program's begins.
TEST_F(HidapiDeviceTest, TwoProgramsOnOneNodeNeverInterleave) {
    const std::string node = Path("hidraw0");
    if (fs::is_symlink(node))
        GTEST_SKIP() << "sysfs names a node by itself, not by a link (no mknod)";
    const std::string log = Path("exchanges.log");
    const int logFd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    ASSERT_GE(logFd, 0);
    constexpr int kExchanges = 300;
    const auto program = [&]() -> int {
        standin::Reset();
        standin::Device& meter = standin::Add(node, kMeterVendorId, kMeterProductId);
        meter.logFd = logFd;
        for (int k = 0; k < kExchanges; ++k) meter.replies.push_back(Bytes(14, 0));
        USB usb(platform);
        std::uint8_t data[8] = {};
        for (int k = 0; k < kExchanges; ++k) {
            if (!usb.Transact(1, 0, 1, data)) return 1;
        }
        return 0;
    };
    pid_t programs[2];
    for (pid_t& pid : programs) {
        pid = ::fork();
        if (pid == 0) ::_exit(program());
    }
    for (const pid_t pid : programs) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    ::close(logFd);
    std::ifstream in(log);
    std::vector<std::pair<long, char>> events;
    for (std::pair<long, char> event; in >> event.first >> event.second;) events.push_back(event);
    ASSERT_EQ(events.size(), 4u * kExchanges);
    for (std::size_t k = 0; k < events.size(); k += 2) {
        ASSERT_EQ(events[k].second, 'S') << "event " << k;
        ASSERT_EQ(events[k + 1], std::make_pair(events[k].first, 'G')) << "event " << k;
    }
}

}  // namespace
}  // namespace tavex
