#include "instrument/sim/sim_meter.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "instrument/usb.h"

namespace tavex::sim {

namespace {

using memory::kMemorySize;

// A report laid out as the meter sees it: report ID, a zero byte, then the request.
constexpr std::size_t kCodeByte = 2;
constexpr std::size_t kDataByte = 6;
constexpr std::size_t kDataSize = 8;
constexpr std::size_t kChecksumByte = 14;
constexpr std::size_t kBlockPiece = 14;

// Recording is for tests; the cap only keeps a forgotten recorder from growing without end.
// When it is reached the older half goes.
constexpr std::size_t kMaxRecorded = 1 << 16;

void Keep(std::vector<WireReport>& recorded, const WireReport& report) {
    if (recorded.size() >= kMaxRecorded) {
        recorded.erase(recorded.begin(), recorded.begin() + kMaxRecorded / 2);
    }
    recorded.push_back(report);
}

bool LeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && LeapYear(year) ? 29 : kDays[month - 1];
}

// The meter keeps a calendar clock; it refuses a time that cannot exist rather than storing it.
bool ValidClock(const MeterClock& clock) {
    if (clock.seconds > 59 || clock.minutes > 59 || clock.hours > 23) return false;
    if (clock.year > 99) return false;
    if (clock.month < 1 || clock.month > 12) return false;
    return clock.day >= 1 && clock.day <= DaysInMonth(2000 + clock.year, clock.month);
}

}  // namespace

SimMeter::SimMeter() : productId_(kMeterProductId) {}

SimMeter::SimMeter(const MemoryImage& image) : memory_(image), productId_(kMeterProductId) {}

std::uint16_t SimMeter::VendorId() const {
    return kMeterVendorId;
}

std::uint16_t SimMeter::ProductId() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return productId_;
}

HidReportLengths SimMeter::ReportLengths() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return HidReportLengths{0, 0, featureLength_};
}

bool SimMeter::TakeFault(std::uint64_t number) {
    const auto it = failAt_.find(number);
    if (it == failAt_.end()) return false;
    failAt_.erase(it);
    return true;
}

void SimMeter::Delay() {
    std::chrono::nanoseconds latency;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        latency = latency_;
    }
    if (latency.count() <= 0) return;
    // A sleep wakes late by the system's timer slack (a tenth of a millisecond or more on Linux,
    // up to a scheduler tick on Windows), which would add a third to a 1 ms report. So the
    // sleep ends that much early, and the rest is spent watching the clock. The slack is
    // learnt from the sleeps themselves: it rises at once to a later wake-up and sinks slowly.
    using Clock = std::chrono::steady_clock;
    using std::chrono::nanoseconds;
    constexpr std::int64_t kMaxSlack = 20'000'000;
    const auto start = Clock::now();
    const auto end = start + latency;
    bool slept = false;
    for (auto now = start; now < end; now = Clock::now()) {
        const std::int64_t slack = sleepSlack_.load(std::memory_order_relaxed);
        const nanoseconds planned = end - now - nanoseconds(slack);
        if (planned.count() <= 0) continue;
        std::this_thread::sleep_for(planned);
        slept = true;
        const std::int64_t late =
            std::max<std::int64_t>(0, (Clock::now() - now - planned).count());
        sleepSlack_.store(late > slack ? std::min(late, kMaxSlack) : slack - (slack - late) / 16,
                          std::memory_order_relaxed);
    }
    // A wait spent wholly on the clock learns nothing of the sleeps: the slack sinks a little,
    // so that one late wake-up does not keep every later wait spinning.
    if (!slept) {
        const std::int64_t slack = sleepSlack_.load(std::memory_order_relaxed);
        sleepSlack_.store(slack - slack / 64, std::memory_order_relaxed);
    }
    const nanoseconds waited = Clock::now() - start;
    std::lock_guard<std::mutex> lock(mutex_);
    waited_ += waited;
}

bool SimMeter::UnplugsAt(std::uint64_t number, std::shared_ptr<SimBus>& bus) {
    if (number != unplugAt_) return false;
    unplugAt_ = 0;
    bus = unplugBus_.lock();
    unplugBus_.reset();
    return true;
}

bool SimMeter::OnSetFeature(const std::uint8_t* report, std::size_t length) {
    Delay();

    std::shared_ptr<SimBus> unplugFrom;
    bool ok = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::uint64_t number = ++reports_;
        // Any command report that arrives with replies still waiting starts over; the count is
        // how two exchanges mixed up on the device show.
        if (pending_ != Pending::None) ++interrupted_;
        pending_ = Pending::None;
        if (!UnplugsAt(number, unplugFrom) && !TakeFault(number)) {
            if (report && recording_) {
                WireReport seen{true, {}};
                std::memcpy(seen.bytes.data(), report, std::min(length, seen.bytes.size()));
                Keep(recorded_, seen);
            }
            const bool wellFormed = report && length == featureLength_ && length >= kReportSize;
            ok = wellFormed && HandleCommand(report);
            if (!ok) ++rejected_;
        }
    }
    // Outside the meter's lock: the bus takes its own.
    if (unplugFrom) unplugFrom->Unplug(this);
    return ok;
}

bool SimMeter::HandleCommand(const std::uint8_t* report) {
    if (report[0] != 0 || report[1] != 0) return false;
    if (USB::Checksum(report + kCodeByte, kChecksumByte - kCodeByte) != report[kChecksumByte]) {
        return false;
    }
    const std::uint8_t code = report[kCodeByte];
    const std::uint32_t address = static_cast<std::uint32_t>(report[3] << 8 | report[4]);
    const std::uint8_t* data = report + kDataByte;

    if (code == memory::kRequestBlockRead) {
        const std::uint32_t count = static_cast<std::uint32_t>(report[5] << 8 | report[6]);
        // The rest of a block-read command is padding; anything else there is a malformed command.
        if (std::any_of(report + 7, report + kChecksumByte,
                        [](std::uint8_t b) { return b != 0; })) {
            return false;
        }
        if (count > memory::kMaxBlockRead || address + count > kMemorySize) return false;
        blockAddress_ = address;
        blockRemaining_ = count;
        pending_ = count > 0 ? Pending::Block : Pending::None;
        return true;
    }

    const std::uint8_t length = report[5];
    if (code == memory::kRequestSetClock) {
        if (address != 0 || length != 5) return false;
        // The year travels in the data byte after the five counted ones.
        const MeterClock clock{data[0], data[1], data[2], data[3], data[4], data[5]};
        if (!ValidClock(clock)) return false;
        clock_ = clock;
        clockSet_ = true;
    } else if (code == memory::kRequestRead || code == memory::kRequestWrite ||
               code == memory::kRequestConnectStep || code == memory::kRequestHeaderPrelude) {
        if (length < 1 || length > kDataSize || address + length > kMemorySize) return false;
        if (code == memory::kRequestWrite) {
            std::memcpy(memory_.data() + address, data, length);
        }
    } else {
        return false;
    }

    // The reply echoes the request. A read answers from memory, reading on past the requested
    // bytes as far as memory goes; the bytes beyond that, and the data of a write or clock
    // request, are the bytes sent.
    reply_.fill(0);
    std::memcpy(reply_.data() + kCodeByte, report + kCodeByte, 4);
    std::memcpy(reply_.data() + kDataByte, data, kDataSize);
    const bool read = code == memory::kRequestRead || code == memory::kRequestConnectStep ||
                      code == memory::kRequestHeaderPrelude;
    if (read) {
        const std::size_t available = std::min<std::size_t>(kDataSize, kMemorySize - address);
        std::memcpy(reply_.data() + kDataByte, memory_.data() + address, available);
    }
    reply_[kChecksumByte] = USB::Checksum(reply_.data() + kCodeByte, kChecksumByte - kCodeByte);
    pending_ = Pending::Reply;
    return true;
}

int SimMeter::OnGetFeature(std::uint8_t* report, std::size_t length) {
    Delay();

    std::shared_ptr<SimBus> unplugFrom;
    int delivered = -1;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::uint64_t number = ++reports_;
        if (UnplugsAt(number, unplugFrom) || TakeFault(number)) {
            pending_ = Pending::None;
        } else if (!report || length != featureLength_ || length < kReportSize || report[0] != 0) {
            // A fetch the meter cannot answer ends the exchange.
            pending_ = Pending::None;
        } else if (pending_ != Pending::None) {
            std::array<std::uint8_t, kReportSize> out{};
            std::size_t bytes = length;
            if (pending_ == Pending::Reply) {
                out = reply_;
                pending_ = Pending::None;
            } else {
                const std::uint32_t piece = std::min<std::uint32_t>(blockRemaining_, kBlockPiece);
                std::memcpy(out.data() + 1, memory_.data() + blockAddress_, piece);
                blockAddress_ += piece;
                blockRemaining_ -= piece;
                if (blockRemaining_ == 0) {
                    pending_ = Pending::None;
                    if (shortLastPiece_) bytes = 1 + piece;
                }
            }
            const auto cut = cutAt_.find(number);
            if (cut != cutAt_.end()) {
                bytes = std::min(bytes, cut->second);
                cutAt_.erase(cut);
            }
            // Only the bytes delivered reach the buffer; a full report is padded with zeros.
            if (bytes == length) std::memset(report, 0, length);
            std::memcpy(report, out.data(), std::min(bytes, out.size()));
            if (recording_) {
                if (bytes < out.size()) std::fill(out.begin() + bytes, out.end(), 0);
                Keep(recorded_, WireReport{false, out});
            }
            delivered = static_cast<int>(bytes);
        }
    }
    if (unplugFrom) unplugFrom->Unplug(this);
    return delivered;
}

MemoryImage SimMeter::Memory() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return memory_;
}

void SimMeter::SetMemory(const MemoryImage& image) {
    std::lock_guard<std::mutex> lock(mutex_);
    memory_ = image;
}

std::uint8_t SimMeter::Byte(std::uint32_t address) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return address < kMemorySize ? memory_[address] : 0;
}

void SimMeter::SetByte(std::uint32_t address, std::uint8_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (address < kMemorySize) memory_[address] = value;
}

MeterClock SimMeter::Clock() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return clock_;
}

bool SimMeter::ClockWasSet() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return clockSet_;
}

void SimMeter::SetProductId(std::uint16_t product) {
    std::lock_guard<std::mutex> lock(mutex_);
    productId_ = product;
}

void SimMeter::SetFeatureReportLength(std::uint16_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
    featureLength_ = length;
}

void SimMeter::SetLatency(std::chrono::microseconds latency) {
    std::lock_guard<std::mutex> lock(mutex_);
    latency_ = latency;
}

void SimMeter::FailReport(std::uint64_t number) {
    std::lock_guard<std::mutex> lock(mutex_);
    failAt_.insert(number);
}

void SimMeter::UnplugAtReport(std::uint64_t number, std::weak_ptr<SimBus> bus) {
    std::lock_guard<std::mutex> lock(mutex_);
    unplugAt_ = number;
    unplugBus_ = std::move(bus);
}

void SimMeter::CutReplyAt(std::uint64_t number, std::size_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    cutAt_[number] = bytes;
}

void SimMeter::SetShortLastPiece(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    shortLastPiece_ = on;
}

std::uint64_t SimMeter::ReportCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return reports_;
}

std::chrono::nanoseconds SimMeter::WaitedTime() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return waited_;
}

std::uint64_t SimMeter::RejectedCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return rejected_;
}

std::uint64_t SimMeter::InterruptedCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return interrupted_;
}

void SimMeter::SetRecording(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    recording_ = on;
}

std::vector<WireReport> SimMeter::Recorded() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return recorded_;
}

void SimMeter::ClearRecorded() {
    std::lock_guard<std::mutex> lock(mutex_);
    recorded_.clear();
}

}  // namespace tavex::sim
