#pragma once

namespace velmora::vpn::platform {

// The local date and time of day, to the second.
struct LocalTime {
    unsigned year = 0;
    unsigned month = 0;
    unsigned day = 0;
    unsigned hour = 0;
    unsigned minute = 0;
    unsigned second = 0;
};

LocalTime currentLocalTime();

}  // namespace velmora::vpn::platform
