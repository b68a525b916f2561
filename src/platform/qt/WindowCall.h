// A task handed from another thread to the window thread, which the sender may give up on as
// long as the window thread has not begun it.
//
// Threading: Run and Drop on the window thread, Wait on the sending thread; the mutex guards the
// state, the task itself runs outside it.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <stop_token>
#include <utility>

namespace vandrelux::platform::qt {

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

}  // namespace vandrelux::platform::qt
