#include "instrument/usb.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "instrument/sim/sim_bus.h"
#include "instrument/sim/sim_meter.h"

namespace tavex {
namespace {

using sim::OtherDevice;
using sim::SimBus;
using sim::SimMeter;

std::vector<sim::WireReport> Commands(const SimMeter& meter) {
    std::vector<sim::WireReport> commands;
    for (const auto& report : meter.Recorded()) {
        if (report.command) commands.push_back(report);
    }
    return commands;
}

std::size_t Replies(const SimMeter& meter) {
    std::size_t replies = 0;
    for (const auto& report : meter.Recorded()) replies += report.command ? 0 : 1;
    return replies;
}

// A meter whose memory byte at address a is (a * 7 + 3) & 0xFF, so every read is checkable.
sim::MemoryImage PatternImage() {
    sim::MemoryImage image{};
    for (std::size_t a = 0; a < image.size(); ++a) image[a] = static_cast<std::uint8_t>(a * 7 + 3);
    return image;
}

class UsbTest : public ::testing::Test {
protected:
    std::shared_ptr<SimBus> bus = std::make_shared<SimBus>();
    std::shared_ptr<SimMeter> meter = std::make_shared<SimMeter>(PatternImage());

    void SetUp() override { meter->SetRecording(true); }
};

TEST(UsbChecksum, TwosComplementOfTheByteSum) {
    EXPECT_EQ(USB::Checksum(nullptr, 0), 0);
    const std::uint8_t abc[] = {0x61, 0x62, 0x63};
    EXPECT_EQ(USB::Checksum(abc, 3), 0xDA);
    const std::uint8_t oneToFour[] = {1, 2, 3, 4};
    EXPECT_EQ(USB::Checksum(oneToFour, 4), 0xF6);
    const std::uint8_t sumsToZero[] = {0x80, 0x80};
    EXPECT_EQ(USB::Checksum(sumsToZero, 2), 0x00);
}

TEST_F(UsbTest, TransactSendsTheCommandReportAndCopiesTheReply) {
    bus->Plug(meter);
    USB usb(bus);
    std::uint8_t data[8] = {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x11, 0x22};
    ASSERT_TRUE(usb.Transact(16, 0x0102, 3, data));

    const auto commands = Commands(*meter);
    ASSERT_EQ(commands.size(), 1u);
    std::array<std::uint8_t, 15> expected = {0,    0,    16,   0x01, 0x02, 3,    0xAA, 0xBB,
                                             0xCC, 0xDD, 0xEE, 0xFF, 0x11, 0x22, 0};
    expected[14] = USB::Checksum(expected.data() + 2, 12);
    EXPECT_EQ(commands[0].bytes, expected);
    EXPECT_EQ(Replies(*meter), 1u);
    // The first three data bytes now hold memory 0x102..0x104; the rest is as it was.
    EXPECT_EQ(data[0], static_cast<std::uint8_t>(0x102 * 7 + 3));
    EXPECT_EQ(data[2], static_cast<std::uint8_t>(0x104 * 7 + 3));
    EXPECT_EQ(data[3], 0xDD);
}

TEST_F(UsbTest, TransactWithLengthZeroOrNineOpensButSendsNothing) {
    bus->Plug(meter);
    USB usb(bus);
    std::uint8_t data[8] = {};
    usb.requestCode = 16;
    usb.requestAddress = 2;
    for (std::uint8_t length : {0, 9}) {
        usb.requestLength = length;
        EXPECT_FALSE(usb.Transact(data));
        EXPECT_TRUE(usb.open);
    }
    EXPECT_EQ(meter->ReportCount(), 0u);
}

// The meter may end a block read with a full report padded with zeros or with a short one that
// carries only the bytes left; both read the same.
TEST_F(UsbTest, ReadBlockPiecesAndReceivedBytes) {
    bus->Plug(meter);
    USB usb(bus);
    const sim::MemoryImage image = PatternImage();
    struct Case {
        std::uint16_t count;
        std::size_t replies;
    };
    for (const bool shortLast : {false, true}) {
        meter->SetShortLastPiece(shortLast);
        for (const Case c : {Case{8, 1}, Case{28, 2}, Case{29, 3}, Case{0, 0}}) {
            SCOPED_TRACE(testing::Message() << c.count << (shortLast ? " short last" : ""));
            meter->ClearRecorded();
            usb.ReceivedBytes(true);
            std::vector<std::uint8_t> destination(c.count + 4, 0x5A);
            ASSERT_TRUE(usb.ReadBlock(300, c.count, destination.data()));
            EXPECT_EQ(Commands(*meter).size(), 1u);
            EXPECT_EQ(Replies(*meter), c.replies);
            for (std::size_t k = 0; k < c.count; ++k) EXPECT_EQ(destination[k], image[300 + k]);
            for (std::size_t k = c.count; k < destination.size(); ++k) {
                EXPECT_EQ(destination[k], 0x5A);
            }
            EXPECT_EQ(usb.ReceivedBytes(false), c.count);
        }
    }
    EXPECT_EQ(usb.ReceivedBytes(true), 0u);
    EXPECT_EQ(usb.ReceivedBytes(false), 0u);
}

// A reply must carry every byte its caller uses; the zeros a short reply leaves in the buffer
// are never taken for data.
TEST_F(UsbTest, RepliesCutShortFailTheExchange) {
    bus->Plug(meter);
    USB usb(bus);
    struct Case {
        const char* what;
        bool block;  // a block read of count bytes, else a read request of count bytes
        std::uint16_t count;
        std::uint64_t reply;  // the reply report cut, counted from 1 within the exchange
        std::size_t bytes;    // what it still delivers, report ID counted
        bool ok;
    };
    const Case cases[] = {
        {"request reply reaching its last data byte", false, 3, 2, 9, true},
        {"request reply one byte short", false, 3, 2, 8, false},
        {"request reply of the report ID only", false, 1, 2, 1, false},
        {"empty request reply", false, 8, 2, 0, false},
        {"block: a middle piece one byte short", true, 29, 3, 14, false},
        {"block: the last piece with its one byte", true, 29, 4, 2, true},
        {"block: the last piece without it", true, 29, 4, 1, false},
    };
    const sim::MemoryImage image = PatternImage();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(usb.EnsureOpen());
        meter->CutReplyAt(meter->ReportCount() + c.reply, c.bytes);
        std::vector<std::uint8_t> data(std::max<std::size_t>(c.count, 8), 0x5A);
        const bool ok =
            c.block ? usb.ReadBlock(400, c.count, data.data())
                    : usb.Transact(16, 400, static_cast<std::uint8_t>(c.count), data.data());
        EXPECT_EQ(ok, c.ok);
        EXPECT_EQ(usb.LastFailure(), c.ok ? ExchangeFailure::kNone : ExchangeFailure::kTransfer);
        if (c.ok) {
            for (std::size_t k = 0; k < c.count; ++k) EXPECT_EQ(data[k], image[400 + k]);
        }
    }
}

TEST_F(UsbTest, ReadBlockCommandReportCarriesAddressAndCount) {
    bus->Plug(meter);
    USB usb(bus);
    std::vector<std::uint8_t> destination(840);
    ASSERT_TRUE(usb.ReadBlock(0x1FE9, 16, destination.data()));
    std::array<std::uint8_t, 15> expected = {0, 0, 23, 0x1F, 0xE9, 0x00, 0x10};
    expected[14] = USB::Checksum(expected.data() + 2, 12);
    EXPECT_EQ(Commands(*meter).at(0).bytes, expected);
    EXPECT_FALSE(usb.ReadBlock(0, 3571, destination.data()));
}

TEST_F(UsbTest, NoMeterMeansEveryTransferFailsAfterASearch) {
    bus->Plug(std::make_shared<OtherDevice>(0x046D, 0xC52B));
    USB usb(bus);
    std::uint8_t data[8] = {};
    EXPECT_FALSE(usb.Transact(16, 14, 1, data));
    std::uint8_t block[8];
    EXPECT_FALSE(usb.ReadBlock(100, 8, block));
    EXPECT_EQ(bus->ListCalls(), 2u);
    EXPECT_EQ(bus->OpenHandles(), 0u);
    EXPECT_FALSE(usb.found);
    EXPECT_FALSE(usb.everFound.load());
}

TEST_F(UsbTest, FirstOfTwoMetersWinsAndOtherProductsAreSkipped) {
    auto other = std::make_shared<OtherDevice>(kMeterVendorId, 0x2104);
    auto second = std::make_shared<SimMeter>(PatternImage());
    second->SetRecording(true);
    bus->Plug(other);
    const std::string firstPath = bus->Plug(meter);
    bus->Plug(second);
    USB usb(bus);
    std::uint8_t data[8] = {};
    ASSERT_TRUE(usb.Transact(16, 14, 1, data));
    EXPECT_EQ(usb.devicePath, firstPath);
    EXPECT_EQ(usb.featureReportLength, 15);
    EXPECT_EQ(meter->ReportCount(), 2u);
    EXPECT_EQ(second->ReportCount(), 0u);
    // The probes closed what they opened: only the meter in use stays open.
    EXPECT_EQ(bus->OpenHandles(), 1u);
}

TEST_F(UsbTest, FeatureReportOfAnotherLengthIsNotTheMeter) {
    auto wide = std::make_shared<SimMeter>(PatternImage());
    wide->SetFeatureReportLength(65);
    bus->Plug(wide);
    USB usb(bus);
    std::uint8_t data[8] = {};
    EXPECT_FALSE(usb.Transact(16, 14, 1, data));
    EXPECT_FALSE(usb.found);
    EXPECT_EQ(wide->ReportCount(), 0u);

    const std::string path = bus->Plug(meter);
    EXPECT_TRUE(usb.Transact(16, 14, 1, data));
    EXPECT_EQ(usb.devicePath, path);
}

TEST_F(UsbTest, FailedTransactClosesAndTheNextReopensByTheStoredPath) {
    bus->Plug(meter);
    USB usb(bus);
    std::uint8_t data[8] = {};
    meter->FailReport(2);  // the reply of the first request
    EXPECT_FALSE(usb.Transact(16, 14, 1, data));
    EXPECT_FALSE(usb.open);
    EXPECT_TRUE(usb.found);
    const std::size_t searches = bus->ListCalls();
    EXPECT_TRUE(usb.Transact(16, 14, 1, data));
    EXPECT_EQ(bus->ListCalls(), searches);
    EXPECT_EQ(bus->OpenHandles(), 1u);
}

TEST_F(UsbTest, ReplugUnderANewPathIsFoundAgain) {
    const std::string oldPath = bus->Plug(meter);
    USB usb(bus);
    std::uint8_t data[8] = {};
    ASSERT_TRUE(usb.Transact(16, 14, 1, data));

    bus->Unplug(meter.get());
    const std::string newPath = bus->Plug(meter);
    ASSERT_NE(newPath, oldPath);
    EXPECT_FALSE(usb.Transact(16, 14, 1, data));  // the old handle is dead
    EXPECT_TRUE(usb.Transact(16, 14, 1, data));   // stored path gone: searched again
    EXPECT_EQ(usb.devicePath, newPath);
}

TEST_F(UsbTest, UnplugInTheMiddleOfABlockRead) {
    bus->Plug(meter);
    USB usb(bus);
    meter->UnplugAtReport(10, bus);
    std::vector<std::uint8_t> destination(840);
    usb.ReceivedBytes(true);
    EXPECT_FALSE(usb.ReadBlock(105, 840, destination.data()));
    EXPECT_EQ(usb.ReceivedBytes(false), 8u * 14u);  // the replies before the unplug
    EXPECT_FALSE(bus->IsPlugged(meter.get()));
    std::uint8_t data[8] = {};
    EXPECT_FALSE(usb.Transact(16, 14, 1, data));
    EXPECT_FALSE(usb.open);
    EXPECT_EQ(bus->OpenHandles(), 0u);

    bus->Plug(meter);
    EXPECT_TRUE(usb.ReadBlock(105, 840, destination.data()));
}

// A platform whose every call throws: the link must treat that as failure, never crash.
class ThrowingPlatform : public HidPlatform {
public:
    bool Load() override { return true; }
    void Unload() override {}
    std::optional<std::vector<std::string>> ListInterfaces() override {
        throw std::runtime_error("enumeration broke");
    }
    std::unique_ptr<HidDevice> Open(const std::string&) override {
        throw std::runtime_error("open broke");
    }
    std::unique_ptr<HidDeviceLock> OpenDeviceLock(const std::string&) override {
        throw std::runtime_error("lock broke");
    }
};

TEST(UsbPlatform, ThrowingOrMissingLibraryCountsAsFailure) {
    USB throwing(std::make_shared<ThrowingPlatform>());
    std::uint8_t data[8] = {};
    EXPECT_FALSE(throwing.Transact(16, 14, 1, data));
    EXPECT_FALSE(throwing.ProbeDevice("anything"));

    auto bus = std::make_shared<SimBus>();
    bus->Plug(std::make_shared<SimMeter>());
    bus->SetLoadFails(true);
    USB unloaded(bus);
    EXPECT_FALSE(unloaded.libraryReady);
    EXPECT_FALSE(unloaded.Transact(16, 14, 1, data));
    EXPECT_EQ(bus->ListCalls(), 0u);
}

// Each exchange is one exclusive use of the device: threads sharing one USB object, and two
// USB objects on a shared device (as two programs would be), never interleave their reports.
TEST_F(UsbTest, ExchangesNeverInterleave) {
    meter->SetRecording(false);
    meter->SetLatency(std::chrono::microseconds(50));
    bus->SetShared(true);
    bus->Plug(meter);
    USB first(bus);
    USB second(bus);
    const sim::MemoryImage image = PatternImage();

    auto work = [&](USB& usb, int seed) {
        for (int round = 0; round < 20; ++round) {
            const std::uint16_t address = static_cast<std::uint16_t>(200 + 37 * (round + seed));
            std::vector<std::uint8_t> block(70);
            ASSERT_TRUE(usb.ReadBlock(address, 70, block.data()));
            for (std::size_t k = 0; k < block.size(); ++k) ASSERT_EQ(block[k], image[address + k]);
            std::uint8_t data[8] = {};
            ASSERT_TRUE(usb.Transact(16, address, 8, data));
            for (std::size_t k = 0; k < 8; ++k) ASSERT_EQ(data[k], image[address + k]);
        }
    };
    std::thread a([&] { work(first, 0); });
    std::thread b([&] { work(first, 7); });
    std::thread c([&] { work(second, 13); });
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(meter->InterruptedCount(), 0u);
    EXPECT_EQ(meter->RejectedCount(), 0u);
}

// On a shared device no report goes out without the device's lock: a lock that cannot be
// opened fails the exchange at once; a program that holds the lock for good makes each exchange
// fail after the wait, saying why. Once the lock is free the meter answers again.
TEST_F(UsbTest, NoExchangeRunsWithoutTheDevicesLock) {
    using namespace std::chrono;
    bus->SetShared(true);
    const std::string path = bus->Plug(meter);
    USB usb(bus);
    usb.SetLockWait(milliseconds(60));
    std::uint8_t data[8] = {};
    std::uint8_t block[28] = {};

    bus->SetLockOpenFails(true);
    EXPECT_FALSE(usb.Transact(16, 14, 1, data));
    EXPECT_EQ(usb.LastFailure(), ExchangeFailure::kNoLock);
    bus->SetLockOpenFails(false);

    auto holder = bus->OpenDeviceLock(path);
    ASSERT_TRUE(holder);
    ASSERT_EQ(holder->TryLock(), HidDeviceLock::Result::kHeld);
    for (const bool blockRead : {false, true}) {
        SCOPED_TRACE(blockRead ? "block read" : "request");
        const auto start = steady_clock::now();
        EXPECT_FALSE(blockRead ? usb.ReadBlock(100, 28, block) : usb.Transact(16, 14, 1, data));
        const auto took = steady_clock::now() - start;
        EXPECT_GE(took, milliseconds(60));
        EXPECT_LT(took, seconds(2));
        EXPECT_EQ(usb.LastFailure(), ExchangeFailure::kMeterInUse);
    }
    EXPECT_EQ(meter->ReportCount(), 0u);

    holder.reset();
    EXPECT_TRUE(usb.ReadBlock(100, 28, block));
    EXPECT_EQ(usb.LastFailure(), ExchangeFailure::kNone);
    // Between exchanges the lock is free for the other program.
    holder = bus->OpenDeviceLock(path);
    EXPECT_EQ(holder->TryLock(), HidDeviceLock::Result::kHeld);
}

}  // namespace
}  // namespace tavex
