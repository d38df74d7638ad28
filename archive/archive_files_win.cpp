#include "archive/archive_files.h"

// clang-format off
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
// clang-format on

#include <memory>

#include "fileio/win_text.h"

namespace tavex::archive::files {

namespace {

struct HandleCloser {
    void operator()(HANDLE handle) const { ::CloseHandle(handle); }
};
using Handle = std::unique_ptr<void, HandleCloser>;

struct LocalFreer {
    void operator()(void* memory) const { ::LocalFree(memory); }
};

// The user running the program, as a SID string.
std::string CurrentUserSid() {
    HANDLE raw = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) return {};
    const Handle token(raw);
    DWORD size = 0;
    ::GetTokenInformation(raw, TokenUser, nullptr, 0, &size);
    std::unique_ptr<char[]> buffer(new char[size ? size : 1]);
    if (!::GetTokenInformation(raw, TokenUser, buffer.get(), size, &size)) return {};
    wchar_t* text = nullptr;
    if (!::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.get())->User.Sid, &text)) {
        return {};
    }
    const std::unique_ptr<void, LocalFreer> freed(text);
    return Narrow(text);
}

std::string AccountName(PSID sid) {
    wchar_t name[256];
    wchar_t domain[256];
    DWORD nameSize = 256;
    DWORD domainSize = 256;
    SID_NAME_USE use;
    if (::LookupAccountSidW(nullptr, sid, name, &nameSize, domain, &domainSize, &use)) {
        return Narrow(domainSize > 0 ? std::wstring(domain) + L"\\" + name : std::wstring(name));
    }
    return {};
}

}  // namespace

bool LookAt(const std::string& path, Facts& facts, std::string& error) {
    facts = {};
    // A handle of Windows locks nothing for another: looking through one is safe beside
    // SQLite's own, as long as every kind of sharing is allowed.
    const HANDLE raw = ::CreateFileW(
        Widen(path).c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (raw == INVALID_HANDLE_VALUE) {
        const DWORD why = ::GetLastError();
        if (why == ERROR_FILE_NOT_FOUND || why == ERROR_PATH_NOT_FOUND) return true;
        error = "cannot look at \"" + path + "\": " + WindowsErrorText(why);
        return false;
    }
    const Handle handle(raw);
    facts.exists = true;
    BY_HANDLE_FILE_INFORMATION info{};
    if (::GetFileType(raw) == FILE_TYPE_DISK && ::GetFileInformationByHandle(raw, &info)) {
        facts.link = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        facts.regular = !facts.link && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
        facts.size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
        facts.writable = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) == 0;
    }
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetSecurityInfo(raw, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                          nullptr, &descriptor) != ERROR_SUCCESS) {
        // A file system that keeps no owners (FAT on a stick): the user's, as everything on it.
        facts.mine = facts.trusted = true;
        return true;
    }
    const std::unique_ptr<void, LocalFreer> freed(descriptor);
    wchar_t* text = nullptr;
    if (owner && ::ConvertSidToStringSidW(owner, &text)) {
        const std::unique_ptr<void, LocalFreer> freedText(text);
        facts.owner = Narrow(text);
    }
    facts.ownerName = AccountName(owner);
    if (facts.ownerName.empty()) facts.ownerName = facts.owner;
    // Files an administrator or the system made count as the system's own, as root's do.
    static const std::string user = CurrentUserSid();
    facts.mine = facts.owner == user;
    facts.trusted = facts.mine || (owner && (::IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
                                             ::IsWellKnownSid(owner, WinLocalSystemSid)));
    return true;
}

bool FolderOpenToOthers(const std::string&, std::string&) {
    // Folders' permissions come from their ACLs, which the user's profile keeps to the user.
    return false;
}

bool CreateNew(const std::string& path, std::string& error) {
    const HANDLE handle = ::CreateFileW(Widen(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                        nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD why = ::GetLastError();
        if (why == ERROR_FILE_EXISTS) return true;
        error = "cannot create \"" + path + "\": " + WindowsErrorText(why);
        return false;
    }
    ::CloseHandle(handle);
    return true;
}

std::string UriPath(const std::string& path) {
    std::string uri = path;
    for (char& c : uri) {
        if (c == '\\') c = '/';
    }
    // C:/x is /C:/x in a URI; //server/share stays as it is.
    const bool drive = uri.size() >= 3 && uri[1] == ':' && uri[2] == '/' &&
                       ((uri[0] >= 'A' && uri[0] <= 'Z') || (uri[0] >= 'a' && uri[0] <= 'z'));
    return drive ? "/" + uri : uri;
}

// Windows files take their folder's permissions: nothing to tighten.
void Tighten(const std::string&) {}

}  // namespace tavex::archive::files
