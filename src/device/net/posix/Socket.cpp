#include "device/net/Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>

#include "os/ErrorDetail.h"

namespace vandrelux::platform {

namespace {

int CodeOf(SocketFailure failure) {
    switch (failure) {
        case SocketFailure::Unresolved:
            return EHOSTUNREACH;
        case SocketFailure::Refused:
            return ECONNREFUSED;
        case SocketFailure::TimedOut:
            return ETIMEDOUT;
        case SocketFailure::Busy:
            return EBUSY;
        case SocketFailure::Closed:
            return ECONNRESET;
        case SocketFailure::Refusal:
        case SocketFailure::Invalid:
            return EINVAL;
        case SocketFailure::Cancelled:
            return ECANCELED;
    }
    return EIO;
}

int PollTimeout(Deadline deadline) {
    if (!deadline) {
        return -1;
    }
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, INT_MAX));
}

int EventFd(const Event* event) {
    return event == nullptr ? -1 : static_cast<int>(event->NativeHandle());
}

}  // namespace

bool FailWith(SocketFailure failure, std::string text) {
    const int code = CodeOf(failure);
    SetErrorDetail(code, std::move(text));
    errno = code;
    return false;
}

std::optional<SocketFailure> FailureOf(int code) {
    for (const SocketFailure failure :
         {SocketFailure::Unresolved, SocketFailure::Refused, SocketFailure::TimedOut,
          SocketFailure::Busy, SocketFailure::Closed, SocketFailure::Refusal,
          SocketFailure::Cancelled}) {
        if (CodeOf(failure) == code) {
            return failure;
        }
    }
    return std::nullopt;
}

Resolution ResolveNow(const std::string& host, const std::string& port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    Resolution resolution;
    const int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &list);
    if (rc != 0) {
        resolution.error = rc == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(rc);
        return resolution;
    }
    for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
        SocketAddress address;
        if (a->ai_addrlen > address.bytes.size()) {
            continue;
        }
        std::memcpy(address.bytes.data(), a->ai_addr, a->ai_addrlen);
        address.length = static_cast<int>(a->ai_addrlen);
        address.family = a->ai_family;
        std::array<char, NI_MAXHOST> name{};
        if (::getnameinfo(a->ai_addr, a->ai_addrlen, name.data(), name.size(), nullptr, 0,
                          NI_NUMERICHOST) == 0) {
            address.text = std::string(name.data()) + " port " + port;
        }
        resolution.addresses.push_back(std::move(address));
    }
    ::freeaddrinfo(list);
    return resolution;
}

struct Socket::Impl {
    std::optional<SocketFailure> failure;  // of the last call that failed in a way of ours

    bool Fail(SocketFailure kind, std::string text) {
        failure = kind;
        return FailWith(kind, std::move(text));
    }
    std::atomic<int> fd{-1};  // read by the status calls of another thread
};

Socket::Socket() : m_impl(std::make_unique<Impl>()) {}

Socket::~Socket() {
    Close();
}

bool Socket::Connect(const SocketAddress& address, Deadline deadline, const Event* cancel) {
    m_impl->failure.reset();
    Close();
    const int fd =
        ::socket(address.family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        return false;
    }
    const auto give_up = [fd] {
        const int code = errno;
        ::close(fd);
        errno = code;
        return false;
    };
    const int one = 1;
    if (::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) {
        return give_up();
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(address.bytes.data()),
                  static_cast<socklen_t>(address.length)) != 0) {
        if (errno != EINPROGRESS && errno != EINTR) {
            if (errno == ECONNREFUSED) {
                m_impl->Fail(SocketFailure::Refused, "connection refused by " + address.text);
            }
            return give_up();
        }
        std::array<pollfd, 2> set{{{fd, POLLOUT, 0}, {EventFd(cancel), POLLIN, 0}}};
        int ready = 0;
        do {
            ready = ::poll(set.data(), set.size(), PollTimeout(deadline));
        } while (ready < 0 && errno == EINTR);
        if (ready == 0) {
            m_impl->Fail(SocketFailure::TimedOut, "no answer from " + address.text);
            return give_up();
        }
        if ((set[1].revents & POLLIN) != 0) {
            m_impl->Fail(SocketFailure::Cancelled,
                         "the connection to " + address.text + " was called off");
            return give_up();
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (ready < 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
            return give_up();
        }
        if (error == ECONNREFUSED) {
            m_impl->Fail(SocketFailure::Refused, "connection refused by " + address.text);
            return give_up();
        }
        if (error != 0) {
            errno = error;
            return give_up();
        }
    }
    m_impl->fd.store(fd);
    return true;
}

void Socket::Close() noexcept {
    const int fd = m_impl->fd.exchange(-1);
    if (fd >= 0) {
        const int code = errno;  // callers read the error that made them close
        ::close(fd);
        errno = code;
    }
}

bool Socket::IsOpen() const noexcept {
    return m_impl->fd.load() >= 0;
}

std::optional<std::size_t> Socket::Send(const std::uint8_t* data, std::size_t size) {
    const int fd = m_impl->fd.load();
    if (fd < 0) {
        errno = EBADF;
        return std::nullopt;
    }
    for (;;) {
        const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent >= 0) {
            return static_cast<std::size_t>(sent);
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return 0;
        }
        if (errno != EINTR) {
            return std::nullopt;
        }
    }
}

std::optional<std::size_t> Socket::Receive(std::uint8_t* data, std::size_t size) {
    m_impl->failure.reset();
    const int fd = m_impl->fd.load();
    if (fd < 0) {
        errno = EBADF;
        return std::nullopt;
    }
    for (;;) {
        const ssize_t got = ::recv(fd, data, size, 0);
        if (got > 0) {
            return static_cast<std::size_t>(got);
        }
        if (got == 0) {
            m_impl->Fail(SocketFailure::Closed, "the server closed the connection");
            return std::nullopt;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return 0;
        }
        if (errno != EINTR) {
            return std::nullopt;
        }
    }
}

std::uint32_t Socket::Readable() const noexcept {
    int count = 0;
    const int fd = m_impl->fd.load();
    return fd >= 0 && ::ioctl(fd, FIONREAD, &count) == 0
               ? static_cast<std::uint32_t>(std::max(count, 0))
               : 0;
}

std::uint32_t Socket::Unsent() const noexcept {
    int count = 0;
    const int fd = m_impl->fd.load();
    return fd >= 0 && ::ioctl(fd, SIOCOUTQNSD, &count) == 0
               ? static_cast<std::uint32_t>(std::max(count, 0))
               : 0;
}

SocketWake Socket::Wait(const Event* stop, const Event* writeRequest, bool watchRead,
                        bool watchWrite, Deadline deadline) {
    const int fd = m_impl->fd.load();
    const auto events = static_cast<short>((watchRead ? POLLIN : 0) | (watchWrite ? POLLOUT : 0));
    // A negative descriptor is skipped by poll, which keeps the indexes fixed.
    std::array<pollfd, 3> set{{{EventFd(stop), POLLIN, 0},
                               {events != 0 ? fd : -1, events, 0},
                               {EventFd(writeRequest), POLLIN, 0}}};
    int ready = 0;
    do {
        ready = ::poll(set.data(), set.size(), PollTimeout(deadline));
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) {
        return SocketWake::Failed;
    }
    if (ready == 0) {
        return SocketWake::TimedOut;
    }
    if ((set[0].revents & POLLIN) != 0) {
        return SocketWake::Stop;
    }
    // Hang-up and errors count as readable: the receive that follows reports them.
    if (watchRead && (set[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        return SocketWake::Readable;
    }
    if (watchWrite && (set[1].revents & (POLLOUT | POLLHUP | POLLERR)) != 0) {
        return SocketWake::Writable;
    }
    if ((set[2].revents & POLLIN) != 0) {
        return SocketWake::WriteRequest;
    }
    return SocketWake::Failed;
}

std::optional<SocketFailure> Socket::LastFailure() const noexcept {
    return m_impl->failure;
}

std::intptr_t Socket::NativeHandle() const noexcept {
    return m_impl->fd.load();
}

std::intptr_t Socket::WaitHandle() const noexcept {
    return NativeHandle();
}

// The system watches the descriptor by itself.
void Socket::ArmWait(bool /*forInput*/, bool /*forOutput*/) {}

}  // namespace vandrelux::platform
