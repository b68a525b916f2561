// The receive machine: handshake, header frame, data blocks collected in the temporary file,
// then the byte-swapped copy into the target file with the whole-image check.
#include <algorithm>
#include <filesystem>
#include <utility>

#include "protocol/ControlIds.h"
#include "protocol/Transfer.h"

namespace vandrelux::protocol {

namespace {

constexpr std::uint32_t kHandshakePauseMs = 5;

bool ShownAtEnd(std::uint8_t ch) {
    return (ch >= 0x21 && ch <= 0x7E) || (ch >= 7 && ch <= 13);
}

// Shifts one more big-endian byte into a 32-bit number that is being read.
std::uint32_t ShiftIn(std::uint32_t value, std::int32_t pos, std::uint8_t ch) {
    return (pos == 0 ? 0U : value << 8) | ch;
}

}  // namespace

void CTransfer::CountUnexpected() {
    if (++m_nCount >= kUnexpectedLimit) {
        m_nState = 7;
    }
}

void CTransfer::HandleReceiveByte(std::uint8_t ch) {
    switch (m_nState) {
        case 1:
            ReceiveHandshake(ch);
            break;
        case 2:
            if (ch == kMark) {
                m_nCount = 0;
                m_nState = 3;
                m_nSubState = 0;
            } else {
                CountUnexpected();
            }
            break;
        case 3:
            ReceiveHeader(ch);
            break;
        case 4:
            if (ch == kMark) {
                m_pWrite = 0;
                m_pTempFile.reset(std::fopen(m_strTempPath.c_str(), "wb"));
                if (m_pTempFile) {
                    m_nState = 5;
                    m_nSubState = 0;
                } else {
                    m_toolkit.MessageBox("Can not open file");
                    m_nState = 7;
                }
            } else {
                CountUnexpected();
            }
            break;
        case 5:
            ReceiveBlock(ch);
            break;
        case 6:
            EndReceive(ch, false);
            break;
        case 7:
            EndReceive(ch, true);
            break;
        default:
            break;
    }
}

void CTransfer::ReceiveHandshake(std::uint8_t ch) {
    if (m_nSubState == 0 && ch == kSyn) {
        SetButtons(false);
        m_strTargetPath = m_toolkit.GetText(ids::kReceivePath);
        if (!m_strTargetPath.empty()) {
            m_bHandshake = true;
            m_nCount = 0;
            m_nSubState = 1;
            return;
        }
        if (std::optional<std::string> chosen = m_toolkit.OpenFileDialog()) {
            m_strTargetPath = std::move(*chosen);
            m_toolkit.SetText(ids::kReceivePath, m_strTargetPath);
        }
        m_nState = 7;
        m_toolkit.MessageBox("Please restart receiving process on STB and PC BOTH!");
        return;
    }
    if (m_nSubState >= 1 && ch == kAck) {
        m_nCount = 0;
        if (m_nSubState < 3) {
            ++m_nSubState;
            return;
        }
        m_bHandshake = false;
        m_toolkit.Sleep(kHandshakePauseMs);
        SendByte(kAck);
        m_nState = 2;
        m_nSubState = 0;
        return;
    }
    CountUnexpected();
}

void CTransfer::ReceiveHeader(std::uint8_t ch) {
    switch (m_nSubState) {
        case 0:
            if (ch == kTypeHeader) {
                m_nSum = ch;
                m_nPos = 0;
                m_nCount = 0;
                m_nSubState = 1;
            } else if (++m_nCount >= kUnexpectedLimit) {
                SendByte(kNak);
                m_nCount = 0;
                m_nState = 2;
            }
            break;
        case 1:
            m_nHeaderLen = static_cast<std::int32_t>(
                ShiftIn(static_cast<std::uint32_t>(m_nHeaderLen), m_nPos, ch));
            m_nSum += ch;
            if (++m_nPos == 4) {
                m_nHeaderLen = std::min(m_nHeaderLen, static_cast<std::int32_t>(kMaxPayload));
                m_nPos = 0;
                // Words a short header does not carry read as 0.
                m_HeaderBytes.fill(0);
                m_nSubState = 2;
            }
            break;
        case 2:
            if (++m_nPos > m_nHeaderLen) {
                SendByte(kNak);
                m_nCount = 0;
                m_nState = 2;
                m_nSubState = 0;
                break;
            }
            if (m_nPos <= static_cast<std::int32_t>(kHeaderPayload)) {
                m_HeaderBytes[static_cast<std::size_t>(m_nPos - 1)] = ch;
            }
            m_nSum += ch;
            if (m_nPos == m_nHeaderLen) {
                m_Header = DecodeHeader(m_HeaderBytes);
                m_nPos = 0;
                m_nSubState = 3;
            }
            break;
        case 3:
            m_nRxChecksum = ShiftIn(m_nRxChecksum, m_nPos, ch);
            if (++m_nPos < 4) {
                break;
            }
            if (m_nRxChecksum == m_nSum) {
                m_Progress.Start(m_Header.dwLength, kRxBufSize);
                SendByte(kAck);
                m_nState = 4;
            } else {
                SendByte(kNak);
                m_nCount = 0;
                m_nState = 2;
            }
            m_nSubState = 0;
            break;
        default:
            break;
    }
}

void CTransfer::ReceiveBlock(std::uint8_t ch) {
    switch (m_nSubState) {
        case 0:
            if (ch == kTypeMore || ch == kTypeLast) {
                m_nSum = ch;
                m_nBlockType = ch;
                m_nPos = 0;
                m_pBlockStart = m_pWrite;
                m_nCount = 0;
                m_nSubState = 1;
            } else {
                CountUnexpected();
            }
            break;
        case 1:
            m_nBlockLen = static_cast<std::int32_t>(
                ShiftIn(static_cast<std::uint32_t>(m_nBlockLen), m_nPos, ch));
            m_nSum += ch;
            if (++m_nPos == 4) {
                m_nBlockLen = std::min(m_nBlockLen, static_cast<std::int32_t>(kMaxPayload));
                m_nPos = 0;
                ReserveRoom();
                m_nSubState = 2;
            }
            break;
        case 2:
            // A block of length 0 (or a negative one) is refused at its first byte.
            if (++m_nPos > m_nBlockLen) {
                RejectBlock();
                break;
            }
            m_RxBuf[m_pWrite + static_cast<std::uint32_t>(m_nPos) - 1] = ch;
            m_nSum += ch;
            if (m_nPos == m_nBlockLen) {
                m_pWrite += static_cast<std::uint32_t>(m_nBlockLen);
                m_nPos = 0;
                m_nSubState = 3;
            }
            break;
        case 3:
            m_nRxChecksum = ShiftIn(m_nRxChecksum, m_nPos, ch);
            if (++m_nPos < 4) {
                break;
            }
            if (m_nRxChecksum == m_nSum) {
                AcceptBlock();
            } else {
                RejectBlock();
                CountUnexpected();
            }
            break;
        default:
            break;
    }
}

void CTransfer::ReserveRoom() {
    // A length with its top bit set needs no room: the block is refused at its next byte.
    if (m_nBlockLen < 0) {
        return;
    }
    if (m_nFree >= m_nBlockLen) {
        m_nFree -= m_nBlockLen;
        return;
    }
    if (!FlushRxBuf()) {
        FailReceive();
        return;
    }
    m_pWrite = 0;
    m_pBlockStart = 0;
    m_nFree = static_cast<std::int32_t>(kRxBufSize) - m_nBlockLen;
    m_Progress.Step();
}

bool CTransfer::FlushRxBuf() {
    const auto used = kRxBufSize - static_cast<std::uint32_t>(m_nFree);
    return m_pTempFile && std::fwrite(m_RxBuf.data(), 1, used, m_pTempFile.get()) == used;
}

void CTransfer::RejectBlock() {
    SendByte(kNak);
    m_nSubState = 0;
    m_pWrite = m_pBlockStart;
    m_nFree += std::max(m_nBlockLen, 0);
}

void CTransfer::AcceptBlock() {
    m_nReceived += static_cast<std::uint32_t>(m_nBlockLen);
    if (m_nFree == static_cast<std::int32_t>(kRxBufSize) - m_nBlockLen) {
        m_Progress.Refresh(m_nReceived);
    }
    if (m_nBlockType == kTypeMore) {
        SendByte(kAck);
        m_nSubState = 0;
    } else {
        EndOfImage();
    }
}

void CTransfer::EndOfImage() {
    const bool flushed = FlushRxBuf();
    m_Progress.End(false);
    const bool closed = m_pTempFile && std::fclose(m_pTempFile.release()) == 0;
    if (!flushed || !closed) {
        SendByte(kNak);
        FailReceive();
        return;
    }

    // A target that is the working copy itself would be emptied before it is read.
    std::error_code same;
    if (!std::filesystem::equivalent(m_strTargetPath, m_strTempPath, same)) {
        m_pTargetFile.reset(std::fopen(m_strTargetPath.c_str(), "w+b"));
    }
    if (!m_pTargetFile) {
        SendByte(kAck);
        m_toolkit.MessageBox("Can not open file");
        m_nState = 7;
        return;
    }
    m_pTempFile.reset(std::fopen(m_strTempPath.c_str(), "r+b"));
    if (!m_pTempFile) {
        m_pTargetFile.reset();
        SendByte(kNak);
        m_toolkit.MessageBox("Can not open file");
        m_nState = 7;
        return;
    }

    // A length beyond what arrived never produces bytes that were not received: the copy stops
    // at the end of the temporary file and the image fails.
    std::uint32_t remaining = m_Header.dwLength;
    std::uint32_t sum = 0;
    bool complete = true;
    while (remaining > 0) {
        const std::uint32_t n = std::min(remaining, kRxBufSize);
        const std::size_t got = std::fread(m_RxBuf.data(), 1, n, m_pTempFile.get());
        const std::span<const std::uint8_t> chunk(m_RxBuf.data(), got);
        sum = ByteSum(chunk, sum);
        for (std::size_t i = 0; i + 1 < got; i += 2) {
            std::swap(m_RxBuf[i], m_RxBuf[i + 1]);
        }
        if (std::fwrite(m_RxBuf.data(), 1, got, m_pTargetFile.get()) != got || got != n) {
            complete = false;
            break;
        }
        remaining -= n;
    }
    m_pTempFile.reset();
    complete = std::fclose(m_pTargetFile.release()) == 0 && complete;

    if (complete && sum == m_Header.dwChecksum) {
        SendByte(kAck);
        m_nState = 6;
        m_Progress.FillBar();
        SetButtons(true);
        m_log.AppendText("Complete receiving SUCCESS!\r\n");
        return;
    }
    // Both files are closed now; later blocks could not be stored, so the run fails here.
    SendByte(kNak);
    FailReceive();
}

void CTransfer::FailReceive() {
    m_pTempFile.reset();
    m_pTargetFile.reset();
    m_nState = 7;
}

void CTransfer::EndReceive(std::uint8_t ch, bool failed) {
    if (failed) {
        SetButtons(true);
        m_log.AppendText("Receiving Process FAILURE!\r\n");
    }
    if (ShownAtEnd(ch)) {
        m_log.AppendChar(static_cast<char>(ch));
    }
    m_pTempFile.reset();
    m_pTargetFile.reset();
    m_bReceiveMode = false;
}

}  // namespace vandrelux::protocol
