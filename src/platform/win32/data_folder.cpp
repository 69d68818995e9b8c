#include "platform/data_folder.h"

#include <windows.h>
#include <sddl.h>

#include "platform/text.h"
#include "platform/unique_handle.h"
#include "platform/win32/admin_only_security.h"

namespace velmora::vpn::platform {
namespace {

// Closes a FindFirstFileExW search.
struct SearchCloser {
    HANDLE search;
    ~SearchCloser() { FindClose(search); }
};

// Lists the folder by its path: only administrators may change anything
// along it (checked just before), so nothing can be swapped in.
bool listFolder(const std::wstring& folder, std::vector<FolderEntry>& contents, SystemError& error) {
    WIN32_FIND_DATAW found{};
    const HANDLE search =
        FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) {
        error = {"FindFirstFileExW", GetLastError(), " (" + toUtf8(folder) + ")"};
        return false;
    }
    const SearchCloser closer{search};
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        const bool file = (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
        const std::uint64_t bytes = (static_cast<std::uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
        contents.push_back({toUtf8(name), file ? bytes : 0});
    } while (FindNextFileW(search, &found));
    if (GetLastError() != ERROR_NO_MORE_FILES) {
        error = {"FindNextFileW", GetLastError(), " (" + toUtf8(folder) + ")"};
        return false;
    }
    return true;
}

}  // namespace

std::string machineDataFolder(const std::string& windowsName, const std::string&) {
    wchar_t base[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"ProgramData", base, MAX_PATH);
    const std::wstring folder = length > 0 && length < MAX_PATH ? std::wstring(base, length) : L"C:\\ProgramData";
    return toUtf8(folder) + "\\" + windowsName;
}

// The user may read its own folder ("FR" for the caller's SID); no one else
// but administrators may, on a folder made now or one that was there.
std::optional<std::string> userDataFolder(const std::string& dataFolder, const CallerIdentity& caller,
                                          SystemError& error, std::vector<FolderEntry>* contents) {
    const std::string& sid = caller.user;
    if (sid.rfind("S-1-", 0) != 0 || sid.find_first_not_of("S0123456789-") != std::string::npos) {
        error = refusal("The caller \"" + sid + "\" has no SID");
        return std::nullopt;
    }
    const std::wstring root = fromUtf8(dataFolder);
    const std::wstring users = root + L"\\users";
    const std::wstring own = users + L"\\" + fromUtf8(sid);
    const std::wstring userAccess = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FR;;;" + fromUtf8(sid) + L")";
    if (!systemFolder(root, kSystemOnlySddl, error) || !systemFolder(users, kSystemOnlySddl, error) ||
        !systemFolder(own, userAccess.c_str(), error, &sid))
        return std::nullopt;
    if (contents != nullptr && !listFolder(own, *contents, error)) return std::nullopt;
    return toUtf8(own);
}

}  // namespace velmora::vpn::platform
