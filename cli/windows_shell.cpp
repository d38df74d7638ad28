#include "cli/windows_shell.h"

#include <objbase.h>
#include <shellapi.h>
#include <windows.h>

#include "fileio/win_text.h"

namespace tavex::cli {

bool WindowsShell::OpenDocument(const std::string& path) {
    std::wstring wide;
    if (path.empty() || !Widen(path, wide)) return false;
    // Some handlers are reached through COM; the shell wants it set up on the calling thread.
    const HRESULT com =
        ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    const auto result = reinterpret_cast<INT_PTR>(
        ::ShellExecuteW(nullptr, L"open", wide.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
    if (SUCCEEDED(com)) ::CoUninitialize();
    return result > 32;
}

bool WindowsShell::StartCommand(const std::string& commandLine) {
    std::wstring wide;
    if (commandLine.empty() || !Widen(commandLine, wide)) return false;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(nullptr, wide.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &process)) {
        return false;
    }
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return true;
}

}  // namespace tavex::cli
