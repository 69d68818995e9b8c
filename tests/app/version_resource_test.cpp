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
        EXPECT_EQ(std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
                      std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
                      std::to_string(HIWORD(fixed->dwFileVersionLS)),
                  VELMORA_PROJECT_VERSION);
        EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
        EXPECT_EQ(versionText(info, L"ProductVersion"), VELMORA_PROJECT_VERSION);
        EXPECT_EQ(versionText(info, L"OriginalFilename"), program + ".exe");
        EXPECT_EQ(versionText(info, L"CompanyName"), "Velmora");
        EXPECT_EQ(versionText(info, L"ProductName"), "VelmoraLine");
    }
}

// The Event Log's texts come from the service program's message table, as
// the Event Viewer formats them from the registered message file.
TEST(EventTexts, AreInTheServiceProgramsMessageTable) {
    const std::wstring path = platform::fromUtf8(testing::siblingProgram("VelmoraVpnService.exe"));
    const HMODULE program = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(program, nullptr);
    const auto text = [&](DWORD id, std::vector<DWORD_PTR> inserts) {
        wchar_t buffer[512] = {};
        const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, program, id,
                                            0x409, buffer, 512, reinterpret_cast<va_list*>(inserts.data()));
        std::string formatted = platform::toUtf8(std::wstring(buffer, length));
        while (!formatted.empty() && (formatted.back() == '\n' || formatted.back() == '\r')) formatted.pop_back();
        return formatted;
    };
    const auto insert = [](const wchar_t* text) { return reinterpret_cast<DWORD_PTR>(text); };
    EXPECT_EQ(text(1, {insert(L"1.0.0"), insert(L"\\\\.\\pipe\\VelmoraVpnService"), insert(L"none")}),
              "Velmora VPN service started. Version: 1.0.0. Pipe: \\\\.\\pipe\\VelmoraVpnService. Log file: none.");
    EXPECT_EQ(text(2, {insert(L"0")}), "Velmora VPN service stopped. Exit code: 0.");
    EXPECT_EQ(text(3, {insert(L"no engine")}), "Fatal error: no engine");
    EXPECT_EQ(text(4, {insert(L"why")}), "A setting or folder was refused: why");
    FreeLibrary(program);
}

}  // namespace
}  // namespace velmora::vpn
