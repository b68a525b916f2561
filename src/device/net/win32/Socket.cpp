// The network device's socket on Winsock. A wait joins the socket to an event of its own with
// WSAEventSelect, so it can be waited on with the port object's events; the selection is made
// anew for every wait, which also records what is already readable or writable.
#include <winsock2.h>
#include <ws2tcpip.h>
// windows.h after winsock2.h
#include <windows.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <mutex>

#include "device/net/Socket.h"
#include "os/ErrorDetail.h"
#include "os/SystemError.h"

namespace vandrelux::platform {

namespace {

DWORD CodeOf(SocketFailure failure) {
    switch (failure) {
        case SocketFailure::Unresolved:
            return WSAHOST_NOT_FOUND;
        case SocketFailure::Refused:
            return WSAECONNREFUSED;
        case SocketFailure::TimedOut:
            return WSAETIMEDOUT;
        case SocketFailure::Busy:
            return ERROR_BUSY;
        case SocketFailure::Closed:
            return WSAECONNRESET;
        case SocketFailure::Refusal:
        case SocketFailure::Invalid:
            return ERROR_INVALID_PARAMETER;
        case SocketFailure::Cancelled:
            return ERROR_OPERATION_ABORTED;
    }
    return ERROR_GEN_FAILURE;
}

// Winsock is started once for the process and left running until it ends.
bool StartWinsock() {
    static const bool started = [] {
        WSADATA data{};
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

DWORD WaitMs(Deadline deadline) {
    if (!deadline) {
        return INFINITE;
    }
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now());
    return static_cast<DWORD>(
        std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, INFINITE - 1));
}

// How often a connect looks whether it was called off.
constexpr DWORD kConnectSliceMs = 50;

HANDLE HandleOf(const Event& event) {
    return reinterpret_cast<HANDLE>(event.NativeHandle());
}

}  // namespace

bool FailWith(SocketFailure failure, std::string text) {
    const DWORD code = CodeOf(failure);
    SetErrorDetail(static_cast<int>(code), std::move(text));
    ::SetLastError(code);
    return false;
}

std::optional<SocketFailure> FailureOf(int code) {
    for (const SocketFailure failure :
         {SocketFailure::Unresolved, SocketFailure::Refused, SocketFailure::TimedOut,
          SocketFailure::Busy, SocketFailure::Closed, SocketFailure::Refusal,
          SocketFailure::Cancelled}) {
        if (static_cast<int>(CodeOf(failure)) == code) {
            return failure;
        }
    }
    return std::nullopt;
}

Resolution ResolveNow(const std::string& host, const std::string& port) {
    Resolution resolution;
    if (!StartWinsock()) {
        resolution.error = "Winsock did not start";
        return resolution;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &list);
    if (rc != 0) {
        ::SetLastError(static_cast<DWORD>(rc));
        resolution.error = LastSystemError().message;
        while (!resolution.error.empty() &&
               (resolution.error.back() == '\n' || resolution.error.back() == '\r')) {
            resolution.error.pop_back();
        }
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
        if (::getnameinfo(a->ai_addr, static_cast<socklen_t>(a->ai_addrlen), name.data(),
                          static_cast<DWORD>(name.size()), nullptr, 0, NI_NUMERICHOST) == 0) {
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
    std::atomic<SOCKET> socket{INVALID_SOCKET};  // read by the status calls of another thread
    WSAEVENT event = ::WSACreateEvent();

    Impl() = default;
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;
    ~Impl() { ::WSACloseEvent(event); }
};

Socket::Socket() : m_impl(std::make_unique<Impl>()) {}

Socket::~Socket() {
    Close();
}

bool Socket::Connect(const SocketAddress& address, Deadline deadline, const Event* cancel) {
    m_impl->failure.reset();
    Close();
    if (!StartWinsock()) {
        return false;
    }
    const SOCKET s = ::socket(address.family, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        return false;
    }
    const auto give_up = [s] {
        const DWORD code = ::GetLastError();
        ::closesocket(s);
        ::SetLastError(code);
        return false;
    };
    u_long nonBlocking = 1;
    const BOOL one = TRUE;
    if (::ioctlsocket(s, static_cast<long>(FIONBIO), &nonBlocking) != 0 ||
        ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one),
                     sizeof one) != 0) {
        return give_up();
    }
    if (::connect(s, reinterpret_cast<const sockaddr*>(address.bytes.data()), address.length) !=
        0) {
        if (::WSAGetLastError() != WSAEWOULDBLOCK) {
            if (::WSAGetLastError() == WSAECONNREFUSED) {
                m_impl->Fail(SocketFailure::Refused, "connection refused by " + address.text);
            }
            return give_up();
        }
        fd_set writable;
        fd_set failed;
        int ready = 0;
        // select cannot watch an event: the wait goes in slices, each ended by a look at `cancel`.
        do {
            if (cancel != nullptr && cancel->IsSet()) {
                m_impl->Fail(SocketFailure::Cancelled,
                             "the connection to " + address.text + " was called off");
                return give_up();
            }
            FD_ZERO(&writable);
            FD_ZERO(&failed);
            FD_SET(s, &writable);
            FD_SET(s, &failed);
            const DWORD ms = std::min<DWORD>(WaitMs(deadline), kConnectSliceMs);
            timeval limit{static_cast<long>(ms / 1000), static_cast<long>(ms % 1000 * 1000)};
            ready = ::select(0, nullptr, &writable, &failed, &limit);
        } while (ready == 0 && WaitMs(deadline) > 0);
        if (ready == 0) {
            m_impl->Fail(SocketFailure::TimedOut, "no answer from " + address.text);
            return give_up();
        }
        if (ready < 0) {
            return give_up();
        }
        if (FD_ISSET(s, &failed)) {
            int error = 0;
            int length = sizeof error;
            ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
            if (error == WSAECONNREFUSED) {
                m_impl->Fail(SocketFailure::Refused, "connection refused by " + address.text);
            } else {
                ::SetLastError(static_cast<DWORD>(error));
            }
            return give_up();
        }
    }
    m_impl->socket.store(s);
    return true;
}

void Socket::Close() noexcept {
    const SOCKET s = m_impl->socket.exchange(INVALID_SOCKET);
    if (s != INVALID_SOCKET) {
        const DWORD code = ::GetLastError();  // callers read the error that made them close
        ::closesocket(s);
        ::SetLastError(code);
    }
}

bool Socket::IsOpen() const noexcept {
    return m_impl->socket.load() != INVALID_SOCKET;
}

std::optional<std::size_t> Socket::Send(const std::uint8_t* data, std::size_t size) {
    const SOCKET s = m_impl->socket.load();
    if (s == INVALID_SOCKET) {
        ::SetLastError(WSAENOTSOCK);
        return std::nullopt;
    }
    const int sent = ::send(s, reinterpret_cast<const char*>(data),
                            static_cast<int>(std::min<std::size_t>(size, INT_MAX)), 0);
    if (sent >= 0) {
        return static_cast<std::size_t>(sent);
    }
    if (::WSAGetLastError() == WSAEWOULDBLOCK) {
        return 0;
    }
    return std::nullopt;
}

std::optional<std::size_t> Socket::Receive(std::uint8_t* data, std::size_t size) {
    m_impl->failure.reset();
    const SOCKET s = m_impl->socket.load();
    if (s == INVALID_SOCKET) {
        ::SetLastError(WSAENOTSOCK);
        return std::nullopt;
    }
    const int got = ::recv(s, reinterpret_cast<char*>(data),
                           static_cast<int>(std::min<std::size_t>(size, INT_MAX)), 0);
    if (got > 0) {
        return static_cast<std::size_t>(got);
    }
    if (got == 0) {
        m_impl->Fail(SocketFailure::Closed, "the server closed the connection");
        return std::nullopt;
    }
    if (::WSAGetLastError() == WSAEWOULDBLOCK) {
        return 0;
    }
    return std::nullopt;
}

std::uint32_t Socket::Readable() const noexcept {
    u_long count = 0;
    const SOCKET s = m_impl->socket.load();
    return s != INVALID_SOCKET && ::ioctlsocket(s, static_cast<long>(FIONREAD), &count) == 0
               ? static_cast<std::uint32_t>(count)
               : 0;
}

// Winsock does not tell what waits in the send buffer; a send that returned has handed it over.
std::uint32_t Socket::Unsent() const noexcept {
    return 0;
}

SocketWake Socket::Wait(const Event* stop, const Event* writeRequest, bool watchRead,
                        bool watchWrite, Deadline deadline) {
    const SOCKET s = m_impl->socket.load();
    const bool watching = s != INVALID_SOCKET && (watchRead || watchWrite);
    if (watching) {
        const long events = (watchRead ? FD_READ | FD_CLOSE : 0) | (watchWrite ? FD_WRITE : 0);
        if (::WSAEventSelect(s, m_impl->event, events) != 0) {
            return SocketWake::Failed;
        }
        // Bytes that arrived before the selection raise no event of their own.
        if (watchRead && Readable() > 0 && (stop == nullptr || !stop->IsSet())) {
            return SocketWake::Readable;
        }
    }
    HANDLE handles[3];
    SocketWake meaning[3];
    DWORD count = 0;
    const auto watch = [&](HANDLE handle, SocketWake wake) {
        handles[count] = handle;
        meaning[count] = wake;
        ++count;
    };
    if (stop != nullptr) {
        watch(HandleOf(*stop), SocketWake::Stop);
    }
    if (watching) {
        watch(m_impl->event, watchRead ? SocketWake::Readable : SocketWake::Writable);
    }
    if (writeRequest != nullptr) {
        watch(HandleOf(*writeRequest), SocketWake::WriteRequest);
    }
    if (count == 0) {
        ::Sleep(WaitMs(deadline) == INFINITE ? 0 : WaitMs(deadline));
        return SocketWake::TimedOut;
    }
    const DWORD woke = ::WaitForMultipleObjects(count, handles, FALSE, WaitMs(deadline));
    if (woke == WAIT_TIMEOUT) {
        return SocketWake::TimedOut;
    }
    if (woke >= WAIT_OBJECT_0 + count) {
        return SocketWake::Failed;
    }
    SocketWake result = meaning[woke - WAIT_OBJECT_0];
    if (watching && handles[woke - WAIT_OBJECT_0] == m_impl->event) {
        WSANETWORKEVENTS happened{};
        if (::WSAEnumNetworkEvents(s, m_impl->event, &happened) != 0) {
            return SocketWake::Failed;
        }
        const bool readable = (happened.lNetworkEvents & (FD_READ | FD_CLOSE)) != 0;
        result = watchRead && readable ? SocketWake::Readable
                 : watchWrite          ? SocketWake::Writable
                                       : SocketWake::Readable;
    }
    return result;
}

std::optional<SocketFailure> Socket::LastFailure() const noexcept {
    return m_impl->failure;
}

std::intptr_t Socket::NativeHandle() const noexcept {
    const SOCKET s = m_impl->socket.load();
    return s == INVALID_SOCKET ? -1 : static_cast<std::intptr_t>(s);
}

std::intptr_t Socket::WaitHandle() const noexcept {
    return m_impl->socket.load() == INVALID_SOCKET ? -1
                                                   : reinterpret_cast<std::intptr_t>(m_impl->event);
}

void Socket::ArmWait(bool forInput, bool forOutput) {
    const SOCKET s = m_impl->socket.load();
    if (s == INVALID_SOCKET) {
        return;
    }
    // A new selection records what already holds: bytes waiting, or room to send.
    const long events = (forInput ? FD_READ | FD_CLOSE : 0) | (forOutput ? FD_WRITE : 0);
    if (::WSAEventSelect(s, m_impl->event, events) != 0 || (forInput && Readable() > 0)) {
        ::WSASetEvent(m_impl->event);
    }
}

}  // namespace vandrelux::platform
