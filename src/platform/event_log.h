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
// blocks on or fails the run: an event that cannot be reported is left out,
// as the log file holds every line anyway.
void reportEvent(const std::wstring& source, std::uint32_t id, EventLevel level, const std::vector<std::string>& texts);

}  // namespace velmora::vpn::platform
