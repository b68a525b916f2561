// A window thread without a window, for the tests of the window's port object: runs tasks other
// threads hand it, and window timers, on the thread that calls Run.
//
// Threading: Run, StartTimer and StopTimer on the loop's thread; Send and Wake from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>

namespace vandrelux::test {

class EventLoop {
public:
    using Clock = std::chrono::steady_clock;

    // Runs tasks and timer ticks until `done` holds or `deadline` passes; true when done.
    bool Run(const std::function<bool()>& done, std::optional<Clock::time_point> deadline);

    void SetTimerHandler(std::function<void(unsigned)> handler) { m_onTimer = std::move(handler); }
    void StartTimer(unsigned timerId, unsigned periodMs);
    void StopTimer(unsigned timerId);

    // Runs `task` on the loop's thread and waits until it has run. Returns false, without
    // running it, when `stop` is requested before the loop took it up.
    bool Send(std::function<void()> task, std::stop_token stop);

    // Makes Run look at `done` again.
    void Wake();

private:
    struct Request {
        std::function<void()> task;
        bool started = false;
        bool finished = false;
        std::atomic<bool> ran{false};  // set before `finished`, read without the lock
        bool cancelled = false;
    };
    struct Timer {
        Clock::duration period;
        Clock::time_point due;
    };

    void RunDueTimers(Clock::time_point now);
    [[nodiscard]] std::optional<Clock::time_point> NextWake(
        std::optional<Clock::time_point> deadline) const;

    std::mutex m_mutex;
    std::condition_variable m_changed;       // the loop waits on it: a task or a wake-up
    std::condition_variable_any m_finished;  // senders wait on it: their task has run
    std::deque<std::shared_ptr<Request>> m_queue;
    bool m_bWoken = false;
    std::map<unsigned, Timer> m_timers;  // touched on the loop's thread only
    std::function<void(unsigned)> m_onTimer;
};

}  // namespace vandrelux::test
