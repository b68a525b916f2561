#include "platform/qt/WindowCall.h"

namespace vandrelux::platform::qt {

void WindowCall::Run() {
    {
        const std::lock_guard lock(m_mutex);
        if (m_state != State::Pending) {
            return;
        }
        m_state = State::Running;
    }
    m_task();
    const std::lock_guard lock(m_mutex);
    m_state = State::Done;
    m_changed.notify_all();
}

void WindowCall::Drop() {
    const std::lock_guard lock(m_mutex);
    if (m_state == State::Pending) {
        m_state = State::Dropped;
        m_changed.notify_all();
    }
}

bool WindowCall::Wait(std::stop_token stop, bool waitOnceBegun) {
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, stop, [&] { return m_state == State::Done || m_state == State::Dropped; });
    switch (m_state) {
        case State::Done:
            return true;
        case State::Pending:
            m_state = State::Cancelled;
            return false;
        case State::Running:
            if (!waitOnceBegun) {
                return false;
            }
            m_changed.wait(lock, [&] { return m_state == State::Done; });
            return true;
        case State::Cancelled:
        case State::Dropped:
            break;
    }
    return false;
}

}  // namespace vandrelux::platform::qt
