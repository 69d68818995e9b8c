#include "platform/win32/admin_only_security.h"

#include <aclapi.h>
#include <sddl.h>

#include <vector>

#include "platform/text.h"
#include "platform/unique_handle.h"

namespace velmora::vpn::platform {
namespace {

std::string sidText(PSID sid) {
    LPWSTR text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text)) return "an unreadable SID";
    const LocalMemory held(text);
    return toUtf8(text);
}

bool ownUser(PSID sid) {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return false;
    const KernelHandle token(raw);
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> user(size);
    return size != 0 && GetTokenInformation(token.get(), TokenUser, user.data(), size, &size) &&
           EqualSid(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, sid);
}

bool administrator(PSID sid) {
    // NT SERVICE\TrustedInstaller, which owns much of the system by default.
    static const char kTrustedInstaller[] = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
    return IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
           sidText(sid) == kTrustedInstaller || ownUser(sid);
}

}  // namespace

bool onlyAdministratorsWrite(PSECURITY_DESCRIPTOR descriptor, ACCESS_MASK writeRights, const std::string& shown,
                             SystemError& error) {
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted)) {
        error = {"GetSecurityDescriptorOwner", GetLastError(), " (" + shown + ")"};
        return false;
    }
    if (owner == nullptr || !administrator(owner)) {
        error = refusal(shown + " is owned by " + (owner ? sidText(owner) : std::string("no one")));
        return false;
    }
    BOOL present = FALSE;
    PACL list = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &list, &defaulted)) {
        error = {"GetSecurityDescriptorDacl", GetLastError(), " (" + shown + ")"};
        return false;
    }
    if (!present || list == nullptr) {
        error = refusal(shown + " has no access list: everyone may write it");
        return false;
    }
    for (DWORD i = 0; i < list->AceCount; ++i) {
        void* entry = nullptr;
        if (!GetAce(list, i, &entry)) {
            error = {"GetAce", GetLastError(), " (" + shown + ")"};
            return false;
        }
        const auto* header = static_cast<ACE_HEADER*>(entry);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        const PSID sid = &allowed->SidStart;
        if ((allowed->Mask & writeRights) != 0 && !administrator(sid)) {
            error = refusal(shown + " may be written by " + sidText(sid));
            return false;
        }
    }
    return true;
}

bool systemOwnedObject(HANDLE object, bool folder, const std::string& shown, SystemError& error) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(object, &information)) {
        error = {"GetFileInformationByHandle", GetLastError(), " (" + shown + ")"};
        return false;
    }
    const bool isFolder = (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (isFolder != folder || (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        error = refusal(shown + (folder ? " is a link or not a folder" : " is a link or not a file"));
        return false;
    }
    PSECURITY_DESCRIPTOR present = nullptr;
    const DWORD code = GetSecurityInfo(object, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                       nullptr, nullptr, nullptr, nullptr, &present);
    if (code != ERROR_SUCCESS) {
        error = {"GetSecurityInfo", code, " (" + shown + ")"};
        return false;
    }
    const LocalMemory held(present);
    return onlyAdministratorsWrite(present, kFileWriteRights, shown, error);
}

bool onlyTheseRead(HANDLE object, const std::string& reader, const std::string& shown, SystemError& error) {
    // Reading a file's data and listing a folder are the same bit.
    constexpr ACCESS_MASK kReadRights = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL;
    PSECURITY_DESCRIPTOR present = nullptr;
    PACL list = nullptr;
    const DWORD code =
        GetSecurityInfo(object, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &list, nullptr, &present);
    if (code != ERROR_SUCCESS) {
        error = {"GetSecurityInfo", code, " (" + shown + ")"};
        return false;
    }
    const LocalMemory held(present);
    if (list == nullptr) {
        error = refusal(shown + " has no access list: everyone may read it");
        return false;
    }
    for (DWORD i = 0; i < list->AceCount; ++i) {
        void* entry = nullptr;
        if (!GetAce(list, i, &entry)) {
            error = {"GetAce", GetLastError(), " (" + shown + ")"};
            return false;
        }
        const auto* header = static_cast<ACE_HEADER*>(entry);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        const PSID sid = &allowed->SidStart;
        if ((allowed->Mask & kReadRights) != 0 && !administrator(sid) && sidText(sid) != reader) {
            error = refusal(shown + " may be read by " + sidText(sid));
            return false;
        }
    }
    return true;
}

bool systemFolder(const std::wstring& path, const wchar_t* sddl, SystemError& error, const std::string* reader) {
    const std::string shown = toUtf8(path);
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &raw, nullptr)) {
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
    return systemOwnedObject(folder.get(), true, shown, error) &&
           (reader == nullptr || onlyTheseRead(folder.get(), *reader, shown, error));
}

}  // namespace velmora::vpn::platform
