// Tasks handed from other threads to the window thread, which a sender may give up on as long
// as the window thread has not begun them. The window toolkits share this; each only says how
// to wake its window thread.
//
// Threading: Run, Drop and RunPending on the window thread, Wait and Send on the sending thread;
// the mutexes guard the states and the queue, the tasks themselves run outside them.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <thread>
#include <utility>

namespace vandrelux::platform {

class WindowCall {
public:
    explicit WindowCall(std::function<void()> task) : m_task(std::move(task)) {}

    // Runs the task unless the sender gave up first.
    void Run();
    // The window will never run it (it went away with the call still queued).
    void Drop();

    // True once the task ran. False, and the task never runs, when `stop` comes first or the
    // call was dropped. With `waitOnceBegun`, a task already running is waited for, since it may
    // use what the sender lent it; without, the sender leaves it running.
    bool Wait(std::stop_token stop, bool waitOnceBegun);

private:
    enum class State { Pending, Running, Done, Cancelled, Dropped };

    std::mutex m_mutex;
    std::condition_variable_any m_changed;
    State m_state = State::Pending;
    std::function<void()> m_task;
};

// The calls waiting for the window thread: the thread that makes the queue.
class WindowCallQueue {
public:
    // `wake` makes the window thread call RunPending soon; it runs under the queue's lock, which
    // is what orders the hand-over when the toolkit's own locks are invisible to the sanitizers.
    explicit WindowCallQueue(std::function<void()> wake) : m_wake(std::move(wake)) {}
    // Calls still queued are dropped: their senders return false.
    ~WindowCallQueue();
    WindowCallQueue(const WindowCallQueue&) = delete;
    WindowCallQueue& operator=(const WindowCallQueue&) = delete;

    // Any thread: runs `task` on the window thread (at once when called there) and waits for it
    // as WindowCall::Wait does. False when it never ran.
    bool Send(std::function<void()> task, std::stop_token stop, bool waitOnceBegun);

    // One at a time: a call that opens a modal box lets later ones run meanwhile, as a
    // synchronous message would.
    void RunPending();

private:
    const std::thread::id m_windowThread = std::this_thread::get_id();
    std::function<void()> m_wake;
    std::mutex m_mutex;
    std::deque<std::shared_ptr<WindowCall>> m_calls;
};

}  // namespace vandrelux::platform
