#include "EventLoop.h"

#include <algorithm>
#include <thread>
#include <vector>

namespace vandrelux::test {

namespace {

// The loop usually takes a task up and runs it within microseconds; watching for that this long
// costs less than going to sleep and being woken.
constexpr auto kSendSpin = std::chrono::microseconds(50);

}  // namespace

bool EventLoop::Run(const std::function<bool()>& done, std::optional<Clock::time_point> deadline) {
    std::unique_lock lock(m_mutex);
    while (!done()) {
        const Clock::time_point now = Clock::now();
        if (deadline && now >= *deadline) {
            return false;
        }
        if (!m_queue.empty()) {
            const std::shared_ptr<Request> request = m_queue.front();
            m_queue.pop_front();
            if (request->cancelled) {
                continue;
            }
            request->started = true;
            lock.unlock();
            request->task();
            request->ran.store(true, std::memory_order_release);
            lock.lock();
            request->finished = true;
            // Told once the lock is free, so the sender does not wake only to wait for it.
            lock.unlock();
            m_finished.notify_all();
            lock.lock();
            continue;
        }
        if (std::any_of(m_timers.begin(), m_timers.end(),
                        [&](const auto& t) { return t.second.due <= now; })) {
            lock.unlock();
            RunDueTimers(now);
            lock.lock();
            continue;
        }
        if (m_bWoken) {
            m_bWoken = false;
            continue;
        }
        const std::optional<Clock::time_point> wake = NextWake(deadline);
        const auto ready = [&] { return !m_queue.empty() || m_bWoken; };
        if (wake) {
            m_changed.wait_until(lock, *wake, ready);
        } else {
            m_changed.wait(lock, ready);
        }
    }
    return true;
}

void EventLoop::RunDueTimers(Clock::time_point now) {
    std::vector<unsigned> due;
    for (auto& [id, timer] : m_timers) {
        if (timer.due <= now) {
            due.push_back(id);
            // Missed ticks are not made up, as with a window timer.
            timer.due = now + timer.period;
        }
    }
    for (const unsigned id : due) {
        if (m_onTimer && m_timers.contains(id)) {
            m_onTimer(id);
        }
    }
}

std::optional<EventLoop::Clock::time_point> EventLoop::NextWake(
    std::optional<Clock::time_point> deadline) const {
    std::optional<Clock::time_point> wake = deadline;
    for (const auto& [id, timer] : m_timers) {
        if (!wake || timer.due < *wake) {
            wake = timer.due;
        }
    }
    return wake;
}

void EventLoop::StartTimer(unsigned timerId, unsigned periodMs) {
    const auto period = std::chrono::milliseconds(std::max(periodMs, 1U));
    m_timers[timerId] = Timer{period, Clock::now() + period};
}

void EventLoop::StopTimer(unsigned timerId) {
    m_timers.erase(timerId);
}

bool EventLoop::Send(std::function<void()> task, std::stop_token stop) {
    auto request = std::make_shared<Request>();
    request->task = std::move(task);
    std::unique_lock lock(m_mutex);
    m_queue.push_back(request);
    lock.unlock();
    m_changed.notify_one();
    const Clock::time_point spinUntil = Clock::now() + kSendSpin;
    while (Clock::now() < spinUntil && !stop.stop_requested()) {
        if (request->ran.load(std::memory_order_acquire)) {
            return true;
        }
        std::this_thread::yield();  // the loop may be waiting for this very processor
    }
    lock.lock();
    m_finished.wait(lock, stop, [&] { return request->finished; });
    if (request->finished) {
        return true;
    }
    if (!request->started) {
        request->cancelled = true;
        return false;
    }
    // Already running on the loop's thread: it ends by itself, and the caller must not return
    // while the task may still use what it lent.
    m_finished.wait(lock, [&] { return request->finished; });
    return true;
}

void EventLoop::Wake() {
    {
        const std::lock_guard lock(m_mutex);
        m_bWoken = true;
    }
    m_changed.notify_one();
}

}  // namespace vandrelux::test
