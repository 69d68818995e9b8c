#pragma once

#include <optional>
#include <string>

#include "protocol/constants.h"

namespace velmora::vpn {

// The parsed command line. Texts are kept exactly as given: nothing is
// trimmed, folded or validated here. A record of its own, below the entry
// point that fills it, so that the runtime and the installer can read it.
struct ServiceOptions {
    bool console = false;
    bool service = false;
    bool help = false;
    bool installService = false;
    bool uninstallService = false;
    bool startAfterInstall = false;
    std::wstring startupMode = L"delayed-auto";
    std::wstring pipeName = kDefaultPipeName;
    std::optional<std::wstring> logFile;
};

}  // namespace velmora::vpn
