#include "export/files.h"

namespace tavex {

RawFile::~RawFile() {
    CloseFile();
}

RawFile& TheRawFile() {
    static RawFile file;
    return file;
}

}  // namespace tavex
