// The engine's event loop: handles that become ready, tasks due at a time, one periodic tick,
// signals, and work handed over by other threads. It knows nothing of what its handles are. A
// wake-up runs in fixed phases: the handles that are ready, in the order the system reports
// them; then the tasks that are due; then the tick, after the wake-up's input, as a window's
// timer comes only when no other message waits; last, what was closed meanwhile goes.
//
// Threading: everything runs on the thread that calls Run; only Post may be called from others.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace vandrelux::engine {

using EngineClock = std::chrono::steady_clock;

// What a handle is ready for; a hang-up or an error counts as readable, so its reader finds out.
enum Readiness : std::uint32_t { kReadable = 1U, kWritable = 2U };

// What the operator or the system asks of a running program: stop (SIGINT, Ctrl+C), stop harder
// (SIGTERM, Ctrl+Break, the console closing), take the log files up again (SIGHUP; Windows has
// none).
enum class Signal { Interrupt, Terminate, HangUp };

// How the operator stops a program here, for its messages: "SIGINT or SIGTERM" on POSIX.
[[nodiscard]] const char* StopSignalNames() noexcept;

class CLoop {
public:
    // One watched handle.
    struct Source {
        std::intptr_t handle = -1;
        std::uint32_t interest = 0;  // what the system watches it for now
        std::function<void(std::uint32_t)> ready;
        std::function<void()> arm;
        bool gone = false;
    };

    CLoop();
    ~CLoop();
    CLoop(const CLoop&) = delete;
    CLoop& operator=(const CLoop&) = delete;

    // Watches `handle` for `interest` (kReadable, kWritable or both) and calls `ready` with what
    // it became ready for; null when the system refuses the handle. The caller keeps the handle.
    // `arm`, where given, is called before every wait: on a system that signals a handle only
    // for a wait set up anew each time (Windows), it sets it up.
    Source* Watch(std::intptr_t handle, std::uint32_t interest,
                  std::function<void(std::uint32_t)> ready, std::function<void()> arm = {});
    // Watches the source for `interest` from now on; 0 takes it out of the set (a hang-up is then
    // not reported either). False when the system refuses.
    [[nodiscard]] bool Change(Source* source, std::uint32_t interest);
    // Stops watching; the source goes once the current wake-up is done.
    void Remove(Source* source);

    // Calls `task` once at `when`; the id cancels it.
    std::uint64_t At(EngineClock::time_point when, std::function<void()> task);
    void Cancel(std::uint64_t id);

    // Calls `tick` every `period` while it is on, after the input of the wake-up it falls in.
    void SetTick(std::chrono::milliseconds period, std::function<void()> tick);
    void TickOn(bool on);

    // Any thread: calls `task` on the loop's thread soon.
    void Post(std::function<void()> task);
    // Calls `task` last in this wake-up, once the handlers and the tick are done: where what
    // was closed meanwhile goes.
    void Defer(std::function<void()> task);

    // Takes `signals` from this thread and every thread started from now on, and calls
    // `received` with each that arrives. False when they cannot be watched.
    bool WatchSignals(const std::vector<Signal>& signals, std::function<void(Signal)> received);
    // Gives the signals back their usual effect: the next one ends the program.
    static void ReleaseSignals(const std::vector<Signal>& signals);

    // Handles events until `done` holds; it is asked after every wake-up.
    void Run(const std::function<bool()>& done);

private:
    // The system's part of a wake-up: waits at most `timeoutMs` (-1: without end) and calls the
    // sources that became ready; the tick and posted work arrive through sources of its own.
    void WaitAndDispatch(int timeoutMs);
    // The system's part of Post: wakes the waiting loop.
    void Wake();
    void RunDueTasks();
    void TakePosted();
    [[nodiscard]] int WaitTimeoutMs() const;

    struct System;  // the system's own objects: the set of handles, timer, wake-up, signals
    std::unique_ptr<System> m_system;
    std::list<std::unique_ptr<Source>> m_sources;
    std::multimap<EngineClock::time_point, std::pair<std::uint64_t, std::function<void()>>> m_tasks;
    std::uint64_t m_nextTask = 1;
    std::chrono::milliseconds m_tickPeriod{0};
    std::function<void()> m_tick;
    bool m_bTickOn = false;
    bool m_bTickDue = false;  // the tick fired in this wake-up; it runs after the rest
    std::mutex m_postLock;    // guards m_posted
    std::vector<std::function<void()>> m_posted;
    std::vector<std::function<void()>> m_deferred;
};

}  // namespace vandrelux::engine
