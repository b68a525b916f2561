// A manual-reset event, as the window's port monitor waits on it.
//
// Threading: any thread may set, reset or look at it.
#pragma once

#include <cstdint>

namespace vandrelux::platform {

// A manual-reset event that a Wait can watch.
class Event {
public:
    Event();
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void Set() noexcept;
    void Reset() noexcept;
    [[nodiscard]] bool IsSet() const noexcept;
    [[nodiscard]] std::intptr_t NativeHandle() const noexcept { return m_handle; }

private:
    std::intptr_t m_handle;
};

}  // namespace vandrelux::platform
