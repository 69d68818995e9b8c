#pragma once

#include <optional>
#include <string>
#include <vector>

namespace velmora::vpn {

// The parsed command line. Texts are kept exactly as given: nothing is
// trimmed, folded or validated here.
struct ServiceOptions {
    bool console = false;
    bool service = false;
    bool help = false;
    bool installService = false;
    bool uninstallService = false;
    bool startAfterInstall = false;
    std::wstring startupMode = L"delayed-auto";
    std::wstring pipeName = L"\\\\.\\pipe\\VelmoraVpnService";
    std::optional<std::wstring> logFile;
};

// Applies the option rules to a command line whose first entry is the
// program path (never looked at). Never fails and never prints.
ServiceOptions parseServiceOptions(const std::vector<std::wstring>& arguments);

// The usage text, every line ended by a newline.
const std::string& usageText();

}  // namespace velmora::vpn
