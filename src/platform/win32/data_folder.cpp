#include "platform/data_folder.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include "platform/text.h"
#include "platform/unique_handle.h"
#include "platform/win32/admin_only_security.h"

namespace velmora::vpn::platform {
namespace {

// LocalSystem and Administrators only, for everything in it too; protected,
// so nothing is inherited from the folder above (ProgramData lets users
// create and write there). The owner is whoever makes it: LocalSystem, or
// Administrators for an elevated console run.
const std::wstring kSystemOnly = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

constexpr ACCESS_MASK kFolderWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD |
                                           FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                           GENERIC_ALL;

// Makes the folder with `sddl`, or checks the one that is there: a folder,
// no reparse point (junction or link), only administrators may write it.
bool systemFolder(const std::wstring& path, const std::wstring& sddl, SystemError& error) {
    const std::string shown = toUtf8(path);
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &raw, nullptr)) {
        error = {"ConvertStringSecurityDescriptorToSecurityDescriptorW", GetLastError(), " (" + shown + ")"};
        return false;
    }
    const LocalMemory descriptor(raw);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
    if (CreateDirectoryW(path.c_str(), &attributes)) return true;
    if (GetLastError() != ERROR_ALREADY_EXISTS) {
        error = {"CreateDirectoryW", GetLastError(), " (" + shown + ")"};
        return false;
    }

    const OwnedHandle folder(CreateFileW(path.c_str(), READ_CONTROL,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!folder) {
        error = {"CreateFileW", GetLastError(), " (" + shown + ")"};
        return false;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(folder.get(), &information)) {
        error = {"GetFileInformationByHandle", GetLastError(), " (" + shown + ")"};
        return false;
    }
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        error = {nullptr, 0, shown + " is a link or not a folder"};
        return false;
    }
    PSECURITY_DESCRIPTOR present = nullptr;
    const DWORD code =
        GetSecurityInfo(folder.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                        nullptr, nullptr, nullptr, &present);
    if (code != ERROR_SUCCESS) {
        error = {"GetSecurityInfo", code, " (" + shown + ")"};
        return false;
    }
    const LocalMemory held(present);
    return onlyAdministratorsWrite(present, kFolderWriteRights, shown, error);
}

}  // namespace

std::string machineDataFolder(const std::string& windowsName, const std::string&) {
    wchar_t base[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"ProgramData", base, MAX_PATH);
    const std::wstring folder = length > 0 && length < MAX_PATH ? std::wstring(base, length) : L"C:\\ProgramData";
    return toUtf8(folder) + "\\" + windowsName;
}

// The user may read its own folder: "FR" for the caller's SID.
std::optional<std::string> userDataFolder(const std::string& dataFolder, const CallerIdentity& caller,
                                          SystemError& error) {
    const std::string& sid = caller.user;
    if (sid.rfind("S-1-", 0) != 0 || sid.find_first_not_of("S0123456789-") != std::string::npos) {
        error = {nullptr, 0, "The caller \"" + sid + "\" has no SID"};
        return std::nullopt;
    }
    const std::wstring root = fromUtf8(dataFolder);
    const std::wstring users = root + L"\\users";
    const std::wstring own = users + L"\\" + fromUtf8(sid);
    const std::wstring userAccess = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FR;;;" + fromUtf8(sid) + L")";
    if (!systemFolder(root, kSystemOnly, error) || !systemFolder(users, kSystemOnly, error) ||
        !systemFolder(own, userAccess, error))
        return std::nullopt;
    return toUtf8(own);
}

}  // namespace velmora::vpn::platform
