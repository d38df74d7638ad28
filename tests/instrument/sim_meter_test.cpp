#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "instrument/memory_map.h"
#include "instrument/sim/memory_image.h"
#include "instrument/sim/sim_bus.h"
#include "instrument/sim/sim_meter.h"
#include "instrument/usb.h"

#ifdef _WIN32
#include <windows.h>

#include "fileio/win_text.h"
#endif

namespace tavex::sim {
namespace {

using Report = std::array<std::uint8_t, 15>;
namespace fs = std::filesystem;

// Written out here rather than taken from the program: the wire bytes are what is under test.
std::uint8_t Check(const std::uint8_t* bytes, std::size_t n) {
    unsigned sum = 0;
    for (std::size_t i = 0; i < n; ++i) sum += bytes[i];
    return static_cast<std::uint8_t>((256 - sum % 256) % 256);
}

Report Command(std::uint8_t code, std::uint16_t address, std::uint8_t length,
               std::array<std::uint8_t, 8> data = {}) {
    Report r{0, 0, code, static_cast<std::uint8_t>(address >> 8),
             static_cast<std::uint8_t>(address)};
    r[5] = length;
    for (int i = 0; i < 8; ++i) r[6 + i] = data[i];
    r[14] = Check(r.data() + 2, 12);
    return r;
}

Report BlockCommand(std::uint16_t address, std::uint16_t count) {
    Report r{0,
             0,
             23,
             static_cast<std::uint8_t>(address >> 8),
             static_cast<std::uint8_t>(address),
             static_cast<std::uint8_t>(count >> 8),
             static_cast<std::uint8_t>(count)};
    r[14] = Check(r.data() + 2, 12);
    return r;
}

// Sets a fresh checksum after a test has changed a byte on purpose.
Report Resealed(Report r) {
    r[14] = Check(r.data() + 2, 12);
    return r;
}

class SimMeterTest : public ::testing::Test {
protected:
    void SetUp() override {
        path = bus->Plug(meter);
        handle = bus->Open(path);
        ASSERT_TRUE(handle);
    }

    bool Send(const Report& r) { return handle->SetFeature(r.data(), r.size()); }
    std::optional<Report> Fetch() {
        Report r{};
        if (handle->GetFeature(r.data(), r.size()) != static_cast<int>(r.size())) {
            return std::nullopt;
        }
        return r;
    }
    void Fill(std::uint32_t from, std::uint32_t to) {
        for (std::uint32_t a = from; a < to; ++a) {
            meter->SetByte(a, static_cast<std::uint8_t>(a * 7 + 3));
        }
    }

    std::shared_ptr<SimBus> bus = std::make_shared<SimBus>();
    std::shared_ptr<SimMeter> meter = std::make_shared<SimMeter>();
    std::string path;
    std::unique_ptr<HidDevice> handle;
};

TEST_F(SimMeterTest, ReadWriteAndClockExchangesCarryTheWireBytes) {
    meter->SetRecording(true);
    Fill(8180, 8192);
    const std::array<std::uint8_t, 8> junk = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};

    // Read: request echoed, data from memory (also past the requested length).
    const Report read = Command(16, 8180, 3, junk);
    ASSERT_TRUE(Send(read));
    Report want{0, 0, 16, 0x1F, 0xF4, 3};
    for (int i = 0; i < 8; ++i) want[6 + i] = static_cast<std::uint8_t>((8180 + i) * 7 + 3);
    want[14] = Check(want.data() + 2, 12);
    EXPECT_EQ(Fetch(), want);

    // Write of the last two bytes of memory: only those change; the reply carries the data sent.
    const auto before = meter->Memory();
    const Report write = Command(25, 8190, 2, {0xA1, 0xA2, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88});
    ASSERT_TRUE(Send(write));
    Report wantWrite = write;
    EXPECT_EQ(Fetch(), wantWrite);
    auto after = before;
    after[8190] = 0xA1;
    after[8191] = 0xA2;
    EXPECT_EQ(meter->Memory(), after);

    // A read that reaches the end of memory: what lies beyond is the bytes sent.
    ASSERT_TRUE(Send(Command(16, 8188, 4, {1, 2, 3, 4, 5, 6, 7, 8})));
    Report wantEnd{0, 0, 16, 0x1F, 0xFC, 4, after[8188], after[8189], 0xA1, 0xA2, 5, 6, 7, 8};
    wantEnd[14] = Check(wantEnd.data() + 2, 12);
    EXPECT_EQ(Fetch(), wantEnd);

    // Clock: five counted bytes and the year after them; memory is untouched.
    EXPECT_FALSE(meter->ClockWasSet());
    const Report clock = Command(50, 0, 5, {30, 15, 8, 29, 2, 28, 0, 0});
    ASSERT_TRUE(Send(clock));
    EXPECT_EQ(Fetch(), clock);
    EXPECT_TRUE(meter->ClockWasSet());
    EXPECT_EQ(meter->Clock(), (MeterClock{30, 15, 8, 29, 2, 28}));
    EXPECT_EQ(meter->Memory(), after);

    // Requests 24 and 8 answer with memory as it stands.
    meter->SetByte(24, 0x5C);
    meter->SetByte(1, 0xC5);
    ASSERT_TRUE(Send(Command(24, 24, 8)));
    EXPECT_EQ((*Fetch())[6], 0x5C);
    ASSERT_TRUE(Send(Command(8, 1, 4)));
    EXPECT_EQ((*Fetch())[6], 0xC5);

    const auto recorded = meter->Recorded();
    ASSERT_EQ(recorded.size(), 12u);
    EXPECT_TRUE(recorded[0].command);
    EXPECT_EQ(recorded[0].bytes, read);
    EXPECT_FALSE(recorded[1].command);
    EXPECT_EQ(recorded[1].bytes, want);
    EXPECT_EQ(recorded[2].bytes, write);
    EXPECT_EQ(meter->RejectedCount(), 0u);
    EXPECT_EQ(meter->ReportCount(), 12u);
    meter->ClearRecorded();
    EXPECT_TRUE(meter->Recorded().empty());
}

TEST_F(SimMeterTest, BlockReadDeliversFourteenBytePieces) {
    Fill(0, 8192);
    for (std::uint16_t count : {8, 28, 29, 0}) {
        SCOPED_TRACE(count);
        const std::uint16_t start = 8192 - 29;
        ASSERT_TRUE(Send(BlockCommand(start, count)));
        std::uint32_t offset = 0;
        while (offset < count) {
            const std::uint32_t piece = std::min<std::uint32_t>(14, count - offset);
            Report want{};
            for (std::uint32_t i = 0; i < piece; ++i) {
                want[1 + i] = static_cast<std::uint8_t>((start + offset + i) * 7 + 3);
            }
            EXPECT_EQ(Fetch(), want);
            offset += piece;
        }
        EXPECT_FALSE(Fetch()) << "a reply beyond the block";
    }
    // The largest block the meter serves.
    ASSERT_TRUE(Send(BlockCommand(0, 3570)));
    for (int i = 0; i < 255; ++i) ASSERT_TRUE(Fetch());
    EXPECT_FALSE(Fetch());
    EXPECT_EQ(meter->RejectedCount(), 0u);
    EXPECT_EQ(meter->InterruptedCount(), 0u);
}

TEST_F(SimMeterTest, MalformedCommandsAreRefusedAndEndTheExchange) {
    meter->SetRecording(true);
    Report badId = Command(16, 0, 1);
    badId[0] = 1;
    Report badZero = Resealed(Command(16, 0, 1));
    badZero[1] = 1;
    Report badSum = Command(16, 0, 1);
    badSum[14] ^= 1;
    Report padded = BlockCommand(0, 8);
    padded[9] = 1;
    const std::map<std::string, Report> refused = {
        {"report id", badId},
        {"byte 1", badZero},
        {"checksum", badSum},
        {"unknown request", Command(17, 0, 1)},
        {"read length 0", Command(16, 0, 0)},
        {"read length 9", Command(16, 0, 9)},
        {"read past memory", Command(16, 8190, 3)},
        {"write past memory", Command(25, 8191, 2, {9, 9})},
        {"request 24 past memory", Command(24, 8188, 8)},
        {"clock address", Command(50, 1, 5, {0, 0, 0, 1, 1, 26})},
        {"clock length", Command(50, 0, 6, {0, 0, 0, 1, 1, 26})},
        {"clock month 13", Command(50, 0, 5, {0, 0, 0, 1, 13, 26})},
        {"clock 30 February", Command(50, 0, 5, {0, 0, 0, 30, 2, 26})},
        {"clock hour 24", Command(50, 0, 5, {0, 0, 24, 1, 1, 26})},
        {"block count", BlockCommand(0, 3571)},
        {"block past memory", BlockCommand(8000, 193)},
        {"block padding", Resealed(padded)},
    };
    const auto memoryBefore = meter->Memory();
    std::uint64_t rejected = 0;
    for (const auto& [name, report] : refused) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(Send(Command(16, 0, 1)));  // leaves a reply waiting
        EXPECT_FALSE(Send(report));
        EXPECT_EQ(meter->RejectedCount(), ++rejected);
        EXPECT_FALSE(Fetch()) << "the refused command must drop the waiting reply";
    }
    EXPECT_EQ(meter->Memory(), memoryBefore);
    EXPECT_FALSE(meter->ClockWasSet());
    // Refused commands are still on the record, as they were sent.
    EXPECT_EQ(meter->Recorded().back().bytes, refused.rbegin()->second);

    // Report lengths: one byte short or long is refused, both ways.
    std::array<std::uint8_t, 16> longer{};
    const Report ok = Command(16, 0, 1);
    std::copy(ok.begin(), ok.end(), longer.begin());
    EXPECT_FALSE(handle->SetFeature(longer.data(), 16));
    EXPECT_FALSE(handle->SetFeature(longer.data(), 14));
    ASSERT_TRUE(Send(ok));
    EXPECT_LT(handle->GetFeature(longer.data(), 14), 0);
    EXPECT_FALSE(Fetch()) << "a failed fetch ends the exchange";
    ASSERT_TRUE(Send(ok));
    Report wrongId{1};
    EXPECT_LT(handle->GetFeature(wrongId.data(), wrongId.size()), 0);

    // The edges of memory are served.
    EXPECT_TRUE(Send(Command(16, 8184, 8)));
    EXPECT_TRUE(Send(Command(25, 8191, 1, {7})));
    EXPECT_TRUE(Send(BlockCommand(8192 - 3570, 3570)));
    EXPECT_TRUE(Send(BlockCommand(8192, 0)));
    EXPECT_FALSE(Fetch());
    EXPECT_EQ(meter->Byte(8191), 7);
}

TEST_F(SimMeterTest, FeatureReportLengthAndProductIdCanBeChanged) {
    std::uint16_t vendor = 0, product = 0;
    ASSERT_TRUE(handle->GetAttributes(vendor, product));
    EXPECT_EQ(vendor, 0x03EB);
    EXPECT_EQ(product, 0x5603);
    meter->SetProductId(0x5604);
    ASSERT_TRUE(handle->GetAttributes(vendor, product));
    EXPECT_EQ(product, 0x5604);

    HidReportLengths lengths;
    ASSERT_TRUE(handle->GetReportLengths(lengths));
    EXPECT_EQ(lengths.input, 0);
    EXPECT_EQ(lengths.output, 0);
    EXPECT_EQ(lengths.feature, 15);
    meter->SetFeatureReportLength(16);
    ASSERT_TRUE(handle->GetReportLengths(lengths));
    EXPECT_EQ(lengths.feature, 16);
    EXPECT_FALSE(Send(Command(16, 0, 1)));
}

TEST_F(SimMeterTest, CommandsBeforeTheLastReplyCountAsInterrupted) {
    ASSERT_TRUE(Send(Command(16, 0, 1)));
    ASSERT_TRUE(Fetch());
    ASSERT_TRUE(Send(BlockCommand(0, 28)));
    ASSERT_TRUE(Fetch());
    ASSERT_TRUE(Fetch());
    ASSERT_TRUE(Send(BlockCommand(0, 0)));
    EXPECT_EQ(meter->InterruptedCount(), 0u);

    meter->SetByte(40, 0x40);
    ASSERT_TRUE(Send(BlockCommand(0, 28)));
    ASSERT_TRUE(Fetch());
    ASSERT_TRUE(Send(Command(16, 40, 1)));  // half a block left unread
    EXPECT_EQ(meter->InterruptedCount(), 1u);
    const auto reply = Fetch();
    ASSERT_TRUE(reply);
    EXPECT_EQ((*reply)[2], 16) << "the new command is served, not the rest of the block";
    EXPECT_EQ((*reply)[6], 0x40);
    EXPECT_FALSE(Fetch());

    ASSERT_TRUE(Send(Command(16, 0, 1)));
    EXPECT_FALSE(Send(Command(99, 0, 1)));
    EXPECT_EQ(meter->InterruptedCount(), 2u);
}

TEST_F(SimMeterTest, InjectedFaultsFailOneReportAndLeaveTheMeterReady) {
    meter->FailReport(2);
    meter->FailReport(3);
    ASSERT_TRUE(Send(Command(16, 0, 1)));
    EXPECT_FALSE(Fetch());                                            // report 2
    EXPECT_FALSE(Send(Command(16, 0, 1)));                            // report 3
    EXPECT_FALSE(Fetch()) << "nothing waits after a failed command";  // report 4: none pending
    ASSERT_TRUE(Send(Command(16, 0, 1)));
    EXPECT_TRUE(Fetch());
    EXPECT_EQ(meter->ReportCount(), 6u);
    EXPECT_EQ(meter->RejectedCount(), 0u);
    EXPECT_EQ(meter->InterruptedCount(), 0u);
}

// Latencies below and above what a sleep is trusted with: each report waits at least its
// latency, and the meter counts the time it really waited.
TEST_F(SimMeterTest, LatencyIsWaitedInFullAndCounted) {
    ASSERT_TRUE(Send(Command(16, 0, 1)));
    ASSERT_TRUE(Fetch());
    EXPECT_EQ(meter->WaitedTime().count(), 0);
    for (const auto latency : {std::chrono::microseconds(40), std::chrono::microseconds(3000)}) {
        SCOPED_TRACE(latency.count());
        meter->SetLatency(latency);
        const auto waitedBefore = meter->WaitedTime();
        const std::uint64_t reportsBefore = meter->ReportCount();
        for (int i = 0; i < 5; ++i) {
            ASSERT_TRUE(Send(Command(16, 0, 1)));
            ASSERT_TRUE(Fetch());
        }
        const std::uint64_t reports = meter->ReportCount() - reportsBefore;
        EXPECT_EQ(reports, 10u);
        EXPECT_GE(meter->WaitedTime() - waitedBefore, latency * reports);
    }
}

TEST_F(SimMeterTest, UnpluggedMeterComesBackUnderANewPathAndOldHandlesStayDead) {
    auto second = bus->Open(path);
    ASSERT_TRUE(second);
    EXPECT_EQ(bus->OpenHandles(), 2u);

    meter->UnplugAtReport(3, bus);
    ASSERT_TRUE(Send(BlockCommand(0, 28)));
    ASSERT_TRUE(Fetch());
    EXPECT_FALSE(Fetch());  // report 3
    EXPECT_FALSE(bus->IsPlugged(meter.get()));
    EXPECT_EQ(bus->PathOf(meter.get()), "");
    EXPECT_TRUE(bus->ListInterfaces()->empty());

    const std::string newPath = bus->Plug(meter);
    EXPECT_NE(newPath, path);
    EXPECT_EQ(bus->PathOf(meter.get()), newPath);
    EXPECT_FALSE(bus->Open(path)) << "the old node is gone";
    for (HidDevice* dead : {handle.get(), second.get()}) {
        std::uint16_t vendor, product;
        HidReportLengths lengths;
        EXPECT_FALSE(dead->GetAttributes(vendor, product));
        EXPECT_FALSE(dead->GetReportLengths(lengths));
        EXPECT_FALSE(dead->SetFeature(Command(16, 0, 1).data(), 15));
    }
    auto fresh = bus->Open(newPath);
    ASSERT_TRUE(fresh);
    const Report read = Command(16, 0, 1);
    EXPECT_TRUE(fresh->SetFeature(read.data(), read.size()));
    EXPECT_EQ(bus->OpenHandles(), 3u);
    handle.reset();
    second.reset();
    fresh.reset();
    EXPECT_EQ(bus->OpenHandles(), 0u);

    // Plain unplug, and a meter that is plugged in twice keeps its path.
    EXPECT_EQ(bus->Plug(meter), newPath);
    bus->Unplug(meter.get());
    bus->Unplug(meter.get());
    EXPECT_FALSE(bus->IsPlugged(meter.get()));
}

TEST(SimBusTest, PathsOrderAndFaultSwitches) {
    auto bus = std::make_shared<SimBus>();
    auto other = std::make_shared<SimBus>();
    auto keyboard = std::make_shared<OtherDevice>(0x046D, 0xC31C);
    auto meter = std::make_shared<SimMeter>();
    const std::string first = bus->Plug(keyboard);
    const std::string second = bus->Plug(meter);
    const std::string elsewhere = other->Plug(std::make_shared<SimMeter>());
    EXPECT_NE(first, second);
    EXPECT_NE(second, elsewhere) << "buses must not share paths";
    EXPECT_EQ(bus->ListInterfaces(), (std::vector<std::string>{first, second}));
    EXPECT_FALSE(bus->Open(elsewhere));
    EXPECT_FALSE(bus->Open(""));
    EXPECT_EQ(bus->Plug(nullptr), "");

    auto key = bus->Open(first);
    ASSERT_TRUE(key);
    const Report read = Command(16, 0, 1);
    EXPECT_FALSE(key->SetFeature(read.data(), read.size()));
    Report buffer{};
    EXPECT_LT(key->GetFeature(buffer.data(), buffer.size()), 0);

    EXPECT_TRUE(bus->Load());
    bus->SetLoadFails(true);
    EXPECT_FALSE(bus->Load());
    bus->SetListFails(true);
    EXPECT_FALSE(bus->ListInterfaces());
    bus->SetOpenFails(true);
    EXPECT_FALSE(bus->Open(second));
    EXPECT_EQ(bus->ListCalls(), 2u);
    EXPECT_EQ(bus->OpenCalls(), 4u);
    bus->SetListFails(false);
    bus->SetOpenFails(false);
    EXPECT_TRUE(bus->Open(second));
}

// The program's own link, over the simulated bus, reads and writes what the meter holds.
TEST(SimMeterLinkTest, TheProgramsLinkExchangesWithTheMeter) {
    auto bus = std::make_shared<SimBus>();
    auto meter = std::make_shared<SimMeter>(DemoMemoryImage());
    bus->Plug(std::make_shared<OtherDevice>(0x03EB, 0x2FF4));
    bus->Plug(meter);
    USB usb(bus);
    ASSERT_TRUE(usb.EnsureOpen());

    std::array<std::uint8_t, 8> header{};
    ASSERT_TRUE(usb.ReadBlock(memory::kHeaderAddress, 8, header.data()));
    const auto decoded = memory::DecodeHeader(header.data());
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->recordPointer, 120);
    EXPECT_EQ(decoded->recordCount, 250);

    std::uint8_t data[8] = {0};
    ASSERT_TRUE(usb.Transact(25, memory::kUnitAddress, 1, data));
    std::uint8_t back[8] = {0xFF};
    ASSERT_TRUE(usb.Transact(16, memory::kLanguageAddress, 2, back));
    EXPECT_EQ(back[0], 1);
    EXPECT_EQ(back[1], 0);
    EXPECT_EQ(meter->RejectedCount(), 0u);
    EXPECT_EQ(meter->InterruptedCount(), 0u);
}

// Several handles in several threads at once, while the bus changes around them.
TEST(SimMeterThreadTest, ConcurrentExchangesStayWhole) {
    auto bus = std::make_shared<SimBus>();
    auto meter = std::make_shared<SimMeter>();
    const std::string path = bus->Plug(meter);
    std::mutex exchange;  // one exchange at a time, as the program keeps it
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            auto device = bus->Open(path);
            if (!device) {
                ++wrong;
                return;
            }
            for (int i = 0; i < 200; ++i) {
                const auto value = static_cast<std::uint8_t>(t * 50 + i % 50);
                const auto address = static_cast<std::uint16_t>(1000 + t);
                const Report write = Command(25, address, 1, {value});
                const Report read = Command(16, address, 1);
                Report reply{};
                std::lock_guard<std::mutex> lock(exchange);
                if (!device->SetFeature(write.data(), 15) ||
                    device->GetFeature(reply.data(), 15) != 15 ||
                    !device->SetFeature(read.data(), 15) ||
                    device->GetFeature(reply.data(), 15) != 15 || reply[6] != value) {
                    ++wrong;
                }
            }
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < 100; ++i) {
            auto mouse = std::make_shared<OtherDevice>(0x046D, 0xC077);
            bus->Plug(mouse);
            bus->ListInterfaces();
            meter->Recorded();
            bus->Unplug(mouse.get());
        }
    });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(meter->InterruptedCount(), 0u);
    EXPECT_EQ(meter->ReportCount(), 4u * 200 * 4);
    EXPECT_EQ(bus->OpenHandles(), 0u);
}

// How the system says that a file, or a folder on the way to it, is not there.
#ifdef _WIN32
const std::string kNoFile = WindowsErrorText(ERROR_FILE_NOT_FOUND);
const std::string kNoFolder = WindowsErrorText(ERROR_PATH_NOT_FOUND);
#else
const std::string kNoFile = "No such file";
const std::string kNoFolder = "No such file";
#endif

class MemoryImageTest : public ::testing::Test {
protected:
    void SetUp() override {
        // A folder of its own, made here (create_directory fails on one that exists).
        std::random_device random;
        for (int attempt = 0; attempt < 100 && dir.empty(); ++attempt) {
            const fs::path candidate =
                fs::temp_directory_path() / ("tavex-image-" + std::to_string(random()));
            if (fs::create_directory(candidate)) dir = candidate;
        }
        ASSERT_FALSE(dir.empty());
    }
    void TearDown() override { fs::remove_all(dir); }
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    fs::path dir;
};

TEST_F(MemoryImageTest, OnlyFilesOfExactlyTheMemorySizeLoad) {
    MemoryImage image{};
    image[5] = 0x55;
    const auto untouched = image;
    std::string error;
    for (std::size_t size : {0u, 8191u, 8193u}) {
        const std::string file = (dir / ("size" + std::to_string(size))).string();
        std::ofstream(file, std::ios::binary) << std::string(size, '\x11');
        EXPECT_FALSE(LoadMemoryImage(file, image, error));
        EXPECT_NE(error.find(file), std::string::npos) << error;
        EXPECT_NE(error.find(std::to_string(size) + " bytes"), std::string::npos) << error;
        EXPECT_EQ(image, untouched);
    }
    const std::string missing = (dir / "missing.bin").string();
    EXPECT_FALSE(LoadMemoryImage(missing, image, error));
    EXPECT_NE(error.find(missing), std::string::npos) << error;
    EXPECT_NE(error.find(kNoFile), std::string::npos) << error;
    EXPECT_FALSE(LoadMemoryImage(dir.string(), image, error));
    EXPECT_NE(error.find(dir.string()), std::string::npos) << error;
    EXPECT_EQ(image, untouched);
}

TEST_F(MemoryImageTest, SaveReplacesWholeFilesAndLeavesNothingBehindOnFailure) {
    const std::string file = (dir / "meter.bin").string();
    std::ofstream(file) << "an older file";
    const MemoryImage demo = DemoMemoryImage();
    std::string error;
    ASSERT_TRUE(SaveMemoryImage(file, demo, error)) << error;
    MemoryImage loaded{};
    ASSERT_TRUE(LoadMemoryImage(file, loaded, error)) << error;
    EXPECT_EQ(loaded, demo);
    EXPECT_EQ(Entries(), std::vector<std::string>{"meter.bin"});

    const std::string inMissing = (dir / "no-such-dir" / "meter.bin").string();
    EXPECT_FALSE(SaveMemoryImage(inMissing, demo, error));
    EXPECT_NE(error.find(inMissing), std::string::npos) << error;
    EXPECT_NE(error.find(kNoFolder), std::string::npos) << error;

    // The rename fails over a directory; the written temporary file must go again.
    fs::create_directory(dir / "taken");
    std::ofstream(dir / "taken" / "inside") << "x";
    EXPECT_FALSE(SaveMemoryImage((dir / "taken").string(), demo, error));
    EXPECT_NE(error.find((dir / "taken").string()), std::string::npos) << error;
    EXPECT_EQ(Entries(), (std::vector<std::string>{"meter.bin", "taken"}));
    EXPECT_FALSE(SaveMemoryImage("", demo, error));
}

// Calendar steps written out by hand, to check the demo timestamps independently.
struct Stamp {
    int year, month, day, hour;
    bool operator==(const Stamp&) const = default;
};

Stamp HourEarlier(Stamp s) {
    static constexpr int kDays[13] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (--s.hour >= 0) return s;
    s.hour = 23;
    if (--s.day >= 1) return s;
    if (--s.month < 1) {
        s.month = 12;
        --s.year;
    }
    s.day = kDays[s.month] + (s.month == 2 && s.year % 4 == 0 ? 1 : 0);
    return s;
}

TEST(DemoMemoryImageTest, HoldsTwoHundredFiftyResultsWithThreeDamaged) {
    const MemoryImage image = DemoMemoryImage();
    EXPECT_EQ(image, DemoMemoryImage());
    EXPECT_EQ(image[2], 1);
    EXPECT_EQ(image[3], 0);
    EXPECT_EQ(image[100], Check(image.data() + 101, 4));
    EXPECT_EQ(image[101] << 8 | image[102], 120);
    EXPECT_EQ(image[103] << 8 | image[104], 250);

    std::vector<std::uint32_t> slots;
    for (std::uint32_t s = 120; s >= 1; --s) slots.push_back(s);
    for (std::uint32_t s = 1010; s >= 881; --s) slots.push_back(s);
    ASSERT_EQ(slots.size(), 250u);

    std::vector<bool> used(image.size(), false);
    used[2] = used[3] = true;
    for (int a = 100; a < 105; ++a) used[a] = true;

    Stamp expected{2026, 12, 1, 8};
    std::array<std::vector<double>, 24> byHour;
    std::set<int> values;
    for (std::size_t age = 0; age < slots.size(); ++age) {
        SCOPED_TRACE(age + 1);
        const std::uint32_t address = 105 + 8 * (slots[age] - 1);
        const std::uint8_t* bytes = image.data() + address;
        for (int i = 0; i < 8; ++i) used[address + i] = true;
        const int raw = bytes[0] << 8 | bytes[1];
        const double bq = raw * 8.5;
        EXPECT_GE(bq, 20.0);
        EXPECT_LE(bq, 400.0);
        byHour[static_cast<std::size_t>(expected.hour)].push_back(bq);
        values.insert(raw);

        const bool checkMatches = Check(bytes, 7) == bytes[7];
        EXPECT_EQ(checkMatches, age != 16);
        EXPECT_EQ(bytes[2], 0);
        EXPECT_EQ(bytes[3], age == 57 ? 24 : expected.hour);
        EXPECT_EQ(bytes[4], expected.day);
        EXPECT_EQ(bytes[5], age == 132 ? 13 : expected.month);
        EXPECT_EQ(bytes[6], expected.year % 100);
        if (age == 0) {
            EXPECT_EQ(expected, (Stamp{2026, 12, 1, 8}));
        }
        if (age == 249) {
            EXPECT_EQ(expected, (Stamp{2026, 11, 20, 23}));
        }
        expected = HourEarlier(expected);
    }
    for (std::size_t a = 0; a < image.size(); ++a) {
        if (!used[a]) {
            ASSERT_EQ(image[a], 0) << "stray byte at " << a;
        }
    }

    // Night air holds more radon than afternoon air, and the values are not a flat copy per hour.
    auto mean = [&](int from, int to) {
        double sum = 0;
        int n = 0;
        for (int h = from; h <= to; ++h) {
            for (double v : byHour[static_cast<std::size_t>(h)]) sum += v, ++n;
        }
        return sum / n;
    };
    EXPECT_GT(mean(1, 6), 1.5 * mean(13, 17));
    EXPECT_GT(values.size(), 20u);
}

}  // namespace
}  // namespace tavex::sim
