#pragma once

#include <atomic>
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

// The meter as a HID device: finds it, opens it and carries every exchange with it as feature
// reports of report ID 0. Transact and ReadBlock are each one exclusive use of the device, both
// within this process (a mutex) and across processes (an advisory lock file per device).
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

    // Folder of the per-device lock files that keep other processes' exchanges apart; /tmp by
    // default.
    void SetLockDirectory(std::string directory);

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
    bool TransactLocked(std::uint8_t* data);
    bool ReadBlockLocked(std::uint16_t address, std::uint16_t count, std::uint8_t* destination);
    bool LockDeviceFile();
    void UnlockDeviceFile();
    void CloseLockFile();

    std::shared_ptr<HidPlatform> platform_;
    std::unique_ptr<HidDevice> device_;
    std::atomic<std::uint32_t> receivedBytes_{0};
    std::mutex exchangeMutex_;
    int lockFd_ = -1;
    std::string lockFdPath_;
    std::string lockDirectory_;
};

}  // namespace tavex
