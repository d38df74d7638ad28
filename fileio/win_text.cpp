#include "fileio/win_text.h"

#include <windows.h>

namespace tavex {

bool Widen(const std::string& utf8, std::wstring& utf16) {
    utf16.clear();
    if (utf8.empty()) return true;
    const int size = static_cast<int>(utf8.size());
    const int needed =
        ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, nullptr, 0);
    if (needed <= 0) return false;
    utf16.resize(static_cast<std::size_t>(needed));
    return ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, utf16.data(),
                                 needed) == needed;
}

bool Narrow(const std::wstring& utf16, std::string& utf8) {
    utf8.clear();
    if (utf16.empty()) return true;
    const int size = static_cast<int>(utf16.size());
    const int needed = ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, utf16.data(), size,
                                             nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return false;
    utf8.resize(static_cast<std::size_t>(needed));
    return ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, utf16.data(), size, utf8.data(),
                                 needed, nullptr, nullptr) == needed;
}

std::wstring Widen(const std::string& utf8) {
    std::wstring out;
    return Widen(utf8, out) ? out : std::wstring();
}

std::string Narrow(const std::wstring& utf16) {
    std::string out;
    return Narrow(utf16, out) ? out : std::string();
}

std::string WindowsErrorText(std::uint32_t code) {
    wchar_t* buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text = length > 0 && buffer ? std::wstring(buffer, length) : std::wstring();
    if (buffer) ::LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L'.' ||
                             text.back() == L' ')) {
        text.pop_back();
    }
    if (text.empty()) return "error " + std::to_string(code);
    return Narrow(text);
}

}  // namespace tavex
