#pragma once

#include <string>
#include <vector>

namespace velmora::vpn::testing {

// The lines of a program's output; carriage returns (Windows text mode) are dropped.
inline std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    for (const char c : text) {
        if (c == '\r') continue;
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

}  // namespace velmora::vpn::testing
