// The client's side of a Telnet connection with the COM-port control option, as bytes: what the
// server sends goes in one byte at a time and comes out as the line's data, while the answers to
// its requests and our own commands collect in an output buffer for the caller to send. No
// socket, no clock: the network device owns the connection and the waiting.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace vandrelux::platform::telnet {

inline constexpr std::uint8_t IAC = 255;
inline constexpr std::uint8_t DONT = 254;
inline constexpr std::uint8_t DO = 253;
inline constexpr std::uint8_t WONT = 252;
inline constexpr std::uint8_t WILL = 251;
inline constexpr std::uint8_t SB = 250;
inline constexpr std::uint8_t SE = 240;

inline constexpr std::uint8_t kBinary = 0;
inline constexpr std::uint8_t kEcho = 1;
inline constexpr std::uint8_t kSuppressGoAhead = 3;
inline constexpr std::uint8_t kComPort = 44;

// COM-port commands as the client sends them; the server answers with the code plus 100.
enum class ComCommand : std::uint8_t {
    Signature = 0,
    SetBaudRate = 1,
    SetDataSize = 2,
    SetParity = 3,
    SetStopSize = 4,
    SetControl = 5,
    NotifyLineState = 6,
    NotifyModemState = 7,
    FlowControlSuspend = 8,
    FlowControlResume = 9,
    SetLineStateMask = 10,
    SetModemStateMask = 11,
    PurgeData = 12,
};
inline constexpr std::size_t kComCommands = 13;
inline constexpr std::uint8_t kServerOffset = 100;

// Values of SET-CONTROL and PURGE-DATA that this client sends.
inline constexpr std::uint8_t kNoFlowControl = 1;
inline constexpr std::uint8_t kDtrOn = 8;
inline constexpr std::uint8_t kRtsOn = 11;
inline constexpr std::uint8_t kRtsOff = 12;
inline constexpr std::uint8_t kPurgeBoth = 3;

// The option's codes for a parity letter (N, O, E, M, S) and back; 0 for a letter it lacks.
[[nodiscard]] std::uint8_t ParityCode(char parity) noexcept;
[[nodiscard]] char ParityLetter(std::uint8_t code) noexcept;

// What the server last said through the COM-port option.
struct ServerReports {
    std::array<std::uint32_t, kComCommands> answers{};  // replies counted per command
    std::uint32_t baudRate = 0;
    std::uint8_t dataSize = 0;
    std::uint8_t parity = 0;
    std::uint8_t stopSize = 0;
    std::uint8_t control = 0;  // the value of the last SET-CONTROL reply
    std::uint8_t lineState = 0;
    std::uint8_t modemState = 0;
    bool suspended = false;  // the server asked us to hold our data back
    std::array<char, 64> signature{};
    std::size_t signatureLength = 0;

    [[nodiscard]] std::uint32_t Answers(ComCommand command) const {
        return answers[static_cast<std::size_t>(command)];
    }
    [[nodiscard]] std::string_view Signature() const { return {signature.data(), signatureLength}; }
};

class Codec {
public:
    // Our own requests are never lost; answers to a server that floods us with requests stop
    // here, so a server that does not read cannot make us grow without end.
    static constexpr std::size_t kOutputLimit = 4096;
    static constexpr std::size_t kSubnegotiationLimit = 72;
    static constexpr std::string_view kSignature = "Vandrelux";

    Codec();

    // Asks for binary and suppress-go-ahead both ways and offers COM-port control.
    void Start();

    // One byte from the server; the data byte it carries, if any.
    std::optional<std::uint8_t> Feed(std::uint8_t byte) noexcept;
    // Feeds `size` bytes and leaves the data they carry at the front; returns its length.
    std::size_t DecodeInPlace(std::uint8_t* bytes, std::size_t size) noexcept;

    // Appends data for the line to `out`, with every 0xFF doubled (and CR followed by NUL while
    // we do not send binary).
    void EncodeData(std::span<const std::uint8_t> data, std::vector<std::uint8_t>& out) const;

    // Queues one COM-port command for the server; a value of 0 asks for the current setting.
    void SendCommand(ComCommand command, std::span<const std::uint8_t> value);
    void SendBaudRate(std::uint32_t baudRate);
    void SendByteCommand(ComCommand command, std::uint8_t value);

    // Takes what waits to be sent to the server.
    void TakeOutput(std::vector<std::uint8_t>& into);
    [[nodiscard]] bool HasOutput() const noexcept { return !m_output.empty(); }

    // True while a request of ours has no answer yet.
    [[nodiscard]] bool Negotiating() const noexcept;
    // Whether we do the option (we send binary, we agreed to COM-port control)...
    [[nodiscard]] bool LocalEnabled(std::uint8_t option) const noexcept;
    // ...and whether the server does it (it sends binary).
    [[nodiscard]] bool RemoteEnabled(std::uint8_t option) const noexcept;
    [[nodiscard]] const ServerReports& Reports() const noexcept { return m_reports; }

private:
    enum class Option : std::uint8_t { No, Yes, WantNo, WantYes };
    enum class State : std::uint8_t { Data, Cr, Iac, Verb, Sub, SubIac };

    void OnVerb(std::uint8_t verb, std::uint8_t option) noexcept;
    void OnSubnegotiation() noexcept;
    void OnComPortReply(std::uint8_t code, std::span<const std::uint8_t> value) noexcept;
    void Reply(std::uint8_t verb, std::uint8_t option) noexcept;
    void Queue(std::span<const std::uint8_t> bytes);

    std::array<Option, 256> m_local{};
    std::array<Option, 256> m_remote{};
    State m_state = State::Data;
    std::uint8_t m_verb = 0;
    std::array<std::uint8_t, kSubnegotiationLimit> m_sub{};
    std::size_t m_subLength = 0;
    bool m_subOverflow = false;
    std::vector<std::uint8_t> m_output;
    ServerReports m_reports;
};

}  // namespace vandrelux::platform::telnet
