#include "platform/command_line.h"

#include <windows.h>
#include <shellapi.h>

#include "platform/unique_handle.h"

namespace velmora::vpn::platform {

std::vector<std::wstring> commandLineArguments() {
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments == nullptr) return {};
    const platform::LocalMemory owner(arguments);
    return std::vector<std::wstring>(arguments, arguments + count);
}

}  // namespace velmora::vpn::platform
