#include "device/net/TelnetCodec.h"

#include <algorithm>

namespace vandrelux::platform::telnet {

namespace {

constexpr std::uint8_t kCr = '\r';

// Binary and suppress-go-ahead both ways, COM-port control as the client: nothing else.
bool WeDo(std::uint8_t option) {
    return option == kBinary || option == kSuppressGoAhead || option == kComPort;
}
bool TheyMayDo(std::uint8_t option) {
    return option == kBinary || option == kSuppressGoAhead;
}

}  // namespace

std::uint8_t ParityCode(char parity) noexcept {
    switch (parity) {
        case 'N':
            return 1;
        case 'O':
            return 2;
        case 'E':
            return 3;
        case 'M':
            return 4;
        case 'S':
            return 5;
        default:
            return 0;
    }
}

char ParityLetter(std::uint8_t code) noexcept {
    constexpr std::string_view kLetters = "?NOEMS";
    return code < kLetters.size() ? kLetters[code] : '?';
}

Codec::Codec() {
    m_output.reserve(kOutputLimit);
}

void Codec::Start() {
    const auto ask = [this](std::array<Option, 256>& side, std::uint8_t verb, std::uint8_t option) {
        if (side[option] == Option::No) {
            side[option] = Option::WantYes;
            const std::uint8_t request[] = {IAC, verb, option};
            Queue(request);
        }
    };
    ask(m_local, WILL, kBinary);
    ask(m_remote, DO, kBinary);
    ask(m_local, WILL, kSuppressGoAhead);
    ask(m_remote, DO, kSuppressGoAhead);
    ask(m_local, WILL, kComPort);
}

std::optional<std::uint8_t> Codec::Feed(std::uint8_t byte) noexcept {
    switch (m_state) {
        case State::Cr:
            m_state = State::Data;
            if (byte == 0) {
                return std::nullopt;  // a bare CR, as a server that does not send binary spells it
            }
            [[fallthrough]];
        case State::Data:
            if (byte == IAC) {
                m_state = State::Iac;
                return std::nullopt;
            }
            if (byte == kCr && m_remote[kBinary] != Option::Yes) {
                m_state = State::Cr;
            }
            return byte;
        case State::Iac:
            if (byte == IAC) {
                m_state = State::Data;
                return IAC;
            }
            if (byte >= WILL && byte <= DONT) {
                m_verb = byte;
                m_state = State::Verb;
            } else if (byte == SB) {
                m_subLength = 0;
                m_subOverflow = false;
                m_state = State::Sub;
            } else {
                m_state = State::Data;  // NOP, go-ahead, data mark and the like carry no data
            }
            return std::nullopt;
        case State::Verb:
            m_state = State::Data;
            OnVerb(m_verb, byte);
            return std::nullopt;
        case State::Sub:
            if (byte == IAC) {
                m_state = State::SubIac;
            } else if (m_subLength < m_sub.size()) {
                m_sub[m_subLength++] = byte;
            } else {
                m_subOverflow = true;
            }
            return std::nullopt;
        case State::SubIac:
            if (byte == IAC) {
                m_state = State::Sub;
                if (m_subLength < m_sub.size()) {
                    m_sub[m_subLength++] = IAC;
                } else {
                    m_subOverflow = true;
                }
                return std::nullopt;
            }
            if (byte == SE) {
                m_state = State::Data;
                OnSubnegotiation();
                return std::nullopt;
            }
            // A command inside a subnegotiation ends it unread; the command still counts.
            m_state = State::Iac;
            return Feed(byte);
    }
    return std::nullopt;
}

std::size_t Codec::DecodeInPlace(std::uint8_t* bytes, std::size_t size) noexcept {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < size; ++i) {
        if (const std::optional<std::uint8_t> data = Feed(bytes[i])) {
            bytes[kept++] = *data;
        }
    }
    return kept;
}

void Codec::EncodeData(std::span<const std::uint8_t> data, std::vector<std::uint8_t>& out) const {
    const bool binary = LocalEnabled(kBinary);
    out.reserve(out.size() + data.size() + data.size() / 8);
    for (const std::uint8_t byte : data) {
        out.push_back(byte);
        if (byte == IAC) {
            out.push_back(IAC);
        } else if (byte == kCr && !binary) {
            out.push_back(0);
        }
    }
}

void Codec::SendCommand(ComCommand command, std::span<const std::uint8_t> value) {
    std::vector<std::uint8_t> bytes = {IAC, SB, kComPort, static_cast<std::uint8_t>(command)};
    for (const std::uint8_t byte : value) {
        bytes.push_back(byte);
        if (byte == IAC) {
            bytes.push_back(IAC);
        }
    }
    bytes.push_back(IAC);
    bytes.push_back(SE);
    Queue(bytes);
}

void Codec::SendBaudRate(std::uint32_t baudRate) {
    const std::uint8_t value[] = {
        static_cast<std::uint8_t>(baudRate >> 24), static_cast<std::uint8_t>(baudRate >> 16),
        static_cast<std::uint8_t>(baudRate >> 8), static_cast<std::uint8_t>(baudRate)};
    SendCommand(ComCommand::SetBaudRate, value);
}

void Codec::SendByteCommand(ComCommand command, std::uint8_t value) {
    SendCommand(command, std::span(&value, 1));
}

void Codec::TakeOutput(std::vector<std::uint8_t>& into) {
    into.insert(into.end(), m_output.begin(), m_output.end());
    m_output.clear();
}

bool Codec::Negotiating() const noexcept {
    const auto pending = [](Option q) { return q == Option::WantYes || q == Option::WantNo; };
    return std::any_of(m_local.begin(), m_local.end(), pending) ||
           std::any_of(m_remote.begin(), m_remote.end(), pending);
}

bool Codec::LocalEnabled(std::uint8_t option) const noexcept {
    return m_local[option] == Option::Yes;
}

bool Codec::RemoteEnabled(std::uint8_t option) const noexcept {
    return m_remote[option] == Option::Yes;
}

// The option negotiation of RFC 1143 (the "Q method", without its queue): a request for the
// state an option is already in is not answered, so two ends can never loop.
void Codec::OnVerb(std::uint8_t verb, std::uint8_t option) noexcept {
    const bool theirs = verb == WILL || verb == WONT;
    Option& q = theirs ? m_remote[option] : m_local[option];
    const bool enable = verb == WILL || verb == DO;
    switch (q) {
        case Option::No:
            if (!enable) {
                return;
            }
            if (theirs ? TheyMayDo(option) : WeDo(option)) {
                q = Option::Yes;
                Reply(theirs ? DO : WILL, option);
            } else {
                Reply(theirs ? DONT : WONT, option);
            }
            return;
        case Option::Yes:
            if (!enable) {
                q = Option::No;
                Reply(theirs ? DONT : WONT, option);
            }
            return;
        case Option::WantYes:
            q = enable ? Option::Yes : Option::No;
            return;
        case Option::WantNo:
            q = Option::No;
            return;
    }
}

void Codec::OnSubnegotiation() noexcept {
    if (m_subOverflow || m_subLength < 2 || m_sub[0] != kComPort) {
        return;
    }
    const std::uint8_t code = m_sub[1];
    if (code < kServerOffset || code >= kServerOffset + kComCommands) {
        return;
    }
    OnComPortReply(static_cast<std::uint8_t>(code - kServerOffset),
                   std::span(m_sub.data() + 2, m_subLength - 2));
}

void Codec::OnComPortReply(std::uint8_t code, std::span<const std::uint8_t> value) noexcept {
    ServerReports& r = m_reports;
    const auto command = static_cast<ComCommand>(code);
    if (command == ComCommand::Signature) {
        if (value.empty()) {
            // The server asks who we are.
            constexpr std::size_t kFrame = 6;
            if (m_output.size() + kFrame + kSignature.size() <= kOutputLimit) {
                const std::uint8_t head[] = {IAC, SB, kComPort,
                                             static_cast<std::uint8_t>(ComCommand::Signature)};
                m_output.insert(m_output.end(), std::begin(head), std::end(head));
                m_output.insert(m_output.end(), kSignature.begin(), kSignature.end());
                m_output.push_back(IAC);
                m_output.push_back(SE);
            }
        } else {
            r.signatureLength = std::min(value.size(), r.signature.size());
            std::copy_n(value.begin(), r.signatureLength, r.signature.begin());
        }
    } else if (command == ComCommand::SetBaudRate) {
        if (value.size() != 4) {
            return;
        }
        r.baudRate = (std::uint32_t{value[0]} << 24) | (std::uint32_t{value[1]} << 16) |
                     (std::uint32_t{value[2]} << 8) | std::uint32_t{value[3]};
    } else if (command == ComCommand::FlowControlSuspend) {
        r.suspended = true;
    } else if (command == ComCommand::FlowControlResume) {
        r.suspended = false;
    } else {
        if (value.empty()) {
            return;
        }
        const std::uint8_t v = value[0];
        switch (command) {
            case ComCommand::SetDataSize:
                r.dataSize = v;
                break;
            case ComCommand::SetParity:
                r.parity = v;
                break;
            case ComCommand::SetStopSize:
                r.stopSize = v;
                break;
            case ComCommand::SetControl:
                r.control = v;
                break;
            case ComCommand::NotifyLineState:
                r.lineState = v;
                break;
            case ComCommand::NotifyModemState:
                r.modemState = v;
                break;
            default:
                break;  // mask and purge acknowledgements carry nothing we keep
        }
    }
    ++r.answers[code];
}

void Codec::Reply(std::uint8_t verb, std::uint8_t option) noexcept {
    if (m_output.size() + 3 <= kOutputLimit) {
        m_output.push_back(IAC);
        m_output.push_back(verb);
        m_output.push_back(option);
    }
}

void Codec::Queue(std::span<const std::uint8_t> bytes) {
    m_output.insert(m_output.end(), bytes.begin(), bytes.end());
}

}  // namespace vandrelux::platform::telnet
