#include "instrument/usb.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace tavex {

namespace {

// Calls into the platform count as failed when they throw.
template <typename F, typename R>
R Guarded(F&& call, R onFailure) {
    try {
        return call();
    } catch (...) {
        return onFailure;
    }
}

std::string LockFileName(const std::string& devicePath) {
    std::string name = "tavex-";
    for (char c : devicePath) {
        const bool plain =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        name += plain ? c : '_';
    }
    return name + ".lock";
}

}  // namespace

USB::USB(std::shared_ptr<HidPlatform> platform)
    : platform_(std::move(platform)), lockDirectory_("/tmp") {
    libraryReady = platform_ && Guarded([&] { return platform_->Load(); }, false);
    SetDeviceIds(kMeterVendorId, kMeterProductId);
}

USB::~USB() {
    Close();
    CloseLockFile();
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

void USB::SetLockDirectory(std::string directory) {
    std::lock_guard<std::mutex> lock(exchangeMutex_);
    CloseLockFile();
    lockDirectory_ = std::move(directory);
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
    CloseLockFile();
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
    if (!Guarded([&] { return device_->GetFeature(report, featureReportLength); }, false)) {
        return false;
    }
    std::memcpy(destination, report + 1, n);
    return true;
}

bool USB::Transact(std::uint8_t* data) {
    std::lock_guard<std::mutex> lock(exchangeMutex_);
    return TransactLocked(data);
}

bool USB::Transact(std::uint8_t code, std::uint32_t address, std::uint8_t length,
                   std::uint8_t* data) {
    std::lock_guard<std::mutex> lock(exchangeMutex_);
    requestCode = code;
    requestAddress = address;
    requestLength = length;
    return TransactLocked(data);
}

bool USB::TransactLocked(std::uint8_t* data) {
    if (!EnsureOpenLocked()) return false;
    if (requestLength == 0 || requestLength > 8) return false;
    std::uint8_t frame[12] = {requestCode, static_cast<std::uint8_t>(requestAddress >> 8 & 0xFF),
                              static_cast<std::uint8_t>(requestAddress & 0xFF), requestLength};
    std::memcpy(frame + 4, data, 8);
    std::uint8_t reply[14] = {};
    const bool locked = LockDeviceFile();
    const bool ok = SendReport(frame, 12) && GetReport(reply, 14);
    if (locked) UnlockDeviceFile();
    if (!ok) {
        Close();
        return false;
    }
    std::memcpy(data, reply + 5, requestLength);
    return true;
}

bool USB::ReadBlock(std::uint16_t address, std::uint16_t count, std::uint8_t* destination) {
    std::lock_guard<std::mutex> lock(exchangeMutex_);
    return ReadBlockLocked(address, count, destination);
}

bool USB::ReadBlockLocked(std::uint16_t address, std::uint16_t count, std::uint8_t* destination) {
    if (!EnsureOpenLocked()) return false;
    if (count > 3570 || (count > 0 && !destination)) return false;
    const std::uint8_t frame[12] = {
        23, static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(address & 0xFF),
        static_cast<std::uint8_t>(count >> 8), static_cast<std::uint8_t>(count & 0xFF)};
    const bool locked = LockDeviceFile();
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
    if (locked) UnlockDeviceFile();
    return ok;
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

bool USB::LockDeviceFile() {
    if (!platform_->SharedWithOtherProcesses()) return false;
    if (lockFd_ >= 0 && lockFdPath_ != devicePath) CloseLockFile();
    if (lockFd_ < 0) {
        const std::string file = lockDirectory_ + "/" + LockFileName(devicePath);
        // Open without O_CREAT first: a sticky /tmp refuses O_CREAT on another user's file.
        lockFd_ = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (lockFd_ < 0 && errno == ENOENT) {
            lockFd_ = ::open(file.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
            if (lockFd_ >= 0) ::fchmod(lockFd_, 0666);
        }
        if (lockFd_ < 0) return false;  // no lock to be had; the exchange still runs
        lockFdPath_ = devicePath;
    }
    while (::flock(lockFd_, LOCK_EX) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

void USB::UnlockDeviceFile() {
    if (lockFd_ >= 0) ::flock(lockFd_, LOCK_UN);
}

void USB::CloseLockFile() {
    if (lockFd_ >= 0) ::close(lockFd_);
    lockFd_ = -1;
    lockFdPath_.clear();
}

}  // namespace tavex
