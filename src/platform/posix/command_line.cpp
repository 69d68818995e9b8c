#include "platform/command_line.h"

#include <fstream>
#include <iterator>

#include "platform/text.h"

namespace velmora::vpn::platform {

std::vector<std::wstring> commandLineArguments() {
    std::ifstream file("/proc/self/cmdline", std::ios::binary);
    if (!file) return {};
    const std::string all((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::vector<std::wstring> arguments;
    std::size_t start = 0;
    while (start < all.size()) {
        const std::size_t end = all.find('\0', start);
        const std::size_t stop = end == std::string::npos ? all.size() : end;
        arguments.push_back(fromUtf8(all.substr(start, stop - start)));
        start = stop + 1;
    }
    return arguments;
}

}  // namespace velmora::vpn::platform
