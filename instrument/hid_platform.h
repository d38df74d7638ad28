#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tavex {

// The three report lengths of a HID interface. Each counts the report-ID byte, so a device
// with one 14-byte feature report and no report IDs has a feature report length of 15.
struct HidReportLengths {
    std::uint16_t input = 0;
    std::uint16_t output = 0;
    std::uint16_t feature = 0;
};

// One open HID interface. Destroying it closes the interface.
class HidDevice {
public:
    virtual ~HidDevice() = default;

    virtual bool GetAttributes(std::uint16_t& vendorId, std::uint16_t& productId) = 0;
    virtual bool GetReportLengths(HidReportLengths& lengths) = 0;
    // Sends a feature report; report[0] is the report ID. True only when all bytes went out.
    virtual bool SetFeature(const std::uint8_t* report, std::size_t length) = 0;
    // Fetches a feature report into report[0..length); report[0] holds the report ID on entry.
    // Returns how many bytes arrived, the report-ID byte counted (so at most length); a short
    // reply leaves the rest of the buffer as it was. Negative on failure.
    virtual int GetFeature(std::uint8_t* report, std::size_t length) = 0;
    // The node that was opened (its device and inode numbers), where the platform has nodes
    // that a name may stop naming; empty elsewhere.
    virtual std::string NodeIdentity() const { return {}; }
};

// An exclusive lock on one device that every program using the device takes for each exchange,
// so that two programs never mix their reports. Destroying it lets go of the lock.
class HidDeviceLock {
public:
    enum class Result : std::uint8_t {
        kHeld,    // this lock now holds the device
        kInUse,   // another holder has it
        kFailed,  // the lock cannot be taken at all
    };

    virtual ~HidDeviceLock() = default;
    // Never waits.
    virtual Result TryLock() = 0;
    virtual void Unlock() = 0;
    // The node the lock is taken on, as HidDevice::NodeIdentity tells it; empty where there are
    // no nodes. An exchange runs only when the two agree.
    virtual std::string NodeIdentity() const { return {}; }
};

// The lock of a device that no other program can reach: always free.
class UnsharedDeviceLock final : public HidDeviceLock {
public:
    Result TryLock() override { return Result::kHeld; }
    void Unlock() override {}
};

// What the link needs of the platform's HID support. Implemented over hidapi for real devices
// and by the simulated bus for the simulated meter.
class HidPlatform {
public:
    virtual ~HidPlatform() = default;

    // Loads the HID library and its entry points; false when it is not usable.
    virtual bool Load() = 0;
    virtual void Unload() = 0;
    // One path per present HID interface, in a stable order; nullopt when the list cannot be
    // built at all.
    virtual std::optional<std::vector<std::string>> ListInterfaces() = 0;
    // Opens a path for reading and writing, shared with other openers; null on failure.
    virtual std::unique_ptr<HidDevice> Open(const std::string& path) = 0;
    // The lock that keeps exchanges with the device at path apart from other programs' (an
    // UnsharedDeviceLock where no other program can reach it); null when it cannot be had, and
    // then no exchange may run. Opening it never waits and never creates a file.
    virtual std::unique_ptr<HidDeviceLock> OpenDeviceLock(const std::string& path) = 0;
};

// The system's own HID platform, the one the programs use for the meter on USB: hidapi on
// Linux, hid.dll and SetupAPI on Windows.
std::shared_ptr<HidPlatform> MakeSystemHidPlatform();

}  // namespace tavex
