#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <system_error>

#include "device/DeviceBackend.h"
#include "device/ModeString.h"
#include "device/posix/TermiosMapping.h"
#include "os/ErrorDetail.h"

namespace vandrelux::platform {
namespace {

template <typename Call>
auto RetryOnEintr(Call call) {
    for (;;) {
        const auto result = call();
        if (result != -1 || errno != EINTR) {
            return result;
        }
    }
}

bool Fail(int code) {
    errno = code;
    return false;
}

// How a driver says the line has no modem-control signals, as a pseudo-terminal does.
bool MeansNoModemLines(int code) {
    return code == ENOTTY || code == EINVAL || code == EOPNOTSUPP;
}

// Gives up on a descriptor that failed a step of Open, keeping that step's error.
bool Abandon(int fd, int code) {
    ::close(fd);
    return Fail(code);
}

// Far beyond any real write, and safe to add to steady_clock::now().
constexpr std::uint64_t kLongestWriteMs = std::uint64_t{1} << 40;

std::chrono::milliseconds WriteBudget(std::uint32_t perByteMs, std::uint32_t constantMs,
                                      std::size_t size) {
    std::uint64_t budget = constantMs;
    if (perByteMs != 0 && size > (kLongestWriteMs - budget) / perByteMs) {
        budget = kLongestWriteMs;
    } else {
        budget += std::uint64_t{perByteMs} * size;
    }
    return std::chrono::milliseconds(static_cast<std::chrono::milliseconds::rep>(budget));
}

}  // namespace

bool BuildLineState(std::string_view mode, LineState& state) {
    if (!ParseModeString(mode, state)) {
        return Fail(EINVAL);
    }
    return true;
}

struct LocalSerialDevice::Impl {
    std::atomic<int> fd{-1};  // Wait reads it without the port object's lock
    termios original{};
    std::uint32_t writePerByteMs = 0;
    std::uint32_t writeConstantMs = 0;
    std::uint32_t eventMask = 0;

    // The open descriptor, or -1 with EBADF so that calls on a closed port fail quietly.
    int OpenFd() const {
        const int current = fd.load();
        if (current < 0) {
            errno = EBADF;
        }
        return current;
    }
};

LocalSerialDevice::LocalSerialDevice() : m_impl(std::make_unique<Impl>()) {}

LocalSerialDevice::~LocalSerialDevice() {
    Close();
}

bool LocalSerialDevice::Open(const std::string& path) {
    Close();
    const int fd = RetryOnEintr(
        [&] { return ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); });
    if (fd < 0) {
        return false;
    }
    if (::isatty(fd) == 0) {
        return Abandon(fd, ENOTTY);
    }
    // TIOCEXCL does not stop root, so the lock is what keeps a second opener out.
    if (RetryOnEintr([&] { return ::flock(fd, LOCK_EX | LOCK_NB); }) != 0) {
        return Abandon(fd, errno == EWOULDBLOCK ? EBUSY : errno);
    }
    termios original{};
    if (::ioctl(fd, TIOCEXCL) != 0 || ::tcgetattr(fd, &original) != 0) {
        return Abandon(fd, errno);
    }
    m_impl->original = original;
    m_impl->writePerByteMs = 0;
    m_impl->writeConstantMs = 0;
    m_impl->eventMask = 0;
    m_impl->fd.store(fd);
    return true;
}

void LocalSerialDevice::Close() noexcept {
    const int fd = m_impl->fd.exchange(-1);
    if (fd < 0) {
        return;
    }
    const int savedErrno = errno;  // callers read the error of the step that made them close
    static_cast<void>(RetryOnEintr([&] { return ::tcsetattr(fd, TCSANOW, &m_impl->original); }));
    static_cast<void>(::ioctl(fd, TIOCNXCL));
    ::close(fd);
    errno = savedErrno;
}

bool LocalSerialDevice::IsOpen() const noexcept {
    return m_impl->fd.load() >= 0;
}

std::intptr_t LocalSerialDevice::WaitHandle() const noexcept {
    return m_impl->fd.load();
}

bool LocalSerialDevice::SetTimeouts(std::uint32_t perByteMs, std::uint32_t constantMs) {
    if (m_impl->OpenFd() < 0) {
        return false;
    }
    m_impl->writePerByteMs = perByteMs;
    m_impl->writeConstantMs = constantMs;
    return true;
}

bool LocalSerialDevice::SetEventMask(std::uint32_t mask) {
    // The comm events there are (EV_RXCHAR 0x0001 to EV_EVENT2 0x1000); a bit beyond them is
    // refused, as the Windows drivers refuse it.
    constexpr std::uint32_t kKnownEvents = 0x1FFF;
    if (m_impl->OpenFd() < 0) {
        return false;
    }
    if ((mask & ~kKnownEvents) != 0) {
        return Fail(EINVAL);
    }
    m_impl->eventMask = mask;
    return true;
}

bool LocalSerialDevice::GetLineState(LineState& state) {
    const int fd = m_impl->OpenFd();
    termios settings{};
    if (fd < 0 || ::tcgetattr(fd, &settings) != 0) {
        return false;
    }
    LineState current = posix::LineFormatOf(settings);
    int lines = 0;
    if (::ioctl(fd, TIOCMGET, &lines) == 0) {
        current.rtsEnabled = (lines & TIOCM_RTS) != 0;
    } else if (!MeansNoModemLines(errno)) {
        return false;
    }
    state = current;
    return true;
}

bool LocalSerialDevice::SetLineState(const LineState& state) {
    const int fd = m_impl->OpenFd();
    termios before{};
    if (fd < 0 || ::tcgetattr(fd, &before) != 0) {
        return false;
    }
    termios wanted = before;
    if (!posix::ApplyLineFormat(state, wanted)) {
        return Fail(EINVAL);
    }
    if (RetryOnEintr([&] { return ::tcsetattr(fd, TCSANOW, &wanted); }) != 0) {
        return false;
    }
    // tcsetattr succeeds when any part applies; a driver that cannot frame the format says so
    // only by what it kept, and a silently different format would garble every byte.
    termios applied{};
    if (::tcgetattr(fd, &applied) != 0) {
        return false;
    }
    if (posix::LineFormatOf(applied) != posix::LineFormatOf(wanted)) {
        static_cast<void>(RetryOnEintr([&] { return ::tcsetattr(fd, TCSANOW, &before); }));
        return Fail(EINVAL);
    }
    int rts = TIOCM_RTS;
    if (::ioctl(fd, state.rtsEnabled ? TIOCMBIS : TIOCMBIC, &rts) != 0 &&
        !MeansNoModemLines(errno)) {
        return false;
    }
    return true;
}

bool LocalSerialDevice::Purge() {
    const int fd = m_impl->OpenFd();
    return fd >= 0 && ::tcflush(fd, TCIOFLUSH) == 0;
}

bool LocalSerialDevice::PurgeOutput() {
    const int fd = m_impl->OpenFd();
    return fd >= 0 && ::tcflush(fd, TCOFLUSH) == 0;
}

bool LocalSerialDevice::GetStatus(QueueStatus& status) {
    // Zeroed on failure, so a caller waiting for the output queue to empty cannot wait forever.
    status = {};
    const int fd = m_impl->OpenFd();
    int in = 0;
    int out = 0;
    if (fd < 0 || ::ioctl(fd, FIONREAD, &in) != 0 || ::ioctl(fd, TIOCOUTQ, &out) != 0) {
        return false;
    }
    status.inQueue = static_cast<std::uint32_t>(std::max(in, 0));
    status.outQueue = static_cast<std::uint32_t>(std::max(out, 0));
    return true;
}

std::optional<std::size_t> LocalSerialDevice::Read(std::uint8_t* data, std::size_t size) {
    const int fd = m_impl->OpenFd();
    if (fd < 0) {
        return std::nullopt;
    }
    if (size == 0) {
        return 0;  // a read of nothing would look like end of file
    }
    if (data == nullptr) {
        errno = EINVAL;
        return std::nullopt;
    }
    const ssize_t count = RetryOnEintr([&] { return ::read(fd, data, size); });
    if (count > 0) {
        return static_cast<std::size_t>(count);
    }
    if (count == 0) {
        // End of file is a hang-up; a port left with VMIN 0 also reads nothing that way.
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 0) >= 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0) {
            return 0;
        }
        errno = EIO;
        return std::nullopt;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
        return 0;
    }
    return std::nullopt;
}

bool LocalSerialDevice::Write(const std::uint8_t* data, std::size_t size, const Event* stop) {
    const int fd = m_impl->OpenFd();
    if (fd < 0) {
        return false;
    }
    if (size == 0) {
        return true;
    }
    if (data == nullptr) {
        return Fail(EINVAL);
    }
    using Clock = std::chrono::steady_clock;
    const auto deadline =
        Clock::now() + WriteBudget(m_impl->writePerByteMs, m_impl->writeConstantMs, size);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t count = RetryOnEintr([&] { return ::write(fd, data + done, size - done); });
        if (count > 0) {
            done += static_cast<std::size_t>(count);
            continue;
        }
        if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            return false;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return Fail(ETIMEDOUT);
        }
        pollfd p[2] = {{fd, POLLOUT, 0},
                       {stop == nullptr ? -1 : static_cast<int>(stop->NativeHandle()), POLLIN, 0}};
        const auto timeoutMs =
            static_cast<int>(std::min<std::chrono::milliseconds::rep>(left.count(), INT_MAX));
        if (::poll(p, 2, timeoutMs) < 0 && errno != EINTR) {
            return false;
        }
        if ((p[1].revents & POLLIN) != 0) {
            return Fail(ECANCELED);
        }
    }
    return true;
}

std::optional<std::size_t> LocalSerialDevice::WriteSome(const std::uint8_t* data,
                                                        std::size_t size) {
    const int fd = m_impl->OpenFd();
    if (fd < 0) {
        return std::nullopt;
    }
    if (size == 0) {
        return 0;
    }
    if (data == nullptr) {
        errno = EINVAL;
        return std::nullopt;
    }
    const ssize_t count = RetryOnEintr([&] { return ::write(fd, data, size); });
    if (count >= 0) {
        return static_cast<std::size_t>(count);
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
        return 0;
    }
    return std::nullopt;
}

// Reads and writes on a terminal finish inside the call.
// The descriptor is watched by the system itself, and a write finishes inside its call.
void LocalSerialDevice::ArmWait(bool /*forInput*/, bool /*forOutput*/) {}

bool LocalSerialDevice::HoldsOutput() const noexcept {
    return false;
}

IoStep LocalSerialDevice::LastFailedIoStep() const noexcept {
    return IoStep::Call;
}

WaitResult LocalSerialDevice::Wait(const Event& stop, const Event& writeRequest, bool watchPort) {
    // A negative descriptor is skipped by poll, which keeps the indexes fixed.
    std::array<pollfd, 3> set{{
        {static_cast<int>(stop.NativeHandle()), POLLIN, 0},
        {watchPort ? m_impl->fd.load() : -1, POLLIN, 0},
        {static_cast<int>(writeRequest.NativeHandle()), POLLIN, 0},
    }};
    if (RetryOnEintr([&] { return ::poll(set.data(), set.size(), -1); }) < 0) {
        return WaitResult::Failed;
    }
    constexpr short kBroken = POLLERR | POLLNVAL;
    if ((set[0].revents & kBroken) != 0) {
        return WaitResult::Failed;
    }
    if ((set[0].revents & POLLIN) != 0) {
        return WaitResult::Stop;
    }
    // Hang-up and errors count too: the read that follows reports them.
    if (set[1].revents != 0) {
        return WaitResult::PortActivity;
    }
    if ((set[2].revents & POLLIN) != 0 && (set[2].revents & kBroken) == 0) {
        return WaitResult::WriteRequest;
    }
    return WaitResult::Failed;
}

}  // namespace vandrelux::platform
