#include <windows.h>

#include <cwctype>
#include <filesystem>

#include "fileio/safe_file.h"
#include "fileio/safe_file_common.h"
#include "fileio/win_text.h"

namespace tavex {

using fileio_detail::g_partialCounter;
using fileio_detail::Quoted;

namespace {

constexpr std::size_t kMaxNameUnits = 255;  // one name within a folder, in UTF-16 units

HANDLE AsHandle(NativeFile file) {
    return reinterpret_cast<HANDLE>(file);
}

NativeFile AsNative(HANDLE handle) {
    return handle == INVALID_HANDLE_VALUE ? kNoFile : reinterpret_cast<NativeFile>(handle);
}

std::string LastError() {
    return WindowsErrorText(::GetLastError());
}

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// The folder (with its separator, or empty for the current folder) and the last name of a path.
void SplitPath(const std::wstring& path, std::wstring& folder, std::wstring& base) {
    std::size_t cut = path.size();
    while (cut > 0 && !IsSeparator(path[cut - 1]) && path[cut - 1] != L':') --cut;
    folder = path.substr(0, cut);
    base = path.substr(cut);
}

// Names that Windows gives to devices in every folder (NUL, COM1, ...), with any extension.
bool IsDeviceName(const std::wstring& base) {
    std::wstring stem = base.substr(0, base.find(L'.'));
    while (!stem.empty() && stem.back() == L' ') stem.pop_back();
    for (wchar_t& c : stem) c = static_cast<wchar_t>(std::towupper(c));
    static const wchar_t* const kNames[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
    for (const wchar_t* name : kNames) {
        if (stem == name) return true;
    }
    return stem.size() == 4 &&
           (stem.compare(0, 3, L"COM") == 0 || stem.compare(0, 3, L"LPT") == 0) &&
           stem[3] >= L'1' && stem[3] <= L'9';
}

// The device namespace (\\.\COM1, \\.\pipe\x) never names a file.
bool IsDevicePath(const std::wstring& path) {
    return path.size() >= 4 && IsSeparator(path[0]) && IsSeparator(path[1]) && path[2] == L'.' &&
           IsSeparator(path[3]);
}

bool NamesDevice(const std::wstring& path) {
    std::wstring folder;
    std::wstring base;
    SplitPath(path, folder, base);
    return IsDevicePath(path) || IsDeviceName(base);
}

// Opens a file by name for reading, if it is a regular file within the limits.
bool OpenRegular(const std::string& path, std::uint64_t maxSize,
                 const std::optional<std::uint64_t>& exactSize, bool followLinks, HANDLE& out,
                 std::uint64_t& size, std::string& error, bool* missing) {
    if (missing) *missing = false;
    std::wstring wide;
    if (path.empty() || !Widen(path, wide)) {
        error = path.empty() ? "no file named" : Quoted(path) + " is not a valid file name";
        return false;
    }
    if (NamesDevice(wide)) {
        error = Quoted(path) + " is not a regular file";
        return false;
    }
    // Looked at before it is opened: opening a device or a pipe can have effects of its own.
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data)) {
        const DWORD why = ::GetLastError();
        if (missing) *missing = why == ERROR_FILE_NOT_FOUND || why == ERROR_PATH_NOT_FOUND;
        error = "cannot open " + Quoted(path) + ": " + WindowsErrorText(why);
        return false;
    }
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && !followLinks) {
        error = Quoted(path) + " is a symbolic link; it is not read";
        return false;
    }
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        error = Quoted(path) + " is not a regular file";
        return false;
    }
    const DWORD flags = FILE_ATTRIBUTE_NORMAL | (followLinks ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    HANDLE handle = ::CreateFileW(wide.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD why = ::GetLastError();
        if (missing) *missing = why == ERROR_FILE_NOT_FOUND || why == ERROR_PATH_NOT_FOUND;
        error = "cannot open " + Quoted(path) + ": " + WindowsErrorText(why);
        return false;
    }
    // What was opened is checked again: the name may have changed since it was looked at.
    BY_HANDLE_FILE_INFORMATION info{};
    LARGE_INTEGER length{};
    if (::GetFileType(handle) != FILE_TYPE_DISK || !::GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || !::GetFileSizeEx(handle, &length)) {
        ::CloseHandle(handle);
        error = Quoted(path) + " is not a regular file";
        return false;
    }
    size = static_cast<std::uint64_t>(length.QuadPart);
    if (!fileio_detail::WithinReadLimits(path, size, maxSize, exactSize, error)) {
        ::CloseHandle(handle);
        return false;
    }
    out = handle;
    return true;
}

// What stands at the target, by the replacement rule: false with error when it may not be
// replaced.
bool CheckWideTarget(const std::string& target, const std::wstring& wide, std::string& error) {
    if (NamesDevice(wide)) {
        error = Quoted(target) + " is not a regular file; it is not replaced";
        return false;
    }
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data)) {
        const DWORD why = ::GetLastError();
        if (why == ERROR_FILE_NOT_FOUND) return true;
        error = (why == ERROR_PATH_NOT_FOUND ? "cannot open the folder of " : "cannot use ") +
                Quoted(target) + ": " + WindowsErrorText(why);
        return false;
    }
    if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        error = Quoted(target) + " is a symbolic link; it is not replaced";
        return false;
    }
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        error = Quoted(target) + " is not a regular file; it is not replaced";
        return false;
    }
    if (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) {
        error = Quoted(target) + " is read-only; it is not replaced";
        return false;
    }
    return true;
}

bool SplitTarget(const std::string& target, std::wstring& folder, std::wstring& base,
                 std::string& error) {
    std::wstring wide;
    if (target.empty() || !Widen(target, wide)) {
        error = Quoted(target) + " is not a file name";
        return false;
    }
    SplitPath(wide, folder, base);
    if (base.empty() || base == L"." || base == L"..") {
        error = Quoted(target) + " is not a file name";
        return false;
    }
    return CheckWideTarget(target, wide, error);
}

// Cuts a UTF-16 name to at most limit units without splitting a surrogate pair.
std::wstring ShortenedWide(const std::wstring& name, std::size_t limit) {
    if (name.size() <= limit) return name;
    std::size_t end = limit;
    if (end > 0 && name[end] >= 0xDC00 && name[end] <= 0xDFFF) --end;
    return name.substr(0, end);
}

}  // namespace

// ---- reading ----

bool ReadRegularFile(const std::string& path, const ReadLimits& limits, std::string& bytes,
                     std::string& error, bool* missing) {
    HANDLE handle = INVALID_HANDLE_VALUE;
    std::uint64_t size = 0;
    const std::uint64_t maxSize = limits.exactSize ? *limits.exactSize : limits.maxSize;
    if (!OpenRegular(path, maxSize, limits.exactSize, limits.followLinks, handle, size, error,
                     missing)) {
        return false;
    }
    // The size is not trusted: read one byte beyond it to see a file that grows meanwhile.
    std::string content(static_cast<std::size_t>(size) + 1, '\0');
    std::size_t got = 0;
    bool ok = true;
    while (got < content.size()) {
        DWORD n = 0;
        const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(content.size() - got, 1u << 30));
        if (!::ReadFile(handle, content.data() + got, ask, &n, nullptr)) {
            error = "cannot read " + Quoted(path) + ": " + LastError();
            ok = false;
            break;
        }
        if (n == 0) break;
        got += n;
    }
    ::CloseHandle(handle);
    if (!ok) return false;
    return fileio_detail::TakeWhatWasRead(path, content, got, size, bytes, error);
}

bool IsReadableRegularFile(const std::string& path, std::uint64_t maxSize, std::string& error) {
    HANDLE handle = INVALID_HANDLE_VALUE;
    std::uint64_t size = 0;
    if (!OpenRegular(path, maxSize, std::nullopt, true, handle, size, error, nullptr)) return false;
    ::CloseHandle(handle);
    return true;
}

// ---- a private scratch folder ----

bool MakePrivateFolder(const std::string& prefix, std::string& path, std::string& error) {
    wchar_t temp[MAX_PATH + 1] = {};
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
    if (length == 0 || length > MAX_PATH) {
        error = "a temporary folder cannot be made: " + LastError();
        return false;
    }
    // The user's temporary folder is the user's own; a folder made in it inherits that.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::wstring candidate = std::wstring(temp) + Widen(prefix) + L"-" +
                                       std::to_wstring(::GetCurrentProcessId()) + L"-" +
                                       std::to_wstring(g_partialCounter.fetch_add(1));
        if (::CreateDirectoryW(candidate.c_str(), nullptr)) {
            path = Narrow(candidate);
            return true;
        }
        if (::GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    error = "a temporary folder cannot be made: " + LastError();
    return false;
}

void RemoveTree(const std::string& path) {
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(Widen(path)), ignored);
}

// ---- replacing ----

bool FileReplacement::CheckTarget(const std::string& target, const ReplaceOptions&,
                                  std::string& error) {
    std::wstring folder;
    std::wstring base;
    return SplitTarget(target, folder, base, error);
}

bool FileReplacement::Begin(const std::string& target, const ReplaceOptions& options) {
    Abandon();
    error_.clear();
    target_ = target;
    options_ = options;
    if (!SplitTarget(target, folder_, baseName_, error_)) return false;

    DWORD why = ERROR_FILE_EXISTS;
    for (int attempt = 0; attempt < 100 && why == ERROR_FILE_EXISTS; ++attempt) {
        const std::wstring unique = L"." + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                                    std::to_wstring(g_partialCounter.fetch_add(1)) + L".part";
        const std::wstring name =
            L"." + ShortenedWide(baseName_, kMaxNameUnits - 1 - unique.size()) + unique;
        const HANDLE handle = ::CreateFileW((folder_ + name).c_str(), GENERIC_READ | GENERIC_WRITE,
                                            0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            fd_ = AsNative(handle);
            partialName_ = Narrow(name);
            return true;
        }
        why = ::GetLastError();
    }
    return Fail("cannot create a file beside " + Quoted(target) + ": " + WindowsErrorText(why));
}

NativeFile FileReplacement::Duplicate() const {
    if (fd_ == kNoFile) return kNoFile;
    HANDLE copy = INVALID_HANDLE_VALUE;
    if (!::DuplicateHandle(::GetCurrentProcess(), AsHandle(fd_), ::GetCurrentProcess(), &copy, 0,
                           FALSE, DUPLICATE_SAME_ACCESS)) {
        return kNoFile;
    }
    return AsNative(copy);
}

bool FileReplacement::Write(const void* data, std::size_t size) {
    if (fd_ == kNoFile) return false;
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        DWORD written = 0;
        const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
        if (!::WriteFile(AsHandle(fd_), bytes, ask, &written, nullptr) || written == 0) {
            return Fail("cannot write " + Quoted(target_) + ": " + LastError());
        }
        bytes += written;
        size -= written;
    }
    return true;
}

bool FileReplacement::Commit() {
    if (fd_ == kNoFile) {
        if (error_.empty()) error_ = "nothing to put in place of " + Quoted(target_);
        return false;
    }
    if (!::FlushFileBuffers(AsHandle(fd_))) {
        return Fail("cannot write " + Quoted(target_) + ": " + LastError());
    }
    // The target may have changed since Begin: the rule holds at the moment of the move too.
    std::string refused;
    if (!CheckWideTarget(target_, folder_ + baseName_, refused)) return Fail(refused);
    const bool closed = ::CloseHandle(AsHandle(fd_)) != 0;
    fd_ = kNoFile;
    if (!closed) return Fail("cannot write " + Quoted(target_) + ": " + LastError());
    const std::wstring partial = folder_ + Widen(partialName_);
    if (!::MoveFileExW(partial.c_str(), (folder_ + baseName_).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return Fail("cannot replace " + Quoted(target_) + ": " + LastError());
    }
    partialName_.clear();
    return true;
}

void FileReplacement::Abandon() {
    if (fd_ != kNoFile) ::CloseHandle(AsHandle(fd_));
    fd_ = kNoFile;
    if (!partialName_.empty()) ::DeleteFileW((folder_ + Widen(partialName_)).c_str());
    partialName_.clear();
}

}  // namespace tavex
