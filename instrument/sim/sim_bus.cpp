#include "instrument/sim/sim_bus.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <utility>

namespace tavex::sim {

namespace {

// Every bus in the process gets its own number, and the process id keeps buses of different
// processes apart, so that no two buses ever give out the same path.
std::atomic<std::uint64_t> nextBusNumber{1};

}  // namespace

OtherDevice::OtherDevice(std::uint16_t vendor, std::uint16_t product, HidReportLengths lengths)
    : vendor_(vendor), product_(product), lengths_(lengths) {}

// An open interface. It stays bound to the plug it was opened on: once that device has been
// unplugged every call fails, even after the same device is plugged in again.
class SimBus::Handle : public HidDevice {
public:
    Handle(SimBus* bus, std::shared_ptr<SimBus> owner, std::shared_ptr<SimDevice> device,
           std::uint64_t generation)
        : bus_(bus),
          owner_(std::move(owner)),
          device_(std::move(device)),
          generation_(generation) {}
    ~Handle() override { bus_->HandleClosed(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    // The bus lock is only held inside HandleAlive; the device is always called without it.
    bool GetAttributes(std::uint16_t& vendorId, std::uint16_t& productId) override {
        if (!Alive()) return false;
        vendorId = device_->VendorId();
        productId = device_->ProductId();
        return true;
    }
    bool GetReportLengths(HidReportLengths& lengths) override {
        if (!Alive()) return false;
        lengths = device_->ReportLengths();
        return true;
    }
    bool SetFeature(const std::uint8_t* report, std::size_t length) override {
        if (!report || length == 0 || !Alive()) return false;
        return device_->OnSetFeature(report, length);
    }
    int GetFeature(std::uint8_t* report, std::size_t length) override {
        if (!report || length == 0 || !Alive()) return -1;
        const int received = device_->OnGetFeature(report, length);
        return received >= 0 && static_cast<std::size_t>(received) <= length ? received : -1;
    }

private:
    bool Alive() const { return bus_->HandleAlive(device_, generation_); }

    SimBus* bus_;
    // Keeps a shared-owned bus alive while handles exist; null for a bus owned otherwise, which
    // then has to outlive its handles.
    std::shared_ptr<SimBus> owner_;
    std::shared_ptr<SimDevice> device_;
    std::uint64_t generation_;
};

// The lock of one plug of a device, shared by every handle opened on it. Like a lock on a
// device node, each handle is a holder of its own, even within one thread.
struct SimBus::LockState {
    std::mutex mutex;
    const void* holder = nullptr;
};

class SimBus::DeviceLock : public HidDeviceLock {
public:
    explicit DeviceLock(std::shared_ptr<LockState> state) : state_(std::move(state)) {}
    ~DeviceLock() override { Unlock(); }
    DeviceLock(const DeviceLock&) = delete;
    DeviceLock& operator=(const DeviceLock&) = delete;

    Result TryLock() override {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (state_->holder != nullptr && state_->holder != this) return Result::kInUse;
        state_->holder = this;
        return Result::kHeld;
    }
    void Unlock() override {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (state_->holder == this) state_->holder = nullptr;
    }

private:
    std::shared_ptr<LockState> state_;
};

SimBus::SimBus() {
    const std::uint64_t number = nextBusNumber.fetch_add(1, std::memory_order_relaxed);
    prefix_ = "sim" + std::to_string(::getpid()) + "." + std::to_string(number) + ":hidraw";
}

std::string SimBus::Plug(std::shared_ptr<SimDevice> device) {
    if (!device) return {};
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Slot& slot : slots_) {
        if (slot.device == device) return slot.path;
    }
    Slot slot{prefix_ + std::to_string(nextNode_++), std::move(device), nextGeneration_++,
              std::make_shared<LockState>()};
    slots_.push_back(slot);
    return slot.path;
}

void SimBus::Unplug(const SimDevice* device) {
    std::shared_ptr<SimDevice> removed;  // released after the lock, in case it is the last owner
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = std::find_if(slots_.begin(), slots_.end(),
                               [&](const Slot& slot) { return slot.device.get() == device; });
        if (it == slots_.end()) return;
        removed = std::move(it->device);
        slots_.erase(it);
    }
}

bool SimBus::IsPlugged(const SimDevice* device) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::any_of(slots_.begin(), slots_.end(),
                       [&](const Slot& slot) { return slot.device.get() == device; });
}

std::string SimBus::PathOf(const SimDevice* device) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Slot& slot : slots_) {
        if (slot.device.get() == device) return slot.path;
    }
    return {};
}

void SimBus::SetLoadFails(bool fails) {
    std::lock_guard<std::mutex> lock(mutex_);
    loadFails_ = fails;
}

void SimBus::SetListFails(bool fails) {
    std::lock_guard<std::mutex> lock(mutex_);
    listFails_ = fails;
}

void SimBus::SetOpenFails(bool fails) {
    std::lock_guard<std::mutex> lock(mutex_);
    openFails_ = fails;
}

void SimBus::SetShared(bool shared) {
    std::lock_guard<std::mutex> lock(mutex_);
    shared_ = shared;
}

void SimBus::SetLockOpenFails(bool fails) {
    std::lock_guard<std::mutex> lock(mutex_);
    lockOpenFails_ = fails;
}

std::size_t SimBus::OpenHandles() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return openHandles_;
}

std::size_t SimBus::ListCalls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return listCalls_;
}

std::size_t SimBus::OpenCalls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return openCalls_;
}

bool SimBus::Load() {
    std::lock_guard<std::mutex> lock(mutex_);
    return !loadFails_;
}

void SimBus::Unload() {}

std::optional<std::vector<std::string>> SimBus::ListInterfaces() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++listCalls_;
    if (listFails_) return std::nullopt;
    std::vector<std::string> paths;
    paths.reserve(slots_.size());
    for (const Slot& slot : slots_) paths.push_back(slot.path);
    return paths;
}

std::unique_ptr<HidDevice> SimBus::Open(const std::string& path) {
    std::shared_ptr<SimBus> owner = weak_from_this().lock();
    std::lock_guard<std::mutex> lock(mutex_);
    ++openCalls_;
    if (openFails_) return nullptr;
    auto it = std::find_if(slots_.begin(), slots_.end(),
                           [&](const Slot& slot) { return slot.path == path; });
    if (it == slots_.end()) return nullptr;
    auto handle = std::make_unique<Handle>(this, std::move(owner), it->device, it->generation);
    ++openHandles_;
    return handle;
}

std::unique_ptr<HidDeviceLock> SimBus::OpenDeviceLock(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (lockOpenFails_) return nullptr;
    if (!shared_) return std::make_unique<UnsharedDeviceLock>();
    auto it = std::find_if(slots_.begin(), slots_.end(),
                           [&](const Slot& slot) { return slot.path == path; });
    if (it == slots_.end()) return nullptr;
    return std::make_unique<DeviceLock>(it->lock);
}

bool SimBus::HandleAlive(const std::shared_ptr<SimDevice>& device, std::uint64_t generation) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::any_of(slots_.begin(), slots_.end(), [&](const Slot& slot) {
        return slot.device == device && slot.generation == generation;
    });
}

void SimBus::HandleClosed() {
    std::lock_guard<std::mutex> lock(mutex_);
    --openHandles_;
}

}  // namespace tavex::sim
