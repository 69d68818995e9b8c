#include "platform/local_time.h"

#include <windows.h>

namespace velmora::vpn::platform {

LocalTime currentLocalTime() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    return {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
}

}  // namespace velmora::vpn::platform
