#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "instrument/hid_platform.h"

namespace tavex {

inline constexpr std::uint16_t kMeterVendorId = 0x03EB;
inline constexpr std::uint16_t kMeterProductId = 0x5603;
// Report ID byte plus 14 payload bytes: the size of every report buffer.
inline constexpr std::size_t kReportSize = 15;
// How long an exchange waits for another program to let go of the meter by default.
inline constexpr std::chrono::milliseconds kDefaultLockWait{2000};

// Why the last exchange (Transact or ReadBlock) failed.
enum class ExchangeFailure : std::uint8_t {
    kNone,        // it succeeded, or none has run yet
    kNoMeter,     // no usable HID library, or no meter found or opened
    kMeterInUse,  // another program held the meter for the whole lock wait
    kNoLock,      // the meter's lock could not be opened or taken at all
    kBadRequest,  // a request length outside 1..8, a count above 3570
    kTransfer,    // a report did not go out, or a reply was missing or too short
};

// The meter as a HID device: finds it, opens it and carries every exchange with it as feature
// reports of report ID 0. Transact and ReadBlock are each one exclusive use of the device, both
// within this process (a mutex) and across programs (the device lock the platform supplies; on
// a platform whose devices other programs can open, no exchange runs without it).
class USB {
public:
    explicit USB(std::shared_ptr<HidPlatform> platform);
    ~USB();
    USB(const USB&) = delete;
    USB& operator=(const USB&) = delete;

    void SetDeviceIds(std::uint16_t vendor, std::uint16_t product);

    bool EnsureOpen();
    bool FindInstrument();
    bool ProbeDevice(const std::string& path);
    bool Open();
    void Close();
    bool SendReport(const std::uint8_t* data, std::uint8_t n);
    // Fetches a reply report and copies its bytes 1..n; fails unless the reply carried all of
    // them (a shorter reply is not padded out with zeros).
    bool GetReport(std::uint8_t* destination, std::uint8_t n);
    // One request with requestCode, requestAddress and requestLength; data holds 8 bytes.
    bool Transact(std::uint8_t* data);
    // Sets the three request fields and runs Transact as one step, so that two threads cannot
    // mix up each other's fields.
    bool Transact(std::uint8_t code, std::uint32_t address, std::uint8_t length,
                  std::uint8_t* data);
    bool ReadBlock(std::uint16_t address, std::uint16_t count, std::uint8_t* destination);
    std::uint32_t ReceivedBytes(bool reset);
    static std::uint8_t Checksum(const std::uint8_t* data, std::size_t n);

    // How long an exchange waits for another program to let go of the meter before it fails
    // with kMeterInUse; kDefaultLockWait unless set.
    void SetLockWait(std::chrono::milliseconds wait);
    // Why the latest exchange to end failed; kNone after a success. Any thread may ask.
    ExchangeFailure LastFailure() const;

    // Set by the caller immediately before Transact, in the same thread.
    std::uint8_t requestCode = 0;
    std::uint32_t requestAddress = 0;
    std::uint8_t requestLength = 0;

    bool libraryReady = false;
    std::string devicePath;
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::uint16_t inputReportLength = 0;
    std::uint16_t outputReportLength = 0;
    std::uint16_t featureReportLength = 0;
    bool capabilitiesRead = false;
    bool open = false;
    bool found = false;
    // Set once any search has found the meter; front ends tell "no such device" from "found but
    // it did not answer" by it.
    std::atomic<bool> everFound{false};

private:
    bool EnsureOpenLocked();
    ExchangeFailure TransactLocked(std::uint8_t* data);
    ExchangeFailure ReadBlockLocked(std::uint16_t address, std::uint16_t count,
                                    std::uint8_t* destination);
    bool Record(ExchangeFailure failure);
    ExchangeFailure LockDevice();
    void UnlockDevice();

    std::shared_ptr<HidPlatform> platform_;
    std::unique_ptr<HidDevice> device_;
    std::atomic<std::uint32_t> receivedBytes_{0};
    std::atomic<std::uint8_t> lastFailure_{static_cast<std::uint8_t>(ExchangeFailure::kNone)};
    std::mutex exchangeMutex_;
    // The open device's lock and the path it was opened for; both under exchangeMutex_.
    std::unique_ptr<HidDeviceLock> lock_;
    std::string lockPath_;
    std::chrono::milliseconds lockWait_ = kDefaultLockWait;
};

}  // namespace tavex
