#include "platform/detached_thread.h"

#include <memory>
#include <pthread.h>

namespace velmora::vpn::platform {
namespace {

using Body = std::function<void()>;

void* threadEntry(void* argument) noexcept {
    const std::unique_ptr<Body> body(static_cast<Body*>(argument));
    (*body)();
    return nullptr;
}

// The attribute record lives only for the creation.
class DetachedAttributes {
public:
    explicit DetachedAttributes(std::size_t stackBytes) : made_(pthread_attr_init(&attributes_)) {
        if (made_ != 0) return;
        pthread_attr_setdetachstate(&attributes_, PTHREAD_CREATE_DETACHED);
        if (stackBytes != 0) pthread_attr_setstacksize(&attributes_, stackBytes);
    }
    ~DetachedAttributes() {
        if (made_ == 0) pthread_attr_destroy(&attributes_);
    }
    DetachedAttributes(const DetachedAttributes&) = delete;
    DetachedAttributes& operator=(const DetachedAttributes&) = delete;
    int made() const { return made_; }  // pthread_attr_init's result
    const pthread_attr_t* get() const { return &attributes_; }

private:
    pthread_attr_t attributes_{};
    int made_;
};

}  // namespace

bool startDetachedThread(std::function<void()> body, std::size_t stackBytes, SystemError& error) {
    auto owned = std::make_unique<Body>(std::move(body));
    const DetachedAttributes attributes(stackBytes);
    if (attributes.made() != 0) {
        error = {"pthread_attr_init", static_cast<std::uint32_t>(attributes.made()), {}};
        return false;
    }
    pthread_t thread{};
    if (const int code = pthread_create(&thread, attributes.get(), &threadEntry, owned.get()); code != 0) {
        error = {"pthread_create", static_cast<std::uint32_t>(code), {}};
        return false;
    }
    [[maybe_unused]] Body* const handedOver = owned.release();  // the new thread deletes it
    return true;
}

}  // namespace velmora::vpn::platform
