#include "platform/pipe_io.h"

#include <windows.h>

namespace velmora::vpn::platform {

IoCall readSome(NativeHandle pipe, void* destination, std::uint32_t count) {
    DWORD read = 0;
    if (!ReadFile(pipe, destination, count, &read, nullptr)) return {false, {}, {"ReadFile", GetLastError(), {}}};
    return {true, read, {}};
}

IoCall writeSome(NativeHandle pipe, const void* source, std::uint32_t count) {
    DWORD written = 0;
    if (!WriteFile(pipe, source, count, &written, nullptr)) return {false, {}, {"WriteFile", GetLastError(), {}}};
    return {true, written, {}};
}

IoCall writeFileSome(NativeHandle file, const void* source, std::uint32_t count) {
    return writeSome(file, source, count);
}

}  // namespace velmora::vpn::platform
