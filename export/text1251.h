#pragma once

#include <string>
#include <string_view>

namespace tavex {

// Converts UTF-8 text to Windows-1251 bytes, the encoding of the page and CSV exports. A
// character that Windows-1251 has no byte for, and a malformed UTF-8 sequence, become '?'.
std::string ToWindows1251(std::string_view utf8);

}  // namespace tavex
