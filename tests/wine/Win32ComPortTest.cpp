// The port object as the window uses it, on the Win32 serial device and a null-modem cable.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <numeric>
#include <string>

#include "EventLoop.h"
#include "NullModem.h"
#include "serial/ComPort.h"

namespace vandrelux::wine {
namespace {

using namespace std::chrono_literals;

class Owner final : public serial::IPortOwner {
public:
    void SendRxChars(std::span<const std::uint8_t> bytes, int, std::stop_token stop) override {
        loop.Send(
            [&] {
                handled.insert(handled.end(), bytes.begin(), bytes.end());
                if (whileHandling) {
                    whileHandling();
                }
            },
            stop);
    }
    void SendNotification(unsigned, int, std::stop_token) override {}
    void ShowErrorBox(std::string_view, std::string_view text, std::stop_token) override {
        ADD_FAILURE() << text;
    }
    void ShowMessage(std::string_view text) override { ADD_FAILURE() << text; }

    test::EventLoop loop;
    Bytes handled;
    std::function<void()> whileHandling;  // runs inside each delivery, on the window thread
};

class Win32ComPort : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(port.OpenPort(&owner, 1, 115200, 'N', 8, 1, serial::EV_RXCHAR, 4096));
        ASSERT_TRUE(port.StartMonitor());
    }
    bool RunUntil(const std::function<bool()>& done) {
        return owner.loop.Run(done, test::EventLoop::Clock::now() + 10s);
    }

    Owner owner;
    serial::CComPort port{owner, [](int) { return std::string(kPortUnderTest); }};
    FarEnd line;
};

TEST_F(Win32ComPort, Burst_DeliveredInOrder) {
    Bytes burst(5000);
    std::iota(burst.begin(), burst.end(), 0);
    line.Send(burst);
    ASSERT_TRUE(RunUntil([&] { return owner.handled.size() >= burst.size(); }));
    EXPECT_EQ(owner.handled, burst);
}

// The monitor is blocked in the delivery while the answer is requested; it writes it once the
// handler has returned, and only once.
TEST_F(Win32ComPort, AnswerRequestedWhileHandlingAByte_ReachesTheLineOnce) {
    const Bytes answer = {0x06, 0x00, 0xFF};
    owner.whileHandling = [&] {
        port.RequestWrite(answer.data(), static_cast<std::uint32_t>(answer.size()));
    };
    line.Send({0x42});
    ASSERT_TRUE(RunUntil([&] { return !owner.handled.empty(); }));
    EXPECT_EQ(line.Receive(answer.size() + 1, 1000ms), answer);
}

TEST_F(Win32ComPort, LineSettings_AppliedWithRtsRaised) {
    EXPECT_EQ(port.GetLineState(), k115200_8N1);
    EXPECT_EQ(port.DevicePath(), kPortUnderTest);
}

}  // namespace
}  // namespace vandrelux::wine
