#include "device/net/NetworkDevice.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <future>
#include <memory>
#include <thread>

#include "device/ModeString.h"
#include "os/Format.h"

namespace vandrelux::platform {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::size_t kReceiveChunk = 4096;
// Beyond this, data that arrives while we wait for the server stays in the socket, which then
// holds the server back; far more than the box sends while a frame goes out.
constexpr std::size_t kInputLimit = std::size_t{1} << 20;
// A purge discards at most this much of what has arrived, so a server that never stops
// sending cannot keep it going.
constexpr std::size_t kPurgeLimit = 64 * kReceiveChunk;
// A raw server that turns us away says so at once and closes; a box that is merely switched
// on is silent.
constexpr auto kRawRefusalWindow = 200ms;
constexpr std::uint32_t kDefaultTimeoutMs = 5000;
constexpr auto kPurgeAnswerLimit = std::chrono::milliseconds(1000);
constexpr auto kCancelLook = 20ms;

std::atomic<std::int64_t> g_timeoutMs{kDefaultTimeoutMs};

std::string Seconds(std::chrono::milliseconds limit) {
    return Format("%g s", static_cast<double>(limit.count()) / 1000.0);
}

// What the server said before it closed, fit for one line of text.
std::string Said(std::span<const std::uint8_t> bytes) {
    std::string text;
    for (const std::uint8_t byte : bytes.first(std::min<std::size_t>(bytes.size(), 120))) {
        if (byte == '\r' || byte == '\n') {
            text += ' ';
        } else if (std::isprint(byte) != 0) {
            text += static_cast<char>(byte);
        }
    }
    const auto first = text.find_first_not_of(' ');
    const auto last = text.find_last_not_of(' ');
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

// Looks the host up by `deadline`, or until `cancel` is set. The resolver cannot be interrupted,
// so it runs on a thread of its own, which holds nothing of ours and is left to finish by itself
// when it takes too long.
std::optional<Resolution> ResolveBy(const std::string& host, const std::string& port,
                                    Clock::time_point deadline, const Event* cancel) {
    auto promise = std::make_shared<std::promise<Resolution>>();
    std::future<Resolution> result = promise->get_future();
    std::thread([promise, host, port] { promise->set_value(ResolveNow(host, port)); }).detach();
    // A future cannot wait on an event as well: it is looked at between short waits.
    while (result.wait_until(std::min(deadline, Clock::now() + kCancelLook)) !=
           std::future_status::ready) {
        if (Clock::now() >= deadline || (cancel != nullptr && cancel->IsSet())) {
            return std::nullopt;
        }
    }
    return result.get();
}

// Far beyond any real write, and safe to add to steady_clock::now().
constexpr std::uint64_t kLongestWriteMs = std::uint64_t{1} << 40;

Deadline WriteDeadline(std::uint32_t perByteMs, std::uint32_t constantMs, std::size_t size) {
    if (perByteMs == 0 && constantMs == 0) {
        return std::nullopt;
    }
    std::uint64_t budget = constantMs;
    if (perByteMs != 0 && size > (kLongestWriteMs - budget) / perByteMs) {
        budget = kLongestWriteMs;
    } else {
        budget += std::uint64_t{perByteMs} * size;
    }
    return Clock::now() + std::chrono::milliseconds(static_cast<std::int64_t>(budget));
}

std::string FormatOf(const LineState& line) {
    return Format("%d %d-%c-%d", line.baudRate, line.dataBits, line.parity, line.stopBits);
}

}  // namespace

void SetNetworkTimeout(std::chrono::milliseconds limit) {
    g_timeoutMs = std::max<std::int64_t>(limit.count(), 1);
}

std::chrono::milliseconds NetworkTimeout() {
    return std::chrono::milliseconds(g_timeoutMs.load());
}

NetworkDevice::NetworkDevice() : m_line{9600, 'N', 8, 1, false} {}

NetworkDevice::~NetworkDevice() {
    Close();
}

bool NetworkDevice::Open(const std::string& name) {
    Close();
    const std::optional<PortUrl> url = ParsePortUrl(name);
    if (!url) {
        return FailWith(SocketFailure::Invalid,
                        "not a network port: " + name +
                            " (rfc2217://HOST:PORT or tcp://HOST:PORT, an IPv6 address in [])");
    }
    m_limit = NetworkTimeout();
    const Clock::time_point deadline = Clock::now() + m_limit;
    m_url = *url;
    m_telnet = url->scheme == PortScheme::Rfc2217;
    m_codec = telnet::Codec();
    m_line = {9600, 'N', 8, 1, false};
    m_serverLine.reset();
    if (!Connect(*url, deadline) || !Greet(deadline)) {
        Close();
        return false;
    }
    return true;
}

bool NetworkDevice::Connect(const PortUrl& url, Clock::time_point deadline) {
    const std::optional<Resolution> found = ResolveBy(url.host, url.port, deadline, m_cancel);
    if (Cancelled()) {
        return FailCancelled();
    }
    if (!found) {
        return FailWith(SocketFailure::TimedOut,
                        "looking up " + url.host + " took longer than " + Seconds(m_limit));
    }
    if (found->addresses.empty()) {
        return FailWith(SocketFailure::Unresolved, "cannot find " + url.host + ": " + found->error);
    }
    // localhost may be ::1 and 127.0.0.1, and the server may listen on only one of them.
    for (const SocketAddress& address : found->addresses) {
        if (m_socket.Connect(address, deadline, m_cancel)) {
            m_peer = address.text;
            return true;
        }
        if (Cancelled()) {
            return FailCancelled();
        }
        if (Clock::now() >= deadline) {
            return FailWith(SocketFailure::TimedOut,
                            "no answer from " + address.text + " within " + Seconds(m_limit));
        }
    }
    return false;
}

bool NetworkDevice::Greet(Clock::time_point deadline) {
    if (!m_telnet) {
        // Anything that came with the refusal window is the box's and stays queued.
        switch (AwaitServer([] { return false; },
                            std::min(deadline, Clock::now() + kRawRefusalWindow))) {
            case Answer::Failed:
                return FailBusy();
            case Answer::Cancelled:
                return false;
            case Answer::Done:
            case Answer::TimedOut:
                return true;
        }
    }
    m_codec.Start();
    TakeCodecOutput();
    Answer answer = AwaitServer([this] { return !m_codec.Negotiating(); }, deadline);
    if (answer == Answer::Cancelled) {
        return false;
    }
    if (answer == Answer::Failed) {
        return FailBusy();
    }
    if (answer == Answer::Done && m_codec.LocalEnabled(telnet::kComPort)) {
        // The server's own settings, and who it is, for the doctor and for GetLineState.
        const telnet::ServerReports before = m_codec.Reports();
        m_codec.SendCommand(telnet::ComCommand::Signature, {});
        m_codec.SendBaudRate(0);
        m_codec.SendByteCommand(telnet::ComCommand::SetDataSize, 0);
        m_codec.SendByteCommand(telnet::ComCommand::SetParity, 0);
        m_codec.SendByteCommand(telnet::ComCommand::SetStopSize, 0);
        TakeCodecOutput();
        const auto answered = [this, &before](telnet::ComCommand command) {
            return m_codec.Reports().Answers(command) > before.Answers(command);
        };
        answer = AwaitServer(
            [&] {
                return answered(telnet::ComCommand::SetBaudRate) &&
                       answered(telnet::ComCommand::SetDataSize) &&
                       answered(telnet::ComCommand::SetParity) &&
                       answered(telnet::ComCommand::SetStopSize);
            },
            deadline);
        if (answer == Answer::Cancelled) {
            return false;
        }
        if (answer == Answer::Failed) {
            return FailBusy();
        }
        if (answer == Answer::Done) {
            const telnet::ServerReports& r = m_codec.Reports();
            m_serverLine = LineState{static_cast<int>(r.baudRate), telnet::ParityLetter(r.parity),
                                     r.dataSize, r.stopSize == 2 ? 2 : 1, true};
            m_line = *m_serverLine;
        }
    }
    // A server that never answers the options still carries data; only its settings are
    // out of reach, which SetLineState reports.
    return true;
}

bool NetworkDevice::Cancelled() const noexcept {
    return m_cancel != nullptr && m_cancel->IsSet();
}

bool NetworkDevice::FailCancelled() const {
    return FailWith(SocketFailure::Cancelled,
                    "the connection to " + m_url.host + " port " + m_url.port + " was called off");
}

bool NetworkDevice::FailBusy() {
    const std::string said = Said(std::span(m_input).subspan(m_inputStart));
    if (said.empty()) {
        return FailWith(SocketFailure::Busy, "the server at " + m_peer +
                                                 " closed the connection at once: busy with "
                                                 "another client, or its serial device is");
    }
    return FailWith(
        SocketFailure::Busy,
        "the server at " + m_peer + " is busy with another client (it said \"" + said + "\")");
}

void NetworkDevice::Close() noexcept {
    m_socket.Close();
    m_input.clear();
    m_inputStart = 0;
    m_inputCount = 0;
    m_output.clear();
    m_outputCount = 0;
}

bool NetworkDevice::IsOpen() const noexcept {
    return m_socket.IsOpen();
}

bool NetworkDevice::FailClosed() const {
    return FailWith(SocketFailure::Invalid, "the network port is not open");
}

bool NetworkDevice::SetTimeouts(std::uint32_t perByteMs, std::uint32_t constantMs) {
    if (!IsOpen()) {
        return FailClosed();
    }
    m_writePerByteMs = perByteMs;
    m_writeConstantMs = constantMs;
    return true;
}

bool NetworkDevice::SetEventMask(std::uint32_t /*mask*/) {
    return IsOpen() || FailClosed();
}

bool NetworkDevice::GetLineState(LineState& state) {
    if (!IsOpen()) {
        return FailClosed();
    }
    state = m_line;
    return true;
}

bool NetworkDevice::SetLineState(const LineState& state) {
    if (!IsOpen()) {
        return FailClosed();
    }
    // The same values a local port takes, whatever the server would echo back.
    LineState checked = state;
    if (!ParseModeString(Format("baud=%d parity=%c data=%d stop=%d", state.baudRate, state.parity,
                                state.dataBits, state.stopBits),
                         checked)) {
        return FailWith(SocketFailure::Invalid, "no serial line runs at " + FormatOf(state));
    }
    if (!m_telnet) {
        m_line = state;
        return true;
    }
    if (!m_codec.LocalEnabled(telnet::kComPort)) {
        return FailWith(SocketFailure::Refusal,
                        "the server at " + m_peer +
                            " takes no line settings: it did not agree to COM-port control "
                            "(RFC 2217); is its accepter telnet(rfc2217)?");
    }
    const telnet::ServerReports before = m_codec.Reports();
    SendLineSettings(state);
    if (!AwaitLineSettings(state, before) || !ServerTook(state)) {
        return false;
    }
    m_codec.SendByteCommand(telnet::ComCommand::SetControl, telnet::kDtrOn);
    m_codec.SendByteCommand(telnet::ComCommand::SetControl,
                            state.rtsEnabled ? telnet::kRtsOn : telnet::kRtsOff);
    TakeCodecOutput();
    m_line = state;
    return Flush();
}

void NetworkDevice::SendLineSettings(const LineState& state) {
    using telnet::ComCommand;
    m_codec.SendBaudRate(static_cast<std::uint32_t>(state.baudRate));
    m_codec.SendByteCommand(ComCommand::SetDataSize, static_cast<std::uint8_t>(state.dataBits));
    m_codec.SendByteCommand(ComCommand::SetParity, telnet::ParityCode(state.parity));
    m_codec.SendByteCommand(ComCommand::SetStopSize, static_cast<std::uint8_t>(state.stopBits));
    m_codec.SendByteCommand(ComCommand::SetControl, telnet::kNoFlowControl);
    TakeCodecOutput();
}

bool NetworkDevice::AwaitLineSettings(const LineState& state, const telnet::ServerReports& before) {
    using telnet::ComCommand;
    const auto answered = [this, &before](ComCommand command) {
        return m_codec.Reports().Answers(command) > before.Answers(command);
    };
    const std::pair<ComCommand, const char*> asked[] = {
        {ComCommand::SetBaudRate, "the speed"},
        {ComCommand::SetDataSize, "the data bits"},
        {ComCommand::SetParity, "the parity"},
        {ComCommand::SetStopSize, "the stop bits"},
        {ComCommand::SetControl, "no flow control"}};
    const Answer answer = AwaitServer(
        [&] {
            return std::all_of(std::begin(asked), std::end(asked),
                               [&](const auto& a) { return answered(a.first); });
        },
        Clock::now() + m_limit);
    switch (answer) {
        case Answer::Done:
            return true;
        case Answer::Cancelled:
            return false;
        case Answer::Failed:
            // A server busy with another client may go along with the options and close only
            // when it is asked for settings: the same refusal as at the connection's start.
            return m_socket.LastFailure() == SocketFailure::Closed ? FailBusy() : false;
        case Answer::TimedOut:
            break;
    }
    std::string missing;
    for (const auto& [command, what] : asked) {
        if (!answered(command)) {
            missing += std::string(missing.empty() ? "" : ", ") + what;
        }
    }
    return FailWith(SocketFailure::Refusal, "the server at " + m_peer + " did not confirm " +
                                                missing + " of " + FormatOf(state) + " within " +
                                                Seconds(m_limit));
}

bool NetworkDevice::ServerTook(const LineState& state) {
    const telnet::ServerReports& r = m_codec.Reports();
    const LineState got{static_cast<int>(r.baudRate), telnet::ParityLetter(r.parity), r.dataSize,
                        r.stopSize, state.rtsEnabled};
    if (got != state) {
        return FailWith(SocketFailure::Refusal, "the server at " + m_peer + " set " +
                                                    FormatOf(got) + " where " + FormatOf(state) +
                                                    " was asked");
    }
    if (r.control != telnet::kNoFlowControl) {
        return FailWith(SocketFailure::Refusal, "the server at " + m_peer +
                                                    " kept flow control on (its answer was " +
                                                    std::to_string(r.control) + ")");
    }
    return true;
}

bool NetworkDevice::Purge() {
    if (!IsOpen()) {
        return FailClosed();
    }
    if (m_telnet && m_codec.LocalEnabled(telnet::kComPort)) {
        // Once the server has answered, what it held is gone and what follows is new, as after
        // a local purge; a server that does not answer is not waited for long.
        const std::uint32_t before = m_codec.Reports().Answers(telnet::ComCommand::PurgeData);
        m_codec.SendByteCommand(telnet::ComCommand::PurgeData, telnet::kPurgeBoth);
        TakeCodecOutput();
        const Answer answer = AwaitServer(
            [&] { return m_codec.Reports().Answers(telnet::ComCommand::PurgeData) > before; },
            Clock::now() + std::min<std::chrono::milliseconds>(m_limit, kPurgeAnswerLimit));
        if (answer == Answer::Failed || answer == Answer::Cancelled) {
            return false;
        }
        m_input.clear();
        m_inputStart = 0;
        m_inputCount = 0;
        return true;
    }
    m_input.clear();
    m_inputStart = 0;
    m_inputCount = 0;
    // What has arrived so far goes too; the server's answers in it still count.
    std::array<std::uint8_t, kReceiveChunk> scratch{};
    for (std::size_t dropped = 0; dropped < kPurgeLimit && m_socket.Readable() > 0;) {
        const std::optional<std::size_t> got = m_socket.Receive(scratch.data(), scratch.size());
        if (!got) {
            return false;
        }
        if (*got == 0) {
            break;
        }
        if (m_telnet) {
            static_cast<void>(m_codec.DecodeInPlace(scratch.data(), *got));
            TakeCodecOutput();
        }
        dropped += *got;
    }
    return Flush();
}

bool NetworkDevice::PurgeOutput() {
    // What was written has left us already. The server's purge is no substitute: a server may
    // still be sending the last write to the box, and ser2net's purge of its transmit buffer
    // throws away what the box sends too, so a purge before each write would lose answers.
    return IsOpen() || FailClosed();
}

bool NetworkDevice::GetStatus(QueueStatus& status) {
    status = {};
    if (!IsOpen()) {
        return FailClosed();
    }
    status.inQueue = m_inputCount.load() + m_socket.Readable();
    status.outQueue = m_outputCount.load() + m_socket.Unsent();
    return true;
}

std::optional<std::size_t> NetworkDevice::Read(std::uint8_t* data, std::size_t size) {
    if (!IsOpen()) {
        FailClosed();
        return std::nullopt;
    }
    if (size == 0) {
        return 0;
    }
    if (data == nullptr) {
        FailWith(SocketFailure::Invalid, "no buffer to read into");
        return std::nullopt;
    }
    if (!Flush()) {
        return std::nullopt;
    }
    if (InputQueued() > 0) {
        const std::size_t count = std::min(size, InputQueued());
        std::copy_n(m_input.begin() + static_cast<std::ptrdiff_t>(m_inputStart), count, data);
        m_inputStart += count;
        if (m_inputStart == m_input.size()) {
            m_input.clear();
            m_inputStart = 0;
        }
        m_inputCount = static_cast<std::uint32_t>(InputQueued());
        return count;
    }
    const std::optional<std::size_t> got = m_socket.Receive(data, size);
    if (!got || *got == 0 || !m_telnet) {
        return got;
    }
    const std::size_t kept = m_codec.DecodeInPlace(data, *got);
    TakeCodecOutput();
    // A failed send shows on the next call; these bytes were received and count.
    static_cast<void>(Flush());
    return kept;
}

bool NetworkDevice::Write(const std::uint8_t* data, std::size_t size, const Event* stop) {
    if (!IsOpen()) {
        return FailClosed();
    }
    if (size == 0) {
        return true;
    }
    if (data == nullptr) {
        return FailWith(SocketFailure::Invalid, "no data to write");
    }
    std::vector<std::uint8_t> encoded;
    std::span<const std::uint8_t> bytes(data, size);
    if (m_telnet) {
        m_codec.EncodeData(bytes, encoded);
        bytes = encoded;
    }
    const Deadline deadline = WriteDeadline(m_writePerByteMs, m_writeConstantMs, size);
    std::size_t done = 0;
    for (;;) {
        if (!Flush()) {
            return false;
        }
        // Commands go first, and the server may ask us to hold the data back for a while.
        const bool mayWrite = m_output.empty() && !m_codec.Reports().suspended;
        if (mayWrite) {
            const std::optional<std::size_t> sent =
                m_socket.Send(bytes.data() + done, bytes.size() - done);
            if (!sent) {
                return false;
            }
            done += *sent;
            if (done == bytes.size()) {
                return true;
            }
        }
        // Read on while waiting to write: a server that sends no more until we have read what it
        // sent would otherwise wait for us while we wait for it.
        const SocketWake woke = m_socket.Wait(stop, nullptr, InputQueued() < kInputLimit,
                                              mayWrite || !m_output.empty(), deadline);
        switch (woke) {
            case SocketWake::Stop:
                return FailWith(SocketFailure::Cancelled, "the write was cancelled");
            case SocketWake::TimedOut:
                return FailWith(SocketFailure::TimedOut,
                                "the server at " + m_peer + " took no more data in time");
            case SocketWake::Readable:
                if (!ReceiveSome()) {
                    return false;
                }
                break;
            case SocketWake::Failed:
                return false;
            case SocketWake::Writable:
            case SocketWake::WriteRequest:
                break;
        }
    }
}

std::optional<std::size_t> NetworkDevice::WriteSome(const std::uint8_t* data, std::size_t size) {
    if (!IsOpen()) {
        FailClosed();
        return std::nullopt;
    }
    if (!Flush()) {
        return std::nullopt;
    }
    // Commands and earlier data go first, and the server may ask us to hold the data back.
    if (size == 0 || !m_output.empty() || m_codec.Reports().suspended) {
        return 0;
    }
    if (data == nullptr) {
        FailWith(SocketFailure::Invalid, "no data to write");
        return std::nullopt;
    }
    std::vector<std::uint8_t> encoded;
    std::span<const std::uint8_t> bytes(data, size);
    if (m_telnet) {
        m_codec.EncodeData(bytes, encoded);
        bytes = encoded;
    }
    const std::optional<std::size_t> sent = m_socket.Send(bytes.data(), bytes.size());
    if (!sent) {
        return std::nullopt;
    }
    // A doubled 0xFF may be cut in two here, so the rest stays encoded, in the device.
    m_output.assign(bytes.begin() + static_cast<std::ptrdiff_t>(*sent), bytes.end());
    m_outputCount = static_cast<std::uint32_t>(m_output.size());
    return size;
}

WaitResult NetworkDevice::Wait(const Event& stop, const Event& writeRequest, bool watchPort) {
    const bool open = IsOpen();
    for (;;) {
        if (watchPort && InputQueued() > 0) {
            return stop.IsSet() ? WaitResult::Stop : WaitResult::PortActivity;
        }
        // A send that fails here shows at the read that the broken socket sends us to.
        if (open && !m_output.empty() && !Flush()) {
            m_output.clear();
            m_outputCount = 0;
        }
        switch (m_socket.Wait(&stop, &writeRequest, watchPort && open, open && !m_output.empty(),
                              std::nullopt)) {
            case SocketWake::Stop:
                return WaitResult::Stop;
            case SocketWake::Readable:
                return WaitResult::PortActivity;
            case SocketWake::WriteRequest:
                return WaitResult::WriteRequest;
            case SocketWake::Failed:
                return WaitResult::Failed;
            case SocketWake::Writable:
            case SocketWake::TimedOut:
                break;
        }
    }
}

std::intptr_t NetworkDevice::WaitHandle() const noexcept {
    return m_socket.WaitHandle();
}

void NetworkDevice::ArmWait(bool forInput, bool forOutput) {
    m_socket.ArmWait(forInput, forOutput || HoldsOutput());
}

NetworkReport NetworkDevice::Report() const {
    NetworkReport report;
    report.peer = m_peer;
    report.telnet = m_telnet;
    if (m_telnet) {
        report.binaryOut = m_codec.LocalEnabled(telnet::kBinary);
        report.binaryIn = m_codec.RemoteEnabled(telnet::kBinary);
        report.suppressGoAheadOut = m_codec.LocalEnabled(telnet::kSuppressGoAhead);
        report.suppressGoAheadIn = m_codec.RemoteEnabled(telnet::kSuppressGoAhead);
        report.comPort = m_codec.LocalEnabled(telnet::kComPort);
        report.signature = std::string(m_codec.Reports().Signature());
    }
    report.serverLine = m_serverLine;
    return report;
}

template <typename Done>
NetworkDevice::Answer NetworkDevice::AwaitServer(Done done, Clock::time_point deadline) {
    for (;;) {
        if (!Flush()) {
            return Answer::Failed;
        }
        if (done()) {
            return Answer::Done;
        }
        switch (m_socket.Wait(m_cancel, nullptr, InputQueued() < kInputLimit, !m_output.empty(),
                              deadline)) {
            case SocketWake::Stop:
                FailCancelled();
                return Answer::Cancelled;
            case SocketWake::Readable:
                if (!ReceiveSome()) {
                    return Answer::Failed;
                }
                break;
            case SocketWake::TimedOut:
                return Answer::TimedOut;
            case SocketWake::Failed:
                return Answer::Failed;
            default:
                break;
        }
    }
}

bool NetworkDevice::ReceiveSome() {
    std::array<std::uint8_t, kReceiveChunk> chunk{};
    const std::size_t room =
        std::min(chunk.size(), kInputLimit - std::min(kInputLimit, InputQueued()));
    const std::optional<std::size_t> got =
        m_socket.Receive(chunk.data(), std::max<std::size_t>(room, 1));
    if (!got) {
        return false;
    }
    const std::size_t kept = m_telnet ? m_codec.DecodeInPlace(chunk.data(), *got) : *got;
    m_input.insert(m_input.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(kept));
    m_inputCount = static_cast<std::uint32_t>(InputQueued());
    TakeCodecOutput();
    return true;
}

void NetworkDevice::TakeCodecOutput() {
    if (m_codec.HasOutput()) {
        m_codec.TakeOutput(m_output);
        m_outputCount = static_cast<std::uint32_t>(m_output.size());
    }
}

bool NetworkDevice::Flush() {
    if (m_output.empty()) {
        return true;
    }
    const std::optional<std::size_t> sent = m_socket.Send(m_output.data(), m_output.size());
    if (!sent) {
        return false;
    }
    m_output.erase(m_output.begin(), m_output.begin() + static_cast<std::ptrdiff_t>(*sent));
    m_outputCount = static_cast<std::uint32_t>(m_output.size());
    return true;
}

}  // namespace vandrelux::platform
