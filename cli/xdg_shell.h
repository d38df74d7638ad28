#pragma once

#include <string>
#include <vector>

#include "export/shell.h"

namespace tavex::cli {

// The command-line tool's shell: opens a file with the desktop's default program through
// xdg-open and starts command lines through /bin/sh. Neither waits for the program it starts,
// and none of them is left behind as a zombie: each is started from a short-lived
// intermediate process, so it belongs to init (or the session's subreaper) from the start.
// The started program gets /dev/null as its input, a session of its own and none of this
// process's other open files.
class XdgShell : public Shell {
public:
    // opener: the program (and any leading arguments) that opens a file; the file's path is
    // passed as one more argument, never through a shell.
    explicit XdgShell(std::vector<std::string> opener = {"xdg-open"});

    // True when the opener was started; false when it could not be (not installed, no
    // processes left).
    bool OpenDocument(const std::string& path) override;
    // Runs the command line with /bin/sh -c; true when the shell was started.
    bool StartCommand(const std::string& commandLine) override;

private:
    std::vector<std::string> opener_;
};

// Starts argv[0] (looked up in PATH) with the given arguments, detached as above. True when
// the program was started.
bool StartDetached(const std::vector<std::string>& argv);

}  // namespace tavex::cli
