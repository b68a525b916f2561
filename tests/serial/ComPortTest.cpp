// The port object over real pseudo-terminals. The test thread plays the window thread.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "EventLoop.h"
#include "SilentServer.h"
#include "serial/ComPort.h"

namespace vandrelux::serial {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

class Pty {
public:
    Pty() {
        m_master = posix_openpt(O_RDWR | O_NOCTTY);
        EXPECT_GE(m_master, 0);
        EXPECT_EQ(grantpt(m_master), 0);
        EXPECT_EQ(unlockpt(m_master), 0);
        m_slave = ptsname(m_master);
    }
    ~Pty() { Close(); }

    void Close() {
        if (m_master >= 0) {
            ::close(m_master);
            m_master = -1;
        }
    }
    void Write(const Bytes& bytes) const {
        ASSERT_EQ(::write(m_master, bytes.data(), bytes.size()),
                  static_cast<ssize_t>(bytes.size()));
    }
    // What the box side receives within `wait`.
    Bytes Read(std::chrono::milliseconds wait) const {
        Bytes got;
        const auto end = std::chrono::steady_clock::now() + wait;
        while (std::chrono::steady_clock::now() < end) {
            pollfd p{m_master, POLLIN, 0};
            if (::poll(&p, 1, 10) == 1 && (p.revents & POLLIN) != 0) {
                std::uint8_t buf[512];
                const ssize_t n = ::read(m_master, buf, sizeof buf);
                if (n > 0) {
                    got.insert(got.end(), buf, buf + n);
                }
            }
        }
        return got;
    }
    [[nodiscard]] const std::string& SlavePath() const { return m_slave; }
    [[nodiscard]] int Master() const { return m_master; }

private:
    int m_master = -1;
    std::string m_slave;
};

class Owner final : public IPortOwner {
public:
    void SendRxChars(std::span<const std::uint8_t> bytes, int portNumber,
                     std::stop_token stop) override {
        loop.Send(
            [&] {
                for (const std::uint8_t b : bytes) {
                    handled.push_back(b);
                    lastPort = portNumber;
                    if (onByte) {
                        onByte(b);
                    }
                    ++handledCount;
                }
            },
            stop);
    }
    void SendNotification(unsigned, int, std::stop_token) override {}
    void ShowErrorBox(std::string_view title, std::string_view text, std::stop_token) override {
        const std::lock_guard lock(m_mutex);
        errorBoxes.emplace_back(std::string(title) + "|" + std::string(text));
    }
    void ShowMessage(std::string_view text) override { messages.emplace_back(text); }
    bool AwaitConnection(std::string_view device,
                         const std::shared_future<void>& connected) override {
        return awaitConnection ? awaitConnection(connected)
                               : IPortOwner::AwaitConnection(device, connected);
    }

    [[nodiscard]] std::size_t ErrorCount() {
        const std::lock_guard lock(m_mutex);
        return errorBoxes.size();
    }
    bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 2000ms) {
        return loop.Run(done, test::EventLoop::Clock::now() + limit);
    }

    test::EventLoop loop;
    Bytes handled;
    std::atomic<std::size_t> handledCount{0};
    int lastPort = 0;
    std::function<void(std::uint8_t)> onByte;
    std::function<bool(const std::shared_future<void>&)> awaitConnection;
    std::vector<std::string> errorBoxes;
    std::vector<std::string> messages;

private:
    std::mutex m_mutex;
};

class ComPortTest : public ::testing::Test {
protected:
    ComPortTest() : port(owner, [this](int) { return device; }) {}

    bool Open(int baud = 115200) {
        return port.OpenPort(&owner, 2, baud, 'N', 8, 1, EV_RXCHAR, 4096);
    }
    void OpenAndMonitor() {
        ASSERT_TRUE(Open());
        ASSERT_TRUE(port.StartMonitor());
        std::this_thread::sleep_for(20ms);  // the monitor purges as it starts
    }
    void Send(const Bytes& bytes) {
        port.RequestWrite(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    }

    Pty pty;
    std::string device = pty.SlavePath();
    Owner owner;
    CComPort port;
};

TEST_F(ComPortTest, Burst_DeliveredInOrderOneByteAtATime) {
    OpenAndMonitor();
    Bytes burst(300);
    std::iota(burst.begin(), burst.end(), 0);  // wraps: 0..255, 0..43; 255 stays 255
    burst.push_back(0xFF);
    pty.Write(burst);
    ASSERT_TRUE(owner.RunUntil([&] { return owner.handledCount == burst.size(); }));
    EXPECT_EQ(owner.handled, burst);
    EXPECT_EQ(owner.lastPort, 2);
}

TEST_F(ComPortTest, WriteRequestedWhileInputQueued_GoesOutAfterTheInput) {
    OpenAndMonitor();
    std::size_t handledWhenWritten = 0;
    owner.onByte = [&](std::uint8_t b) {
        if (b == 1) {
            Send({'A'});
        }
    };
    Bytes burst(200, 7);
    burst[0] = 1;
    pty.Write(burst);
    std::thread box([&] {
        if (pty.Read(1000ms).empty()) {
            return;
        }
        handledWhenWritten = owner.handledCount;
    });
    owner.RunUntil([&] { return owner.handledCount == burst.size(); });
    owner.RunUntil([] { return false; }, 300ms);
    box.join();
    EXPECT_EQ(handledWhenWritten, burst.size());
}

TEST_F(ComPortTest, TwoRequestsInOneHandling_OnlyTheSecondReachesTheLineOnce) {
    OpenAndMonitor();
    owner.onByte = [&](std::uint8_t) {
        Send({'f', 'i', 'r', 's', 't'});
        Send({'s', 'e', 'c', 'o', 'n', 'd'});
    };
    pty.Write({0x19});
    ASSERT_TRUE(owner.RunUntil([&] { return owner.handledCount == 1; }));
    EXPECT_EQ(pty.Read(300ms), (Bytes{'s', 'e', 'c', 'o', 'n', 'd'}));
}

TEST_F(ComPortTest, BytesArrivingWhileTheTimerWrites_AreNeverLost) {
    OpenAndMonitor();
    owner.loop.SetTimerHandler([&](unsigned) { Send({0x16}); });
    owner.loop.StartTimer(1, 1);
    Bytes sent(2000);
    std::iota(sent.begin(), sent.end(), 0);
    std::thread box([&] {
        for (const std::uint8_t b : sent) {
            pty.Write({b});
            std::this_thread::sleep_for(100us);
        }
    });
    owner.RunUntil([&] { return owner.handledCount == sent.size(); }, 5000ms);
    box.join();
    EXPECT_EQ(owner.handled, sent);
}

TEST_F(ComPortTest, RequestOutsideADelivery_IsWrittenAtOnce) {
    OpenAndMonitor();
    Send({0x16});
    EXPECT_EQ(pty.Read(200ms), Bytes{0x16});
}

TEST_F(ComPortTest, Halt_ReadsNothingMore) {
    OpenAndMonitor();
    port.HaltMonitor();
    EXPECT_FALSE(port.IsMonitorRunning());
    pty.Write({1, 2, 3});
    owner.RunUntil([] { return false; }, 200ms);
    EXPECT_TRUE(owner.handled.empty());

    // Opening again purges what waited and a new monitor reads what comes next.
    OpenAndMonitor();
    pty.Write({4});
    ASSERT_TRUE(owner.RunUntil([&] { return owner.handledCount == 1; }));
    EXPECT_EQ(owner.handled, Bytes{4});
}

TEST_F(ComPortTest, OpenWhileDeliveryWaitsForTheWindow_EndsTheMonitorWithoutDeadlock) {
    OpenAndMonitor();
    pty.Write({9, 9, 9});
    std::this_thread::sleep_for(50ms);  // the monitor is now blocked handing bytes over
    ASSERT_TRUE(Open());
    EXPECT_FALSE(port.IsMonitorRunning());
    owner.RunUntil([] { return false; }, 100ms);
    EXPECT_TRUE(owner.handled.empty());  // the cancelled delivery was never run
}

TEST_F(ComPortTest, DestroyWhileDeliveryWaits_DoesNotDeadlock) {
    Owner other;
    {
        CComPort local(other, [this](int) { return device; });
        ASSERT_TRUE(local.OpenPort(&other, 1, 115200, 'N', 8, 1, EV_RXCHAR, 4096));
        local.StartMonitor();
        std::this_thread::sleep_for(20ms);
        pty.Write({1});
        std::this_thread::sleep_for(50ms);
    }
    SUCCEED();
}

TEST_F(ComPortTest, WriteBeforeAnyOpen_SaysErrorStrange) {
    Send({0x16});
    EXPECT_EQ(owner.messages, std::vector<std::string>{"error strange"});
}

TEST_F(ComPortTest, UnopenableDevices_FailTheOpenQuietly) {
    device = "/dev/vandrelux-no-such-device";
    EXPECT_FALSE(Open());
    device = pty.SlavePath();
    CComPort holder(owner, [this](int) { return device; });
    ASSERT_TRUE(holder.OpenPort(&owner, 1, 115200, 'N', 8, 1, EV_RXCHAR, 4096));
    EXPECT_FALSE(Open());  // held by another port object
    EXPECT_TRUE(owner.errorBoxes.empty());

    // A port whose open failed drops writes without waiting or complaining.
    Send({1, 2, 3});
    EXPECT_TRUE(owner.messages.empty());
}

TEST_F(ComPortTest, DeviceHeldByAnotherProcess_FailsTheOpen) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        platform::SerialDevice held;
        const char ok = held.Open(device) ? '1' : '0';
        (void)!::write(ready[1], &ok, 1);
        ::pause();
        ::_exit(0);
    }
    char ok = 0;
    ASSERT_EQ(::read(ready[0], &ok, 1), 1);
    EXPECT_EQ(ok, '1');
    EXPECT_FALSE(Open());
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
    EXPECT_TRUE(Open());  // free again once the other program is gone
}

TEST_F(ComPortTest, RejectedLineState_ReportsTheStepAndStaysOpen) {
    EXPECT_TRUE(Open(12345));
    ASSERT_EQ(owner.errorBoxes.size(), 1U);
    EXPECT_EQ(owner.errorBoxes[0],
              "Application Error|WARNING:  SetCommState() Failed with the following error: \n" +
                  std::string(std::strerror(EINVAL)) + "\nPort: 2\n");
    ASSERT_TRUE(port.StartMonitor());
    std::this_thread::sleep_for(20ms);
    Send({0x16});
    EXPECT_EQ(pty.Read(200ms), Bytes{0x16});
}

// The chain of configuration steps stops at the mask: the line state is neither read nor applied,
// and the purge after the chain still runs.
TEST_F(ComPortTest, RefusedEventMask_OneBox_LineStateUntouched_InputStillPurged) {
    termios before{};
    ASSERT_EQ(::tcgetattr(pty.Master(), &before), 0);
    ::cfsetspeed(&before, B9600);
    ASSERT_EQ(::tcsetattr(pty.Master(), TCSANOW, &before), 0);
    pty.Write({0x41, 0x42});

    EXPECT_TRUE(port.OpenPort(&owner, 2, 115200, 'N', 8, 1, EV_RXCHAR | 0x80000000U, 4096));
    ASSERT_EQ(owner.errorBoxes.size(), 1U);
    EXPECT_EQ(owner.errorBoxes[0],
              "Application Error|WARNING:  SetCommMask() Failed with the following error: \n" +
                  std::string(std::strerror(EINVAL)) + "\nPort: 2\n");
    EXPECT_EQ(port.GetLineState(), platform::LineState{});
    termios after{};
    ASSERT_EQ(::tcgetattr(pty.Master(), &after), 0);
    EXPECT_EQ(::cfgetospeed(&after), static_cast<speed_t>(B9600));

    // Only the driver can say what it still holds; an unprivileged test cannot open a held port.
    const int peek = ::open(pty.SlavePath().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (peek >= 0) {
        int queued = -1;
        EXPECT_EQ(::ioctl(peek, FIONREAD, &queued), 0);
        EXPECT_EQ(queued, 0);
        ::close(peek);
    }
}

TEST_F(ComPortTest, LineVanishes_ReportedOnceWithoutSpinning) {
    OpenAndMonitor();
    pty.Close();
    owner.RunUntil([] { return false; }, 300ms);
    Send({0x16});
    Send({0x16});
    owner.RunUntil([] { return false; }, 100ms);
    ASSERT_EQ(owner.ErrorCount(), 1U);
    EXPECT_NE(owner.errorBoxes[0].find("ReadFile()"), std::string::npos) << owner.errorBoxes[0];
    EXPECT_NE(owner.errorBoxes[0].find("Port: 2"), std::string::npos);
}

TEST_F(ComPortTest, LineSettings_AreAppliedWithRtsRaised) {
    ASSERT_TRUE(port.OpenPort(&owner, 1, 9600, 'E', 7, 2, EV_RXCHAR, 4096));
    const platform::LineState state = port.GetLineState();
    EXPECT_EQ(state.baudRate, 9600);
    EXPECT_EQ(state.parity, 'E');
    EXPECT_EQ(state.dataBits, 7);
    EXPECT_EQ(state.stopBits, 2);
    EXPECT_TRUE(state.rtsEnabled);
    EXPECT_EQ(port.GetWriteCapacity(), 4096);
    EXPECT_EQ(port.GetEventMask(), EV_RXCHAR);
    EXPECT_EQ(port.DevicePath(), pty.SlavePath());
}

// A server that takes the connection and never answers held the window thread for the whole
// network time-out, twice at start-up; the connection is now made elsewhere, and calling it off
// ends it at once.
TEST_F(ComPortTest, NetworkPortThatNeverAnswers_ConnectsOffTheCallingThread_CallingOffEndsIt) {
    const test::SilentServer server;
    device = server.Url();
    const std::thread::id caller = std::this_thread::get_id();
    owner.awaitConnection = [&](const std::shared_future<void>& connected) {
        EXPECT_EQ(std::this_thread::get_id(), caller);
        EXPECT_EQ(connected.wait_for(300ms), std::future_status::timeout);
        return false;
    };
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(Open());
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
    EXPECT_TRUE(port.OpenCancelled());
    EXPECT_EQ(owner.ErrorCount(), 0U);
    EXPECT_EQ(port.DevicePath(), server.Url());
    Send({0x16});  // dropped, as on a port that did not open
    EXPECT_TRUE(owner.messages.empty());

    // Why a connection failed is asked on the calling thread, as after a local device's open.
    {
        const test::SilentServer gone;
        device = gone.Url();
    }
    owner.awaitConnection = nullptr;
    EXPECT_FALSE(Open());
    EXPECT_FALSE(port.OpenCancelled());
    EXPECT_NE(platform::LastSystemError().message.find("connection refused"), std::string::npos)
        << platform::LastSystemError().message;
}

}  // namespace
}  // namespace vandrelux::serial
