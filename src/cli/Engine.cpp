#include "cli/Engine.h"

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

#include "platform/LineState.h"
#include "serial/ComPort.h"

namespace vandrelux::cli {

namespace {

constexpr std::size_t kReadChunk = 4096;
constexpr int kMaxEvents = 64;
// A box that never stops talking still leaves the other lines their turn.
constexpr int kReadsPerTurn = 16;

platform::SystemError Errno() {
    return {errno, std::system_category().message(errno)};
}

}  // namespace

struct EngineSource {
    CLine* line = nullptr;  // a line's device, or
    int fd = -1;            // a descriptor of the engine's own or a watched one
    std::function<void()> ready;
    bool gone = false;
};

CLine::CLine(std::unique_ptr<platform::SerialDevice> device, int portNumber, ILineClient& client)
    : m_device(std::move(device)),
      m_nPortNumber(portNumber),
      m_client(&client),
      m_fd(static_cast<int>(m_device->WaitHandle())) {}

CLine::~CLine() = default;

void CLine::EnsureSendBuffer(std::uint32_t size) {
    m_nSendBufSize = size;
}

void CLine::RequestWrite(const std::uint8_t* data, std::uint32_t length) {
    // Nothing to send is no request: it would wait for the line for ever.
    if (m_bLost || m_bClosed || data == nullptr || length == 0) {
        return;
    }
    const std::uint32_t n = m_nSendBufSize > 0 ? std::min(length, m_nSendBufSize) : length;
    m_slot.assign(data, data + n);
    m_bSlotFull = true;
}

void CLine::Pause(std::uint32_t ms) {
    const auto now = EngineClock::now();
    m_holdUntil = std::max(m_holdUntil, now) + std::chrono::milliseconds(ms);
    m_bPauseAsked = true;
}

bool CLine::OutputPending() {
    if (m_bLost || m_bClosed) {
        return false;
    }
    if (m_bSlotFull || !m_sending.empty() || m_device->HoldsOutput()) {
        return true;
    }
    platform::QueueStatus status;
    return m_device->GetStatus(status) && status.outQueue > 0;
}

CEngine::CEngine(std::chrono::milliseconds beacon)
    : m_epoll(::epoll_create1(EPOLL_CLOEXEC)),
      m_beaconFd(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)),
      m_wakeFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      m_beacon(beacon) {
    if (m_epoll < 0 || m_beaconFd < 0 || m_wakeFd < 0) {
        throw std::system_error(errno, std::system_category(), "cannot set up the event loop");
    }
    for (const int fd : {m_beaconFd, m_wakeFd}) {
        auto& source = m_sources.emplace_back(std::make_unique<EngineSource>());
        source->fd = fd;
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.ptr = source.get();
        if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event) != 0) {
            throw std::system_error(errno, std::system_category(), "cannot set up the event loop");
        }
    }
}

CEngine::~CEngine() {
    // Opens still under way finish first: their threads post into this object.
    m_openers.clear();
    for (const auto& line : m_lines) {
        if (!line->m_bClosed) {
            line->m_device->Close();
        }
    }
    if (m_signalFd >= 0) {
        ::close(m_signalFd);
    }
    ::close(m_wakeFd);
    ::close(m_beaconFd);
    ::close(m_epoll);
}

CLine* CEngine::Attach(std::unique_ptr<platform::SerialDevice> device, int portNumber,
                       ILineClient& client) {
    auto line = std::unique_ptr<CLine>(new CLine(std::move(device), portNumber, client));
    auto& source = m_sources.emplace_back(std::make_unique<EngineSource>());
    source->line = line.get();
    source->fd = line->m_fd;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = source.get();
    if (line->m_fd < 0 || ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, line->m_fd, &event) != 0) {
        source->gone = true;
        line->m_device->Close();
        return nullptr;
    }
    line->m_interest = static_cast<std::uint32_t>(EPOLLIN);
    line->m_source = source.get();
    CLine* attached = line.get();
    m_lines.push_back(std::move(line));
    ArmBeacon(true);
    // Input may wait in the device already (a network server's greeting came with the open).
    attached->m_kickTask = At(EngineClock::now(), [this, attached] {
        attached->m_kickTask = 0;
        Service(*attached);
    });
    return attached;
}

void CEngine::Close(CLine* line) {
    if (line == nullptr || line->m_bClosed) {
        return;
    }
    line->m_bClosed = true;
    if (!line->m_bLost) {
        if (line->m_interest != 0) {
            ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, line->m_fd, nullptr);
        }
        line->m_device->Close();
    }
    Cancel(line->m_holdTimer);
    Cancel(line->m_kickTask);
    line->m_source->gone = true;
}

void CEngine::Open(std::string name, int baudRate, std::function<void(OpenResult)> done) {
    const std::uint64_t id = m_nextOpener++;
    Opener& opener = m_openers.emplace_back();
    opener.id = id;
    opener.thread = std::jthread(
        [this, id, name = std::move(name), baudRate, done = std::move(done)]() mutable {
            OpenResult result;
            result.device = std::make_unique<platform::SerialDevice>();
            std::optional<platform::PortStep> step;
            if (!result.device->Open(name)) {
                step = platform::PortStep::Open;
            } else {
                platform::LineState state;
                step = serial::ConfigureDevice(*result.device, baudRate, 'N', 8, 1,
                                               serial::EV_RXCHAR, state);
                if (!step && !result.device->Purge()) {
                    step = platform::PortStep::Purge;
                }
            }
            if (step) {
                result.error = platform::LastSystemError();
                result.failedStep = *step;
                result.device.reset();
            }
            {
                const std::lock_guard lock(m_openLock);
                m_opened.push_back({id, std::move(done), std::move(result)});
            }
            const std::uint64_t one = 1;
            static_cast<void>(::write(m_wakeFd, &one, sizeof one));
        });
}

std::uint64_t CEngine::At(EngineClock::time_point when, std::function<void()> task) {
    const std::uint64_t id = m_nextTask++;
    m_tasks.emplace(when, std::make_pair(id, std::move(task)));
    return id;
}

void CEngine::Cancel(std::uint64_t id) {
    if (id == 0) {
        return;
    }
    const auto found = std::find_if(m_tasks.begin(), m_tasks.end(),
                                    [id](const auto& task) { return task.second.first == id; });
    if (found != m_tasks.end()) {
        m_tasks.erase(found);
    }
}

bool CEngine::Watch(int fd, std::function<void()> ready) {
    auto& source = m_sources.emplace_back(std::make_unique<EngineSource>());
    source->fd = fd;
    source->ready = std::move(ready);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = source.get();
    if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event) != 0) {
        source->gone = true;
        return false;
    }
    return true;
}

bool CEngine::WatchSignals(const std::vector<int>& signals, std::function<void(int)> received) {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : signals) {
        sigaddset(&set, signal);
    }
    if (::pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) {
        return false;
    }
    m_signalFd = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    return m_signalFd >= 0 && Watch(m_signalFd, [this, received = std::move(received)] {
               signalfd_siginfo info{};
               while (::read(m_signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
                   received(static_cast<int>(info.ssi_signo));
               }
           });
}

void CEngine::ReleaseSignals(const std::vector<int>& signals) {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : signals) {
        sigaddset(&set, signal);
    }
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

void CEngine::Run(const std::function<bool()>& done) {
    std::array<epoll_event, kMaxEvents> events{};
    RunDueTasks();
    while (!done()) {
        const int n = ::epoll_wait(m_epoll, events.data(), kMaxEvents, WaitTimeoutMs());
        if (n < 0 && errno != EINTR) {
            throw std::system_error(errno, std::system_category(), "epoll_wait");
        }
        for (int i = 0; i < n; ++i) {
            auto* source = static_cast<EngineSource*>(events[static_cast<std::size_t>(i)].data.ptr);
            if (!source->gone) {
                Dispatch(*source, events[static_cast<std::size_t>(i)].events);
            }
        }
        RunDueTasks();
        // Last, as the window's timer comes only when no other message waits.
        if (std::exchange(m_bTickDue, false)) {
            Tick();
        }
        m_lines.remove_if([](const auto& line) { return line->m_bClosed; });
        m_sources.remove_if([](const auto& source) { return source->gone; });
        ArmBeacon(!m_lines.empty());
    }
}

void CEngine::Dispatch(EngineSource& source, std::uint32_t events) {
    if (source.line != nullptr) {
        CLine& line = *source.line;
        if ((events & EPOLLOUT) != 0 && (events & (EPOLLIN | EPOLLERR | EPOLLHUP)) == 0) {
            AfterClientCall(line);
            return;
        }
        Service(line);
        return;
    }
    if (source.fd == m_beaconFd) {
        std::uint64_t expirations = 0;
        static_cast<void>(::read(m_beaconFd, &expirations, sizeof expirations));
        m_bTickDue = true;
        return;
    }
    if (source.fd == m_wakeFd) {
        std::uint64_t count = 0;
        static_cast<void>(::read(m_wakeFd, &count, sizeof count));
        TakeOpened();
        return;
    }
    if (source.ready) {
        source.ready();
    }
}

void CEngine::Service(CLine& line) {
    if (line.m_bLost || line.m_bClosed || line.IsHeld(EngineClock::now())) {
        return;
    }
    // A read that came back short took all the device had; what comes after it, epoll reports.
    // Not reading again until then sends the answer to those bytes one call sooner.
    bool drained = false;
    for (int reads = 0; reads <= kReadsPerTurn;) {
        while (line.m_inPos < line.m_in.size()) {
            const std::size_t run =
                line.m_client->TakeRun(std::span(line.m_in).subspan(line.m_inPos));
            if (run > 0) {
                line.m_inPos += run;
                continue;
            }
            const std::uint8_t byte = line.m_in[line.m_inPos++];
            line.m_client->OnByte(byte);
            if (line.m_bLost || line.m_bClosed) {
                return;
            }
            // Only a byte that asked for a pause can hold the line: no clock read for the others.
            if (std::exchange(line.m_bPauseAsked, false) && line.IsHeld(EngineClock::now())) {
                // The rest waits for the pause to end, as the window's next message would.
                AfterClientCall(line);
                return;
            }
        }
        if (reads == kReadsPerTurn || drained) {
            break;
        }
        line.m_in.resize(kReadChunk);
        const std::optional<std::size_t> count =
            line.m_device->Read(line.m_in.data(), line.m_in.size());
        ++reads;
        if (!count) {
            LoseIo(line, false);
            return;
        }
        line.m_in.resize(*count);
        line.m_inPos = 0;
        if (*count == 0) {
            break;
        }
        drained = *count < kReadChunk;
        line.m_lastInput = EngineClock::now();
    }
    AfterClientCall(line);
}

void CEngine::Flush(CLine& line) {
    const bool held = line.IsHeld(EngineClock::now());
    for (;;) {
        if (!line.m_sending.empty()) {
            const std::optional<std::size_t> n = line.m_device->WriteSome(
                line.m_sending.data() + line.m_sent, line.m_sending.size() - line.m_sent);
            if (!n) {
                LoseIo(line, true);
                return;
            }
            line.m_sent += *n;
            if (line.m_sent < line.m_sending.size()) {
                return;
            }
            line.m_sending.clear();
            line.m_sent = 0;
        }
        if (held || !line.m_bSlotFull) {
            break;
        }
        const std::optional<std::size_t> n =
            line.m_device->WriteSome(line.m_slot.data(), line.m_slot.size());
        if (!n) {
            LoseIo(line, true);
            return;
        }
        if (*n == 0) {
            return;  // not begun: a later request may still replace it
        }
        line.m_bSlotFull = false;
        if (*n < line.m_slot.size()) {
            line.m_sending.swap(line.m_slot);
            line.m_sent = *n;
            return;
        }
    }
    // A device that keeps bytes of its own passes them on when asked.
    if (line.m_device->HoldsOutput() && !line.m_device->WriteSome(nullptr, 0)) {
        LoseIo(line, true);
    }
}

void CEngine::Tick() {
    const auto now = EngineClock::now();
    for (const auto& line : m_lines) {
        // A line stays paused until its pause's task has handled the input the pause held back,
        // as the window's waiting messages come before its timer's.
        if (line->m_bLost || line->m_bClosed || line->m_holdTimer != 0 || line->IsHeld(now)) {
            continue;
        }
        line->m_client->OnTick();
        AfterClientCall(*line);
    }
}

void CEngine::Lose(CLine& line, platform::PortStep step, const platform::SystemError& error) {
    if (line.m_bLost) {
        return;
    }
    line.m_bLost = true;
    if (line.m_interest != 0) {
        ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, line.m_fd, nullptr);
        line.m_interest = 0;
    }
    line.m_device->Close();
    Cancel(line.m_holdTimer);
    line.m_holdTimer = 0;
    line.m_bSlotFull = false;
    line.m_sending.clear();
    line.m_in.clear();
    line.m_inPos = 0;
    line.m_client->OnLineLost(step, error);
}

void CEngine::LoseIo(CLine& line, bool writing) {
    const platform::SystemError error = platform::LastSystemError();
    const platform::IoStep at = line.m_device->LastFailedIoStep();
    Lose(line, writing ? platform::WriteStep(at) : platform::ReadStep(at), error);
}

void CEngine::UpdateInterest(CLine& line) {
    const bool held = line.IsHeld(EngineClock::now());
    std::uint32_t wanted = held ? 0U : static_cast<std::uint32_t>(EPOLLIN);
    // A server that has told us to hold our data back says when to go on as input; a writable
    // socket would only wake us again and again meanwhile. What the device keeps goes out anyway.
    const bool dataWaits = !line.m_sending.empty() || (line.m_bSlotFull && !held);
    if ((dataWaits && !line.m_device->OutputSuspended()) || line.m_device->HoldsOutput()) {
        wanted |= static_cast<std::uint32_t>(EPOLLOUT);
    }
    if (wanted == line.m_interest) {
        return;
    }
    // A line watched for nothing leaves the set: epoll reports a hang-up whatever it is asked
    // for, and a held line would be woken by it again and again.
    int op = EPOLL_CTL_MOD;
    if (wanted == 0) {
        op = EPOLL_CTL_DEL;
    } else if (line.m_interest == 0) {
        op = EPOLL_CTL_ADD;
    }
    epoll_event event{};
    event.events = wanted;
    event.data.ptr = line.m_source;
    if (::epoll_ctl(m_epoll, op, line.m_fd, &event) != 0) {
        Lose(line, platform::PortStep::Watch, Errno());
        return;
    }
    line.m_interest = wanted;
}

void CEngine::AfterClientCall(CLine& line) {
    if (line.m_bLost || line.m_bClosed) {
        return;
    }
    Flush(line);
    if (line.m_bLost || line.m_bClosed) {
        return;
    }
    UpdateInterest(line);
    if (line.IsHeld(EngineClock::now()) && line.m_holdTimer == 0) {
        line.m_holdTimer = At(line.m_holdUntil, [this, &line] {
            line.m_holdTimer = 0;
            Service(line);
        });
    }
}

void CEngine::RunDueTasks() {
    for (;;) {
        const auto now = EngineClock::now();
        const auto first = m_tasks.begin();
        if (first == m_tasks.end() || first->first > now) {
            return;
        }
        const std::function<void()> task = std::move(first->second.second);
        m_tasks.erase(first);
        task();
    }
}

void CEngine::TakeOpened() {
    std::vector<Pending> opened;
    {
        const std::lock_guard lock(m_openLock);
        opened.swap(m_opened);
    }
    for (Pending& pending : opened) {
        m_openers.remove_if([&](const Opener& opener) { return opener.id == pending.opener; });
        pending.done(std::move(pending.result));
    }
}

void CEngine::ArmBeacon(bool on) {
    if (on == m_bBeaconArmed) {
        return;
    }
    itimerspec spec{};
    if (on) {
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(m_beacon).count();
        spec.it_interval.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
        spec.it_interval.tv_nsec = static_cast<long>(ns % 1'000'000'000);
        spec.it_value = spec.it_interval;
    }
    static_cast<void>(::timerfd_settime(m_beaconFd, 0, &spec, nullptr));
    m_bBeaconArmed = on;
}

int CEngine::WaitTimeoutMs() const {
    if (m_tasks.empty()) {
        return -1;
    }
    const auto wait = m_tasks.begin()->first - EngineClock::now();
    if (wait <= EngineClock::duration::zero()) {
        return 0;
    }
    // Rounded up: waking a little late is harmless, waking early only spins.
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count());
}

}  // namespace vandrelux::cli
