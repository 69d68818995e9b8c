// Both Windows programs carry the project's version, as Explorer's Details
// and Get-Item's VersionInfo read it.
#include "support/prelude.h"

#include <windows.h>

namespace velmora::vpn {
namespace {

// One text of a program's version resource (US English, Unicode block).
std::string versionText(const std::vector<BYTE>& info, const wchar_t* name) {
    void* value = nullptr;
    UINT length = 0;
    const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    if (!VerQueryValueW(info.data(), path.c_str(), &value, &length) || length == 0) return {};
    return platform::toUtf8(static_cast<const wchar_t*>(value));
}

TEST(VersionResource, BothProgramsCarryTheProjectsVersionAndNames) {
    for (const std::string program : {"VelmoraVpnService", "velmora-vpn-client"}) {
        const std::wstring path = platform::fromUtf8(testing::siblingProgram(program + ".exe"));
        DWORD ignored = 0;
        std::vector<BYTE> info(GetFileVersionInfoSizeW(path.c_str(), &ignored));
        ASSERT_TRUE(!info.empty() && GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(info.size()), info.data()))
            << program;
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT length = 0;
        ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
        const std::string version = std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
                                    std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
                                    std::to_string(HIWORD(fixed->dwFileVersionLS));
        EXPECT_EQ(version, VELMORA_PROJECT_VERSION) << program;
        EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
        EXPECT_EQ(versionText(info, L"ProductVersion"), VELMORA_PROJECT_VERSION);
        EXPECT_EQ(versionText(info, L"OriginalFilename"), program + ".exe");
        EXPECT_EQ(versionText(info, L"CompanyName"), "Velmora");
        EXPECT_EQ(versionText(info, L"ProductName"), "VelmoraLine");
    }
}

}  // namespace
}  // namespace velmora::vpn
