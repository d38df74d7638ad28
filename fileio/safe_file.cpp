#include "fileio/safe_file.h"

namespace tavex {

FileReplacement::~FileReplacement() {
    Abandon();
}

bool FileReplacement::Fail(const std::string& reason) {
    error_ = reason;
    Abandon();
    return false;
}

bool ReplaceWholeFile(const std::string& target, const void* data, std::size_t size,
                      std::string& error, const ReplaceOptions& options) {
    FileReplacement replacement;
    const bool ok =
        replacement.Begin(target, options) && replacement.Write(data, size) && replacement.Commit();
    if (!ok) error = replacement.Error();
    return ok;
}

}  // namespace tavex
