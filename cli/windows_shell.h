#pragma once

#include <string>

#include "export/shell.h"

namespace tavex::cli {

// The command-line tool's shell on Windows: opens a file with its associated program (the
// shell's "open" verb) and starts command lines as new processes; neither waits for the program.
class WindowsShell : public Shell {
public:
    bool OpenDocument(const std::string& path) override;
    bool StartCommand(const std::string& commandLine) override;
};

}  // namespace tavex::cli
