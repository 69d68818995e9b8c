#pragma once

#include <cstddef>
#include <functional>

#include "platform/system_error.h"

namespace velmora::vpn::platform {

// Runs `body` on a new thread that is detached from the moment it exists:
// nobody joins it, and the system reclaims it when `body` returns. Creating the
// thread detached, rather than detaching it afterwards, leaves no moment in
// which a thread that has already finished is still being detached by its
// creator. `body` must not throw. False with the failure when the thread
// cannot be created; `body` has then not run and has been destroyed.
// `stackBytes` fixes the thread's stack size (a reservation on Windows); 0
// leaves the system's default.
bool startDetachedThread(std::function<void()> body, std::size_t stackBytes, SystemError& error);

}  // namespace velmora::vpn::platform
