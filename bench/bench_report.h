#pragma once

#include <algorithm>
#include <cstdio>
#include <vector>

namespace velmora::bench {

inline double percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1))];
}

// One figure as "name value unit", the line format bench/run collects.
inline void report(const char* name, double value, const char* unit) {
    std::printf("%-28s %12.1f %s\n", name, value, unit);
}

}  // namespace velmora::bench
