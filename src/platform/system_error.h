#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace velmora::vpn::platform {

// The one way the platform layer reports a failure: the call that failed,
// named as failure texts name it, and the code the system gave right after
// it. `detail` adds what the code alone does not say (a path, the loader's
// reason); a refusal of the layer's own has no call and says all in `detail`.
// The layers above turn it into their own texts: most with failureText(),
// those whose texts are shaped otherwise from its fields.
struct SystemError {
    const char* call = nullptr;
    std::uint32_t code{};
    std::string detail;
};

// A refusal of the layer's own: no call failed, the detail says why.
inline SystemError refusal(std::string detail) { return {nullptr, {}, std::move(detail)}; }

// Records a failure in `error` and answers "nothing": the platform layer's
// functions that return an optional value end a failed path with it.
inline std::nullopt_t failWith(SystemError& error, SystemError failure) {
    error = std::move(failure);
    return std::nullopt;
}

// The system's message for an error code exactly as the system gives it, or
// an empty text when it has none.
std::string systemErrorMessage(std::uint32_t code);

// The word for the system's error codes in failure texts ("Windows error").
const char* systemErrorLabel();

// "<call> failed. Windows error <code>: <system text>" (on POSIX the label is
// "error"), then the detail; the detail alone when there is no call.
std::string failureText(const SystemError& error);

}  // namespace velmora::vpn::platform
