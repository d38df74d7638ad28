#include "instrument/protokol.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "instrument/memory_map.h"
#include "instrument/platform_thread.h"
#include "instrument/sim/sim_bus.h"
#include "instrument/sim/sim_meter.h"

namespace tavex {
namespace {

using sim::SimBus;
using sim::SimMeter;

struct Request {
    std::uint8_t code;
    std::uint16_t address;
    std::uint16_t length;  // the block read's count for request 23
    bool operator==(const Request&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Request& r) {
    return os << "{" << int(r.code) << ", " << r.address << ", " << r.length << "}";
}

std::vector<Request> Requests(const SimMeter& meter) {
    std::vector<Request> requests;
    for (const auto& report : meter.Recorded()) {
        if (!report.command) continue;
        const auto& b = report.bytes;
        const std::uint16_t address = static_cast<std::uint16_t>(b[3] << 8 | b[4]);
        const std::uint16_t length =
            b[2] == 23 ? static_cast<std::uint16_t>(b[5] << 8 | b[6]) : b[5];
        requests.push_back({b[2], address, length});
    }
    return requests;
}

// A memory with a valid header (pointer and count as given), language and unit bytes, and
// every slot filled with a record that names its slot in its raw value.
sim::MemoryImage MemoryWith(std::uint16_t pointer, std::uint16_t count, std::uint8_t language = 1,
                            std::uint8_t unit = 0) {
    sim::MemoryImage image{};
    image[memory::kLanguageAddress] = language;
    image[memory::kUnitAddress] = unit;
    const auto header = memory::EncodeHeader({pointer, count});
    std::copy(header.begin(), header.end(), image.begin() + memory::kHeaderAddress);
    for (std::uint32_t slot = 1; slot <= memory::kSlotCount; ++slot) {
        memory::StoredRecord record;
        record.raw = static_cast<std::uint16_t>(slot);
        record.minutes = 30;
        record.hours = 12;
        record.day = 6;
        record.month = 12;
        record.year = 26;
        const auto bytes = memory::EncodeRecord(record);
        std::copy(bytes.begin(), bytes.end(), image.begin() + memory::SlotAddress(slot));
    }
    return image;
}

std::uint16_t SlotNamedBy(const std::uint8_t* record) {
    return static_cast<std::uint16_t>(record[0] << 8 | record[1]);
}

LocalDateTime FixedTime() {
    return {2026, 12, 6, 21, 5, 9};
}

class ProtokolTest : public ::testing::Test {
protected:
    std::shared_ptr<SimBus> bus = std::make_shared<SimBus>();
    std::shared_ptr<SimMeter> meter = std::make_shared<SimMeter>(MemoryWith(300, 250));
    std::shared_ptr<TForm2> form = TForm2::Create(bus, FixedTime);

    void SetUp() override {
        meter->SetRecording(true);
        form->FormCreate();
    }
    void TearDown() override {
        EXPECT_TRUE(form->WaitForExchangeThreads(std::chrono::seconds(10)));
    }

    void Poll() {
        form->Timer1Timer();
        ASSERT_TRUE(form->WaitForExchangeThreads(std::chrono::seconds(10)));
    }
    void Connect() {
        bus->Plug(meter);
        Poll();
        ASSERT_EQ(form->connected.load(), 1);
        meter->ClearRecorded();
    }
    void ReadRecords(std::uint8_t* buffer, unsigned n) {
        form->ReadRecords(buffer, n);
        form->WaitWhileBusy();
        ASSERT_TRUE(form->WaitForExchangeThreads(std::chrono::seconds(10)));
    }
};

TEST_F(ProtokolTest, WithoutAMeterNothingButThePollRuns) {
    EXPECT_EQ(form->Timer1.Interval.load(), 1000);
    EXPECT_TRUE(form->Timer1.Enabled.load());
    form->headerStatus.store(kHeaderValid);
    Poll();
    Poll();
    EXPECT_EQ(form->connected.load(), 0);
    EXPECT_EQ(form->linkLost.load(), 1);
    EXPECT_EQ(form->busy.load(), 0);
    EXPECT_EQ(form->headerStatus.load(), kHeaderValid);

    const std::size_t searches = bus->ListCalls();
    std::uint8_t buffer[8 * 5];
    form->ReadMemoryHeader();
    form->ClearMemory();
    form->SetInstrumentClock();
    form->ReadRecords(buffer, 5);
    EXPECT_FALSE(form->ReadMemoryImage(nullptr));
    ASSERT_TRUE(form->WaitForExchangeThreads(std::chrono::seconds(10)));
    EXPECT_EQ(bus->ListCalls(), searches);  // no command thread looked for the meter
    EXPECT_EQ(form->headerStatus.load(), kHeaderValid);
}

TEST_F(ProtokolTest, ConnectSequenceReadsSettingsAndHeader) {
    bus->Plug(meter);
    Poll();
    EXPECT_EQ(form->connected.load(), 1);
    EXPECT_EQ(form->settingsRead.load(), 1);
    EXPECT_EQ(form->busy.load(), 0);
    EXPECT_EQ(form->headerRead.load(), 0);
    EXPECT_EQ(form->instrumentLanguage.load(), 1);
    EXPECT_EQ(form->instrumentUnit.load(), 0);
    EXPECT_EQ(form->recordCapacity.load(), 2u);  // memory-size code 0: 128 bytes
    EXPECT_EQ(form->headerStatus.load(), kHeaderValid);
    EXPECT_EQ(form->recordPointer.load(), 300u);
    EXPECT_EQ(form->recordCount.load(), 250u);
    const std::vector<Request> expected = {{16, 14, 1}, {16, 2, 2},  {16, 7, 1},
                                           {8, 1, 4},   {24, 24, 8}, {23, 100, 8}};
    EXPECT_EQ(Requests(*meter), expected);

    // Connected: the next poll is a single request.
    meter->ClearRecorded();
    Poll();
    EXPECT_EQ(Requests(*meter), (std::vector<Request>{{16, 14, 1}}));
}

TEST_F(ProtokolTest, OutOfRangeLanguageAndUnitAreStoredAsZero) {
    meter->SetByte(memory::kLanguageAddress, 7);
    meter->SetByte(memory::kUnitAddress, 2);
    Connect();
    EXPECT_EQ(form->instrumentLanguage.load(), 0);
    EXPECT_EQ(form->instrumentUnit.load(), 0);

    meter->SetByte(memory::kUnitAddress, 1);
    bus->Unplug(meter.get());
    Poll();
    EXPECT_EQ(form->connected.load(), 0);
    bus->Plug(meter);
    Poll();
    EXPECT_EQ(form->connected.load(), 1);
    EXPECT_EQ(form->instrumentUnit.load(), 1);
}

TEST_F(ProtokolTest, MemoryHeaderChecksumAndPointerRange) {
    Connect();
    const std::uint8_t good[] = {0xF6, 0x01, 0x02, 0x03, 0x04};
    for (int k = 0; k < 5; ++k) meter->SetByte(100 + k, good[k]);
    form->ReadMemoryHeader();
    EXPECT_EQ(form->headerStatus.load(), kHeaderValid);
    EXPECT_EQ(form->recordPointer.load(), 258u);
    EXPECT_EQ(form->recordCount.load(), 772u);

    meter->SetByte(100, 0xF5);
    form->ReadMemoryHeader();
    EXPECT_EQ(form->headerStatus.load(), kHeaderInvalid);
    EXPECT_EQ(form->recordPointer.load(), 258u);
    EXPECT_EQ(form->recordCount.load(), 772u);

    // A pointer beyond the ring is refused even with a matching check byte.
    for (std::uint16_t pointer : {1011, 0xFFFF}) {
        const auto header = memory::EncodeHeader({pointer, 5});
        for (int k = 0; k < 5; ++k) meter->SetByte(100 + k, header[k]);
        form->ReadMemoryHeader();
        EXPECT_EQ(form->headerStatus.load(), kHeaderInvalid);
        EXPECT_EQ(form->recordPointer.load(), 258u);
    }
    const auto edge = memory::EncodeHeader({1010, 1010});
    for (int k = 0; k < 5; ++k) meter->SetByte(100 + k, edge[k]);
    form->ReadMemoryHeader();
    EXPECT_EQ(form->headerStatus.load(), kHeaderValid);
    EXPECT_EQ(form->recordPointer.load(), 1010u);
    EXPECT_EQ(form->connected.load(), 1);
}

TEST_F(ProtokolTest, ClearMemoryRewritesTheHeaderInOneRequest) {
    Connect();
    form->ClearMemory();
    form->WaitWhileBusy();
    EXPECT_TRUE(form->LastCommandSucceeded());
    EXPECT_EQ(form->recordCount.load(), 0u);
    EXPECT_EQ(Requests(*meter), (std::vector<Request>{{25, 100, 5}}));
    const std::uint8_t expected[] = {0xD3, 0x01, 0x2C, 0x00, 0x00};
    for (int k = 0; k < 5; ++k) EXPECT_EQ(meter->Byte(100 + k), expected[k]) << k;
    EXPECT_EQ(meter->Byte(105), MemoryWith(300, 250)[105]);  // records stay

    form->ReadMemoryHeader();
    EXPECT_EQ(form->headerStatus.load(), kHeaderValid);
    EXPECT_EQ(form->recordPointer.load(), 300u);
    EXPECT_EQ(form->recordCount.load(), 0u);
}

TEST_F(ProtokolTest, SetInstrumentClockSendsTheSixClockBytes) {
    Connect();
    form->SetInstrumentClock();
    EXPECT_TRUE(form->LastCommandSucceeded());
    const auto recorded = meter->Recorded();
    ASSERT_FALSE(recorded.empty());
    const auto& bytes = recorded.front().bytes;
    EXPECT_EQ(bytes[2], 50);
    EXPECT_EQ(bytes[3], 0);
    EXPECT_EQ(bytes[4], 0);
    EXPECT_EQ(bytes[5], 5);
    const std::uint8_t clock[] = {9, 5, 21, 6, 12, 26};
    for (int k = 0; k < 6; ++k) EXPECT_EQ(bytes[6 + k], clock[k]) << k;
    EXPECT_EQ(meter->Clock(), (sim::MeterClock{9, 5, 21, 6, 12, 26}));
    EXPECT_EQ(form->LastClockSent(), FixedTime());
}

TEST_F(ProtokolTest, ReadRecordsWalksTheRingBackwards) {
    Connect();
    std::vector<std::uint8_t> buffer(8 * 254);

    form->recordPointer.store(10);
    ReadRecords(buffer.data(), 5);
    EXPECT_EQ(Requests(*meter), (std::vector<Request>{{23, 145, 40}}));
    for (int k = 0; k < 5; ++k) EXPECT_EQ(SlotNamedBy(&buffer[8 * k]), 6 + k);
    EXPECT_EQ(form->recordPointer.load(), 5u);

    meter->ClearRecorded();
    ReadRecords(buffer.data(), 5);
    EXPECT_EQ(Requests(*meter), (std::vector<Request>{{23, 105, 40}}));
    EXPECT_EQ(form->recordPointer.load(), 1010u);

    // Wrapping: slots 1009, 1010 then 1..3, oldest first.
    meter->ClearRecorded();
    form->recordPointer.store(3);
    ReadRecords(buffer.data(), 5);
    EXPECT_EQ(Requests(*meter), (std::vector<Request>{{23, 105, 24}, {23, 8169, 16}}));
    const int wrapped[] = {1009, 1010, 1, 2, 3};
    for (int k = 0; k < 5; ++k) EXPECT_EQ(SlotNamedBy(&buffer[8 * k]), wrapped[k]);
    EXPECT_EQ(form->recordPointer.load(), 1008u);

    // Up to 254 records, across the wrap; a pointer of 0 counts as slot 1.
    form->recordPointer.store(0);
    ReadRecords(buffer.data(), 254);
    for (int k = 0; k < 254; ++k) {
        const int expected = k == 253 ? 1 : 1010 - 252 + k;
        ASSERT_EQ(SlotNamedBy(&buffer[8 * k]), expected) << k;
    }
    EXPECT_EQ(form->recordPointer.load(), 1010u - 253u);

    form->recordPointer.store(254);
    ReadRecords(buffer.data(), 254);
    EXPECT_EQ(SlotNamedBy(&buffer[0]), 1);
    EXPECT_EQ(SlotNamedBy(&buffer[8 * 253]), 254);
    EXPECT_EQ(form->recordPointer.load(), 1010u);
    EXPECT_EQ(form->connected.load(), 1);
}

// A host learns of the end of a poll, a record read and a clearing on the exchange thread, with
// the busy flag already free; of nothing else, and of nothing once the notice is taken away.
TEST_F(ProtokolTest, TheEndOfAPollAReadOrAClearingIsNoticed) {
    std::mutex mutex;
    std::vector<std::uint8_t> noticed;  // the busy flag as each notice saw it
    form->SetCommandEndNotice([&] {
        std::lock_guard<std::mutex> lock(mutex);
        noticed.push_back(form->busy.load());
    });
    auto count = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return noticed.size();
    };
    Connect();  // one poll, whose connect sequence runs four commands of its own
    EXPECT_EQ(count(), 1u);
    std::uint8_t buffer[8 * 3];
    ReadRecords(buffer, 3);
    EXPECT_EQ(count(), 2u);
    form->ReadMemoryHeader();
    form->SetInstrumentClock();
    ASSERT_TRUE(form->WaitForExchangeThreads(std::chrono::seconds(10)));
    EXPECT_EQ(count(), 2u);
    form->ClearMemory();
    ASSERT_TRUE(form->WaitForExchangeThreads(std::chrono::seconds(10)));
    EXPECT_EQ(count(), 3u);
    bus->Unplug(meter.get());
    Poll();
    EXPECT_EQ(count(), 4u);
    form->SetCommandEndNotice({});
    Poll();
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(noticed, (std::vector<std::uint8_t>{0, 0, 0, 0}));
}

TEST_F(ProtokolTest, TransferRangeSplitsIntoRequestsOfEightBytes) {
    Connect();
    std::uint8_t data[24] = {};
    ASSERT_TRUE(form->TransferRange(200, 220, 16, data));
    EXPECT_EQ(Requests(*meter), (std::vector<Request>{{16, 200, 8}, {16, 208, 8}, {16, 216, 4}}));
    const auto image = MemoryWith(300, 250);
    for (int k = 0; k < 20; ++k) EXPECT_EQ(data[k], image[200 + k]) << k;
    EXPECT_EQ(data[20], 0);

    meter->ClearRecorded();
    EXPECT_TRUE(form->TransferRange(100, 100, 16, data));
    EXPECT_TRUE(Requests(*meter).empty());
}

TEST_F(ProtokolTest, UnplugDuringARecordReadMarksTheLinkLost) {
    Connect();
    std::vector<std::uint8_t> buffer(8 * 105);
    meter->UnplugAtReport(meter->ReportCount() + 20, bus);
    ReadRecords(buffer.data(), 105);
    EXPECT_EQ(form->connected.load(), 0);
    EXPECT_EQ(form->linkLost.load(), 1);
    EXPECT_EQ(form->busy.load(), 0);
    EXPECT_EQ(form->recordPointer.load(), 300u);  // not moved by a failed read
    EXPECT_FALSE(form->LastCommandSucceeded());

    // Back under a new path. The block read left the dead handle open, so the next poll fails
    // on it and closes it; the one after finds the meter again and connects.
    bus->Plug(meter);
    Poll();
    EXPECT_EQ(form->connected.load(), 0);
    Poll();
    EXPECT_EQ(form->connected.load(), 1);
    EXPECT_EQ(form->headerStatus.load(), kHeaderValid);
}

TEST_F(ProtokolTest, FailureInsideTheConnectSequenceLeavesItUnconnected) {
    bus->Plug(meter);
    // Reports 1 and 2 are the poll; 3 is the command report of the language read.
    meter->FailReport(3);
    Poll();
    EXPECT_EQ(form->connected.load(), 0);
    EXPECT_EQ(form->linkLost.load(), 1);
    EXPECT_EQ(form->busy.load(), 0);
    EXPECT_EQ(form->headerRead.load(), 0);

    Poll();
    EXPECT_EQ(form->connected.load(), 1);
    EXPECT_EQ(form->instrumentLanguage.load(), 1);
    EXPECT_EQ(form->headerStatus.load(), kHeaderValid);
}

TEST_F(ProtokolTest, ReadMemoryImageTakesSettingsHeaderAndRing) {
    Connect();
    meter->SetByte(50, 0x77);  // not part of an image
    sim::MemoryImage image{};
    image.fill(0xEE);
    ASSERT_TRUE(form->ReadMemoryImage(image.data()));
    const sim::MemoryImage memory = meter->Memory();
    for (std::uint32_t a = 0; a < memory::kMemorySize; ++a) {
        const bool kept = a == 2 || a == 3 || (a >= memory::kHeaderAddress && a < memory::kRingEnd);
        ASSERT_EQ(image[a], kept ? memory[a] : 0) << a;
    }
    EXPECT_EQ(form->recordPointer.load(), 300u);
}

// The header read is not guarded by the busy flag, so it runs beside polls: the two must not
// disturb each other's reports or data.
TEST_F(ProtokolTest, HeaderReadsBesidePollsStayConsistent) {
    Connect();
    meter->SetRecording(false);
    meter->SetLatency(std::chrono::microseconds(30));
    std::atomic<bool> stop{false};
    std::thread poller([&] {
        while (!stop.load()) {
            form->Timer1Timer();
            std::this_thread::yield();
        }
    });
    for (int k = 0; k < 40; ++k) {
        form->ReadMemoryHeader();
        ASSERT_EQ(form->headerStatus.load(), kHeaderValid) << k;
        ASSERT_EQ(form->recordPointer.load(), 300u);
    }
    stop.store(true);
    poller.join();
    EXPECT_EQ(meter->InterruptedCount(), 0u);
    EXPECT_EQ(meter->RejectedCount(), 0u);
    EXPECT_EQ(form->connected.load(), 1);
}

// A poll fails while a header read waits for the device: the header read must not turn into
// the connect sequence (its caller would go on before it ended); the next poll reconnects.
TEST_F(ProtokolTest, HeaderReadBesideAFailingPollWaitsForItsResult) {
    Connect();
    meter->SetRecording(false);
    meter->SetLatency(std::chrono::milliseconds(50));
    // The poll's reply fails. Once its command report has reached the meter the poll holds the
    // link, and the header read started now has to wait for it.
    const auto before = meter->ReportCount();
    meter->FailReport(before + 2);
    form->Timer1Timer();
    while (meter->ReportCount() == before) std::this_thread::yield();
    form->ReadMemoryHeader();
    const auto status = form->headerStatus.load();
    // Nothing more reaches the meter once the read has returned (a connect sequence would).
    const auto reportsAtReturn = meter->ReportCount();
    meter->SetLatency(std::chrono::microseconds(0));
    ASSERT_TRUE(form->WaitForExchangeThreads(std::chrono::seconds(10)));
    EXPECT_EQ(meter->ReportCount(), reportsAtReturn);
    EXPECT_EQ(status, kHeaderValid);
    Poll();
    EXPECT_EQ(form->connected.load(), 1);
}

// Another program holds the meter: a header read (which the window waits for) and polls give
// up after the lock wait and say why; once the other program lets go, the next poll connects.
TEST_F(ProtokolTest, AMeterHeldByAnotherProgramIsInUse) {
    using namespace std::chrono;
    bus->SetShared(true);
    Connect();
    EXPECT_FALSE(form->MeterInUse());
    form->Usb().SetLockWait(milliseconds(40));
    auto holder = bus->OpenDeviceLock(bus->PathOf(meter.get()));
    ASSERT_EQ(holder->TryLock(), HidDeviceLock::Result::kHeld);
    const auto reports = meter->ReportCount();

    const auto start = steady_clock::now();
    form->ReadMemoryHeader();
    EXPECT_LT(steady_clock::now() - start, seconds(2));
    EXPECT_EQ(form->headerStatus.load(), kHeaderInvalid);
    EXPECT_TRUE(form->MeterInUse());
    EXPECT_EQ(form->connected.load(), 0);
    Poll();
    EXPECT_TRUE(form->MeterInUse());
    EXPECT_EQ(form->connected.load(), 0);
    EXPECT_EQ(meter->ReportCount(), reports);

    holder.reset();
    Poll();
    EXPECT_FALSE(form->MeterInUse());
    EXPECT_EQ(form->connected.load(), 1);
}

// The meter may end the header's block read with a short report. A reply cut before the last
// byte asked for is no header at all: here its missing count bytes, read as zeros, would even
// pass the check byte as a valid header of no results.
TEST_F(ProtokolTest, HeaderReplyMayBeShortButNotCut) {
    const auto header = memory::EncodeHeader({300, 0xFF01});
    for (int k = 0; k < 5; ++k) meter->SetByte(memory::kHeaderAddress + k, header[k]);
    meter->SetShortLastPiece(true);
    Connect();
    EXPECT_EQ(form->headerStatus.load(), kHeaderValid);
    EXPECT_EQ(form->recordCount.load(), 0xFF01u);

    // Reports of a header read: request 24 and its reply, the block read and its one reply.
    meter->CutReplyAt(meter->ReportCount() + 4, 4);
    form->ReadMemoryHeader();
    EXPECT_EQ(form->headerStatus.load(), kHeaderInvalid);
    EXPECT_EQ(form->recordCount.load(), 0xFF01u);
}

// The form may be dropped while a command still runs: the thread keeps what it uses alive.
TEST(ProtokolLifetime, DroppingTheFormDuringACommandIsSafe) {
    auto bus = std::make_shared<SimBus>();
    auto meter = std::make_shared<SimMeter>(MemoryWith(500, 500));
    bus->Plug(meter);
    auto form = TForm2::Create(bus, FixedTime);
    form->FormCreate();
    form->Timer1Timer();
    ASSERT_TRUE(form->WaitForExchangeThreads(std::chrono::seconds(10)));
    ASSERT_EQ(form->connected.load(), 1);
    meter->SetLatency(std::chrono::microseconds(200));
    std::vector<std::uint8_t> buffer(8 * 105);
    std::weak_ptr<TForm2> watch = form;
    form->ReadRecords(buffer.data(), 105);
    form.reset();
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!watch.expired() && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(watch.expired());
    // The expired count orders nothing (a relaxed read): the buffer the read wrote goes only
    // once the thread has ended.
    EXPECT_TRUE(WaitForDetachedThreadsToEnd(std::chrono::seconds(10)));
}

}  // namespace
}  // namespace tavex
