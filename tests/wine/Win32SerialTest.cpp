// The Win32 serial device on real Windows serial semantics: COM1 is the port under test, COM2
// the far end of a null-modem cable (with-null-modem.sh provides both).
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "NullModem.h"
#include "QueueWait.h"
#include "device/SerialDevice.h"

namespace vandrelux::wine {
namespace {

using namespace std::chrono_literals;
using platform::Event;
using platform::IoStep;
using platform::LastSystemError;
using platform::LineState;
using platform::QueueStatus;
using platform::SerialDevice;
using platform::WaitForInQueue;
using platform::WaitResult;

bool UnderWine() {
    return ::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

class Win32SerialDevice : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(device.Open(kPortUnderTest)) << LastSystemError().message;
        ASSERT_TRUE(device.SetLineState(k115200_8N1)) << LastSystemError().message;
        ASSERT_TRUE(device.SetTimeouts(0, 2000));
        ASSERT_TRUE(device.SetEventMask(0x0001));
    }
    void Queue(const Bytes& bytes) {
        line.Send(bytes);
        ASSERT_TRUE(WaitForInQueue(device, static_cast<std::uint32_t>(bytes.size())));
    }

    SerialDevice device;
    FarEnd line;
    Event stop;
    Event writeRequest;
};

TEST(Win32SerialDeviceOpen, AbsentOrNoCommDevice_FailsAndStaysClosed) {
    const auto file = std::filesystem::temp_directory_path() / "vandrelux-not-a-port.bin";
    std::ofstream(file).put('x');
    const struct {
        std::string path;
        DWORD code;
    } cases[] = {
        {"\\\\.\\COM200", ERROR_FILE_NOT_FOUND},
        {file.string(), ERROR_INVALID_FUNCTION},   // Windows may say ERROR_INVALID_HANDLE
        {kPortToNothing, ERROR_INVALID_FUNCTION},  // only Wine opens such a link at all
    };
    for (const auto& c : cases) {
        SerialDevice device;
        EXPECT_FALSE(device.Open(c.path)) << c.path;
        const int code = LastSystemError().code;
        EXPECT_TRUE(code == static_cast<int>(c.code) || code == ERROR_INVALID_HANDLE)
            << c.path << ": " << code;
        EXPECT_FALSE(LastSystemError().message.empty());
        EXPECT_FALSE(device.IsOpen());
    }
    std::filesystem::remove(file);
}

TEST(Win32SerialDeviceOpen, ClosedDevice_EveryCallFailsQuietlyWithInvalidHandle) {
    SerialDevice device;
    LineState state{9600, 'E', 7, 2, true};
    QueueStatus status{7, 7};
    std::uint8_t bytes[4] = {};
    EXPECT_FALSE(device.SetTimeouts(1000, 1000));
    EXPECT_FALSE(device.SetEventMask(1));
    EXPECT_FALSE(device.GetLineState(state));
    EXPECT_EQ(state, (LineState{9600, 'E', 7, 2, true}));
    EXPECT_FALSE(device.SetLineState(k115200_8N1));
    EXPECT_FALSE(device.Purge());
    EXPECT_FALSE(device.GetStatus(status));
    EXPECT_EQ(status.outQueue, 0U) << "nobody may wait on counts the system did not fill";
    EXPECT_FALSE(device.Read(bytes, sizeof bytes).has_value());
    EXPECT_FALSE(device.Write(bytes, sizeof bytes));
    EXPECT_EQ(LastSystemError().code, ERROR_INVALID_HANDLE);
    EXPECT_EQ(device.LastFailedIoStep(), IoStep::Call);
    device.Close();
}

TEST_F(Win32SerialDevice, SecondOpener_IsRefused) {
    if (UnderWine()) {
        GTEST_SKIP() << "Wine does not refuse a second open of a COM port";
    }
    SerialDevice second;
    EXPECT_FALSE(second.Open(kPortUnderTest));
    EXPECT_EQ(LastSystemError().code, ERROR_ACCESS_DENIED);
}

TEST_F(Win32SerialDevice, LineState_RoundTripsWithRts) {
    for (const LineState& wanted :
         {LineState{9600, 'N', 8, 1, false}, k115200_8N1, LineState{57600, 'N', 8, 2, true}}) {
        ASSERT_TRUE(device.SetLineState(wanted)) << LastSystemError().message;
        LineState read;
        ASSERT_TRUE(device.GetLineState(read));
        EXPECT_EQ(read, wanted);
    }
}

TEST_F(Win32SerialDevice, ImpossibleFormat_FailsWithInvalidParameterAndKeepsTheSettings) {
    for (const LineState& wanted :
         {LineState{115200, 'X', 8, 1, true}, LineState{115200, 'N', 9, 1, true},
          LineState{0, 'N', 8, 1, true}}) {
        EXPECT_FALSE(device.SetLineState(wanted)) << wanted.parity << wanted.dataBits;
        EXPECT_EQ(LastSystemError().code, ERROR_INVALID_PARAMETER);
        LineState read;
        ASSERT_TRUE(device.GetLineState(read));
        EXPECT_EQ(read, k115200_8N1);
    }
}

TEST_F(Win32SerialDevice, Read_EveryByteValueInOrder_NeverBeyondTheBuffer) {
    Bytes sent(600);
    std::iota(sent.begin(), sent.end(), 0);
    Queue(sent);
    Bytes got;
    std::uint8_t buffer[102];
    std::fill(std::begin(buffer), std::end(buffer), 0xAA);
    while (got.size() < sent.size()) {
        const auto n = device.Read(buffer + 1, 100);
        ASSERT_TRUE(n.has_value()) << LastSystemError().message;
        ASSERT_LE(*n, 100U);
        ASSERT_GT(*n, 0U);
        got.insert(got.end(), buffer + 1, buffer + 1 + *n);
    }
    EXPECT_EQ(got, sent);
    EXPECT_EQ(buffer[0], 0xAA);
    EXPECT_EQ(buffer[101], 0xAA);
    EXPECT_EQ(device.Read(buffer, sizeof buffer), std::optional<std::size_t>(0))
        << "an empty queue reads nothing at once";
}

TEST_F(Win32SerialDevice, Purge_DiscardsQueuedInput) {
    Queue({1, 2, 3});
    ASSERT_TRUE(device.Purge());
    QueueStatus status;
    ASSERT_TRUE(device.GetStatus(status));
    EXPECT_EQ(status.inQueue, 0U);
}

TEST_F(Win32SerialDevice, Write_ArrivesWholeAtTheFarEnd) {
    Bytes frame(4106);
    std::iota(frame.begin(), frame.end(), 7);
    ASSERT_TRUE(device.Write(frame.data(), frame.size())) << LastSystemError().message;
    EXPECT_EQ(line.Receive(frame.size()), frame);
}

// The write got under way and its completion wait gave up: the error box names that wait.
TEST_F(Win32SerialDevice, Write_LineNotDrained_EndsWithinItsTimeOut_InTheCompletionWait) {
    // Nobody reads the far end: the cable's buffers fill and the write cannot finish.
    ASSERT_TRUE(device.SetTimeouts(0, 300));
    const Bytes flood(8 << 20, 0x55);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(device.Write(flood.data(), flood.size()));
    EXPECT_EQ(LastSystemError().code, ERROR_TIMEOUT);
    EXPECT_EQ(device.LastFailedIoStep(), IoStep::CompletionWait);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 30s);
}

TEST_F(Win32SerialDevice, Write_StopRequested_EndsAborted) {
    ASSERT_TRUE(device.SetTimeouts(0, 600000));
    const Bytes flood(8 << 20, 0x55);
    std::thread window([&] {
        std::this_thread::sleep_for(200ms);
        stop.Set();
    });
    EXPECT_FALSE(device.Write(flood.data(), flood.size(), &stop));
    EXPECT_EQ(LastSystemError().code, ERROR_OPERATION_ABORTED);
    window.join();
}

TEST_F(Win32SerialDevice, Wait_SeveralReady_StopBeatsPortBeatsWriteRequest) {
    Queue({0x42});
    writeRequest.Set();
    stop.Set();
    EXPECT_EQ(device.Wait(stop, writeRequest, true), WaitResult::Stop);
    stop.Reset();
    EXPECT_EQ(device.Wait(stop, writeRequest, true), WaitResult::PortActivity)
        << "bytes queued before the wait began count";
    EXPECT_EQ(device.Wait(stop, writeRequest, false), WaitResult::WriteRequest);
}

TEST_F(Win32SerialDevice, Wait_BytesArriveDuringTheWait_WakeWithPortActivity) {
    std::thread box([&] {
        std::this_thread::sleep_for(200ms);
        line.Send({0x06});
    });
    EXPECT_EQ(device.Wait(stop, writeRequest, true), WaitResult::PortActivity);
    box.join();
    std::uint8_t byte = 0;
    EXPECT_EQ(device.Read(&byte, 1), std::optional<std::size_t>(1));
    EXPECT_EQ(byte, 0x06);
}

TEST_F(Win32SerialDevice, Wait_WokenByAWriteRequest_StillSeesBytesThatComeLater) {
    std::thread window([&] {
        std::this_thread::sleep_for(100ms);
        writeRequest.Set();
    });
    EXPECT_EQ(device.Wait(stop, writeRequest, true), WaitResult::WriteRequest);
    window.join();
    writeRequest.Reset();
    line.Send({0x15});
    EXPECT_EQ(device.Wait(stop, writeRequest, true), WaitResult::PortActivity);
}

TEST_F(Win32SerialDevice, Wait_NothingHappens_KeepsWaitingUntilStopped) {
    std::atomic<bool> returned{false};
    std::thread monitor([&] {
        EXPECT_EQ(device.Wait(stop, writeRequest, true), WaitResult::Stop);
        returned = true;
    });
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(returned) << "an idle line must not end the wait";
    stop.Set();
    monitor.join();
}

TEST_F(Win32SerialDevice, CloseWithACommWaitPending_Returns) {
    std::thread monitor(
        [&] { EXPECT_EQ(device.Wait(stop, writeRequest, true), WaitResult::Stop); });
    std::this_thread::sleep_for(100ms);
    stop.Set();
    monitor.join();
    device.Close();  // the thread that began the wait is gone; the wait must still end
    EXPECT_FALSE(device.IsOpen());
    EXPECT_TRUE(device.Open(kPortUnderTest)) << LastSystemError().message;
}

TEST(Win32Event, SetOnAnotherThread_IsSeenAndStaysSetUntilReset) {
    Event event;
    std::thread setter([&] { event.Set(); });
    setter.join();
    EXPECT_TRUE(event.IsSet());
    EXPECT_TRUE(event.IsSet());
    event.Reset();
    EXPECT_FALSE(event.IsSet());
}

}  // namespace
}  // namespace vandrelux::wine
