// What the Windows service makes and reads that only administrators may
// change: users' data folders and the trusted group's setting. Wine runs
// everything as one administrator; what it shows is that the access lists
// are made as written and read back, and that a loose one is refused.
#include "support/prelude.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include "platform/data_folder.h"
#include "platform/trusted_group.h"
#include "platform/unique_handle.h"

namespace velmora::vpn {
namespace {

// The folder's access list in SDDL, as the system reports it.
std::string accessListOf(const std::string& path) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(platform::fromUtf8(path).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
        return "unreadable";
    const platform::LocalMemory held(descriptor);
    LPWSTR text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                              &text, nullptr))
        return "unconvertible";
    const platform::LocalMemory heldText(text);
    return platform::toUtf8(text);
}

// Wine keeps no access lists on files: it answers with one made from the
// file's Unix mode, and takes from a list it is given only what that mode can hold.
bool underWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

// A folder whose access list lets everyone write, as a user's own would.
bool makeLooseFolder(const std::string& path) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;OICI;FA;;;WD)(A;OICI;FA;;;BA)", SDDL_REVISION_1,
                                                         &descriptor, nullptr);
    const platform::LocalMemory held(descriptor);
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL list = nullptr;
    GetSecurityDescriptorDacl(descriptor, &present, &list, &defaulted);
    std::wstring name = platform::fromUtf8(path);
    return CreateDirectoryW(name.c_str(), nullptr) &&
           SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT,
                                 DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                 list, nullptr) == ERROR_SUCCESS;
}

TEST(WindowsDataFolder, IsMadeWithAProtectedAccessListAndALooseOneIsNeverUsed) {
    const std::string folder = testing::makeTempFolder("data-folder");
    const std::string sid = testing::ordinaryUser(65534);
    const platform::CallerIdentity user{sid, false, {}};
    platform::SystemError error;
    const std::string data = folder + "\\data";
    ASSERT_EQ(platform::userDataFolder(data, user, error), data + "\\users\\" + sid) << platform::failureText(error);
    const std::string systemOnly = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
    if (!underWine()) {
        EXPECT_EQ(accessListOf(data), systemOnly);
        EXPECT_EQ(accessListOf(data + "\\users"), systemOnly);
        EXPECT_EQ(accessListOf(data + "\\users\\" + sid), systemOnly + "(A;OICI;FR;;;" + sid + ")");
    }
    EXPECT_EQ(platform::userDataFolder(data, user, error), data + "\\users\\" + sid);  // found as made

    // Made first, with a list that lets everyone write: refused, and nothing made below it.
    const std::string loose = folder + "\\loose";
    ASSERT_TRUE(makeLooseFolder(loose));
    EXPECT_FALSE(platform::userDataFolder(loose, user, error));
    EXPECT_EQ(platform::failureText(error), loose + " may be written by S-1-1-0");
    EXPECT_FALSE(fs::exists(loose + "\\users"));
    // Only the system's administrators may be written into a SID's place.
    EXPECT_FALSE(platform::userDataFolder(data, platform::CallerIdentity{"S-1-5-21-1)(A;;FA;;;WD", false, {}}, error));
    EXPECT_EQ(platform::failureText(error), "The caller \"S-1-5-21-1)(A;;FA;;;WD\" has no SID");
    fs::remove_all(folder);
}

TEST(WindowsTrustedGroup, IsReadFromTheServiceKeyOnlyWhileAdministratorsAloneMayWriteIt) {
    const std::string place = "SOFTWARE\\VelmoraTest-" + std::to_string(testing::currentProcessId()) + "\\Parameters";
    const platform::SettingPlace setting{place, "TrustedGroup", ""};
    platform::SystemError error;
    EXPECT_EQ(platform::readTrustedGroup(setting, error), std::nullopt);  // no key: no group, no complaint
    EXPECT_EQ(platform::failureText(error), "");

    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:BAD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)",
                                                         SDDL_REVISION_1, &descriptor, nullptr);
    const platform::LocalMemory held(descriptor);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    HKEY raw = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, platform::fromUtf8(place).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              &attributes, &raw, nullptr),
              ERROR_SUCCESS);
    const platform::RegistryKey key(raw);
    const auto name = [&](const std::wstring& group) {
        RegSetValueExW(key.get(), L"TrustedGroup", 0, REG_SZ, reinterpret_cast<const BYTE*>(group.c_str()),
                       static_cast<DWORD>((group.size() + 1) * sizeof(wchar_t)));
        return platform::readTrustedGroup(setting, error);
    };
    EXPECT_EQ(name(L"Administrators"), "S-1-5-32-544") << platform::failureText(error);
    EXPECT_EQ(name(L"NoSuchGroupHere"), std::nullopt);
    EXPECT_EQ(platform::failureText(error),
              "HKLM\\" + place + "\\TrustedGroup names \"NoSuchGroupHere\", which is no group");

    PSECURITY_DESCRIPTOR open = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:BAD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KA;;;BU)",
                                                         SDDL_REVISION_1, &open, nullptr);
    const platform::LocalMemory heldOpen(open);
    ASSERT_EQ(RegSetKeySecurity(key.get(), OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, open),
              ERROR_SUCCESS);
    EXPECT_EQ(name(L"Administrators"), std::nullopt);
    EXPECT_EQ(platform::failureText(error), "HKLM\\" + place + " may be written by S-1-5-32-545");
    RegDeleteTreeW(HKEY_LOCAL_MACHINE,
                   platform::fromUtf8("SOFTWARE\\VelmoraTest-" + std::to_string(testing::currentProcessId())).c_str());
}

}  // namespace
}  // namespace velmora::vpn
