// The two COM ports of the test prefix, joined by a null-modem cable, and the far end's side.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "device/SerialDevice.h"

namespace vandrelux::wine {

using Bytes = std::vector<std::uint8_t>;

inline constexpr const char* kPortUnderTest = "\\\\.\\COM1";
inline constexpr const char* kFarEnd = "\\\\.\\COM2";
// Mapped in the test prefix to a link that never points anywhere.
inline constexpr const char* kPortToNothing = "\\\\.\\COM3";
inline constexpr platform::LineState k115200_8N1{115200, 'N', 8, 1, true};

// The other end of the cable.
class FarEnd {
public:
    FarEnd() {
        EXPECT_TRUE(m_device.Open(kFarEnd)) << platform::LastSystemError().message;
        EXPECT_TRUE(m_device.SetLineState(k115200_8N1)) << platform::LastSystemError().message;
        EXPECT_TRUE(m_device.SetTimeouts(0, 5000));
    }
    void Send(const Bytes& bytes) { ASSERT_TRUE(m_device.Write(bytes.data(), bytes.size())); }
    // What arrives until `count` bytes have come or `limit` has passed.
    Bytes Receive(std::size_t count,
                  std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
        Bytes got;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
            std::uint8_t chunk[4096];
            const auto n = m_device.Read(chunk, sizeof chunk);
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
    platform::SerialDevice m_device;
};

}  // namespace vandrelux::wine
