#include "fileio/safe_file.h"
#include "fileio/safe_file_common.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>

namespace tavex {

using fileio_detail::g_partialCounter;
using fileio_detail::Quoted;
using fileio_detail::Shortened;

namespace {

constexpr int kMaxLinkHops = 40;

std::string OsError(int error) {
    return std::strerror(error);
}

int OpenRetrying(int dirFd, const char* name, int flags, mode_t mode = 0) {
    int fd;
    do {
        fd = ::openat(dirFd, name, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// Splits a path into its folder ("." when it has none) and its last component.
void SplitPath(const std::string& path, std::string& folder, std::string& base) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        folder = ".";
        base = path;
    } else {
        folder = slash == 0 ? "/" : path.substr(0, slash);
        base = path.substr(slash + 1);
    }
}

bool IsPlainName(const std::string& base) {
    return !base.empty() && base != "." && base != "..";
}

// The umask as the process has it. The kernel tells it without changing it; only where it does
// not is it read by setting it, under a lock of our own.
mode_t CurrentUmask() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("Umask:", 0) == 0) {
            return static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8) & 0777);
        }
    }
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    const mode_t mask = ::umask(077);
    ::umask(mask);
    return mask;
}

// Where the replacement goes: an open folder and the name within it, with what stands there now.
struct ResolvedTarget {
    int dirFd = -1;
    std::string base;
    bool exists = false;
    mode_t mode = 0;  // permission bits of the earlier file
};

// Follows the target to the file that is to be replaced, by the rule in the header. On success
// the caller owns resolved.dirFd.
bool ResolveTarget(const std::string& target, const ReplaceOptions& options,
                   ResolvedTarget& resolved, std::string& error) {
    std::string folder;
    std::string base;
    SplitPath(target, folder, base);
    if (!IsPlainName(base)) {
        error = Quoted(target) + " is not a file name";
        return false;
    }
    int dirFd = OpenRetrying(AT_FDCWD, folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) {
        error = "cannot open the folder of " + Quoted(target) + ": " + OsError(errno);
        return false;
    }
    bool followed = false;
    for (int hop = 0;; ++hop) {
        struct stat info {};
        if (::fstatat(dirFd, base.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            const int why = errno;
            if (why == ENOENT && !followed) {
                resolved.dirFd = dirFd;
                resolved.base = base;
                resolved.exists = false;
                return true;
            }
            CloseFd(dirFd);
            error = why == ENOENT ? Quoted(target) +
                                        " is a symbolic link to nothing; it is not "
                                        "followed"
                                  : "cannot use " + Quoted(target) + ": " + OsError(why);
            return false;
        }
        if (S_ISREG(info.st_mode)) {
            if ((info.st_mode & 0222) == 0) {
                CloseFd(dirFd);
                error = Quoted(target) + " is read-only; it is not replaced";
                return false;
            }
            resolved.dirFd = dirFd;
            resolved.base = base;
            resolved.exists = true;
            resolved.mode = info.st_mode & 0777;
            return true;
        }
        if (!S_ISLNK(info.st_mode)) {
            CloseFd(dirFd);
            error = Quoted(target) + " is not a regular file; it is not replaced";
            return false;
        }
        if (!options.followLinks) {
            CloseFd(dirFd);
            error = Quoted(target) + " is a symbolic link; it is not replaced";
            return false;
        }
        if (info.st_uid != ::geteuid() && info.st_uid != 0) {
            CloseFd(dirFd);
            error = Quoted(target) +
                    " is a symbolic link that belongs to another user; it is not followed";
            return false;
        }
        if (hop >= kMaxLinkHops) {
            CloseFd(dirFd);
            error = Quoted(target) + " leads through too many symbolic links";
            return false;
        }
        std::string link(static_cast<std::size_t>(info.st_size > 0 ? info.st_size : 255) + 1, '\0');
        const ssize_t length = ::readlinkat(dirFd, base.c_str(), link.data(), link.size());
        if (length < 0 || static_cast<std::size_t>(length) >= link.size()) {
            const int why = length < 0 ? errno : ENAMETOOLONG;
            CloseFd(dirFd);
            error = "cannot read the symbolic link " + Quoted(target) + ": " + OsError(why);
            return false;
        }
        link.resize(static_cast<std::size_t>(length));
        std::string linkFolder;
        SplitPath(link, linkFolder, base);
        if (!IsPlainName(base)) {
            CloseFd(dirFd);
            error = Quoted(target) + " is not a regular file; it is not replaced";
            return false;
        }
        // A relative link counts from the folder it lies in.
        const int next =
            OpenRetrying(dirFd, linkFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const int why = errno;
        CloseFd(dirFd);
        if (next < 0) {
            error = why == ENOENT
                        ? Quoted(target) +
                              " is a symbolic link to nothing; it is not "
                              "followed"
                        : "cannot follow the symbolic link " + Quoted(target) + ": " + OsError(why);
            return false;
        }
        dirFd = next;
        followed = true;
    }
}

}  // namespace

// ---- reading ----

namespace {

bool OpenRegular(const std::string& path, std::uint64_t maxSize,
                 const std::optional<std::uint64_t>& exactSize, bool followLinks, int& fdOut,
                 struct stat& info, std::string& error, bool* missing) {
    if (missing) *missing = false;
    if (path.empty()) {
        error = "no file named";
        return false;
    }
    // Looked at before it is opened: opening a device can have effects of its own.
    const int statFlags = followLinks ? 0 : AT_SYMLINK_NOFOLLOW;
    if (::fstatat(AT_FDCWD, path.c_str(), &info, statFlags) != 0) {
        if (missing) *missing = errno == ENOENT;
        error = "cannot open " + Quoted(path) + ": " + OsError(errno);
        return false;
    }
    if (S_ISLNK(info.st_mode)) {
        error = Quoted(path) + " is a symbolic link; it is not read";
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        error = Quoted(path) + " is not a regular file";
        return false;
    }
    const int fd = OpenRetrying(AT_FDCWD, path.c_str(),
                                O_RDONLY | O_NONBLOCK | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW));
    if (fd < 0) {
        if (missing) *missing = errno == ENOENT;
        error = errno == ELOOP ? Quoted(path) + " is a symbolic link; it is not read"
                               : "cannot open " + Quoted(path) + ": " + OsError(errno);
        return false;
    }
    // What was opened is checked again: the name may have changed since it was looked at.
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        error = Quoted(path) + " is not a regular file";
        return false;
    }
    if (!fileio_detail::WithinReadLimits(path, static_cast<std::uint64_t>(info.st_size), maxSize,
                                         exactSize, error)) {
        ::close(fd);
        return false;
    }
    fdOut = fd;
    return true;
}

}  // namespace

bool ReadRegularFile(const std::string& path, const ReadLimits& limits, std::string& bytes,
                     std::string& error, bool* missing) {
    int fd = -1;
    struct stat info {};
    const std::uint64_t maxSize = limits.exactSize ? *limits.exactSize : limits.maxSize;
    if (!OpenRegular(path, maxSize, limits.exactSize, limits.followLinks, fd, info, error,
                     missing)) {
        return false;
    }
    // The size is not trusted: read one byte beyond it to see a file that grows meanwhile.
    std::string content(static_cast<std::size_t>(info.st_size) + 1, '\0');
    std::size_t got = 0;
    int readError = 0;
    while (got < content.size()) {
        const ssize_t n = ::read(fd, content.data() + got, content.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            readError = errno;
            break;
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (readError != 0) {
        error = "cannot read " + Quoted(path) + ": " + OsError(readError);
        return false;
    }
    return fileio_detail::TakeWhatWasRead(path, content, got,
                                          static_cast<std::uint64_t>(info.st_size), bytes, error);
}

bool IsReadableRegularFile(const std::string& path, std::uint64_t maxSize, std::string& error) {
    int fd = -1;
    struct stat info {};
    if (!OpenRegular(path, maxSize, std::nullopt, true, fd, info, error, nullptr)) return false;
    ::close(fd);
    return true;
}

// ---- a private scratch folder ----

bool MakePrivateFolder(const std::string& prefix, std::string& path, std::string& error) {
    // A TMPDIR that is gone or cannot be used is passed over for /tmp.
    const char* tmp = std::getenv("TMPDIR");
    for (const std::string& base : {std::string(tmp && *tmp ? tmp : ""), std::string("/tmp")}) {
        if (base.empty()) continue;
        std::string pattern = base + "/" + prefix + "-XXXXXX";
        if (::mkdtemp(pattern.data()) != nullptr) {
            path = pattern;
            return true;
        }
        error = "a temporary folder cannot be made in " + Quoted(base) + ": " + OsError(errno);
    }
    return false;
}

void RemoveTree(const std::string& path) {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

// ---- replacing ----

bool FileReplacement::CheckTarget(const std::string& target, const ReplaceOptions& options,
                                  std::string& error) {
    ResolvedTarget resolved;
    if (!ResolveTarget(target, options, resolved, error)) return false;
    CloseFd(resolved.dirFd);
    return true;
}

bool FileReplacement::Begin(const std::string& target, const ReplaceOptions& options) {
    Abandon();
    error_.clear();
    target_ = target;
    options_ = options;
    ResolvedTarget resolved;
    if (!ResolveTarget(target, options, resolved, error_)) return false;
    dirFd_ = resolved.dirFd;
    baseName_ = resolved.base;
    mode_ = resolved.exists ? (resolved.mode & 0777) : (0666 & ~CurrentUmask());

    long nameMax = ::fpathconf(dirFd_, _PC_NAME_MAX);
    if (nameMax <= 0 || nameMax > 4096) nameMax = 255;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char unique[48];
        std::snprintf(unique, sizeof unique, ".%ld-%llx.part", static_cast<long>(::getpid()),
                      static_cast<unsigned long long>(g_partialCounter.fetch_add(1)));
        const std::size_t room = static_cast<std::size_t>(nameMax) - 1 - std::strlen(unique);
        partialName_ = "." + Shortened(baseName_, room) + unique;
        fd_ = OpenRetrying(dirFd_, partialName_.c_str(),
                           O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd_ < 0) fd_ = kNoFile;
        if (fd_ >= 0) return true;
        if (errno != EEXIST) break;
    }
    const int why = errno;
    partialName_.clear();
    return Fail("cannot create a file beside " + Quoted(target) + ": " + OsError(why));
}

NativeFile FileReplacement::Duplicate() const {
    if (fd_ < 0) return kNoFile;
    const int copy = ::fcntl(static_cast<int>(fd_), F_DUPFD_CLOEXEC, 0);
    return copy < 0 ? kNoFile : copy;
}

bool FileReplacement::Write(const void* data, std::size_t size) {
    if (fd_ < 0) return false;
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(static_cast<int>(fd_), bytes, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            return Fail("cannot write " + Quoted(target_) + ": " + OsError(n < 0 ? errno : ENOSPC));
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool FileReplacement::Commit() {
    if (fd_ < 0) {
        if (error_.empty()) error_ = "nothing to put in place of " + Quoted(target_);
        return false;
    }
    const int fd = static_cast<int>(fd_);
    if (::fsync(fd) != 0) return Fail("cannot write " + Quoted(target_) + ": " + OsError(errno));
    if (::fchmod(fd, static_cast<mode_t>(mode_)) != 0) {
        return Fail("cannot set the permissions of " + Quoted(target_) + ": " + OsError(errno));
    }
    // The target may have changed since Begin: the rule holds at the moment of the rename too.
    struct stat info {};
    if (::fstatat(dirFd_, baseName_.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISREG(info.st_mode) && (info.st_mode & 0222) == 0) {
            return Fail(Quoted(target_) + " is read-only; it is not replaced");
        }
        if (!S_ISREG(info.st_mode) && !S_ISLNK(info.st_mode)) {
            return Fail(Quoted(target_) + " is not a regular file; it is not replaced");
        }
    }
    const int closed = ::close(fd);
    fd_ = kNoFile;
    if (closed != 0) return Fail("cannot write " + Quoted(target_) + ": " + OsError(errno));
    if (::renameat(dirFd_, partialName_.c_str(), dirFd_, baseName_.c_str()) != 0) {
        return Fail("cannot replace " + Quoted(target_) + ": " + OsError(errno));
    }
    partialName_.clear();
    // Makes the rename itself durable; the file is complete and in place either way.
    (void)::fsync(dirFd_);
    CloseFd(dirFd_);
    return true;
}

void FileReplacement::Abandon() {
    if (fd_ >= 0) ::close(static_cast<int>(fd_));
    fd_ = kNoFile;
    if (dirFd_ >= 0 && !partialName_.empty()) ::unlinkat(dirFd_, partialName_.c_str(), 0);
    partialName_.clear();
    CloseFd(dirFd_);
}

}  // namespace tavex
