#include "instrument/usb.h"

#include <algorithm>
#include <cstring>
#include <thread>
#include <utility>

namespace tavex {

namespace {

// How often a held lock is tried again while an exchange waits for it.
constexpr std::chrono::milliseconds kLockRetry{5};

// Calls into the platform count as failed when they throw.
template <typename F, typename R>
R Guarded(F&& call, R onFailure) {
    try {
        return call();
    } catch (...) {
        return onFailure;
    }
}

}  // namespace

USB::USB(std::shared_ptr<HidPlatform> platform) : platform_(std::move(platform)) {
    libraryReady = platform_ && Guarded([&] { return platform_->Load(); }, false);
    SetDeviceIds(kMeterVendorId, kMeterProductId);
}

USB::~USB() {
    Close();
    devicePath.clear();
    if (platform_ && libraryReady)
        Guarded(
            [&] {
                platform_->Unload();
                return true;
            },
            false);
}

void USB::SetDeviceIds(std::uint16_t vendor, std::uint16_t product) {
    vendorId = vendor;
    productId = product;
}

void USB::SetLockWait(std::chrono::milliseconds wait) {
    std::lock_guard<std::mutex> lock(exchangeMutex_);
    lockWait_ = std::max(wait, std::chrono::milliseconds(0));
}

ExchangeFailure USB::LastFailure() const {
    return static_cast<ExchangeFailure>(lastFailure_.load(std::memory_order_acquire));
}

bool USB::Record(ExchangeFailure failure) {
    lastFailure_.store(static_cast<std::uint8_t>(failure), std::memory_order_release);
    return failure == ExchangeFailure::kNone;
}

bool USB::EnsureOpen() {
    std::lock_guard<std::mutex> lock(exchangeMutex_);
    return EnsureOpenLocked();
}

bool USB::EnsureOpenLocked() {
    if (!libraryReady) return false;
    if (open) return true;
    const bool searchedNow = !found;
    if (!found) FindInstrument();
    if (!found) return false;
    // A stored path may since have been given to another device: it must still be the meter.
    if ((searchedNow || ProbeDevice(devicePath)) && Open()) return true;
    // The stored path no longer opens: a replugged device usually comes back under another
    // node. Forget it, so that the meter can be found again.
    found = false;
    capabilitiesRead = false;
    devicePath.clear();
    if (searchedNow) return false;
    FindInstrument();
    return found && Open();
}

bool USB::FindInstrument() {
    found = false;
    auto paths = Guarded([&] { return platform_->ListInterfaces(); },
                         std::optional<std::vector<std::string>>{});
    if (!paths) return false;
    for (const std::string& path : *paths) {
        if (found) continue;
        devicePath = path;
        if (ProbeDevice(path)) found = true;
    }
    if (found) everFound.store(true);
    return found;
}

bool USB::ProbeDevice(const std::string& path) {
    std::unique_ptr<HidDevice> probe =
        Guarded([&] { return platform_->Open(path); }, std::unique_ptr<HidDevice>{});
    if (!probe) return false;
    bool result = false;
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    const bool match = Guarded([&] { return probe->GetAttributes(vendor, product); }, false) &&
                       vendor == vendorId && product == productId;
    if (match) {
        HidReportLengths lengths;
        // A feature report of any other length is not the meter's (a second interface of the
        // same device, say); a longer one would also overrun the report buffers.
        if (Guarded([&] { return probe->GetReportLengths(lengths); }, false) &&
            lengths.feature == kReportSize) {
            inputReportLength = lengths.input;
            outputReportLength = lengths.output;
            featureReportLength = lengths.feature;
            capabilitiesRead = true;
            result = true;
        }
    }
    Guarded(
        [&] {
            probe.reset();
            return true;
        },
        false);
    return result;
}

bool USB::Open() {
    if (open) return true;
    device_ = Guarded([&] { return platform_->Open(devicePath); }, std::unique_ptr<HidDevice>{});
    if (!device_) return false;
    open = true;
    return true;
}

void USB::Close() {
    if (!open) return;
    Guarded(
        [&] {
            device_.reset();
            return true;
        },
        false);
    // The lock belongs to the node: a replugged meter comes back as another one.
    Guarded(
        [&] {
            lock_.reset();
            return true;
        },
        false);
    lockPath_.clear();
    open = false;
    capabilitiesRead = false;
}

bool USB::SendReport(const std::uint8_t* data, std::uint8_t n) {
    if (!open || !data || n > 12 || featureReportLength > kReportSize) return false;
    std::uint8_t report[kReportSize] = {};
    std::memcpy(report + 2, data, n);
    report[14] = Checksum(report + 2, 12);
    return Guarded([&] { return device_->SetFeature(report, featureReportLength); }, false);
}

bool USB::GetReport(std::uint8_t* destination, std::uint8_t n) {
    if (!open || !destination || n > 14 || featureReportLength > kReportSize) return false;
    std::uint8_t report[kReportSize] = {};
    const int received =
        Guarded([&] { return device_->GetFeature(report, featureReportLength); }, -1);
    // The bytes left as zeros by a short reply must not pass for data: a header cut short
    // would read as a valid header of no results.
    if (received < 1 + n || received > featureReportLength || report[0] != 0) return false;
    std::memcpy(destination, report + 1, n);
    return true;
}

bool USB::Transact(std::uint8_t* data) {
    std::lock_guard<std::mutex> lock(exchangeMutex_);
    return Record(TransactLocked(data));
}

bool USB::Transact(std::uint8_t code, std::uint32_t address, std::uint8_t length,
                   std::uint8_t* data) {
    std::lock_guard<std::mutex> lock(exchangeMutex_);
    requestCode = code;
    requestAddress = address;
    requestLength = length;
    return Record(TransactLocked(data));
}

ExchangeFailure USB::TransactLocked(std::uint8_t* data) {
    if (!EnsureOpenLocked()) return ExchangeFailure::kNoMeter;
    if (requestLength == 0 || requestLength > 8) return ExchangeFailure::kBadRequest;
    std::uint8_t frame[12] = {requestCode, static_cast<std::uint8_t>(requestAddress >> 8 & 0xFF),
                              static_cast<std::uint8_t>(requestAddress & 0xFF), requestLength};
    std::memcpy(frame + 4, data, 8);
    const ExchangeFailure locked = LockDevice();
    if (locked != ExchangeFailure::kNone) return locked;
    // The reply's data bytes start at report byte 6; the reply must reach the last one used.
    std::uint8_t reply[14] = {};
    const bool ok =
        SendReport(frame, 12) && GetReport(reply, static_cast<std::uint8_t>(5 + requestLength));
    UnlockDevice();
    if (!ok) {
        Close();
        return ExchangeFailure::kTransfer;
    }
    std::memcpy(data, reply + 5, requestLength);
    return ExchangeFailure::kNone;
}

bool USB::ReadBlock(std::uint16_t address, std::uint16_t count, std::uint8_t* destination) {
    std::lock_guard<std::mutex> lock(exchangeMutex_);
    return Record(ReadBlockLocked(address, count, destination));
}

ExchangeFailure USB::ReadBlockLocked(std::uint16_t address, std::uint16_t count,
                                     std::uint8_t* destination) {
    if (!EnsureOpenLocked()) return ExchangeFailure::kNoMeter;
    if (count > 3570 || (count > 0 && !destination)) return ExchangeFailure::kBadRequest;
    const std::uint8_t frame[12] = {
        23, static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(address & 0xFF),
        static_cast<std::uint8_t>(count >> 8), static_cast<std::uint8_t>(count & 0xFF)};
    const ExchangeFailure locked = LockDevice();
    if (locked != ExchangeFailure::kNone) return locked;
    // Replies to a command that never went out would be whatever the device had left over.
    bool ok = SendReport(frame, 12);
    std::uint32_t remaining = count;
    while (ok && remaining > 0) {
        const std::uint8_t piece =
            static_cast<std::uint8_t>(std::min<std::uint32_t>(remaining, 14));
        if (!GetReport(destination, piece)) {
            ok = false;
            break;
        }
        receivedBytes_.fetch_add(piece, std::memory_order_relaxed);
        destination += piece;
        remaining -= piece;
    }
    UnlockDevice();
    return ok ? ExchangeFailure::kNone : ExchangeFailure::kTransfer;
}

std::uint32_t USB::ReceivedBytes(bool reset) {
    if (reset) {
        receivedBytes_.store(0, std::memory_order_relaxed);
        return 0;
    }
    return receivedBytes_.load(std::memory_order_relaxed);
}

std::uint8_t USB::Checksum(const std::uint8_t* data, std::size_t n) {
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < n; ++i) sum = static_cast<std::uint8_t>(sum + data[i]);
    return static_cast<std::uint8_t>(0x100 - sum);
}

ExchangeFailure USB::LockDevice() {
    if (lock_ && lockPath_ != devicePath) {
        lock_.reset();
        lockPath_.clear();
    }
    if (!lock_) {
        lock_ = Guarded([&] { return platform_->OpenDeviceLock(devicePath); },
                        std::unique_ptr<HidDeviceLock>{});
        // The lock must be on the node the device was opened on: a name that has come to name
        // another node since (the meter plugged in again) would keep nobody off this one.
        const bool sameNode =
            lock_ &&
            Guarded([&] { return lock_->NodeIdentity() == device_->NodeIdentity(); }, false);
        if (!sameNode) {
            // Most likely the node has gone; closing lets the next exchange look for the meter.
            Close();
            return ExchangeFailure::kNoLock;
        }
        lockPath_ = devicePath;
    }
    // Another program may hold the meter for good: wait for it only so long, in short naps
    // (a header read waits on the window's thread).
    const auto deadline = std::chrono::steady_clock::now() + lockWait_;
    for (;;) {
        const HidDeviceLock::Result result =
            Guarded([&] { return lock_->TryLock(); }, HidDeviceLock::Result::kFailed);
        if (result == HidDeviceLock::Result::kHeld) return ExchangeFailure::kNone;
        if (result == HidDeviceLock::Result::kFailed) {
            Close();
            return ExchangeFailure::kNoLock;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return ExchangeFailure::kMeterInUse;
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(kLockRetry, deadline - now));
    }
}

void USB::UnlockDevice() {
    Guarded(
        [&] {
            lock_->Unlock();
            return true;
        },
        false);
}

}  // namespace tavex
