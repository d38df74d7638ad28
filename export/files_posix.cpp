#include "export/files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace tavex {

bool RawFile::OpenDescriptor(NativeFile fd) {
    if (fd < 0) return false;
    if (open_) {
        ::close(static_cast<int>(fd));
        return false;
    }
    handle_ = fd;
    open_ = 1;
    return true;
}

// Opened without blocking and without following a link, and only when it is a regular file: a
// FIFO or device under the name never stalls the program.
bool RawFile::OpenFile(const std::string& name) {
    if (open_) return true;
    const int fd =
        ::open(name.c_str(), O_RDWR | O_CREAT | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return false;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    // Nobody else may write the file while it is ours.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    handle_ = fd;
    open_ = 1;
    return true;
}

bool RawFile::CloseFile() {
    if (!open_) return true;
    const bool synced = ::fsync(static_cast<int>(handle_)) == 0;
    const bool closed = ::close(static_cast<int>(handle_)) == 0;
    handle_ = kNoFile;
    open_ = 0;
    return synced && closed;
}

bool RawFile::WriteBytes(const void* buffer, std::uint16_t count) {
    if (!open_ || (count > 0 && !buffer)) return false;
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(static_cast<int>(handle_), bytes + done, count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::uint16_t RawFile::ReadBytes(void* buffer, std::uint16_t count) {
    if (!open_ || !buffer) return 0;
    auto* bytes = static_cast<unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::read(static_cast<int>(handle_), bytes + done, count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<std::uint16_t>(done);
}

void RawFile::SeekTo(std::uint32_t offset) {
    if (open_) ::lseek(static_cast<int>(handle_), static_cast<off_t>(offset), SEEK_SET);
}

}  // namespace tavex
