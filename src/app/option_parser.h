#pragma once

#include <string>
#include <vector>

#include "options/service_options.h"

namespace velmora::vpn {

// Applies the option rules to a command line whose first entry is the
// program path (never looked at). Never fails and never prints.
ServiceOptions parseServiceOptions(const std::vector<std::wstring>& arguments);

// The usage text, every line ended by a newline.
const std::string& usageText();

}  // namespace velmora::vpn
