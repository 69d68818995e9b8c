#include "platform/detached_thread.h"

#include <memory>
#include <pthread.h>
#include <system_error>

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
    explicit DetachedAttributes(std::size_t stackBytes) {
        if (const int error = pthread_attr_init(&attributes_); error != 0) {
            throw std::system_error(error, std::generic_category(), "pthread_attr_init");
        }
        pthread_attr_setdetachstate(&attributes_, PTHREAD_CREATE_DETACHED);
        if (stackBytes != 0) pthread_attr_setstacksize(&attributes_, stackBytes);
    }
    ~DetachedAttributes() { pthread_attr_destroy(&attributes_); }
    DetachedAttributes(const DetachedAttributes&) = delete;
    DetachedAttributes& operator=(const DetachedAttributes&) = delete;
    const pthread_attr_t* get() const { return &attributes_; }

private:
    pthread_attr_t attributes_{};
};

}  // namespace

void startDetachedThread(std::function<void()> body, std::size_t stackBytes) {
    auto owned = std::make_unique<Body>(std::move(body));
    const DetachedAttributes attributes(stackBytes);
    pthread_t thread{};
    if (const int error = pthread_create(&thread, attributes.get(), &threadEntry, owned.get()); error != 0) {
        throw std::system_error(error, std::generic_category(), "pthread_create");
    }
    [[maybe_unused]] Body* const handedOver = owned.release();  // the new thread deletes it
}

}  // namespace velmora::vpn::platform
