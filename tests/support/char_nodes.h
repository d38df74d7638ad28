#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace tavex::testing {

// Character device nodes of a test's own, standing in for hidraw nodes: each its own inode, so
// that locks on one never meet another test's. Made with mknod where the test may (as root, with
// the null device's numbers), else as a link to a new pseudo-terminal. False, with why, where
// neither works.
class CharNodes {
public:
    ~CharNodes() {
        for (const int fd : terminals_) ::close(fd);
    }

    bool Make(const std::string& path, std::string& why) {
        if (::mknod(path.c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0) {
            const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd >= 0 && ::close(fd) == 0) return true;
            ::unlink(path.c_str());
        }
        why = std::string("mknod: ") + std::strerror(errno);
        const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (terminal >= 0) terminals_.push_back(terminal);
        if (terminal < 0 || ::grantpt(terminal) != 0 || ::unlockpt(terminal) != 0 ||
            ::symlink(::ptsname(terminal), path.c_str()) != 0) {
            why += std::string("; a pseudo-terminal: ") + std::strerror(errno);
            return false;
        }
        return true;
    }

private:
    std::vector<int> terminals_;
};

}  // namespace tavex::testing
