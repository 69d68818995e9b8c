#include "platform/event_log.h"

#include <windows.h>

#include "platform/text.h"

namespace velmora::vpn::platform {

// RegisterEventSourceW needs no registration to succeed; without the
// source's registry entry (made at install) the Event Viewer only cannot
// find the texts.
void reportEvent(const std::wstring& source, std::uint32_t id, EventLevel level,
                 const std::vector<std::string>& texts) {
    HANDLE log = RegisterEventSourceW(nullptr, source.c_str());
    if (log == nullptr) return;
    std::vector<std::wstring> wide;
    for (const std::string& text : texts) wide.push_back(fromUtf8(text));
    std::vector<LPCWSTR> strings;
    for (const std::wstring& text : wide) strings.push_back(text.c_str());
    const WORD type = level == EventLevel::error     ? EVENTLOG_ERROR_TYPE
                      : level == EventLevel::warning ? EVENTLOG_WARNING_TYPE
                                                     : EVENTLOG_INFORMATION_TYPE;
    ReportEventW(log, type, 0, id, nullptr, static_cast<WORD>(strings.size()), 0,
                 strings.empty() ? nullptr : strings.data(), nullptr);
    DeregisterEventSource(log);
}

}  // namespace velmora::vpn::platform
