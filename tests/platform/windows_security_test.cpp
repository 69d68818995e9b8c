// What the Windows service makes and reads that only administrators may
// change: users' data folders and the trusted group's setting. Wine runs
// everything as one administrator; what it shows is that the folders and the
// setting are made, found and read, and that a loose access list is refused.
#include "support/prelude.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include "platform/data_folder.h"
#include "platform/trusted_group.h"
#include "platform/unique_handle.h"
#include "platform/win32/admin_only_security.h"

namespace velmora::vpn {
namespace {

platform::LocalMemory descriptorOf(const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr);
    return platform::LocalMemory(descriptor);
}

// The folder's access list in SDDL, as the system reports it. Wine keeps no
// access lists on files: it makes one up from the file's Unix mode, and takes
// from a list it is given only what that mode can hold.
std::optional<std::string> accessListOf(const std::string& path) {
    if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr) return std::nullopt;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    LPWSTR text = nullptr;
    GetNamedSecurityInfoW(platform::fromUtf8(path).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                          nullptr, nullptr, &descriptor);
    const platform::LocalMemory held(descriptor);
    ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
                                                         nullptr);
    const platform::LocalMemory heldText(text);
    return text != nullptr ? platform::toUtf8(text) : "unreadable";
}

TEST(WindowsDataFolder, IsMadeWithAProtectedAccessListAndALooseOneIsNeverUsed) {
    const std::string folder = testing::makeTempFolder("data-folder");
    const std::string sid = testing::ordinaryUser(65534);
    const auto use = [&](const std::string& root, const std::string& user) {
        platform::SystemError error;
        return platform::userDataFolder(root, {user, false, {}}, error).value_or(platform::failureText(error));
    };
    const std::string data = folder + "\\data";
    ASSERT_EQ(use(data, sid), data + "\\users\\" + sid);
    const std::string systemOnly = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
    for (const auto& [made, list] : {std::pair{data, systemOnly},
                                     {data + "\\users", systemOnly},
                                     {data + "\\users\\" + sid, systemOnly + "(A;OICI;FR;;;" + sid + ")"}})
        EXPECT_EQ(accessListOf(made).value_or(list), list);
    EXPECT_EQ(use(data, sid), data + "\\users\\" + sid);  // found as made

    // Made first with the list `sddl`.
    const auto madeWith = [](const std::string& path, const wchar_t* sddl) {
        const platform::LocalMemory descriptor = descriptorOf(sddl);
        BOOL present = FALSE;
        BOOL defaulted = FALSE;
        PACL list = nullptr;
        GetSecurityDescriptorDacl(descriptor.get(), &present, &list, &defaulted);
        std::wstring name = platform::fromUtf8(path);
        ASSERT_TRUE(CreateDirectoryW(name.c_str(), nullptr));
        ASSERT_EQ(SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT,
                                        DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                        nullptr, list, nullptr),
                  ERROR_SUCCESS);
    };
    // With a list that lets everyone write: refused, and nothing made below it.
    const std::string loose = folder + "\\loose";
    madeWith(loose, L"D:P(A;OICI;FA;;;WD)(A;OICI;FA;;;BA)");
    EXPECT_EQ(use(loose, sid), loose + " may be written by S-1-1-0");
    EXPECT_FALSE(fs::exists(loose + "\\users"));
    // A user's own folder that everyone may read (and so list): refused too; another user's is private.
    const std::string other = testing::ordinaryUser(65533);
    madeWith(data + "\\users\\" + other, L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FR;;;WD)");
    EXPECT_EQ(use(data, other), data + "\\users\\" + other + " may be read by S-1-1-0");
    // Nothing but a SID goes into an access list's text.
    EXPECT_EQ(use(data, "S-1-5-21-1)(A;;FA;;;WD"), "The caller \"S-1-5-21-1)(A;;FA;;;WD\" has no SID");
    fs::remove_all(folder);
}

TEST(WindowsTrustedGroup, IsReadFromTheServiceKeyOnlyWhileAdministratorsAloneMayWriteIt) {
    const std::string test = "SOFTWARE\\VelmoraTest-" + std::to_string(testing::currentProcessId());
    const std::string place = test + "\\Parameters";
    const auto read = [&] {
        platform::SystemError error;
        return platform::readTrustedGroup({place, "TrustedGroup", ""}, error)
            .value_or("none: " + platform::failureText(error));
    };
    EXPECT_EQ(read(), "none: ");  // no key: no group, no complaint

    // Owned by Administrators (Wine would make its user's group the owner).
    const platform::LocalMemory closed = descriptorOf(L"O:BAD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)");
    SECURITY_ATTRIBUTES attributes{sizeof attributes, closed.get(), FALSE};
    HKEY raw = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, platform::fromUtf8(place).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              &attributes, &raw, nullptr),
              ERROR_SUCCESS);
    const platform::RegistryKey key(raw);
    const auto name = [&](const std::wstring& group) {
        RegSetValueExW(key.get(), L"TrustedGroup", 0, REG_SZ, reinterpret_cast<const BYTE*>(group.c_str()),
                       static_cast<DWORD>((group.size() + 1) * sizeof(wchar_t)));
        return read();
    };
    EXPECT_EQ(name(L"Administrators"), "S-1-5-32-544");
    EXPECT_EQ(name(L"x"), "none: HKLM\\" + place + "\\TrustedGroup names \"x\", which is no group");
    const platform::LocalMemory open = descriptorOf(L"O:BAD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KA;;;BU)");
    ASSERT_EQ(RegSetKeySecurity(key.get(), OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, open.get()),
              ERROR_SUCCESS);
    EXPECT_EQ(name(L"Administrators"), "none: HKLM\\" + place + " may be written by S-1-5-32-545");
    // Owned by anyone but the system and its administrators: refused whatever its list says.
    platform::SystemError error;
    platform::onlyAdministratorsWrite(descriptorOf(L"O:BUD:P(A;CI;KA;;;SY)").get(), KEY_WRITE, "k", error);
    EXPECT_EQ(platform::failureText(error), "k is owned by S-1-5-32-545");
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, platform::fromUtf8(test).c_str());
}

}  // namespace
}  // namespace velmora::vpn
