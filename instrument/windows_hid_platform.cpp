#include "instrument/windows_hid_platform.h"

#include <windows.h>
// The system headers declare hid.dll's functions without C linkage; only their types are used
// here, the functions are looked up at run time.
extern "C" {
#include <hidsdi.h>
}
#include <sddl.h>
#include <setupapi.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cwchar>
#include <optional>
#include <vector>

namespace tavex {

namespace {

// Longer feature reports than this are no HID device's; it also keeps lengths within int.
constexpr std::size_t kMaxFeatureLength = 65535;
// A device interface path is far shorter; a larger detail record is not believed.
constexpr DWORD kMaxDetailSize = 64 * 1024;
// Enumeration failures in a row, other than the end of the list, after which the list ends.
constexpr int kMaxEnumerationErrors = 16;
// Mutex names are limited to MAX_PATH characters; longer keys are cut and hashed.
constexpr std::size_t kMaxLockKey = 200;
constexpr wchar_t kLockPrefix[] = L"Global\\tavex-";
// Everyone may wait on and release the lock (so that other users' programs are kept apart
// too), and so may processes below medium integrity (an elevated program's mutex would
// otherwise shut out everybody else).
constexpr wchar_t kLockSecurity[] = L"D:(A;;0x00100001;;;WD)S:(ML;;NW;;;LW)";

using HidDGetHidGuid = void(__stdcall*)(GUID*);
using HidDGetAttributes = BOOLEAN(__stdcall*)(HANDLE, HIDD_ATTRIBUTES*);
using HidPGetCaps = NTSTATUS(__stdcall*)(PHIDP_PREPARSED_DATA, HIDP_CAPS*);
using HidDGetPreparsedData = BOOLEAN(__stdcall*)(HANDLE, PHIDP_PREPARSED_DATA*);
using HidDGetFeature = BOOLEAN(__stdcall*)(HANDLE, void*, ULONG);
using HidDSetFeature = BOOLEAN(__stdcall*)(HANDLE, void*, ULONG);
using HidDFreePreparsedData = BOOLEAN(__stdcall*)(PHIDP_PREPARSED_DATA);

// hid.dll and its entry points. Open devices share it, so that it stays loaded until the last
// of them has closed, whenever the platform unloads.
struct HidLibrary {
    HMODULE module = nullptr;
    HidDGetHidGuid GetHidGuid = nullptr;
    HidDGetAttributes GetAttributes = nullptr;
    HidPGetCaps GetCaps = nullptr;
    HidDGetPreparsedData GetPreparsedData = nullptr;
    HidDGetFeature GetFeature = nullptr;
    HidDSetFeature SetFeature = nullptr;
    HidDFreePreparsedData FreePreparsedData = nullptr;

    HidLibrary() = default;
    HidLibrary(const HidLibrary&) = delete;
    HidLibrary& operator=(const HidLibrary&) = delete;
    ~HidLibrary() {
        if (module) FreeLibrary(module);
    }
};

template <typename F>
bool Resolve(HMODULE module, const char* name, F& entry) {
    // GetProcAddress returns a generic function pointer; the typedefs above are the real ones.
    entry = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    return entry != nullptr;
}

std::shared_ptr<const HidLibrary> LoadHidLibrary() {
    auto library = std::make_shared<HidLibrary>();
    // From the system folder only: a hid.dll in the current folder must not be picked up.
    library->module = LoadLibraryExW(L"hid.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!library->module) return nullptr;
    const HMODULE m = library->module;
    if (!Resolve(m, "HidD_GetHidGuid", library->GetHidGuid) ||
        !Resolve(m, "HidD_GetAttributes", library->GetAttributes) ||
        !Resolve(m, "HidP_GetCaps", library->GetCaps) ||
        !Resolve(m, "HidD_GetPreparsedData", library->GetPreparsedData) ||
        !Resolve(m, "HidD_GetFeature", library->GetFeature) ||
        !Resolve(m, "HidD_SetFeature", library->SetFeature) ||
        !Resolve(m, "HidD_FreePreparsedData", library->FreePreparsedData)) {
        return nullptr;
    }
    return library;
}

// UTF-8 to UTF-16; nullopt for text that is not UTF-8 or holds a NUL (which would cut the
// path short, and so name another file).
std::optional<std::wstring> Widen(const std::string& text) {
    if (text.empty() || text.size() > INT_MAX || text.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    const int size = static_cast<int>(text.size());
    const int length =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
    if (length <= 0) return std::nullopt;
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, wide.data(),
                            length) != length) {
        return std::nullopt;
    }
    return wide;
}

std::optional<std::string> Narrow(const wchar_t* text, std::size_t count) {
    if (count == 0 || count > INT_MAX) return std::nullopt;
    const int size = static_cast<int>(count);
    const int length = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, size, nullptr, 0,
                                           nullptr, nullptr);
    if (length <= 0) return std::nullopt;
    std::string narrow(static_cast<std::size_t>(length), '\0');
    if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, size, narrow.data(), length,
                            nullptr, nullptr) != length) {
        return std::nullopt;
    }
    return narrow;
}

struct HandleClose {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using UniqueHandle = std::unique_ptr<void, HandleClose>;

struct DeviceInfoListDestroy {
    void operator()(HDEVINFO set) const { SetupDiDestroyDeviceInfoList(set); }
};
using DeviceInfoList = std::unique_ptr<void, DeviceInfoListDestroy>;

class WindowsHidDevice final : public HidDevice {
public:
    WindowsHidDevice(std::shared_ptr<const HidLibrary> library, UniqueHandle handle)
        : library_(std::move(library)), handle_(std::move(handle)) {}

    bool GetAttributes(std::uint16_t& vendorId, std::uint16_t& productId) override {
        try {
            HIDD_ATTRIBUTES attributes{};
            attributes.Size = sizeof attributes;
            if (!library_->GetAttributes(handle_.get(), &attributes)) return false;
            vendorId = attributes.VendorID;
            productId = attributes.ProductID;
            return true;
        } catch (...) {
            return false;
        }
    }

    bool GetReportLengths(HidReportLengths& lengths) override {
        try {
            PHIDP_PREPARSED_DATA preparsed = nullptr;
            if (!library_->GetPreparsedData(handle_.get(), &preparsed) || !preparsed) return false;
            HIDP_CAPS caps{};
            const NTSTATUS status = library_->GetCaps(preparsed, &caps);
            library_->FreePreparsedData(preparsed);
            if (status != HIDP_STATUS_SUCCESS) return false;
            // The system's lengths already count the report-ID byte, numbered or not.
            lengths.input = caps.InputReportByteLength;
            lengths.output = caps.OutputReportByteLength;
            lengths.feature = caps.FeatureReportByteLength;
            return true;
        } catch (...) {
            return false;
        }
    }

    bool SetFeature(const std::uint8_t* report, std::size_t length) override {
        if (report == nullptr || length == 0 || length > kMaxFeatureLength) return false;
        try {
            // The call takes a writable buffer; the caller's stays as it was.
            std::vector<std::uint8_t> copy(report, report + length);
            return library_->SetFeature(handle_.get(), copy.data(), static_cast<ULONG>(length)) !=
                   FALSE;
        } catch (...) {
            return false;
        }
    }

    int GetFeature(std::uint8_t* report, std::size_t length) override {
        if (report == nullptr || length == 0 || length > kMaxFeatureLength) return -1;
        try {
            // HidD_GetFeature says nothing of how many bytes came: a success fills the report.
            if (!library_->GetFeature(handle_.get(), report, static_cast<ULONG>(length))) return -1;
            return static_cast<int>(length);
        } catch (...) {
            return -1;
        }
    }

private:
    std::shared_ptr<const HidLibrary> library_;
    UniqueHandle handle_;
};

// A named mutex. It belongs to a thread: TryLock and Unlock must run on the same one (each
// exchange takes and lets go of the lock on its own thread). The system lets go of a mutex
// whose thread ends while holding it; the next TryLock then holds it.
class MutexDeviceLock final : public HidDeviceLock {
public:
    explicit MutexDeviceLock(UniqueHandle mutex) : mutex_(std::move(mutex)) {}
    ~MutexDeviceLock() override {
        if (held_) ReleaseMutex(mutex_.get());
    }
    MutexDeviceLock(const MutexDeviceLock&) = delete;
    MutexDeviceLock& operator=(const MutexDeviceLock&) = delete;

    Result TryLock() override {
        switch (WaitForSingleObject(mutex_.get(), 0)) {
            case WAIT_OBJECT_0:
            case WAIT_ABANDONED:  // its holder ended without letting go
                held_ = true;
                return Result::kHeld;
            case WAIT_TIMEOUT:
                return Result::kInUse;
            default:
                return Result::kFailed;
        }
    }

    void Unlock() override {
        if (ReleaseMutex(mutex_.get())) held_ = false;
    }

private:
    UniqueHandle mutex_;
    bool held_ = false;
};

class WindowsHidPlatform final : public HidPlatform {
public:
    bool Load() override {
        try {
            if (!library_) library_ = LoadHidLibrary();
            return library_ != nullptr;
        } catch (...) {
            return false;
        }
    }

    void Unload() override { library_.reset(); }

    std::optional<std::vector<std::string>> ListInterfaces() override {
        if (!library_) return std::nullopt;
        try {
            return List();
        } catch (...) {
            return std::nullopt;
        }
    }

    std::unique_ptr<HidDevice> Open(const std::string& path) override {
        if (!library_) return nullptr;
        try {
            const auto widePath = Widen(path);
            if (!widePath) return nullptr;
            HANDLE handle =
                CreateFileW(widePath->c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
            if (handle == INVALID_HANDLE_VALUE) return nullptr;
            UniqueHandle owned(handle);
            return std::make_unique<WindowsHidDevice>(library_, std::move(owned));
        } catch (...) {
            return nullptr;
        }
    }

    std::unique_ptr<HidDeviceLock> OpenDeviceLock(const std::string& path) override {
        try {
            if (path.empty() || path.find('\0') != std::string::npos) return nullptr;
            return OpenNamedDeviceLock(DeviceLockName(path));
        } catch (...) {
            return nullptr;
        }
    }

private:
    std::optional<std::vector<std::string>> List() {
        GUID hidGuid{};
        library_->GetHidGuid(&hidGuid);
        const HDEVINFO set =
            SetupDiGetClassDevsW(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        if (set == INVALID_HANDLE_VALUE) return std::nullopt;
        const DeviceInfoList owned(set);

        std::vector<std::string> paths;
        int errorsInARow = 0;
        bool ended = false;
        for (DWORD index = 0; errorsInARow < kMaxEnumerationErrors; ++index) {
            SP_DEVICE_INTERFACE_DATA interfaceData{};
            interfaceData.cbSize = sizeof interfaceData;
            if (!SetupDiEnumDeviceInterfaces(set, nullptr, &hidGuid, index, &interfaceData)) {
                if (GetLastError() == ERROR_NO_MORE_ITEMS) {
                    ended = true;
                    break;
                }
                ++errorsInARow;
                continue;
            }
            errorsInARow = 0;
            if (auto path = DetailPath(set, interfaceData)) paths.push_back(std::move(*path));
        }
        // A list cut short by errors still names present interfaces; with none it says nothing.
        if (!ended && paths.empty()) return std::nullopt;
        std::sort(paths.begin(), paths.end());
        paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
        return paths;
    }

    static std::optional<std::string> DetailPath(HDEVINFO set,
                                                 SP_DEVICE_INTERFACE_DATA& interfaceData) {
        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, nullptr, 0, &required, nullptr);
        constexpr DWORD kPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
        if (required <= kPathOffset || required > kMaxDetailSize) return std::nullopt;
        // Words, so that the record is aligned as the system expects.
        std::vector<std::uint64_t> storage((required + 7) / 8);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (!SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, detail, required, nullptr,
                                              nullptr)) {
            return std::nullopt;
        }
        const std::size_t room = (required - kPathOffset) / sizeof(wchar_t);
        return Narrow(detail->DevicePath, wcsnlen(detail->DevicePath, room));
    }

    std::shared_ptr<const HidLibrary> library_;
};

std::uint64_t Fnv1a(const std::string& text) {
    std::uint64_t hash = 14695981039346656037ull;
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    return hash;
}

}  // namespace

std::wstring DeviceLockName(const std::string& path) {
    // Paths name the same device in any case; everything but letters and digits (the
    // backslashes above all, which a mutex name may not hold) becomes '_'.
    std::string lowered = path;
    for (char& c : lowered) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    std::wstring key;
    for (const char c : lowered) {
        const bool safe = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        key.push_back(safe ? static_cast<wchar_t>(c) : L'_');
    }
    if (key.size() > kMaxLockKey) {
        wchar_t hash[17];
        std::swprintf(hash, 17, L"%016llx", static_cast<unsigned long long>(Fnv1a(lowered)));
        key.resize(kMaxLockKey - 17);
        key += L'-';
        key += hash;
    }
    return kLockPrefix + key;
}

std::unique_ptr<HidDeviceLock> OpenNamedDeviceLock(const std::wstring& name) {
    try {
        SECURITY_ATTRIBUTES attributes{};
        attributes.nLength = sizeof attributes;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        // Without the descriptor the mutex still locks, only other users' programs cannot use it.
        if (ConvertStringSecurityDescriptorToSecurityDescriptorW(kLockSecurity, SDDL_REVISION_1,
                                                                 &descriptor, nullptr)) {
            attributes.lpSecurityDescriptor = descriptor;
        }
        // Created if new, opened if another program made it; asking only for what the lock
        // uses, which is what the descriptor grants to others.
        HANDLE mutex =
            CreateMutexExW(&attributes, name.c_str(), 0, SYNCHRONIZE | MUTEX_MODIFY_STATE);
        if (descriptor) LocalFree(descriptor);
        if (!mutex) return nullptr;
        UniqueHandle owned(mutex);
        return std::make_unique<MutexDeviceLock>(std::move(owned));
    } catch (...) {
        return nullptr;
    }
}

std::shared_ptr<HidPlatform> MakeWindowsHidPlatform() {
    return std::make_shared<WindowsHidPlatform>();
}

std::shared_ptr<HidPlatform> MakeSystemHidPlatform() {
    return MakeWindowsHidPlatform();
}

}  // namespace tavex
