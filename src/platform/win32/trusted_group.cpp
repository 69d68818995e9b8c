#include "platform/trusted_group.h"

#include <windows.h>
#include <sddl.h>

#include <vector>

#include "platform/text.h"
#include "platform/unique_handle.h"
#include "platform/win32/admin_only_security.h"

namespace velmora::vpn::platform {
namespace {

constexpr ACCESS_MASK kKeyWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC |
                                        WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

}  // namespace

// The key's own access list decides who may have written the value: the
// service's key is the administrators' alone unless someone changed that.
std::optional<std::string> readTrustedGroup(const SettingPlace& setting, SystemError& error) {
    error = {};
    const std::string& place = setting.registryKey;
    const std::wstring valueName = fromUtf8(setting.registryValue);
    const std::string shown = "HKLM\\" + place;
    HKEY raw = nullptr;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, fromUtf8(place).c_str(), 0, KEY_READ, &raw);
    if (status == ERROR_FILE_NOT_FOUND) return std::nullopt;
    if (status != ERROR_SUCCESS)
        return failWith(error, {"RegOpenKeyExW", static_cast<std::uint32_t>(status), " (" + shown + ")"});
    const RegistryKey key(raw);

    DWORD type = 0;
    DWORD size = 0;
    status = RegQueryValueExW(key.get(), valueName.c_str(), nullptr, &type, nullptr, &size);
    if (status == ERROR_FILE_NOT_FOUND) return std::nullopt;
    if (status != ERROR_SUCCESS)
        return failWith(error, {"RegQueryValueExW", static_cast<std::uint32_t>(status), " (" + shown + ")"});
    if (type != REG_SZ || size > 1024)
        return failWith(error, refusal(shown + "\\" + setting.registryValue + " is not a short text"));
    std::vector<wchar_t> text(size / sizeof(wchar_t) + 1, L'\0');
    status =
        RegQueryValueExW(key.get(), valueName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size);
    if (status != ERROR_SUCCESS)
        return failWith(error, {"RegQueryValueExW", static_cast<std::uint32_t>(status), " (" + shown + ")"});
    const std::wstring name(text.data());
    if (name.empty()) return std::nullopt;

    DWORD securitySize = 0;
    RegGetKeySecurity(key.get(), OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr, &securitySize);
    std::vector<unsigned char> security(securitySize);
    status = RegGetKeySecurity(key.get(), OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, security.data(),
                               &securitySize);
    if (status != ERROR_SUCCESS)
        return failWith(error, {"RegGetKeySecurity", static_cast<std::uint32_t>(status), " (" + shown + ")"});
    if (!onlyAdministratorsWrite(security.data(), kKeyWriteRights, shown, error)) return std::nullopt;

    DWORD sidSize = 0;
    DWORD domainSize = 0;
    SID_NAME_USE use{};
    LookupAccountNameW(nullptr, name.c_str(), nullptr, &sidSize, nullptr, &domainSize, &use);
    std::vector<unsigned char> sid(sidSize);
    std::vector<wchar_t> domain(domainSize + 1);
    if (sidSize == 0 ||
        !LookupAccountNameW(nullptr, name.c_str(), sid.data(), &sidSize, domain.data(), &domainSize, &use) ||
        (use != SidTypeGroup && use != SidTypeAlias && use != SidTypeWellKnownGroup)) {
        return failWith(error, refusal(shown + "\\" + setting.registryValue + " names \"" + toUtf8(name) +
                                       "\", which is no group"));
    }
    LPWSTR sidText = nullptr;
    if (!ConvertSidToStringSidW(sid.data(), &sidText))
        return failWith(error, {"ConvertSidToStringSidW", GetLastError(), " (" + shown + ")"});
    const LocalMemory held(sidText);
    return toUtf8(sidText);
}

}  // namespace velmora::vpn::platform
