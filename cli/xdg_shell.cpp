#include "cli/xdg_shell.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <utility>

namespace tavex::cli {

namespace {

void WriteErrno(int fd, int error) {
    while (::write(fd, &error, sizeof error) < 0 && errno == EINTR) {
    }
}

// In the process that becomes the program; only async-signal-safe calls from here on, as the
// parent may have other threads.
[[noreturn]] void BecomeProgram(char* const* argv, int reportFd, int highestFd) {
    ::setsid();
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    const int devNull = ::open("/dev/null", O_RDONLY);
    if (devNull > 0) {
        ::dup2(devNull, 0);
        ::close(devNull);
    }
    // Open files of this process (the meter's device, locks, exports) must not live on in a
    // program that may run for hours.
    if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
        for (int fd = 3; fd <= highestFd; ++fd) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    ::execvp(argv[0], argv);
    WriteErrno(reportFd, errno);
    ::_exit(127);
}

}  // namespace

bool StartDetached(const std::vector<std::string>& argv) {
    if (argv.empty() || argv[0].empty()) return false;
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        if (arg.find('\0') != std::string::npos) return false;  // would be cut short silently
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    const long openMax = ::sysconf(_SC_OPEN_MAX);
    const int highestFd = static_cast<int>(std::clamp<long>(openMax, 1024, 65536)) - 1;

    // The program reports a failed start through this pipe; its end closes on a successful
    // exec, so end of file means started.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) return false;
    const pid_t middle = ::fork();
    if (middle < 0) {
        ::close(report[0]);
        ::close(report[1]);
        return false;
    }
    if (middle == 0) {
        ::close(report[0]);
        const pid_t program = ::fork();
        if (program == 0) BecomeProgram(args.data(), report[1], highestFd);
        if (program < 0) WriteErrno(report[1], errno);
        ::_exit(0);
    }
    ::close(report[1]);
    int startError = 0;
    ssize_t got;
    do {
        got = ::read(report[0], &startError, sizeof startError);
    } while (got < 0 && errno == EINTR);
    ::close(report[0]);
    while (::waitpid(middle, nullptr, 0) < 0 && errno == EINTR) {
    }
    return got == 0;
}

XdgShell::XdgShell(std::vector<std::string> opener) : opener_(std::move(opener)) {}

bool XdgShell::OpenDocument(const std::string& path) {
    if (path.empty() || opener_.empty()) return false;
    std::vector<std::string> argv = opener_;
    // A name that starts with '-' would read as an option of the opener.
    argv.push_back(path[0] == '-' ? "./" + path : path);
    return StartDetached(argv);
}

bool XdgShell::StartCommand(const std::string& commandLine) {
    return StartDetached({"/bin/sh", "-c", commandLine});
}

}  // namespace tavex::cli
