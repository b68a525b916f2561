// A pseudo-terminal for tests: the device under test opens the slave, the test plays the line on
// the master.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace vandrelux::test {

using Bytes = std::vector<std::uint8_t>;

class PseudoTerminal {
public:
    PseudoTerminal() : m_master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)) {
        std::array<char, 128> name{};
        if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0 ||
            ::ptsname_r(m_master, name.data(), name.size()) != 0) {
            ADD_FAILURE() << "no pseudo-terminal: " << std::strerror(errno);
            return;
        }
        m_slavePath = name.data();
        ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    }
    ~PseudoTerminal() { CloseMaster(); }
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    [[nodiscard]] const std::string& SlavePath() const { return m_slavePath; }
    [[nodiscard]] int Master() const { return m_master; }

    void CloseMaster() {
        if (m_master >= 0) {
            ::close(m_master);
            m_master = -1;
        }
    }

    void Send(const Bytes& bytes) const {
        ASSERT_EQ(::write(m_master, bytes.data(), bytes.size()),
                  static_cast<ssize_t>(bytes.size()));
    }

    // Whatever the slave wrote, until `count` bytes have come or a second has passed.
    [[nodiscard]] Bytes Receive(std::size_t count) const {
        Bytes got;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
            pollfd p{m_master, POLLIN, 0};
            if (::poll(&p, 1, 10) <= 0) {
                continue;
            }
            std::array<std::uint8_t, 4096> chunk{};
            const ssize_t n = ::read(m_master, chunk.data(), chunk.size());
            if (n > 0) {
                got.insert(got.end(), chunk.begin(), chunk.begin() + n);
            }
        }
        return got;
    }

private:
    int m_master;
    std::string m_slavePath;
};

}  // namespace vandrelux::test
