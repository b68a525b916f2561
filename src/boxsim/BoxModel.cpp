#include "boxsim/BoxModel.h"

#include <algorithm>
#include <utility>

namespace vandrelux::boxsim {

namespace {

void PutU32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 24));
    out.push_back(static_cast<std::uint8_t>(value >> 16));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

std::uint32_t GetU32(const std::uint8_t* in) {
    return (std::uint32_t{in[0]} << 24) | (std::uint32_t{in[1]} << 16) |
           (std::uint32_t{in[2]} << 8) | std::uint32_t{in[3]};
}

std::uint32_t ByteSum(const std::uint8_t* begin, const std::uint8_t* end) {
    std::uint32_t sum = 0;
    for (const std::uint8_t* p = begin; p != end; ++p) {
        sum += *p;
    }
    return sum;
}

std::uint32_t ByteSum(const std::vector<std::uint8_t>& bytes) {
    return ByteSum(bytes.data(), bytes.data() + bytes.size());
}

std::string Hex(std::uint32_t value, int digits) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text(static_cast<std::size_t>(digits), '0');
    for (auto it = text.rbegin(); it != text.rend(); ++it) {
        *it = kDigits[value & 0xFU];
        value >>= 4;
    }
    return "0x" + text;
}

std::string Hex8(std::uint8_t value) {
    return Hex(value, 2);
}

}  // namespace

BoxModel::BoxModel(BoxConfig config) : m_config(std::move(config)), m_rng(m_config.seed) {
    m_config.blockSize = std::clamp(m_config.blockSize, std::uint32_t{1}, kMaxPayloadLen);
    if (m_config.role == BoxConfig::Role::Send) {
        m_sentHeader = m_config.sendHeader;
        if (!m_config.overrideHeader) {
            m_sentHeader.length = static_cast<std::uint32_t>(m_config.image.size());
            m_sentHeader.checksum = ByteSum(m_config.image);
        }
        m_phase = Phase::WaitFirstBeacon;
    }
    // A box told to stop after no frames at all never answers; one in a reboot loop is in it
    // from power-on unless it is told when to fall into it.
    AfterFrame(0);
    if (m_config.rebootLoopMs > 0 && m_config.silentAfterFrames < 0 && m_phase != Phase::HungUp) {
        m_phase = Phase::Silent;
    }
    if (m_phase != Phase::HungUp) {
        EmitText(m_config.banner);
    }
    if (m_phase == Phase::WaitFirstBeacon) {
        EmitText(m_config.chatter);
        Emit(kSyn);
    }
}

void BoxModel::OnByte(std::uint8_t byte, std::uint64_t nowMs) {
    if (m_phase == Phase::HungUp) {
        return;
    }
    ++m_report.bytesIn;
    Tick(nowMs);
    if (m_config.role == BoxConfig::Role::Accept) {
        AcceptByte(byte, nowMs);
    } else {
        SendByte(byte, nowMs);
    }
}

void BoxModel::OnIdle(std::uint64_t nowMs) {
    if (m_phase != Phase::HungUp) {
        Tick(nowMs);
    }
}

std::vector<std::uint8_t> BoxModel::TakeOutput() {
    return std::exchange(m_output, {});
}

bool BoxModel::Stopped() const noexcept {
    return m_phase == Phase::Silent || m_phase == Phase::HungUp || m_phase == Phase::SendDone ||
           m_phase == Phase::Refused || m_phase == Phase::Booted;
}

void BoxModel::Tick(std::uint64_t nowMs) {
    m_nowMs = nowMs;
    // The box's clock starts with the first time the caller tells us: that is its power-on.
    if (!m_clockStarted) {
        m_clockStarted = true;
        m_powerOnMs = nowMs;
        m_lastReadyMs = nowMs;
        m_lastBannerMs = nowMs;
        return;
    }
    switch (m_phase) {
        case Phase::WaitFirstBeacon:
            if (m_config.readyRepeatMs > 0 && nowMs >= m_lastReadyMs + m_config.readyRepeatMs) {
                Emit(kSyn);
                m_lastReadyMs = nowMs;
            }
            break;
        case Phase::PoweredOff:
            if (m_config.listenMs > 0 && nowMs >= m_powerOnMs + m_config.listenMs) {
                m_phase = Phase::Booted;
            }
            break;
        case Phase::Silent:
            if (m_config.rebootLoopMs > 0 && nowMs >= m_lastBannerMs + m_config.rebootLoopMs) {
                EmitText(m_config.banner.empty() ? kRebootLoopText : m_config.banner);
                m_lastBannerMs = nowMs;
            }
            break;
        default:
            break;
    }
}

// ---- Accept role: the PC downloads images to the box ----

void BoxModel::AcceptByte(std::uint8_t byte, std::uint64_t nowMs) {
    switch (m_phase) {
        case Phase::PoweredOff:
            if (byte == kSyn) {
                EmitText(m_config.chatter);
                Emit(kReady);
                m_settleUntilMs = nowMs + m_config.settleMs;
                m_phase = Phase::WaitAnnounce;
                m_strayNoted = false;
            }
            break;
        case Phase::WaitAnnounce:
            if (byte != kSyn) {
                NoteStray(byte);
            } else if (nowMs >= m_settleUntilMs) {
                m_settleUntilMs = 0;
                Emit(kAck);
                m_phase = Phase::WaitHeader;
                m_field = FrameField::Mark;
                m_strayNoted = false;
            }
            break;
        case Phase::WaitHeader:
        case Phase::WaitData:
            AcceptFrameByte(byte);
            break;
        default:
            break;
    }
}

void BoxModel::AcceptFrameByte(std::uint8_t byte) {
    // Enough raw bytes to tell a faithful resend from a different frame.
    if (m_field != FrameField::Mark && m_frameRaw.size() < kMaxPayloadLen + 10) {
        m_frameRaw.push_back(byte);
    }
    switch (m_field) {
        case FrameField::Mark:
            if (byte == kMark) {
                m_frameRaw.assign(1, byte);
                m_field = FrameField::Type;
            } else if (byte != kSyn) {
                NoteStray(byte);
            }
            break;
        case FrameField::Type:
            if (!IsFrameType(byte)) {
                Violation("frame mark followed by " + Hex8(byte) + ", not a frame type");
                m_field = FrameField::Mark;
                break;
            }
            m_frameType = byte;
            m_frameSum = byte;
            m_frameLen = 0;
            m_fieldPos = 0;
            m_field = FrameField::Length;
            break;
        case FrameField::Length:
            m_frameLen = (m_frameLen << 8) | byte;
            m_frameSum += byte;
            if (++m_fieldPos == 4) {
                if (m_frameLen > kMaxPayloadLen) {
                    Violation("frame length " + std::to_string(m_frameLen) + " above 4096");
                }
                m_payload.clear();
                m_fieldPos = 0;
                m_frameChecksum = 0;
                m_field = m_frameLen == 0 ? FrameField::Checksum : FrameField::Payload;
            }
            break;
        case FrameField::Payload:
            m_frameSum += byte;
            if (m_payload.size() < kMaxPayloadLen) {
                m_payload.push_back(byte);
            }
            if (++m_fieldPos == m_frameLen) {
                m_fieldPos = 0;
                m_field = FrameField::Checksum;
            }
            break;
        case FrameField::Checksum:
            m_frameChecksum = (m_frameChecksum << 8) | byte;
            if (++m_fieldPos == 4) {
                m_field = FrameField::Mark;
                FinishReceivedFrame();
            }
            break;
    }
}

std::size_t BoxModel::PayloadWanted() const noexcept {
    const bool inFrame = m_phase == Phase::WaitHeader || m_phase == Phase::WaitData;
    return inFrame && m_field == FrameField::Payload ? m_frameLen - m_fieldPos : 0;
}

void BoxModel::OnPayload(std::span<const std::uint8_t> bytes) {
    const std::size_t n = std::min(bytes.size(), PayloadWanted());
    const std::uint8_t* first = bytes.data();
    m_report.bytesIn += n;
    m_frameSum += ByteSum(first, first + n);
    // Kept up to the same bounds as byte by byte.
    const auto append = [&](std::vector<std::uint8_t>& to, std::size_t bound) {
        const std::size_t room = to.size() < bound ? bound - to.size() : 0;
        to.insert(to.end(), first, first + std::min(n, room));
    };
    append(m_frameRaw, kMaxPayloadLen + 10);
    append(m_payload, kMaxPayloadLen);
    m_fieldPos += static_cast<std::uint32_t>(n);
    if (m_fieldPos == m_frameLen) {
        m_fieldPos = 0;
        m_field = FrameField::Checksum;
    }
}

void BoxModel::FinishReceivedFrame() {
    ++m_report.framesIn;
    if (m_expectResend) {
        m_expectResend = false;
        if (m_frameRaw == m_refusedFrame) {
            ++m_report.resends;
        } else {
            Violation("frame after a 0x15 differs from the refused frame");
        }
    }

    const bool wantHeader = m_phase == Phase::WaitHeader;
    bool sound = true;
    if (m_frameSum != m_frameChecksum) {
        Violation("frame checksum " + Hex(m_frameChecksum, 8) + ", bytes sum to " +
                  Hex(m_frameSum, 8));
        sound = false;
    }
    if (wantHeader && m_frameType != kHeaderType) {
        Violation("data frame where a header frame was due");
        sound = false;
    } else if (!wantHeader && m_frameType == kHeaderType) {
        Violation("header frame where a data frame was due");
        sound = false;
    } else if (m_frameType == kHeaderType && m_frameLen != kHeaderPayloadLen) {
        Violation("header frame length " + std::to_string(m_frameLen) + ", not 28");
        sound = false;
    } else if (m_frameLen > kMaxPayloadLen) {
        sound = false;  // noted when the length arrived
    } else if (m_frameType == kMoreType && m_frameLen != kMaxPayloadLen) {
        Violation("non-final data frame of " + std::to_string(m_frameLen) + " bytes, not 4096");
    }

    if (!sound || Roll(m_config.nakShare)) {
        RefuseFrame();
    } else if (wantHeader) {
        TakeHeader();
    } else {
        TakeData();
    }
    AfterFrame(m_report.framesIn);
}

void BoxModel::TakeHeader() {
    const std::uint8_t* p = m_payload.data();
    m_header = HeaderWords{GetU32(p),      GetU32(p + 4),  GetU32(p + 8), GetU32(p + 12),
                           GetU32(p + 16), GetU32(p + 20), GetU32(p + 24)};
    if (m_header.length % 2 != 0) {
        Violation("odd image length " + std::to_string(m_header.length));
    }
    m_image.clear();
    AckFrame();
    m_phase = Phase::WaitData;
    m_strayNoted = false;
}

void BoxModel::TakeData() {
    m_image.insert(m_image.end(), m_payload.begin(), m_payload.end());
    AckFrame();
    if (m_frameType == kLastType) {
        GiveVerdict();
    }
}

void BoxModel::GiveVerdict() {
    const std::uint32_t sum = ByteSum(m_image);
    const bool sizeRight = m_image.size() == std::size_t{m_header.length};
    const bool sumRight = sum == m_header.checksum;
    if (!sizeRight) {
        Violation("image of " + std::to_string(m_image.size()) + " bytes, header says " +
                  std::to_string(m_header.length));
    }
    if (!sumRight) {
        Violation("image bytes sum to " + Hex(sum, 8) + ", header says " +
                  Hex(m_header.checksum, 8));
    }
    const bool forcedNak = m_config.nakFirstVerdict && !m_verdictGiven;
    m_verdictGiven = true;

    std::string status = "image " + Hex(m_header.type, 8).substr(2);
    if (sizeRight && sumRight && !forcedNak) {
        Emit(kAck);
        status += " stored, " + std::to_string(m_image.size()) + " bytes\r\n";
        m_report.images.push_back(StoredImage{m_header, std::move(m_image)});
    } else {
        Emit(kNak);
        ++m_report.naksSent;
        status += " refused\r\n";
    }
    m_image.clear();
    if (m_config.statusLines) {
        EmitText(status);
    }
    m_phase = Phase::WaitAnnounce;
    m_strayNoted = false;
}

void BoxModel::AckFrame() {
    Emit(kAck);
    m_naksInRow = 0;
}

void BoxModel::RefuseFrame() {
    Emit(kNak);
    ++m_report.naksSent;
    m_refusedFrame = m_frameRaw;
    m_expectResend = true;
    if (!CountNak()) {
        m_expectResend = false;
    }
}

void BoxModel::NoteStray(std::uint8_t byte) {
    // One note per wait is enough; a runaway sender would otherwise flood the report.
    if (!m_strayNoted) {
        m_strayNoted = true;
        Violation("unexpected byte " + Hex8(byte) + " between frames");
    }
}

// ---- Send role: the box sends its image to the PC ----

void BoxModel::SendByte(std::uint8_t byte, std::uint64_t nowMs) {
    switch (m_phase) {
        case Phase::WaitFirstBeacon:
            if (byte == kBeacon1) {
                AnswerBeacon(byte, nowMs, Phase::WaitSecondBeacon);
            }
            break;
        case Phase::WaitSecondBeacon:
            if (byte == kBeacon2) {
                AnswerBeacon(byte, nowMs, Phase::WaitThirdBeacon);
            } else {
                ReanswerIfStale(byte, nowMs);
            }
            break;
        case Phase::WaitThirdBeacon:
            if (byte == kBeacon3) {
                AnswerBeacon(byte, nowMs, Phase::WaitHandshakeAck);
            } else {
                ReanswerIfStale(byte, nowMs);
            }
            break;
        case Phase::WaitHandshakeAck:
            if (byte == kAck) {
                m_phase = Phase::WaitHeaderAnswer;
                SendHeaderFrame();
            } else {
                ReanswerIfStale(byte, nowMs);
            }
            break;
        case Phase::WaitHeaderAnswer:
            TakeHeaderAnswer(byte);
            break;
        case Phase::WaitBlockAnswer:
            TakeBlockAnswer(byte);
            break;
        default:
            break;
    }
}

void BoxModel::AnswerBeacon(std::uint8_t byte, std::uint64_t nowMs, Phase next) {
    Emit(kAck);
    m_answeredBeacon = byte;
    m_answeredMs = nowMs;
    m_phase = next;
}

void BoxModel::ReanswerIfStale(std::uint8_t byte, std::uint64_t nowMs) {
    // Repeats right after our answer were already on the line; repeats long after mean it was lost.
    if (byte == m_answeredBeacon && nowMs >= m_answeredMs + m_config.beaconReanswerMs) {
        Emit(kAck);
        m_answeredMs = nowMs;
    }
}

void BoxModel::SendHeaderFrame() {
    if (m_headerFrame.empty()) {
        m_headerFrame = {kMark, kHeaderType};
        PutU32(m_headerFrame, kHeaderPayloadLen);
        for (const std::uint32_t word :
             {m_sentHeader.type, m_sentHeader.reserved, m_sentHeader.length, m_sentHeader.checksum,
              m_sentHeader.mode, m_sentHeader.address, m_sentHeader.param}) {
            PutU32(m_headerFrame, word);
        }
        PutU32(m_headerFrame,
               ByteSum(m_headerFrame.data() + 1, m_headerFrame.data() + m_headerFrame.size()));
    }
    Emit(m_headerFrame);
    ++m_report.framesOut;
    AfterFrame(m_report.framesOut);
}

void BoxModel::SendBlock(bool withMark) {
    const std::vector<std::uint8_t>& image = m_config.image;
    const std::size_t remaining = image.size() - m_blockStart;
    const bool last = remaining <= m_config.blockSize;
    m_blockType = last ? kLastType : kMoreType;
    m_blockLen = last ? static_cast<std::uint32_t>(remaining) : m_config.blockSize;

    m_blockFrame.clear();
    if (withMark) {
        m_blockFrame.push_back(kMark);
    }
    const std::size_t typeAt = m_blockFrame.size();
    m_blockFrame.push_back(m_blockType);
    PutU32(m_blockFrame, m_blockLen);
    const auto first = image.begin() + static_cast<std::ptrdiff_t>(m_blockStart);
    m_blockFrame.insert(m_blockFrame.end(), first, first + m_blockLen);
    PutU32(m_blockFrame,
           ByteSum(m_blockFrame.data() + typeAt, m_blockFrame.data() + m_blockFrame.size()));

    // The checksum stays that of the clean block, as if the byte were hit on the line.
    m_blockCorrupted = m_blockLen > 0 && Roll(m_config.corruptShare);
    if (m_blockCorrupted) {
        const std::size_t at = typeAt + 5 + static_cast<std::size_t>(m_rng() % m_blockLen);
        m_blockFrame[at] ^= 0xFFU;
        ++m_report.corrupted;
    }
    Emit(m_blockFrame);
    ++m_report.framesOut;
    AfterFrame(m_report.framesOut);
}

void BoxModel::TakeHeaderAnswer(std::uint8_t byte) {
    if (byte == kAck) {
        m_naksInRow = 0;
        m_blockStart = 0;
        m_phase = Phase::WaitBlockAnswer;
        SendBlock(true);
    } else if (byte == kNak) {
        ++m_report.naksReceived;
        if (CountNak()) {
            ++m_report.resends;
            SendHeaderFrame();
        }
    }
}

void BoxModel::TakeBlockAnswer(std::uint8_t byte) {
    const bool last = m_blockType == kLastType;
    if (byte == kAck) {
        m_naksInRow = 0;
        if (last) {
            m_phase = Phase::SendDone;
            if (m_config.statusLines) {
                EmitText("image sent, " + std::to_string(m_config.image.size()) + " bytes\r\n");
            }
            return;
        }
        m_blockStart += m_blockLen;
        SendBlock(m_config.markPerBlock);
    } else if (byte == kNak) {
        ++m_report.naksReceived;
        // A clean final block's one answer is the verdict; an empty one is refused as a block.
        if (last && !m_blockCorrupted && m_blockLen > 0) {
            m_phase = Phase::Refused;
            if (HeaderIsHonest()) {
                Violation("the PC refused an image whose header was right");
            }
            if (m_config.statusLines) {
                EmitText("image refused\r\n");
            }
            return;
        }
        if (CountNak()) {
            ++m_report.resends;
            SendBlock(m_config.markPerBlock);
        }
    }
}

bool BoxModel::HeaderIsHonest() const {
    return m_sentHeader.length == m_config.image.size() &&
           m_sentHeader.checksum == ByteSum(m_config.image);
}

bool BoxModel::CountNak() {
    const unsigned limit = m_config.giveUpAfterNaks;
    if (limit == 0 || ++m_naksInRow < limit) {
        return true;
    }
    Violation("gave up after " + std::to_string(limit) + " refusals of one frame");
    m_phase = Phase::Silent;
    return false;
}

// ---- Shared ----

void BoxModel::AfterFrame(unsigned frameCount) {
    const auto reached = [frameCount](int limit) {
        return limit >= 0 && frameCount >= static_cast<unsigned>(limit);
    };
    if (reached(m_config.hangUpAfterFrames)) {
        m_phase = Phase::HungUp;
    } else if (reached(m_config.silentAfterFrames) && m_phase != Phase::Silent) {
        m_phase = Phase::Silent;
        m_lastBannerMs = m_nowMs;
    }
}

void BoxModel::Emit(std::uint8_t byte) {
    m_output.push_back(byte);
    ++m_report.bytesOut;
}

void BoxModel::Emit(const std::vector<std::uint8_t>& bytes) {
    m_output.insert(m_output.end(), bytes.begin(), bytes.end());
    m_report.bytesOut += bytes.size();
}

void BoxModel::EmitText(const std::string& text) {
    for (const char c : text) {
        Emit(static_cast<std::uint8_t>(c));
    }
}

void BoxModel::Violation(std::string text) {
    m_report.violations.push_back(std::move(text));
}

bool BoxModel::Roll(double share) {
    if (share <= 0.0) {
        return false;
    }
    // Scaled by hand rather than through a distribution, so a seed gives the same run everywhere.
    return static_cast<double>(m_rng()) / 4294967296.0 < share;
}

}  // namespace vandrelux::boxsim
