#include "platform/detached_thread.h"

#include <memory>

#include <windows.h>

#include "platform/unique_handle.h"

namespace velmora::vpn::platform {
namespace {

using Body = std::function<void()>;

DWORD WINAPI threadEntry(LPVOID argument) noexcept {
    const std::unique_ptr<Body> body(static_cast<Body*>(argument));
    (*body)();
    return 0;
}

}  // namespace

bool startDetachedThread(std::function<void()> body, std::size_t stackBytes, SystemError& error) {
    auto owned = std::make_unique<Body>(std::move(body));
    // The thread's handle is closed at once: the thread runs on without it.
    const KernelHandle thread(CreateThread(nullptr, stackBytes, &threadEntry, owned.get(),
                                           stackBytes != 0 ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0, nullptr));
    if (!thread) {
        error = {"CreateThread", GetLastError(), {}};
        return false;
    }
    [[maybe_unused]] Body* const handedOver = owned.release();  // the new thread deletes it
    return true;
}

}  // namespace velmora::vpn::platform
