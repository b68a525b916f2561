// A line for the engine's tests: the engine opens one end, the test plays the box on the other.
// On Linux a pseudo-terminal; under Wine a pair of the test prefix's COM ports joined by a
// null-modem cable (COM4-COM5, COM6-COM7), so there are as many lines as cables.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#ifdef _WIN32
#include <thread>

#include "device/SerialDevice.h"
#else
#include "PseudoTerminal.h"
#endif

namespace vandrelux::engine::test {

using Bytes = std::vector<std::uint8_t>;

#ifdef _WIN32

inline constexpr std::size_t kLinesAtHand = 2;
// No such port in the test prefix.
inline constexpr const char* kMissingLine = "\\\\.\\COM99";

class TestLine {
public:
    TestLine() : m_number(s_next++ % kLinesAtHand) {
        const std::string far = "\\\\.\\COM" + std::to_string(5 + 2 * m_number);
        EXPECT_TRUE(m_far.Open(far)) << far << ": " << platform::LastSystemError().message;
        EXPECT_TRUE(m_far.SetLineState({115200, 'N', 8, 1, true}));
        EXPECT_TRUE(m_far.SetTimeouts(0, 5000));
        static_cast<void>(m_far.Purge());
    }
    [[nodiscard]] std::string EnginePath() const {
        return "\\\\.\\COM" + std::to_string(4 + 2 * m_number);
    }
    // Whether the box can vanish from under the engine: a COM port under Wine cannot be pulled
    // out (the station's chaos run under Wine loses lines by ending their cable).
    [[nodiscard]] static bool CanBeLost() { return false; }
    void Lose() {}
    void Send(const Bytes& bytes) { ASSERT_TRUE(m_far.Write(bytes.data(), bytes.size())); }
    // Wine's port calls go through its server: a loaded machine may hold them up for a while.
    [[nodiscard]] Bytes Receive(std::size_t count) {
        Bytes got;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
            std::uint8_t chunk[4096];
            const auto n = m_far.Read(chunk, sizeof chunk);
            if (!n) {
                ADD_FAILURE() << platform::LastSystemError().message;
                break;
            }
            got.insert(got.end(), chunk, chunk + *n);
            if (*n == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        return got;
    }

private:
    static inline std::size_t s_next = 0;
    std::size_t m_number;
    platform::SerialDevice m_far;
};

#else

inline constexpr std::size_t kLinesAtHand = 24;
inline constexpr const char* kMissingLine = "/dev/vandrelux-no-such-line";

class TestLine {
public:
    [[nodiscard]] std::string EnginePath() const { return m_pty.SlavePath(); }
    [[nodiscard]] static bool CanBeLost() { return true; }
    void Lose() { m_pty.CloseMaster(); }
    void Send(const Bytes& bytes) { m_pty.Send(bytes); }
    [[nodiscard]] Bytes Receive(std::size_t count) { return m_pty.Receive(count); }

private:
    vandrelux::test::PseudoTerminal m_pty;
};

#endif

}  // namespace vandrelux::engine::test
