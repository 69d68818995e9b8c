#include "platform/error_text.h"

#include "platform/system_error.h"

namespace velmora::vpn {

std::string windowsErrorText(std::uint32_t code) {
    std::string text = std::to_string(code);
    const std::string systemText = platform::systemErrorMessage(code);
    if (!systemText.empty()) text += ": " + systemText;
    return text;
}

std::string apiFailureText(const std::string& operation, std::uint32_t code) {
    return operation + " failed. " + platform::systemErrorLabel() + " " + windowsErrorText(code);
}

std::string platform::failureText(const SystemError& error) {
    return error.call == nullptr ? error.detail : apiFailureText(error.call, error.code) + error.detail;
}

}  // namespace velmora::vpn
