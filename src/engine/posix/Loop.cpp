// The loop on epoll: one set for every handle, a timerfd for the tick, an eventfd for work posted
// by other threads and a signalfd for signals.
#include "engine/Loop.h"

#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <system_error>
#include <utility>

namespace vandrelux::engine {

namespace {

constexpr int kMaxEvents = 64;

std::uint32_t EpollEvents(std::uint32_t interest) {
    return ((interest & kReadable) != 0 ? static_cast<std::uint32_t>(EPOLLIN) : 0U) |
           ((interest & kWritable) != 0 ? static_cast<std::uint32_t>(EPOLLOUT) : 0U);
}

int Number(Signal signal) {
    switch (signal) {
        case Signal::Interrupt:
            return SIGINT;
        case Signal::Terminate:
            return SIGTERM;
        case Signal::HangUp:
            return SIGHUP;
    }
    return SIGTERM;
}

sigset_t SignalSet(const std::vector<Signal>& signals) {
    sigset_t set;
    sigemptyset(&set);
    for (const Signal signal : signals) {
        sigaddset(&set, Number(signal));
    }
    return set;
}

}  // namespace

const char* StopSignalNames() noexcept {
    return "SIGINT or SIGTERM";
}

struct CLoop::System {
    int epoll = -1;
    int tick = -1;
    int wake = -1;
    int signals = -1;
    Source* tickSource = nullptr;
    Source* wakeSource = nullptr;
};

CLoop::CLoop() : m_system(std::make_unique<System>()) {
    System& s = *m_system;
    s.epoll = ::epoll_create1(EPOLL_CLOEXEC);
    s.tick = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    s.wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (s.epoll < 0 || s.tick < 0 || s.wake < 0) {
        throw std::system_error(errno, std::system_category(), "cannot set up the event loop");
    }
    s.tickSource = Watch(s.tick, kReadable, [this](std::uint32_t) {
        std::uint64_t expirations = 0;
        static_cast<void>(::read(m_system->tick, &expirations, sizeof expirations));
        m_bTickDue = true;
    });
    s.wakeSource = Watch(s.wake, kReadable, [this](std::uint32_t) {
        std::uint64_t count = 0;
        static_cast<void>(::read(m_system->wake, &count, sizeof count));
        TakePosted();
    });
    if (s.tickSource == nullptr || s.wakeSource == nullptr) {
        throw std::system_error(errno, std::system_category(), "cannot set up the event loop");
    }
}

CLoop::~CLoop() {
    System& s = *m_system;
    for (const int fd : {s.signals, s.wake, s.tick, s.epoll}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

// The system watches descriptors itself: `arm` has nothing to do here.
CLoop::Source* CLoop::Watch(std::intptr_t handle, std::uint32_t interest,
                            std::function<void(std::uint32_t)> ready,
                            std::function<void()> /*arm*/) {
    auto& source = m_sources.emplace_back(std::make_unique<Source>());
    source->handle = handle;
    source->ready = std::move(ready);
    epoll_event event{};
    event.events = EpollEvents(interest);
    event.data.ptr = source.get();
    if (handle < 0 ||
        ::epoll_ctl(m_system->epoll, EPOLL_CTL_ADD, static_cast<int>(handle), &event) != 0) {
        source->gone = true;
        return nullptr;
    }
    source->interest = interest;
    return source.get();
}

bool CLoop::Change(Source* source, std::uint32_t interest) {
    if (source == nullptr || source->gone || interest == source->interest) {
        return true;
    }
    int op = EPOLL_CTL_MOD;
    if (interest == 0) {
        op = EPOLL_CTL_DEL;
    } else if (source->interest == 0) {
        op = EPOLL_CTL_ADD;
    }
    epoll_event event{};
    event.events = EpollEvents(interest);
    event.data.ptr = source;
    if (::epoll_ctl(m_system->epoll, op, static_cast<int>(source->handle), &event) != 0) {
        return false;
    }
    source->interest = interest;
    return true;
}

void CLoop::Remove(Source* source) {
    if (source == nullptr || source->gone) {
        return;
    }
    if (source->interest != 0) {
        ::epoll_ctl(m_system->epoll, EPOLL_CTL_DEL, static_cast<int>(source->handle), nullptr);
        source->interest = 0;
    }
    source->gone = true;
}

void CLoop::TickOn(bool on) {
    if (on == m_bTickOn) {
        return;
    }
    itimerspec spec{};
    if (on) {
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(m_tickPeriod).count();
        spec.it_interval.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
        spec.it_interval.tv_nsec = static_cast<long>(ns % 1'000'000'000);
        spec.it_value = spec.it_interval;
    }
    static_cast<void>(::timerfd_settime(m_system->tick, 0, &spec, nullptr));
    m_bTickOn = on;
}

void CLoop::Wake() {
    const std::uint64_t one = 1;
    static_cast<void>(::write(m_system->wake, &one, sizeof one));
}

bool CLoop::WatchSignals(const std::vector<Signal>& signals, std::function<void(Signal)> received) {
    const sigset_t set = SignalSet(signals);
    if (::pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) {
        return false;
    }
    m_system->signals = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    return m_system->signals >= 0 &&
           Watch(m_system->signals, kReadable,
                 [this, received = std::move(received)](std::uint32_t) {
                     signalfd_siginfo info{};
                     while (::read(m_system->signals, &info, sizeof info) ==
                            static_cast<ssize_t>(sizeof info)) {
                         const int number = static_cast<int>(info.ssi_signo);
                         received(number == SIGINT   ? Signal::Interrupt
                                  : number == SIGHUP ? Signal::HangUp
                                                     : Signal::Terminate);
                     }
                 }) != nullptr;
}

void CLoop::ReleaseSignals(const std::vector<Signal>& signals) {
    const sigset_t set = SignalSet(signals);
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

// Nothing waits for the loop's end here: a signal's own handling ends the program.
void CLoop::WaitAndDispatch(int timeoutMs) {
    std::array<epoll_event, kMaxEvents> events{};
    const int n = ::epoll_wait(m_system->epoll, events.data(), kMaxEvents, timeoutMs);
    if (n < 0 && errno != EINTR) {
        throw std::system_error(errno, std::system_category(), "epoll_wait");
    }
    for (int i = 0; i < n; ++i) {
        const epoll_event& event = events[static_cast<std::size_t>(i)];
        auto* source = static_cast<Source*>(event.data.ptr);
        if (source->gone) {
            continue;
        }
        const bool readable = (event.events & (EPOLLIN | EPOLLERR | EPOLLHUP)) != 0;
        source->ready((readable ? kReadable : 0U) |
                      ((event.events & EPOLLOUT) != 0 ? kWritable : 0U));
    }
}

}  // namespace vandrelux::engine
