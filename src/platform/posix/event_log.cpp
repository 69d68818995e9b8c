#include "platform/event_log.h"

namespace velmora::vpn::platform {

// A service under systemd has its standard error in the journal, and the
// log file holds every line: there is no second log to write.
void reportEvent(const std::wstring&, std::uint32_t, EventLevel, const std::vector<std::string>&) {}

}  // namespace velmora::vpn::platform
