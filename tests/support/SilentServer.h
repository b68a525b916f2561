// A TCP server on the loopback that lets clients connect and never says a word, as a serial
// server that has hung does: rfc2217:// clients wait for their options in vain.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace vandrelux::test {

class SilentServer {
public:
    SilentServer() : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        // The kernel completes the connections it queues; nothing here ever accepts one.
        EXPECT_EQ(::bind(m_fd, reinterpret_cast<sockaddr*>(&address), length), 0);
        EXPECT_EQ(::listen(m_fd, 8), 0);
        EXPECT_EQ(::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
        m_port = std::to_string(ntohs(address.sin_port));
    }
    ~SilentServer() { ::close(m_fd); }
    SilentServer(const SilentServer&) = delete;
    SilentServer& operator=(const SilentServer&) = delete;

    [[nodiscard]] const std::string& Port() const { return m_port; }
    [[nodiscard]] std::string Url() const { return "rfc2217://127.0.0.1:" + m_port; }

private:
    int m_fd;
    std::string m_port;
};

}  // namespace vandrelux::test
