#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "instrument/memory_map.h"
#include "instrument/sim/memory_image.h"
#include "instrument/sim/sim_bus.h"

namespace tavex::sim {

// The meter's clock as it was last set: seconds, minutes, hours, day, month, year % 100.
struct MeterClock {
    std::uint8_t seconds = 0;
    std::uint8_t minutes = 0;
    std::uint8_t hours = 0;
    std::uint8_t day = 1;
    std::uint8_t month = 1;
    std::uint8_t year = 0;
    bool operator==(const MeterClock&) const = default;
};

// One report as the meter saw it, for tests that check the bytes on the wire.
struct WireReport {
    bool command;  // true: a command report; false: a reply fetched
    std::array<std::uint8_t, 15> bytes;
};

// The simulated meter: answers the meter's feature-report protocol byte for byte over an
// 8192-byte data memory (requests 8, 16, 23, 24, 25) and a clock (request 50), and refuses any
// report a strict device would refuse.
class SimMeter : public SimDevice {
public:
    SimMeter();
    explicit SimMeter(const MemoryImage& image);

    std::uint16_t VendorId() const override;
    std::uint16_t ProductId() const override;
    HidReportLengths ReportLengths() const override;
    bool OnSetFeature(const std::uint8_t* report, std::size_t length) override;
    int OnGetFeature(std::uint8_t* report, std::size_t length) override;

    // Memory access for tests and the demo.
    MemoryImage Memory() const;
    void SetMemory(const MemoryImage& image);
    std::uint8_t Byte(std::uint32_t address) const;
    void SetByte(std::uint32_t address, std::uint8_t value);
    MeterClock Clock() const;
    bool ClockWasSet() const;

    // Settings: the product ID (another product of the vendor), the feature report length the
    // device reports (a wrong one for fault tests).
    void SetProductId(std::uint16_t product);
    void SetFeatureReportLength(std::uint16_t length);

    // Wait this long in every report, to make transfers take the time a real device takes.
    // The wait is kept closely (a sleep for most of it, then a spin on the clock), never short.
    void SetLatency(std::chrono::microseconds latency);

    // Fault injection. Reports are counted from 1 over command and reply reports alike.
    void FailReport(std::uint64_t number);
    // The report with this number fails and the meter is pulled off the bus it is plugged into.
    void UnplugAtReport(std::uint64_t number, std::weak_ptr<SimBus> bus);
    // The reply report with this number delivers only its first bytes (report ID counted).
    void CutReplyAt(std::uint64_t number, std::size_t bytes);
    // The last reply of a block read carries only the bytes left (a shorter report) instead
    // of a full report padded with zeros; off by default.
    void SetShortLastPiece(bool on);

    // What the meter saw.
    std::uint64_t ReportCount() const;
    std::uint64_t RejectedCount() const;
    // Command reports that arrived before all replies of the previous command had been fetched.
    std::uint64_t InterruptedCount() const;
    // The time all reports so far have really spent in their latency waits.
    std::chrono::nanoseconds WaitedTime() const;
    // Keep the last reports seen (off by default; on for tests that check wire bytes).
    void SetRecording(bool on);
    std::vector<WireReport> Recorded() const;
    void ClearRecorded();

private:
    bool TakeFault(std::uint64_t number);
    // Waits for the latency of one report, outside any lock.
    void Delay();
    // Under the lock: whether this report is the one the meter is pulled out at; bus is then
    // the bus to leave, once the lock is given up.
    bool UnplugsAt(std::uint64_t number, std::shared_ptr<SimBus>& bus);
    bool HandleCommand(const std::uint8_t* report);

    mutable std::mutex mutex_;
    MemoryImage memory_{};
    MeterClock clock_;
    bool clockSet_ = false;
    std::uint16_t productId_;
    std::uint16_t featureLength_ = 15;
    std::chrono::microseconds latency_{0};
    std::chrono::nanoseconds waited_{0};
    // How late a sleep has lately woken, in nanoseconds: the part of a wait left to the spin.
    std::atomic<std::int64_t> sleepSlack_{250'000};

    // Pending reply: a small request's reply report, or the rest of a block read.
    enum class Pending { None, Reply, Block } pending_ = Pending::None;
    std::array<std::uint8_t, 15> reply_{};
    std::uint32_t blockAddress_ = 0;
    std::uint32_t blockRemaining_ = 0;

    std::uint64_t reports_ = 0;
    std::uint64_t rejected_ = 0;
    std::uint64_t interrupted_ = 0;
    std::set<std::uint64_t> failAt_;
    std::map<std::uint64_t, std::size_t> cutAt_;
    bool shortLastPiece_ = false;
    std::uint64_t unplugAt_ = 0;
    std::weak_ptr<SimBus> unplugBus_;
    bool recording_ = false;
    std::vector<WireReport> recorded_;
};

}  // namespace tavex::sim
