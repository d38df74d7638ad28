#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

// What the file layer's platform parts share.
namespace tavex::fileio_detail {

inline std::string Quoted(const std::string& path) {
    return "\"" + path + "\"";
}

// Cuts a UTF-8 name to at most limit bytes without splitting a character.
inline std::string Shortened(const std::string& name, std::size_t limit) {
    if (name.size() <= limit) return name;
    std::size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) --end;
    return name.substr(0, end);
}

// A file of size bytes read under the limits: false, with error naming the file, when it is not.
inline bool WithinReadLimits(const std::string& path, std::uint64_t size, std::uint64_t maxSize,
                             const std::optional<std::uint64_t>& exactSize, std::string& error) {
    if (exactSize && size != *exactSize) {
        error = Quoted(path) + " is " + std::to_string(size) + " bytes; it should be exactly " +
                std::to_string(*exactSize);
        return false;
    }
    if (size > maxSize) {
        error = Quoted(path) + " is " + std::to_string(size) + " bytes; at most " +
                std::to_string(maxSize) + " are read";
        return false;
    }
    return true;
}

// Hands over what was read: got bytes of content, read with one byte of slack beyond the size
// the file had when it was opened; false when the file changed size meanwhile.
inline bool TakeWhatWasRead(const std::string& path, std::string& content, std::size_t got,
                            std::uint64_t size, std::string& bytes, std::string& error) {
    if (got != size) {
        error = Quoted(path) + " changed size while it was read";
        return false;
    }
    content.resize(got);
    bytes = std::move(content);
    return true;
}

// Numbers the new files of this process, so that their names differ.
inline std::atomic<std::uint64_t> g_partialCounter{0};

}  // namespace tavex::fileio_detail
