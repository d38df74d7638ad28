#include "archive/archive_files.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace tavex::archive::files {

namespace {

std::string UserName(uid_t uid) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_name && *found->pw_name) {
        return found->pw_name;
    }
    return "uid " + std::to_string(uid);
}

std::string FolderOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

bool LookAt(const std::string& path, Facts& facts, std::string& error) {
    facts = {};
    struct stat info {};
    if (::fstatat(AT_FDCWD, path.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        // A name longer than the folder allows cannot be there (a companion of a long name).
        if (errno == ENOENT || errno == ENAMETOOLONG) return true;
        error = "cannot look at \"" + path + "\": " + std::strerror(errno);
        return false;
    }
    facts.exists = true;
    facts.regular = S_ISREG(info.st_mode);
    facts.link = S_ISLNK(info.st_mode);
    facts.size = static_cast<std::uint64_t>(info.st_size);
    facts.owner = std::to_string(info.st_uid);
    facts.ownerName = UserName(info.st_uid);
    facts.mine = info.st_uid == ::geteuid();
    facts.trusted = facts.mine || info.st_uid == 0;
    facts.writable = (info.st_mode & S_IWUSR) != 0;
    facts.widerThanUser = facts.mine && (info.st_mode & 0077) != 0;
    return true;
}

bool FolderOpenToOthers(const std::string& path, std::string& folder) {
    folder = FolderOf(path);
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return false;
    return (info.st_mode & S_IWOTH) != 0 && (info.st_mode & S_ISVTX) == 0;
}

bool CreateNew(const std::string& path, std::string& error) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        if (errno == EEXIST) return true;
        error = "cannot create \"" + path + "\": " + std::strerror(errno);
        return false;
    }
    // A new file: no connection of this process can hold a lock on it yet.
    ::close(fd);
    return true;
}

std::string UriPath(const std::string& path) {
    return path;
}

void Tighten(const std::string& path) {
    // No link is followed; where the system cannot change a name's mode without following it,
    // the file keeps its bits.
    (void)::fchmodat(AT_FDCWD, path.c_str(), 0600, AT_SYMLINK_NOFOLLOW);
}

}  // namespace tavex::archive::files
