#pragma once

#include <cstdint>
#include <string>

#include "fileio/safe_file.h"

namespace tavex {

// A plain file for raw bytes, shared by the language file and the page and CSV exports (never
// at the same time). It opens for reading and writing, creates a missing file, never truncates,
// and starts at the beginning; by name it opens only a regular file, never through a symbolic
// link. While open it holds an exclusive lock, so no other program writes the file meanwhile.
class RawFile {
public:
    RawFile() = default;
    ~RawFile();
    RawFile(const RawFile&) = delete;
    RawFile& operator=(const RawFile&) = delete;

    // True when the file is open; while one is open, the name is not used and the answer is
    // true.
    bool OpenFile(const std::string& name);
    // Takes over an open descriptor (the new file of a replacement, say) as the open file; false,
    // and the descriptor closed, when a file is open already.
    bool OpenDescriptor(NativeFile fd);
    // Flushes the file to disk and closes it. False when the data may not have reached the
    // disk.
    bool CloseFile();
    // True only when all count bytes were written.
    bool WriteBytes(const void* buffer, std::uint16_t count);
    // The number of bytes read: fewer than count at the end of the file, 0 there.
    std::uint16_t ReadBytes(void* buffer, std::uint16_t count);
    void SeekTo(std::uint32_t offset);

    bool IsOpen() const { return open_ != 0; }

private:
    NativeFile handle_ = kNoFile;
    std::uint8_t open_ = 0;
};

// The process's one raw file object.
RawFile& TheRawFile();

}  // namespace tavex
