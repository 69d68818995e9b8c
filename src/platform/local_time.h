#pragma once

namespace velmora::vpn::platform {

// The local date and time of day, to the second.
struct LocalTime {
    unsigned year{};
    unsigned month{};
    unsigned day{};
    unsigned hour{};
    unsigned minute{};
    unsigned second{};
};

LocalTime currentLocalTime();

}  // namespace velmora::vpn::platform
