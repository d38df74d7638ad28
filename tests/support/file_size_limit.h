#pragma once

// POSIX only: Windows has no limit on a process's file size to stand in for a full disk.
#ifndef _WIN32

#include <sys/resource.h>

#include <csignal>

namespace tavex::testing_support {

// While it lives, files of this process cannot grow beyond the given size: a write past it
// fails as on a full disk (without a device node, and for root too).
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &old_);
        oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limited = old_;
        limited.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limited);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &old_);
        std::signal(SIGXFSZ, oldHandler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit old_{};
    void (*oldHandler_)(int) = nullptr;
};

}  // namespace tavex::testing_support

#endif
