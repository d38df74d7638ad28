#include "instrument/hidapi_platform.h"

#include <fcntl.h>
#include <hidapi/hidapi.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cwchar>
#include <filesystem>
#include <fstream>

#include "instrument/report_descriptor.h"

namespace tavex {

namespace {

// The ioctls behind hidapi's feature calls carry the length in 14 bits; a longer length would
// turn into a different request.
constexpr std::size_t kMaxFeatureLength = 16383;
// Descriptors are at most 4 KiB; anything much longer is not one.
constexpr std::size_t kMaxDescriptorFile = 64 * 1024;

struct EnumerationFree {
    void operator()(hid_device_info* list) const { hid_free_enumeration(list); }
};
using Enumeration = std::unique_ptr<hid_device_info, EnumerationFree>;

struct DeviceClose {
    void operator()(hid_device* device) const { hid_close(device); }
};
using DeviceHandle = std::unique_ptr<hid_device, DeviceClose>;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Orders digit runs by value, so that /dev/hidraw2 comes before /dev/hidraw10. Paths equal by
// that measure ("hidraw01", "hidraw1") fall back to plain order, which keeps the order total.
bool NaturalLess(const std::string& a, const std::string& b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (IsDigit(a[i]) && IsDigit(b[j])) {
            while (i + 1 < a.size() && a[i] == '0' && IsDigit(a[i + 1])) ++i;
            while (j + 1 < b.size() && b[j] == '0' && IsDigit(b[j + 1])) ++j;
            std::size_t iEnd = i, jEnd = j;
            while (iEnd < a.size() && IsDigit(a[iEnd])) ++iEnd;
            while (jEnd < b.size() && IsDigit(b[jEnd])) ++jEnd;
            if (iEnd - i != jEnd - j) return iEnd - i < jEnd - j;
            const int order = a.compare(i, iEnd - i, b, j, jEnd - j);
            if (order != 0) return order < 0;
            i = iEnd;
            j = jEnd;
            continue;
        }
        if (a[i] != b[j]) {
            return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
        }
        ++i;
        ++j;
    }
    if (i < a.size() || j < b.size()) return j < b.size();
    return a < b;
}

// hidapi returns no list both when nothing is attached and when it could not look (no udev
// context, say); only the error text tells them apart, and it names the first case.
bool EnumerationFoundNothing() {
    const wchar_t* error = hid_error(nullptr);
    const wchar_t kNoDevices[] = L"No HID devices";
    return error != nullptr && std::wcsncmp(error, kNoDevices, std::wcslen(kNoDevices)) == 0;
}

bool IsHidrawNode(const std::string& name) {
    return name.size() > 6 && name.compare(0, 6, "hidraw") == 0 &&
           std::all_of(name.begin() + 6, name.end(), IsDigit);
}

// Device and inode numbers of an open node.
std::string IdentityOf(int fd) {
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISCHR(status.st_mode)) return {};
    return std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino) + ":" +
           std::to_string(status.st_rdev);
}

// Opens the node at path without waiting (a FIFO there must not stall the call) and without
// making a terminal this process's own; -1 unless it is a character device, whose numbers go
// into identity.
int OpenNode(const std::string& path, int access, std::string& identity) {
    const int fd = ::open(path.c_str(), access | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    identity = IdentityOf(fd);
    if (identity.empty()) {
        ::close(fd);
        return -1;
    }
    return fd;
}

class HidapiDevice final : public HidDevice {
public:
    HidapiDevice(DeviceHandle handle, std::string path, std::string identity, std::string classDir)
        : handle_(std::move(handle)),
          path_(std::move(path)),
          identity_(std::move(identity)),
          classDir_(std::move(classDir)) {}

    bool GetAttributes(std::uint16_t& vendorId, std::uint16_t& productId) override {
        // The info belongs to the handle; it is not freed here.
        const hid_device_info* info = hid_get_device_info(handle_.get());
        if (info == nullptr) return false;
        vendorId = info->vendor_id;
        productId = info->product_id;
        return true;
    }

    bool GetReportLengths(HidReportLengths& lengths) override {
        try {
            const auto parsed = ReadReportLengthsFromSysfs(classDir_, path_);
            if (!parsed) return false;
            lengths = *parsed;
            return true;
        } catch (...) {
            return false;
        }
    }

    bool SetFeature(const std::uint8_t* report, std::size_t length) override {
        if (report == nullptr || length == 0 || length > kMaxFeatureLength) return false;
        const int sent = hid_send_feature_report(handle_.get(), report, length);
        return sent >= 0 && static_cast<std::size_t>(sent) == length;
    }

    int GetFeature(std::uint8_t* report, std::size_t length) override {
        if (report == nullptr || length == 0 || length > kMaxFeatureLength) return -1;
        // hidraw counts the report-ID byte in, numbered or not, and a short transfer is no
        // error: what the reply carries is the caller's to judge.
        const int received = hid_get_feature_report(handle_.get(), report, length);
        if (received < 0 || static_cast<std::size_t>(received) > length) return -1;
        return received;
    }

    std::string NodeIdentity() const override { return identity_; }

private:
    DeviceHandle handle_;
    std::string path_;
    std::string identity_;
    std::string classDir_;
};

// The lock of a device node: flock on a descriptor of the node itself. Only a user who may open
// the meter can hold it, and it leaves nothing behind.
class NodeLock final : public HidDeviceLock {
public:
    NodeLock(int fd, std::string identity) : fd_(fd), identity_(std::move(identity)) {}
    ~NodeLock() override { ::close(fd_); }  // closing also lets go of the lock
    NodeLock(const NodeLock&) = delete;
    NodeLock& operator=(const NodeLock&) = delete;

    Result TryLock() override {
        for (;;) {
            if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return Result::kHeld;
            if (errno == EWOULDBLOCK) return Result::kInUse;
            if (errno != EINTR) return Result::kFailed;
        }
    }
    void Unlock() override { ::flock(fd_, LOCK_UN); }
    std::string NodeIdentity() const override { return identity_; }

private:
    int fd_;
    std::string identity_;
};

std::unique_ptr<HidDeviceLock> OpenNodeLock(const std::string& path) {
    std::string identity;
    const int fd = OpenNode(path, O_RDONLY, identity);
    if (fd < 0) return nullptr;
    try {
        return std::make_unique<NodeLock>(fd, std::move(identity));
    } catch (...) {
        ::close(fd);
        return nullptr;
    }
}

class HidapiPlatform final : public HidPlatform {
public:
    explicit HidapiPlatform(std::string classDir) : classDir_(std::move(classDir)) {}

    bool Load() override { return hid_init() == 0; }
    void Unload() override { hid_exit(); }

    std::optional<std::vector<std::string>> ListInterfaces() override {
        try {
            const Enumeration list(hid_enumerate(0, 0));
            if (!list) {
                if (EnumerationFoundNothing()) return std::vector<std::string>{};
                return std::nullopt;
            }
            std::vector<std::string> paths;
            for (const hid_device_info* info = list.get(); info != nullptr; info = info->next) {
                if (info->path != nullptr && info->path[0] != '\0') paths.emplace_back(info->path);
            }
            return SortInterfacePaths(std::move(paths));
        } catch (...) {
            return std::nullopt;
        }
    }

    std::unique_ptr<HidDevice> Open(const std::string& path) override {
        // The node is opened here first and handed to hidapi through /proc, so that the device
        // is exactly the node whose numbers are kept (and locked), whatever the name names by
        // the time hidapi opens it. Without /proc, hidapi opens the name itself.
        std::string identity;
        const int fd = OpenNode(path, O_RDWR, identity);
        if (fd < 0) return nullptr;
        const std::string procPath = "/proc/self/fd/" + std::to_string(fd);
        struct stat viaProc {};
        const bool proc = ::stat(procPath.c_str(), &viaProc) == 0;
        std::unique_ptr<HidDevice> device;
        try {
            DeviceHandle handle(hid_open_path(proc ? procPath.c_str() : path.c_str()));
            if (handle) {
                device =
                    std::make_unique<HidapiDevice>(std::move(handle), path, identity, classDir_);
            }
        } catch (...) {
        }
        ::close(fd);
        return device;
    }

    std::unique_ptr<HidDeviceLock> OpenDeviceLock(const std::string& path) override {
        return OpenNodeLock(path);
    }

private:
    std::string classDir_;
};

}  // namespace

std::vector<std::string> SortInterfacePaths(std::vector<std::string> paths) {
    std::sort(paths.begin(), paths.end(), NaturalLess);
    // hidapi lists an interface once per top-level collection; the link wants it once.
    paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
    return paths;
}

std::optional<HidReportLengths> ReadReportLengthsFromSysfs(const std::string& hidrawClassDir,
                                                           const std::string& devicePath) {
    // A udev symlink (/dev/tavex -> hidraw3) names the node only through its target.
    std::error_code error;
    const std::filesystem::path resolved = std::filesystem::canonical(devicePath, error);
    const std::string node =
        (error ? std::filesystem::path(devicePath) : resolved).filename().string();
    if (!IsHidrawNode(node)) return std::nullopt;

    std::ifstream file(hidrawClassDir + "/" + node + "/device/report_descriptor", std::ios::binary);
    if (!file) return std::nullopt;
    // The sysfs file claims a fixed size, so read to the end instead of trusting it.
    std::vector<std::uint8_t> bytes;
    char chunk[4096];
    while (file.read(chunk, sizeof chunk) || file.gcount() > 0) {
        bytes.insert(bytes.end(), chunk, chunk + file.gcount());
        if (bytes.size() > kMaxDescriptorFile) return std::nullopt;
    }
    if (file.bad() || bytes.empty()) return std::nullopt;
    return ParseReportLengths(bytes.data(), bytes.size());
}

std::shared_ptr<HidPlatform> MakeHidapiPlatform(const std::string& hidrawClassDir) {
    return std::make_shared<HidapiPlatform>(hidrawClassDir);
}

std::shared_ptr<HidPlatform> MakeSystemHidPlatform() {
    return MakeHidapiPlatform();
}

}  // namespace tavex
