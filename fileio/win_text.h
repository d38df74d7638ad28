#pragma once

#ifdef _WIN32

#include <cstdint>
#include <string>

namespace tavex {

// UTF-8 and the UTF-16 of the Windows API, exactly: invalid input gives false.
bool Widen(const std::string& utf8, std::wstring& utf16);
bool Narrow(const std::wstring& utf16, std::string& utf8);
// Convenience forms; invalid input gives an empty string.
std::wstring Widen(const std::string& utf8);
std::string Narrow(const std::wstring& utf16);

// The system's text for an error code, in UTF-8, without a trailing line end.
std::string WindowsErrorText(std::uint32_t code);

}  // namespace tavex

#endif
