#include "boxsim/PtyLine.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <thread>
#include <utility>

namespace vandrelux::boxsim {

namespace {

[[noreturn]] void ThrowErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

void CloseFd(int& fd) noexcept {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

// Owns a descriptor until it is released into a PtyLine, so a failed step leaks nothing.
class FdGuard {
public:
    explicit FdGuard(int fd) noexcept : m_fd(fd) {}
    FdGuard(const FdGuard&) = delete;
    FdGuard& operator=(const FdGuard&) = delete;
    ~FdGuard() { CloseFd(m_fd); }
    [[nodiscard]] int Get() const noexcept { return m_fd; }
    [[nodiscard]] int Release() noexcept { return std::exchange(m_fd, -1); }

private:
    int m_fd;
};

void MakeRaw(int fd, const std::string& what) {
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        ThrowErrno("cannot read the line settings of " + what);
    }
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
        ThrowErrno("cannot make " + what + " raw");
    }
}

void MakeNonBlocking(int fd, const std::string& what) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        ThrowErrno("cannot make " + what + " non-blocking");
    }
}

}  // namespace

PtyLine PtyLine::OpenPty() {
    FdGuard master(::posix_openpt(O_RDWR | O_NOCTTY));
    if (master.Get() < 0) {
        ThrowErrno("cannot create a pseudo-terminal");
    }
    if (::grantpt(master.Get()) != 0 || ::unlockpt(master.Get()) != 0) {
        ThrowErrno("cannot unlock the pseudo-terminal");
    }
    std::array<char, 128> name{};
    const int nameError = ::ptsname_r(master.Get(), name.data(), name.size());
    if (nameError != 0) {
        throw std::system_error(nameError > 0 ? nameError : errno, std::generic_category(),
                                "cannot name the pseudo-terminal");
    }
    std::string path = name.data();
    FdGuard slave(::open(path.c_str(), O_RDWR | O_NOCTTY));
    if (slave.Get() < 0) {
        ThrowErrno("cannot open " + path);
    }
    MakeRaw(slave.Get(), path);
    MakeNonBlocking(master.Get(), "the pseudo-terminal");
    return PtyLine(master.Release(), slave.Release(), std::move(path));
}

PtyLine PtyLine::OpenDevice(const std::string& path) {
    FdGuard fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
    if (fd.Get() < 0) {
        ThrowErrno("cannot open " + path);
    }
    MakeRaw(fd.Get(), path);
    // A box powered on now hears nothing that was sent before: bytes a line kept are not its.
    static_cast<void>(::tcflush(fd.Get(), TCIFLUSH));
    return PtyLine(fd.Release(), -1, path);
}

PtyLine::PtyLine(PtyLine&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)),
      m_keptSlaveFd(std::exchange(other.m_keptSlaveFd, -1)),
      m_path(std::move(other.m_path)) {}

PtyLine& PtyLine::operator=(PtyLine&& other) noexcept {
    if (this != &other) {
        HangUp();
        m_fd = std::exchange(other.m_fd, -1);
        m_keptSlaveFd = std::exchange(other.m_keptSlaveFd, -1);
        m_path = std::move(other.m_path);
    }
    return *this;
}

PtyLine::~PtyLine() {
    HangUp();
}

void PtyLine::Drain(std::chrono::milliseconds limit) const {
    if (m_fd < 0) {
        return;
    }
    if (m_keptSlaveFd < 0) {
        // A device has its own transmitter; waiting for it is all we can do.
        ::tcdrain(m_fd);
        return;
    }
    // Every opener of the slave shares one input queue, so ours shows what the PC has not read.
    // Bytes just written can take a moment to reach that queue, so it must stay empty a while.
    constexpr auto kQuiet = std::chrono::milliseconds(10);
    const auto start = std::chrono::steady_clock::now();
    auto quietSince = start;
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        pollfd pfd{m_keptSlaveFd, POLLIN, 0};
        if (::poll(&pfd, 1, 0) < 0 && errno != EINTR) {
            return;
        }
        if ((pfd.revents & POLLIN) != 0) {
            quietSince = now;
        }
        if (now - quietSince >= kQuiet || now - start >= limit) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void PtyLine::HangUp() noexcept {
    CloseFd(m_fd);
    CloseFd(m_keptSlaveFd);
}

}  // namespace vandrelux::boxsim
