// A serial port behind a network server: rfc2217://HOST:PORT speaks Telnet with the COM-port
// control option, so the line settings and purges reach the server's serial port; tcp://HOST:PORT
// passes raw bytes and leaves the line settings to the server. Behind SerialDevice it behaves as a
// local port does: the port object, its monitor and the protocol cannot tell the difference.
//
// All its state lives in the object and it has no thread of its own: Read, Write and Wait do the
// socket's work as they are called, so one loop can serve many of these devices. Decoding is the
// codec's; a receive that finds only Telnet commands reads as nothing.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "device/DeviceBackend.h"
#include "device/net/PortUrl.h"
#include "device/net/Socket.h"
#include "device/net/TelnetCodec.h"

namespace vandrelux::platform {

// How long a connect, and each wait for the server's answers, may take; for every network port
// opened after the call. 5 s unless set.
void SetNetworkTimeout(std::chrono::milliseconds limit);
[[nodiscard]] std::chrono::milliseconds NetworkTimeout();

// What the connection agreed, for the doctor.
struct NetworkReport {
    std::string peer;  // the address reached
    bool telnet = false;
    bool binaryOut = false;  // we send binary
    bool binaryIn = false;   // the server sends binary
    bool suppressGoAheadOut = false;
    bool suppressGoAheadIn = false;
    bool comPort = false;  // the server takes COM-port commands
    std::string signature;
    std::optional<LineState> serverLine;  // the line settings the server reported at open
};

class NetworkDevice final : public DeviceBackend {
public:
    NetworkDevice();
    ~NetworkDevice() override;

    bool Open(const std::string& name) override;
    void Close() noexcept override;
    bool IsOpen() const noexcept override;
    bool SetTimeouts(std::uint32_t perByteMs, std::uint32_t constantMs) override;
    bool SetEventMask(std::uint32_t mask) override;
    bool GetLineState(LineState& state) override;
    // rfc2217: sends speed, format and no flow control, and succeeds once the server has
    // confirmed each as asked; then DTR and RTS, which servers without modem lines leave
    // unanswered. tcp: the server's own settings stand; only the values are checked.
    bool SetLineState(const LineState& state) override;
    // rfc2217: the server purges both its buffers, and Purge returns once it has answered.
    bool Purge() override;
    // Nothing reaches the server: see the source.
    bool PurgeOutput() override;
    bool GetStatus(QueueStatus& status) override;
    std::optional<std::size_t> Read(std::uint8_t* data, std::size_t size) override;
    bool Write(const std::uint8_t* data, std::size_t size, const Event* stop) override;
    // Takes all or nothing: what the socket does not take at once waits in the device.
    std::optional<std::size_t> WriteSome(const std::uint8_t* data, std::size_t size) override;
    bool HoldsOutput() const noexcept override { return !m_output.empty(); }
    bool OutputSuspended() const noexcept override { return m_codec.Reports().suspended; }
    WaitResult Wait(const Event& stop, const Event& writeRequest, bool watchPort) override;
    std::intptr_t WaitHandle() const noexcept override;
    void ArmWait(bool forInput, bool forOutput) override;
    void SetCancel(const Event* cancel) noexcept override { m_cancel = cancel; }

    [[nodiscard]] NetworkReport Report() const;

private:
    enum class Answer { Done, TimedOut, Failed, Cancelled };

    bool Connect(const PortUrl& url, std::chrono::steady_clock::time_point deadline);
    bool Greet(std::chrono::steady_clock::time_point deadline);
    bool FailBusy();
    // The steps of SetLineState on a server that agreed to COM-port control: ask for the
    // settings, wait until every one is answered, and check what the server says it took.
    void SendLineSettings(const LineState& state);
    bool AwaitLineSettings(const LineState& state, const telnet::ServerReports& before);
    bool ServerTook(const LineState& state);
    [[nodiscard]] bool Cancelled() const noexcept;
    bool FailCancelled() const;
    // Receives until `done` holds, sending what waits meanwhile; data goes to the input queue.
    template <typename Done>
    Answer AwaitServer(Done done, std::chrono::steady_clock::time_point deadline);
    [[nodiscard]] bool ReceiveSome();
    [[nodiscard]] bool Flush();
    void TakeCodecOutput();
    [[nodiscard]] std::size_t InputQueued() const noexcept { return m_input.size() - m_inputStart; }
    bool FailClosed() const;

    PortUrl m_url;
    bool m_telnet = false;
    Socket m_socket;
    telnet::Codec m_codec;
    std::chrono::milliseconds m_limit{0};
    std::string m_peer;

    // Data received while waiting for the server, handed out by Read before anything newer.
    std::vector<std::uint8_t> m_input;
    std::size_t m_inputStart = 0;
    std::atomic<std::uint32_t> m_inputCount{0};  // for GetStatus on another thread
    // Bytes for the server that the socket has not taken yet: answers and commands.
    std::vector<std::uint8_t> m_output;
    std::atomic<std::uint32_t> m_outputCount{0};

    LineState m_line;
    std::optional<LineState> m_serverLine;
    std::uint32_t m_writePerByteMs = 0;
    std::uint32_t m_writeConstantMs = 0;
    const Event* m_cancel = nullptr;  // ends the waits for the server when set
};

}  // namespace vandrelux::platform
