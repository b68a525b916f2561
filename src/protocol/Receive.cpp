// The receive machine: handshake, header frame, data blocks collected in the working copy,
// then the byte-swapped copy into the target file with the whole-image check.
#include <algorithm>
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
        EnterReceiveFailed(FailReason::TooManyStrayBytes);
    }
}

void CTransfer::HandleReceiveByte(std::uint8_t ch) {
    switch (m_nState) {
        case ReceiveState::Handshake:
            ReceiveHandshake(ch);
            break;
        case ReceiveState::AwaitHeaderMark:
            if (ch == kMark) {
                m_nCount = 0;
                m_nState = ReceiveState::Header;
                m_nSubState = 0;
            } else {
                CountUnexpected();
            }
            break;
        case ReceiveState::Header:
            ReceiveHeader(ch);
            break;
        case ReceiveState::AwaitDataMark:
            if (ch == kMark) {
                m_pWrite = 0;
                m_pBlockStart = 0;
                if (m_store.BeginWorkingCopy()) {
                    m_nState = ReceiveState::Blocks;
                    m_nSubState = 0;
                } else {
                    ReportOwnFailure("open");
                    m_host.MessageBox("Can not open file");
                    EnterReceiveFailed(FailReason::WorkingCopyNotWritable);
                }
            } else {
                CountUnexpected();
            }
            break;
        case ReceiveState::Blocks:
            ReceiveBlock(ch);
            break;
        case ReceiveState::Succeeded:
            EndReceive(ch, false);
            break;
        case ReceiveState::Failed:
            EndReceive(ch, true);
            break;
        case ReceiveState::Idle:
            break;
    }
}

void CTransfer::ReceiveHandshake(std::uint8_t ch) {
    if (m_nSubState == 0 && ch == kSyn) {
        SetButtons(false);
        m_strTargetPath = m_host.ReceiveTarget();
        if (!m_strTargetPath.empty()) {
            m_bHandshake = true;
            m_nCount = 0;
            m_nSubState = 1;
            return;
        }
        if (std::optional<std::string> chosen = m_host.ChooseFile()) {
            m_strTargetPath = std::move(*chosen);
            m_host.SetReceiveTarget(m_strTargetPath);
        }
        EnterReceiveFailed(FailReason::NoTargetPath);
        m_host.MessageBox("Please restart receiving process on STB and PC BOTH!");
        return;
    }
    if (m_nSubState >= 1 && ch == kAck) {
        m_nCount = 0;
        if (m_nSubState < 3) {
            ++m_nSubState;
            return;
        }
        m_bHandshake = false;
        m_host.Sleep(kHandshakePauseMs);
        SendByte(kAck);
        m_nState = ReceiveState::AwaitHeaderMark;
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
                AnswerHeader(kNak);
                m_nCount = 0;
                m_nState = ReceiveState::AwaitHeaderMark;
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
                AnswerHeader(kNak);
                m_nCount = 0;
                m_nState = ReceiveState::AwaitHeaderMark;
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
                AnswerHeader(kAck);
                m_nState = ReceiveState::AwaitDataMark;
                m_nBlock = 1;
                Notify([this](ITransferObserver& o) {
                    o.OnImageStarted({Mode::Receive, UpdateKind::EndOfSequence, m_strTargetPath,
                                      m_Header.dwLength, m_Header.dwChecksum, 1, nullptr});
                });
            } else {
                AnswerHeader(kNak);
                m_nCount = 0;
                m_nState = ReceiveState::AwaitHeaderMark;
            }
            m_nSubState = 0;
            break;
        default:
            break;
    }
}

void CTransfer::AnswerHeader(std::uint8_t answer) {
    SendByte(answer);
    Notify([answer](ITransferObserver& o) { o.OnBlockAnswered(0, answer == kAck, 0); });
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
            EndPayloadIfWhole();
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

std::size_t CTransfer::TakePayloadRun(std::span<const std::uint8_t> bytes) noexcept {
    if (!m_bReceiveMode || m_nState != ReceiveState::Blocks || m_nSubState != 2 ||
        m_nPos >= m_nBlockLen) {
        return 0;
    }
    // Room for the whole block was reserved at its length, as for the byte-by-byte path.
    const std::size_t count =
        std::min(bytes.size(), static_cast<std::size_t>(m_nBlockLen - m_nPos));
    const std::span<std::uint8_t> to =
        m_RxBuf.subspan(m_pWrite + static_cast<std::uint32_t>(m_nPos), count);
    std::uint32_t sum = m_nSum;
    for (std::size_t i = 0; i < count; ++i) {
        to[i] = bytes[i];
        sum += bytes[i];
    }
    m_nSum = sum;
    m_nPos += static_cast<std::int32_t>(count);
    EndPayloadIfWhole();
    return count;
}

void CTransfer::EndPayloadIfWhole() noexcept {
    if (m_nPos == m_nBlockLen) {
        m_pWrite += static_cast<std::uint32_t>(m_nBlockLen);
        m_nPos = 0;
        m_nSubState = 3;
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
        ReportOwnFailure("write");
        FailReceive(FailReason::WorkingCopyNotWritable);
        return;
    }
    m_pWrite = 0;
    m_pBlockStart = 0;
    m_nFree = static_cast<std::int32_t>(kRxBufSize) - m_nBlockLen;
    // The bar counts the bytes written out, not the write-outs, which come every 4096 bytes or so.
    m_Progress.StepTo(m_nReceived);
}

bool CTransfer::FlushRxBuf() {
    const auto used = kRxBufSize - static_cast<std::uint32_t>(m_nFree);
    return m_store.AppendToWorkingCopy(m_RxBuf.first(used));
}

void CTransfer::RejectBlock() {
    SendByte(kNak);
    m_nSubState = 0;
    m_pWrite = m_pBlockStart;
    m_nFree += std::max(m_nBlockLen, 0);
    Notify([this](ITransferObserver& o) { o.OnBlockAnswered(m_nBlock, false, m_nReceived); });
}

void CTransfer::AcceptBlock() {
    m_nReceived += static_cast<std::uint32_t>(m_nBlockLen);
    if (m_nFree == static_cast<std::int32_t>(kRxBufSize) - m_nBlockLen) {
        m_Progress.Refresh(m_nReceived);
    }
    if (m_nBlockType == kTypeMore) {
        SendByte(kAck);
        m_nSubState = 0;
        Notify([this](ITransferObserver& o) { o.OnBlockAnswered(m_nBlock, true, m_nReceived); });
        ++m_nBlock;
    } else {
        EndOfImage();
    }
}

void CTransfer::EndOfImage() {
    using Status = TargetResult::Status;
    const bool flushed = FlushRxBuf();
    m_Progress.End(false);
    if (!flushed) {
        m_store.Close();
        AnswerFinalBlock(kNak);
        ReportOwnFailure("write");
        FailReceive(FailReason::WorkingCopyNotWritable);
        return;
    }
    const TargetResult target = m_store.FinishTarget(m_strTargetPath, m_Header.dwLength);
    switch (target.status) {
        case Status::WorkingCopyNotClosed:
            AnswerFinalBlock(kNak);
            ReportOwnFailure("write");
            FailReceive(FailReason::WorkingCopyNotWritable);
            return;
        case Status::TargetNotCreatable:
            AnswerFinalBlock(kAck);
            ReportOwnFailure("open");
            m_host.MessageBox("Can not open file");
            EnterReceiveFailed(FailReason::TargetNotWritable);
            return;
        case Status::WorkingCopyNotReadable:
            AnswerFinalBlock(kNak);
            ReportOwnFailure("open");
            m_host.MessageBox("Can not open file");
            EnterReceiveFailed(FailReason::WorkingCopyNotWritable);
            return;
        case Status::TargetNotWritten:
            // Both files are closed now; later blocks could not be stored, so the run fails here.
            AnswerFinalBlock(kNak);
            ReportOwnFailure("write");
            FailReceive(FailReason::TargetNotWritable);
            return;
        case Status::Written:
            break;
    }
    if (target.copied != m_Header.dwLength || target.sum != m_Header.dwChecksum) {
        AnswerFinalBlock(kNak);
        FailReceive(FailReason::ImageCheckFailed);
        return;
    }
    AnswerFinalBlock(kAck);
    m_nState = ReceiveState::Succeeded;
    m_Progress.FillBar();
    SetButtons(true);
    m_log.AppendText("Complete receiving SUCCESS!\r\n");
    Notify([this, &target](ITransferObserver& o) { o.OnReceiveComplete(m_nReceived, target.sum); });
    NotifyEnded();
}

void CTransfer::AnswerFinalBlock(std::uint8_t answer) {
    SendByte(answer);
    Notify([this, answer](ITransferObserver& o) {
        o.OnBlockAnswered(m_nBlock, answer == kAck, m_nReceived);
    });
}

void CTransfer::FailReceive(FailReason reason) {
    m_store.Close();
    EnterReceiveFailed(reason);
}

void CTransfer::EnterReceiveFailed(FailReason reason) {
    m_nState = ReceiveState::Failed;
    m_nFailReason = reason;
    NotifyEnded();
}

void CTransfer::EndReceive(std::uint8_t ch, bool failed) {
    if (failed) {
        SetButtons(true);
        m_log.AppendText("Receiving Process FAILURE!\r\n");
    }
    if (ShownAtEnd(ch)) {
        m_log.AppendChar(static_cast<char>(ch));
    }
    m_store.Close();
    m_bReceiveMode = false;
}

}  // namespace vandrelux::protocol
