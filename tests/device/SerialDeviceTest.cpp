#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "PseudoTerminal.h"
#include "QueueWait.h"
#include "device/SerialDevice.h"

namespace vandrelux::platform {
namespace {

using namespace std::chrono_literals;
using test::Bytes;
using test::PseudoTerminal;

constexpr LineState k115200_8N1{115200, 'N', 8, 1, true};

class SerialDeviceOnPty : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(device.Open(pty.SlavePath())) << LastSystemError().message;
        ASSERT_TRUE(device.SetLineState(k115200_8N1)) << LastSystemError().message;
    }

    void Queue(const Bytes& bytes) {
        pty.Send(bytes);
        ASSERT_TRUE(WaitForInQueue(device, static_cast<std::uint32_t>(bytes.size())));
    }

    PseudoTerminal pty;
    SerialDevice device;
};

TEST(SerialDevice, AbsentDevice_FailsWithENOENT) {
    SerialDevice device;
    EXPECT_FALSE(device.Open("/dev/vandrelux-no-such-port"));
    EXPECT_EQ(LastSystemError().code, ENOENT);
    EXPECT_FALSE(device.IsOpen());
}

TEST(SerialDevice, NotATerminal_FailsWithENOTTY) {
    SerialDevice device;
    EXPECT_FALSE(device.Open("/dev/null"));
    EXPECT_EQ(LastSystemError().code, ENOTTY);
    EXPECT_FALSE(device.IsOpen());
}

TEST(SerialDevice, ClosedDevice_EveryCallFailsQuietlyWithEBADF) {
    SerialDevice device;
    LineState state{9600, 'E', 7, 2, true};
    const LineState before = state;
    QueueStatus status{7, 7};
    std::array<std::uint8_t, 4> bytes{};

    EXPECT_FALSE(device.SetTimeouts(1000, 1000));
    EXPECT_FALSE(device.SetEventMask(1));
    EXPECT_FALSE(device.GetLineState(state));
    EXPECT_EQ(state, before);
    EXPECT_FALSE(device.SetLineState(k115200_8N1));
    EXPECT_FALSE(device.Purge());
    EXPECT_FALSE(device.GetStatus(status));
    EXPECT_EQ(status.inQueue, 0U);  // nobody may wait on counts the system did not fill
    EXPECT_EQ(status.outQueue, 0U);
    EXPECT_FALSE(device.Read(bytes.data(), bytes.size()).has_value());
    EXPECT_FALSE(device.Write(bytes.data(), bytes.size()));
    EXPECT_EQ(LastSystemError().code, EBADF);
    device.Close();  // closing twice is harmless
}

TEST_F(SerialDeviceOnPty, SecondOpener_FailsWithEBUSYUntilTheFirstCloses) {
    SerialDevice second;
    EXPECT_FALSE(second.Open(pty.SlavePath()));
    const SystemError error = LastSystemError();
    EXPECT_EQ(error.code, EBUSY);
    EXPECT_EQ(error.message, std::strerror(EBUSY));
    EXPECT_FALSE(second.IsOpen());

    QueueStatus status;
    EXPECT_TRUE(device.GetStatus(status)) << "the holder must keep its port";

    device.Close();
    EXPECT_FALSE(device.IsOpen());
    EXPECT_TRUE(second.Open(pty.SlavePath())) << LastSystemError().message;
}

TEST_F(SerialDeviceOnPty, OpenAgainOnTheSameObject_ReopensTheDevice) {
    EXPECT_TRUE(device.Open(pty.SlavePath())) << LastSystemError().message;
    EXPECT_TRUE(device.IsOpen());
}

TEST_F(SerialDeviceOnPty, Close_RestoresTheSettingsFoundAtOpen) {
    device.Close();
    const int fd = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    termios settings{};
    ASSERT_EQ(::tcgetattr(fd, &settings), 0);
    ::close(fd);
    EXPECT_NE(settings.c_lflag & ICANON, 0U) << "a fresh pseudo-terminal is in line mode";
    EXPECT_NE(cfgetospeed(&settings), B115200);
}

TEST_F(SerialDeviceOnPty, SetLineState_SpeedsAndStopBits_ReadBackUnchanged) {
    const LineState cases[] = {
        {50, 'N', 8, 1, false},    {9600, 'N', 8, 2, false},    {115200, 'N', 8, 1, true},
        {921600, 'N', 8, 1, true}, {4000000, 'N', 8, 2, false},
    };
    for (const auto& wanted : cases) {
        ASSERT_TRUE(device.SetLineState(wanted)) << wanted.baudRate;
        LineState got{};
        ASSERT_TRUE(device.GetLineState(got)) << LastSystemError().message;
        LineState expected = wanted;
        expected.rtsEnabled = false;  // a pseudo-terminal has no modem lines
        EXPECT_EQ(got, expected) << wanted.baudRate;
    }
}

TEST_F(SerialDeviceOnPty, UnsupportedSpeed_FailsWithEINVALAndKeepsTheSettings) {
    EXPECT_FALSE(device.SetLineState({12345, 'N', 8, 1, true}));
    EXPECT_EQ(LastSystemError().code, EINVAL);
    LineState got{};
    ASSERT_TRUE(device.GetLineState(got));
    EXPECT_EQ(got.baudRate, 115200);
}

// The pseudo-terminal forces 8 bits without parity; claiming success would garble every byte.
TEST_F(SerialDeviceOnPty, FormatTheDriverDropped_FailsWithEINVALAndRollsBack) {
    for (const LineState& wanted :
         {LineState{9600, 'E', 7, 1, true}, LineState{19200, 'M', 8, 2, true}}) {
        EXPECT_FALSE(device.SetLineState(wanted)) << wanted.parity;
        EXPECT_EQ(LastSystemError().code, EINVAL);
        LineState got{};
        ASSERT_TRUE(device.GetLineState(got));
        EXPECT_EQ(got, (LineState{115200, 'N', 8, 1, false})) << wanted.parity;
    }
}

TEST_F(SerialDeviceOnPty, BytesFromTheLine_AreCountedAndPurgeDiscardsThem) {
    Queue({1, 2, 3, 4, 5});
    QueueStatus status;
    ASSERT_TRUE(device.GetStatus(status));
    EXPECT_EQ(status.inQueue, 5U);

    ASSERT_TRUE(device.Purge());
    ASSERT_TRUE(device.GetStatus(status));
    EXPECT_EQ(status.inQueue, 0U);
    std::array<std::uint8_t, 8> bytes{};
    EXPECT_EQ(device.Read(bytes.data(), bytes.size()), std::optional<std::size_t>(0));
}

TEST_F(SerialDeviceOnPty, Read_ReturnsEveryByteValueInOrderWithinTheBuffer) {
    // Control characters a cooked line would act on, and 0xFF that must stay 255.
    const Bytes sent = {0xFF, 0x00, 0x0A, 0x0D, 0x03, 0x11, 0x13, 0x7F, 0x1A, 0x80, 0x04};
    Queue(sent);

    std::array<std::uint8_t, 6> guarded{};
    guarded.fill(0xEE);
    EXPECT_EQ(device.Read(guarded.data() + 1, 4), std::optional<std::size_t>(4));
    EXPECT_EQ(guarded.front(), 0xEE);
    EXPECT_EQ(guarded.back(), 0xEE);
    Bytes got(guarded.begin() + 1, guarded.begin() + 5);

    EXPECT_EQ(device.Read(guarded.data(), 0), std::optional<std::size_t>(0));
    std::array<std::uint8_t, 64> rest{};
    const auto count = device.Read(rest.data(), rest.size());
    ASSERT_TRUE(count.has_value());
    got.insert(got.end(), rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(*count));
    EXPECT_EQ(got, sent);

    EXPECT_EQ(device.Read(rest.data(), rest.size()), std::optional<std::size_t>(0))
        << "an empty queue is not the end of the line";
}

TEST_F(SerialDeviceOnPty, Write_ArrivesWholeAtTheOtherEnd) {
    Bytes sent(600);
    std::iota(sent.begin(), sent.end(), std::uint8_t{0});
    ASSERT_TRUE(device.SetTimeouts(1000, 1000));
    ASSERT_TRUE(device.Write(sent.data(), sent.size())) << LastSystemError().message;
    EXPECT_EQ(pty.Receive(sent.size()), sent);
}

TEST_F(SerialDeviceOnPty, Write_LineNotDrained_FailsWithETIMEDOUTWithinItsTimeOut) {
    ASSERT_TRUE(device.SetTimeouts(0, 50));
    const Bytes lots(4 << 20, 0x55);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(device.Write(lots.data(), lots.size()));
    EXPECT_EQ(LastSystemError().code, ETIMEDOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

TEST_F(SerialDeviceOnPty, WriteSome_LineFull_TakesWhatFitsNeverWaitsAndLosesNothing) {
    // Far more than a terminal's buffers hold while nobody reads the other end.
    Bytes sent(256 * 1024);
    std::iota(sent.begin(), sent.end(), std::uint8_t{0});
    std::size_t taken = 0;
    while (taken < sent.size()) {
        const std::optional<std::size_t> n =
            device.WriteSome(sent.data() + taken, sent.size() - taken);
        ASSERT_TRUE(n.has_value()) << LastSystemError().message;
        if (*n == 0) {
            break;
        }
        taken += *n;
    }
    ASSERT_GT(taken, 0U);
    ASSERT_LT(taken, sent.size()) << "the line never filled";
    EXPECT_FALSE(device.HoldsOutput());

    // Once the other end reads, the rest goes out behind what was taken, in order.
    Bytes got;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (got.size() < sent.size() && std::chrono::steady_clock::now() < deadline) {
        if (taken < sent.size()) {
            const std::optional<std::size_t> n =
                device.WriteSome(sent.data() + taken, sent.size() - taken);
            ASSERT_TRUE(n.has_value()) << LastSystemError().message;
            taken += *n;
        }
        const Bytes chunk = pty.Receive(1);
        got.insert(got.end(), chunk.begin(), chunk.end());
    }
    EXPECT_EQ(got, sent);
    EXPECT_EQ(device.WriteSome(sent.data(), 0), std::optional<std::size_t>(0));
}

TEST_F(SerialDeviceOnPty, Wait_SeveralReady_StopBeatsPortBeatsWriteRequest) {
    Event stop;
    Event writeRequest;
    Queue({0x42});
    stop.Set();
    writeRequest.Set();
    EXPECT_EQ(device.Wait(stop, writeRequest, true), WaitResult::Stop);
    EXPECT_EQ(device.Wait(stop, writeRequest, true), WaitResult::Stop) << "events stay set";
    stop.Reset();
    EXPECT_EQ(device.Wait(stop, writeRequest, true), WaitResult::PortActivity);
    EXPECT_EQ(device.Wait(stop, writeRequest, false), WaitResult::WriteRequest);
}

TEST_F(SerialDeviceOnPty, Wait_BytesArriveLater_WakesWithPortActivity) {
    Event stop;
    Event writeRequest;
    std::thread line([&] {
        std::this_thread::sleep_for(20ms);
        pty.Send({0x01});
    });
    EXPECT_EQ(device.Wait(stop, writeRequest, true), WaitResult::PortActivity);
    line.join();
}

TEST_F(SerialDeviceOnPty, Wait_StopSetByAnotherThread_Wakes) {
    Event stop;
    Event writeRequest;
    std::thread window([&] {
        std::this_thread::sleep_for(20ms);
        stop.Set();
    });
    EXPECT_EQ(device.Wait(stop, writeRequest, true), WaitResult::Stop);
    window.join();
}

TEST_F(SerialDeviceOnPty, LineGone_WaitReportsItReadAndWriteFailAndEventsStillWork) {
    Event stop;
    Event writeRequest;
    pty.CloseMaster();
    EXPECT_EQ(device.Wait(stop, writeRequest, true), WaitResult::PortActivity);
    std::array<std::uint8_t, 8> bytes{};
    EXPECT_FALSE(device.Read(bytes.data(), bytes.size()).has_value());
    EXPECT_EQ(LastSystemError().code, EIO);
    EXPECT_FALSE(device.Write(bytes.data(), bytes.size()));
    EXPECT_FALSE(device.WriteSome(bytes.data(), bytes.size()).has_value());

    // Once the caller stops watching the dead port, the wait blocks on the events alone.
    std::thread window([&] {
        std::this_thread::sleep_for(20ms);
        writeRequest.Set();
    });
    EXPECT_EQ(device.Wait(stop, writeRequest, false), WaitResult::WriteRequest);
    window.join();
}

TEST(Event, SetAndReset_BehaveAsAManualResetEvent) {
    Event event;
    EXPECT_FALSE(event.IsSet());
    event.Reset();
    EXPECT_FALSE(event.IsSet());
    event.Set();
    event.Set();
    EXPECT_TRUE(event.IsSet());
    EXPECT_TRUE(event.IsSet()) << "looking must not consume it";
    event.Reset();
    EXPECT_FALSE(event.IsSet()) << "one reset clears any number of sets";
    event.Set();
    EXPECT_TRUE(event.IsSet());
}

}  // namespace
}  // namespace vandrelux::platform
