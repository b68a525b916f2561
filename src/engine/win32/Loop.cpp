// The loop on Windows: one wait on every line's event (each device sets its wait up anew before
// each wait: an overlapped comm-event wait and write, or a socket's event selection), a waitable
// timer for the tick, an event for work posted by other threads, and the console's control
// events as signals.
#include "engine/Loop.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <system_error>
#include <utility>
#include <vector>

#include "os/Format.h"
#include "os/SystemError.h"

namespace vandrelux::engine {

namespace {

// What one wait takes, less the loop's own wake-up and timer.
constexpr std::size_t kMaxSources = MAXIMUM_WAIT_OBJECTS - 2;
// How long closing the console waits for the units under way to be recorded.
constexpr DWORD kCloseGraceMs = 4000;

HANDLE HandleOf(std::intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

bool IsSignalled(HANDLE handle) {
    return ::WaitForSingleObject(handle, 0) == WAIT_OBJECT_0;
}

// The console's control events reach a handler on a thread of their own: they are queued for
// the loop watching them, and the loop is woken.
struct ConsoleSignals {
    std::mutex lock;
    std::vector<Signal> watched;
    std::vector<Signal> pending;
    HANDLE wake = nullptr;
    // Set once the loop that watched the signals is gone, and with it the program's work; made
    // once and never closed, as the handler may still wait on it.
    HANDLE done = nullptr;
};
ConsoleSignals g_console;

void Queue(Signal signal) {
    const std::lock_guard lock(g_console.lock);
    if (std::find(g_console.watched.begin(), g_console.watched.end(), signal) !=
        g_console.watched.end()) {
        g_console.pending.push_back(signal);
        ::SetEvent(g_console.wake);
    }
}

BOOL WINAPI OnConsoleEvent(DWORD type) {
    switch (type) {
        case CTRL_C_EVENT:
            Queue(Signal::Interrupt);
            return TRUE;
        case CTRL_BREAK_EVENT:
            Queue(Signal::Terminate);
            return TRUE;
        default: {
            // The console is closing (or the user leaving): the first and the second signal at
            // once, and a few seconds for the units under way to be recorded before the end.
            Queue(Signal::Terminate);
            Queue(Signal::Terminate);
            HANDLE done = nullptr;
            {
                const std::lock_guard lock(g_console.lock);
                done = g_console.done;
            }
            if (done != nullptr) {
                ::WaitForSingleObject(done, kCloseGraceMs);
            }
            return TRUE;
        }
    }
}

}  // namespace

const char* StopSignalNames() noexcept {
    return "Ctrl+C, Ctrl+Break or closing the console";
}

struct CLoop::System {
    HANDLE tick = ::CreateWaitableTimerA(nullptr, FALSE, nullptr);
    HANDLE wake = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::function<void(Signal)> onSignal;
};

CLoop::CLoop() : m_system(std::make_unique<System>()) {
    if (m_system->tick == nullptr || m_system->wake == nullptr) {
        throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(),
                                "cannot set up the event loop");
    }
}

CLoop::~CLoop() {
    {
        const std::lock_guard lock(g_console.lock);
        if (g_console.wake == m_system->wake) {
            g_console.watched.clear();
            g_console.wake = nullptr;
            if (g_console.done != nullptr) {
                ::SetEvent(g_console.done);
            }
        }
    }
    for (const HANDLE handle : {m_system->tick, m_system->wake}) {
        ::CloseHandle(handle);
    }
}

CLoop::Source* CLoop::Watch(std::intptr_t handle, std::uint32_t interest,
                            std::function<void(std::uint32_t)> ready, std::function<void()> arm) {
    const auto live = std::count_if(m_sources.begin(), m_sources.end(),
                                    [](const auto& source) { return !source->gone; });
    if (handle == -1) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (static_cast<std::size_t>(live) >= kMaxSources) {
        platform::SetLastSystemError(
            {ERROR_TOO_MANY_OPEN_FILES,
             platform::Format("one program waits on at most %zu lines at a time on Windows",
                              kMaxSources)});
        return nullptr;
    }
    auto& source = m_sources.emplace_back(std::make_unique<Source>());
    source->handle = handle;
    source->interest = interest;
    source->ready = std::move(ready);
    source->arm = std::move(arm);
    return source.get();
}

bool CLoop::Change(Source* source, std::uint32_t interest) {
    if (source != nullptr && !source->gone) {
        source->interest = interest;
    }
    return true;
}

void CLoop::Remove(Source* source) {
    if (source != nullptr) {
        source->gone = true;
    }
}

void CLoop::TickOn(bool on) {
    if (on == m_bTickOn) {
        return;
    }
    if (on) {
        const LONG period = static_cast<LONG>(std::max<std::int64_t>(m_tickPeriod.count(), 1));
        LARGE_INTEGER due{};
        due.QuadPart = -10'000LL * period;  // relative, in 100 ns
        ::SetWaitableTimer(m_system->tick, &due, period, nullptr, nullptr, FALSE);
    } else {
        ::CancelWaitableTimer(m_system->tick);
    }
    m_bTickOn = on;
}

void CLoop::Wake() {
    ::SetEvent(m_system->wake);
}

bool CLoop::WatchSignals(const std::vector<Signal>& signals, std::function<void(Signal)> received) {
    m_system->onSignal = std::move(received);
    {
        const std::lock_guard lock(g_console.lock);
        g_console.watched = signals;
        g_console.pending.clear();
        g_console.wake = m_system->wake;
        if (g_console.done == nullptr) {
            g_console.done = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
        }
        ::ResetEvent(g_console.done);
    }
    return ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE) != FALSE;
}

void CLoop::ReleaseSignals(const std::vector<Signal>& /*signals*/) {
    ::SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
}

void CLoop::WaitAndDispatch(int timeoutMs) {
    std::vector<HANDLE> handles{m_system->wake, m_system->tick};
    std::vector<Source*> waited;
    for (const auto& source : m_sources) {
        if (source->gone || source->interest == 0) {
            continue;
        }
        if (source->arm) {
            source->arm();
        }
        handles.push_back(HandleOf(source->handle));
        waited.push_back(source.get());
    }
    const DWORD woke =
        ::WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE,
                                 timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
    if (woke == WAIT_FAILED) {
        throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(),
                                "WaitForMultipleObjects");
    }
    if (IsSignalled(m_system->wake)) {
        ::ResetEvent(m_system->wake);
        TakePosted();
        std::vector<Signal> signals;
        {
            const std::lock_guard lock(g_console.lock);
            signals.swap(g_console.pending);
        }
        for (const Signal signal : signals) {
            if (m_system->onSignal) {
                m_system->onSignal(signal);
            }
        }
    }
    // The timer resets itself once a wait is done with it: the wait that woke on it, or this look.
    if (woke == WAIT_OBJECT_0 + 1 || IsSignalled(m_system->tick)) {
        m_bTickDue = true;
    }
    // Every line that is ready has its turn, not only the first the wait names. The event does
    // not say for what: the source is told all it waits for, and looks.
    for (Source* source : waited) {
        const HANDLE handle = HandleOf(source->handle);
        if (!source->gone && source->interest != 0 && IsSignalled(handle)) {
            ::ResetEvent(handle);
            source->ready(source->interest);
        }
    }
}

}  // namespace vandrelux::engine
