#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::vpn::platform {

// The process's command line split into arguments by the platform's rules,
// the program path first (on Windows from GetCommandLineW; elsewhere from the
// kernel's copy of argv, decoded from UTF-8). Empty when splitting fails.
std::vector<std::wstring> commandLineArguments();

// The value of option `name` when arguments[index] is that option: given as
// "NAME VALUE" (the next entry, taken verbatim whatever it is; `index` then
// moves on to it) or as "NAME=VALUE". Nothing for any other entry, and for
// NAME as the last entry, which has no value.
inline std::optional<std::wstring> optionValue(const std::vector<std::wstring>& arguments, std::size_t& index,
                                               std::wstring_view name) {
    const std::wstring& entry = arguments[index];
    if (entry == name) {
        if (index + 1 >= arguments.size()) return std::nullopt;
        return arguments[++index];
    }
    if (entry.starts_with(name) && entry.substr(name.size()).starts_with(L'=')) return entry.substr(name.size() + 1);
    return std::nullopt;
}

}  // namespace velmora::vpn::platform
