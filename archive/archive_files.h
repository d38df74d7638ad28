#pragma once

#include <cstdint>
#include <string>

// The archive's files as the system sees them, looked at without opening them: closing any
// descriptor of a file drops every POSIX lock this process holds on it, SQLite's among them.
namespace tavex::archive::files {

// What lies at a name.
struct Facts {
    bool exists = false;
    bool regular = false;  // a regular file: not a link, folder, FIFO or device
    bool link = false;
    std::uint64_t size = 0;
    // The owner: a key that two files of the same owner share (the uid, the SID), and a name for
    // messages ("nobody", "uid 1234").
    std::string owner;
    std::string ownerName;
    // Belongs to the user running the program; or to it or to the system's administrator (as
    // links may).
    bool mine = false;
    bool trusted = false;
    // Its owner may write it (it has not been made read-only).
    bool writable = false;
    // Belongs to the user running the program, and others may read or write it.
    bool widerThanUser = false;
};

// Looks at path; false with error only when the system cannot tell (a missing file is no error).
bool LookAt(const std::string& path, Facts& facts, std::string& error);

// True when users other than the owner may write into the folder of path and it is not sticky
// (they could swap the archive's files for their own); folder names it.
bool FolderOpenToOthers(const std::string& path, std::string& folder);

// Makes a new, empty file at path that only the user may read and write; true also when another
// program made it meanwhile.
bool CreateNew(const std::string& path, std::string& error);

// path as a URI's path gives it: parts joined by '/', a full path beginning with '/'.
std::string UriPath(const std::string& path);

// Takes the others' permissions from a file of the user's (by name: nothing is opened).
void Tighten(const std::string& path);

}  // namespace tavex::archive::files
