#pragma once

#include <string>
#include <vector>

namespace velmora::vpn {

// The process's command line split into arguments by the platform's rules,
// the program path first (on Windows from GetCommandLineW; elsewhere from the
// kernel's copy of argv, decoded from UTF-8). Empty when splitting fails.
std::vector<std::wstring> commandLineArguments();

}  // namespace velmora::vpn
