// One TCP connection for the network serial device, on BSD sockets or Winsock: the calls whose
// spelling differs between the two, one source per OS (posix/, win32/Socket.cpp). A call that
// fails returns false or nothing and leaves the reason as the thread's last error.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "os/Event.h"

namespace vandrelux::platform {

// The failures a network port has beyond the OS's own.
enum class SocketFailure {
    Unresolved,
    Refused,
    TimedOut,
    Busy,
    Closed,
    Refusal,
    Invalid,
    Cancelled
};

// Sets the thread's last error to the OS's code for `failure` with `text` as its words; false.
bool FailWith(SocketFailure failure, std::string text);
// Which of those an error code of the OS is, if any.
[[nodiscard]] std::optional<SocketFailure> FailureOf(int code);

struct SocketAddress {
    std::array<std::uint8_t, 128> bytes{};  // a sockaddr of its family
    int length = 0;
    int family = 0;
    std::string text;  // "127.0.0.1 port 2000", "::1 port 2000"
};

struct Resolution {
    std::vector<SocketAddress> addresses;
    std::string error;  // the resolver's words when there are no addresses
};

// Looks the host up; blocks as long as the system's resolver takes.
[[nodiscard]] Resolution ResolveNow(const std::string& host, const std::string& port);

enum class SocketWake { Stop, Readable, Writable, WriteRequest, TimedOut, Failed };

using Deadline = std::optional<std::chrono::steady_clock::time_point>;

class Socket {
public:
    Socket();
    ~Socket();
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    // Connects to `address` by `deadline`, without Nagle's delay; false with Refused, TimedOut,
    // Cancelled (once `cancel` is set) or the OS's error.
    [[nodiscard]] bool Connect(const SocketAddress& address, Deadline deadline,
                               const Event* cancel = nullptr);
    void Close() noexcept;
    [[nodiscard]] bool IsOpen() const noexcept;

    // What the socket takes now: the count (0 when it takes nothing), or nothing on failure.
    [[nodiscard]] std::optional<std::size_t> Send(const std::uint8_t* data, std::size_t size);
    // What has arrived: the count (0 when nothing has), or nothing on failure. A connection the
    // other end closed fails with Closed.
    [[nodiscard]] std::optional<std::size_t> Receive(std::uint8_t* data, std::size_t size);
    // Bytes arrived and not yet received; bytes sent and not yet on their way.
    [[nodiscard]] std::uint32_t Readable() const noexcept;
    [[nodiscard]] std::uint32_t Unsent() const noexcept;

    // Waits until `stop` is set, the socket is readable (or closed) when `watchRead`, writable
    // when `watchWrite`, or `writeRequest` is set; the first of those in that order wins.
    [[nodiscard]] SocketWake Wait(const Event* stop, const Event* writeRequest, bool watchRead,
                                  bool watchWrite, Deadline deadline);

    // How the last call that failed in a way of ours (refused, timed out, cancelled, closed) did.
    [[nodiscard]] std::optional<SocketFailure> LastFailure() const noexcept;

    // The descriptor (a SOCKET on Windows), or -1 when closed.
    [[nodiscard]] std::intptr_t NativeHandle() const noexcept;
    // For a loop that waits on many handles: what it waits on (the descriptor on POSIX, an event
    // on Windows), and, before each wait, the wait set up for input and, with `forOutput`, room
    // to send.
    [[nodiscard]] std::intptr_t WaitHandle() const noexcept;
    void ArmWait(bool forInput, bool forOutput);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace vandrelux::platform
