#pragma once

#include <chrono>
#include <string>

#include "client_connection.h"

namespace velmora::client {

// What one exchange with the service gave: the response body, or why there is none.
struct Exchange {
    bool delivered = false;
    std::string response;
    std::string error;
};

// How long a client waits for a free pipe instance, and for the exchange,
// unless told otherwise.
inline constexpr std::chrono::milliseconds kDefaultTimeout{30000};

// Connects to the service's pipe, sends one request frame and reads the one
// response frame. The time-out bounds the wait for a free pipe instance and,
// separately, the exchange itself.
Exchange sendRequest(const std::wstring& pipeName, const std::string& request,
                     std::chrono::milliseconds timeout = kDefaultTimeout, ServerTrust trust = {});

}  // namespace velmora::client
