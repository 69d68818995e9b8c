#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The system's event log, where an administrator looks for a service's
// troubles: on Windows the Application log, with the message texts in the
// executable's message table; elsewhere nothing (the journal keeps a
// service's standard error).
namespace velmora::vpn::platform {

enum class EventLevel { information, warning, error };

// Reports event `id` of `source` with its insertion texts (UTF-8). Never
// blocks on or fails the run: false when the event could not be reported.
bool reportEvent(const std::wstring& source, std::uint32_t id, EventLevel level, const std::vector<std::string>& texts);

}  // namespace velmora::vpn::platform
