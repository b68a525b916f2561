#include "toolkit/WindowCall.h"

namespace vandrelux::platform {

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

WindowCallQueue::~WindowCallQueue() {
    const std::lock_guard lock(m_mutex);
    for (const std::shared_ptr<WindowCall>& call : m_calls) {
        call->Drop();
    }
}

bool WindowCallQueue::Send(std::function<void()> task, std::stop_token stop, bool waitOnceBegun) {
    if (std::this_thread::get_id() == m_windowThread) {
        if (stop.stop_requested()) {
            return false;
        }
        task();
        return true;
    }
    auto call = std::make_shared<WindowCall>(std::move(task));
    {
        const std::lock_guard lock(m_mutex);
        m_calls.push_back(call);
        m_wake();
    }
    return call->Wait(stop, waitOnceBegun);
}

void WindowCallQueue::RunPending() {
    for (;;) {
        std::shared_ptr<WindowCall> call;
        {
            const std::lock_guard lock(m_mutex);
            if (m_calls.empty()) {
                return;
            }
            call = std::move(m_calls.front());
            m_calls.pop_front();
        }
        call->Run();
    }
}

}  // namespace vandrelux::platform
