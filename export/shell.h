#pragma once

#include <string>

namespace tavex {

// Opening files with their default program and starting command lines. The panel supplies
// Qt's desktop services; the command-line tool xdg-open; tests a recorder.
class Shell {
public:
    virtual ~Shell() = default;
    virtual bool OpenDocument(const std::string& path) = 0;
    virtual bool StartCommand(const std::string& commandLine) = 0;
};

}  // namespace tavex
