#include "platform/data_folder.h"

#include <windows.h>
#include <sddl.h>

#include "platform/text.h"
#include "platform/unique_handle.h"
#include "platform/win32/admin_only_security.h"

namespace velmora::vpn::platform {
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
    if (!systemFolder(root, kSystemOnlySddl, error) || !systemFolder(users, kSystemOnlySddl, error) ||
        !systemFolder(own, userAccess.c_str(), error))
        return std::nullopt;
    return toUtf8(own);
}

}  // namespace velmora::vpn::platform
