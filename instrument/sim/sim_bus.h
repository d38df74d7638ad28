#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "instrument/hid_platform.h"

namespace tavex::sim {

// A device on the simulated bus. The bus calls it from any thread; implementations guard their
// own state.
class SimDevice {
public:
    virtual ~SimDevice() = default;

    virtual std::uint16_t VendorId() const = 0;
    virtual std::uint16_t ProductId() const = 0;
    virtual HidReportLengths ReportLengths() const = 0;
    // A command report arrives; false fails the exchange.
    virtual bool OnSetFeature(const std::uint8_t* report, std::size_t length) = 0;
    // A reply report is fetched: returns the bytes delivered, the report ID counted (at most
    // length); negative fails the exchange.
    virtual int OnGetFeature(std::uint8_t* report, std::size_t length) = 0;
};

// A plain HID device of the given IDs that answers no feature reports (a keyboard, a mouse,
// another product of the meter's vendor).
class OtherDevice : public SimDevice {
public:
    OtherDevice(std::uint16_t vendor, std::uint16_t product, HidReportLengths lengths = {9, 2, 0});
    std::uint16_t VendorId() const override { return vendor_; }
    std::uint16_t ProductId() const override { return product_; }
    HidReportLengths ReportLengths() const override { return lengths_; }
    bool OnSetFeature(const std::uint8_t*, std::size_t) override { return false; }
    int OnGetFeature(std::uint8_t*, std::size_t) override { return -1; }

private:
    std::uint16_t vendor_;
    std::uint16_t product_;
    HidReportLengths lengths_;
};

// The simulated USB bus: a HID platform whose interfaces are simulated devices. Each plug gives
// the device a new path (as a replugged hidraw device gets a new node); a handle opened before
// an unplug stays dead even when the device comes back.
class SimBus : public HidPlatform, public std::enable_shared_from_this<SimBus> {
public:
    SimBus();

    // Plugs a device in at the end of the enumeration order; returns its path.
    std::string Plug(std::shared_ptr<SimDevice> device);
    // Unplugs the device (no effect when it is not plugged in).
    void Unplug(const SimDevice* device);
    bool IsPlugged(const SimDevice* device) const;
    // Path of a plugged device, empty when it is not plugged in.
    std::string PathOf(const SimDevice* device) const;

    // Fault injection: the library fails to load; the interface list cannot be built; opening
    // fails for every path.
    void SetLoadFails(bool fails);
    void SetListFails(bool fails);
    void SetOpenFails(bool fails);
    // The devices of a simulated bus are this process's alone, so by default their exchanges
    // need no lock. A shared bus stands for devices that other programs open too: each plug of
    // a device has a lock of its own, which every USB object on the bus has to take for each
    // exchange, as separate programs would. A test plays a program that holds the meter by
    // taking that lock itself through OpenDeviceLock.
    void SetShared(bool shared);
    // Fault injection: no device lock can be opened.
    void SetLockOpenFails(bool fails);

    // Counters for tests.
    std::size_t OpenHandles() const;
    std::size_t ListCalls() const;
    std::size_t OpenCalls() const;

    bool Load() override;
    void Unload() override;
    std::optional<std::vector<std::string>> ListInterfaces() override;
    std::unique_ptr<HidDevice> Open(const std::string& path) override;
    // On a shared bus, a handle on the lock of the device at path (null when nothing is plugged
    // in there); otherwise a lock that is always free.
    std::unique_ptr<HidDeviceLock> OpenDeviceLock(const std::string& path) override;

private:
    class Handle;
    class DeviceLock;
    struct LockState;
    struct Slot {
        std::string path;
        std::shared_ptr<SimDevice> device;
        std::uint64_t generation;
        std::shared_ptr<LockState> lock;
    };

    bool HandleAlive(const std::shared_ptr<SimDevice>& device, std::uint64_t generation) const;
    void HandleClosed();

    mutable std::mutex mutex_;
    std::vector<Slot> slots_;
    std::string prefix_;
    std::uint64_t nextNode_ = 0;
    std::uint64_t nextGeneration_ = 1;
    bool loadFails_ = false;
    bool listFails_ = false;
    bool openFails_ = false;
    bool shared_ = false;
    bool lockOpenFails_ = false;
    std::size_t openHandles_ = 0;
    std::size_t listCalls_ = 0;
    std::size_t openCalls_ = 0;
};

}  // namespace tavex::sim
