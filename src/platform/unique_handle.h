#pragma once

#include <utility>

namespace velmora::vpn::platform {

// Owns one operating-system resource and releases it exactly once. `Traits`
// names the value type, its invalid value and how to close it; closing must
// leave the thread's last error code as it was, so that a failure read after a
// cleanup still describes the call that failed.
template <typename Traits>
class UniqueHandle {
public:
    using Value = typename Traits::Value;

    UniqueHandle() noexcept = default;
    explicit UniqueHandle(Value value) noexcept : value_(value) {}
    ~UniqueHandle() { reset(); }

    UniqueHandle(UniqueHandle&& other) noexcept : value_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    Value get() const noexcept { return value_; }
    bool valid() const noexcept { return Traits::isValid(value_); }
    explicit operator bool() const noexcept { return valid(); }

    // Gives up ownership without closing.
    Value release() noexcept { return std::exchange(value_, Traits::invalid()); }

    void reset(Value value = Traits::invalid()) noexcept {
        Value old = std::exchange(value_, value);
        if (Traits::isValid(old)) Traits::close(old);
    }

private:
    Value value_ = Traits::invalid();
};

}  // namespace velmora::vpn::platform
