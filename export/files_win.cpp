#include <windows.h>

#include "export/files.h"
#include "fileio/win_text.h"

namespace tavex {

namespace {

HANDLE AsHandle(NativeFile file) {
    return reinterpret_cast<HANDLE>(file);
}

}  // namespace

bool RawFile::OpenDescriptor(NativeFile fd) {
    if (fd == kNoFile) return false;
    if (open_) {
        ::CloseHandle(AsHandle(fd));
        return false;
    }
    handle_ = fd;
    open_ = 1;
    return true;
}

// Opened for reading and writing, shared with nobody while it is ours, only when it is a regular
// file: a device name or a link under the name is refused.
bool RawFile::OpenFile(const std::string& name) {
    if (open_) return true;
    std::wstring wide;
    if (name.empty() || !Widen(name, wide)) return false;
    const HANDLE handle =
        ::CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info{};
    if (::GetFileType(handle) != FILE_TYPE_DISK || !::GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
        ::CloseHandle(handle);
        return false;
    }
    handle_ = reinterpret_cast<NativeFile>(handle);
    open_ = 1;
    return true;
}

bool RawFile::CloseFile() {
    if (!open_) return true;
    const bool flushed = ::FlushFileBuffers(AsHandle(handle_)) != 0;
    const bool closed = ::CloseHandle(AsHandle(handle_)) != 0;
    handle_ = kNoFile;
    open_ = 0;
    return flushed && closed;
}

bool RawFile::WriteBytes(const void* buffer, std::uint16_t count) {
    if (!open_ || (count > 0 && !buffer)) return false;
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    DWORD done = 0;
    while (done < count) {
        DWORD n = 0;
        if (!::WriteFile(AsHandle(handle_), bytes + done, count - done, &n, nullptr) || n == 0) {
            return false;
        }
        done += n;
    }
    return true;
}

std::uint16_t RawFile::ReadBytes(void* buffer, std::uint16_t count) {
    if (!open_ || !buffer) return 0;
    auto* bytes = static_cast<unsigned char*>(buffer);
    DWORD done = 0;
    while (done < count) {
        DWORD n = 0;
        if (!::ReadFile(AsHandle(handle_), bytes + done, count - done, &n, nullptr) || n == 0)
            break;
        done += n;
    }
    return static_cast<std::uint16_t>(done);
}

void RawFile::SeekTo(std::uint32_t offset) {
    if (!open_) return;
    LARGE_INTEGER position{};
    position.QuadPart = offset;
    ::SetFilePointerEx(AsHandle(handle_), position, nullptr, FILE_BEGIN);
}

}  // namespace tavex
