#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace tavex {

// An open file of the platform: a descriptor, or a Windows handle; -1 for none.
using NativeFile = std::intptr_t;
inline constexpr NativeFile kNoFile = -1;

// ---- reading a file by name ----

struct ReadLimits {
    // Larger files are refused before a byte is read.
    std::uint64_t maxSize = 0;
    // When set, a file of any other size is refused.
    std::optional<std::uint64_t> exactSize;
    // False: a symbolic link at the name is refused instead of followed.
    bool followLinks = true;
};

// Reads a whole file named by path. It is opened without blocking (a FIFO or a device never
// stalls the caller) and checked to be a regular file within the limits before anything is read.
// On failure error is a sentence naming the file. A missing file also sets *missing, when given.
bool ReadRegularFile(const std::string& path, const ReadLimits& limits, std::string& bytes,
                     std::string& error, bool* missing = nullptr);

// Checks, without reading it, that path names a regular file of at most maxSize bytes (help pages
// handed to another program, say).
bool IsReadableRegularFile(const std::string& path, std::uint64_t maxSize, std::string& error);

// ---- replacing a file ----
//
// Every file the program writes replaces its target by one rule:
// - the target must be a regular file or not exist; anything else (a folder, a FIFO, a device)
//   is refused;
// - a symbolic link is followed only when it belongs to the user running the program or to root
//   (and only when the writer allows links at all); a link of another user, or one that leads
//   nowhere, is refused; on Windows a link (reparse point) is never followed, always refused;
// - an earlier file without any write permission bit (on Windows: with the read-only attribute)
//   is read-only and is not replaced, whoever runs the program;
// - the new content goes into a new file beside the target (beside the file a followed link leads
//   to), created exclusively with mode 0600 under a name that always fits the folder's limit; it
//   is written, flushed to disk, given the earlier file's permission bits without
//   setuid/setgid/sticky (or the umask's default for a new file), renamed over the target, and
//   the folder is flushed (on Windows: moved over it with write-through; it takes the folder's
//   permissions);
// - on any failure the new file is removed and the earlier file is left as it was.

struct ReplaceOptions {
    bool followLinks = true;
};

class FileReplacement {
public:
    FileReplacement() = default;
    // Abandons a replacement that was not committed.
    ~FileReplacement();
    FileReplacement(const FileReplacement&) = delete;
    FileReplacement& operator=(const FileReplacement&) = delete;

    // Checks the target and creates the new file beside it. False (with Error()) when the target
    // may not be replaced or the new file cannot be made.
    bool Begin(const std::string& target, const ReplaceOptions& options = {});
    // The new file, open for reading and writing; kNoFile before Begin or after the end.
    NativeFile Descriptor() const { return fd_; }
    // A second descriptor (handle) of the new file for a writer of its own, which closes it;
    // kNoFile on failure.
    NativeFile Duplicate() const;
    bool Write(const void* data, std::size_t size);
    // Puts the new file in place of the target. On failure the new file is gone and the target
    // untouched.
    bool Commit();
    // Removes the new file; the target stays as it was.
    void Abandon();

    bool Active() const { return fd_ >= 0; }
    const std::string& Error() const { return error_; }
    // The name given to Begin, and the new file's name within the target's folder.
    const std::string& Target() const { return target_; }
    const std::string& PartialName() const { return partialName_; }

    // Whether target may be replaced under the rule, without creating anything.
    static bool CheckTarget(const std::string& target, const ReplaceOptions& options,
                            std::string& error);

private:
    bool Fail(const std::string& reason);

    std::string target_;
    std::string error_;
    NativeFile fd_ = kNoFile;
    std::string partialName_;  // the new file, within the target's folder
    ReplaceOptions options_;
#ifdef _WIN32
    std::wstring folder_;  // the target's folder, with its separator
    std::wstring baseName_;
#else
    int dirFd_ = -1;
    std::string baseName_;  // the file replaced, within dirFd_
    unsigned mode_ = 0;
#endif
};

// ---- a private scratch folder ----

// Makes a new folder that only this user can enter, under the system's temporary folder (TMPDIR,
// /tmp; on Windows the user's temporary folder), named from prefix; its UTF-8 path in path.
bool MakePrivateFolder(const std::string& prefix, std::string& path, std::string& error);
// Removes a folder and everything in it, as far as it can.
void RemoveTree(const std::string& path);

// Replaces target with the given bytes through FileReplacement.
bool ReplaceWholeFile(const std::string& target, const void* data, std::size_t size,
                      std::string& error, const ReplaceOptions& options = {});

}  // namespace tavex
