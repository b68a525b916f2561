// The download machine: announces each ticked update file, sends its header and data frames,
// repeats whatever the box refuses and moves on after the box's verdict on the whole image.
#include "protocol/ControlIds.h"
#include "protocol/Transfer.h"

namespace vandrelux::protocol {

namespace {

constexpr std::uint32_t kAnnouncePauseMs = 250;

}  // namespace

void CTransfer::SelectNextFile(UpdateKind& index, bool& found) {
    const UpdateKindInfo* const end = kUpdateKinds.data() + kUpdateKinds.size();
    for (const UpdateKindInfo* info = FindKind(index); info != nullptr && info != end; ++info) {
        if (!m_host.IsChosen(info->kind)) {
            continue;
        }
        found = true;
        m_strFilePath = m_host.FilePath(info->kind);
        if (m_strFilePath.empty()) {
            if (std::optional<std::string> chosen = m_host.ChooseFile()) {
                m_strFilePath = *chosen;
                m_host.SetFilePath(info->kind, m_strFilePath);
            }
        }
        if (!m_strFilePath.empty()) {
            index = info->kind;
            return;
        }
    }
    index = UpdateKind::EndOfSequence;
    found = false;
    m_strFilePath.clear();
}

void CTransfer::HandleDownloadByte(std::uint8_t ch) {
    if (!m_bDownloadMode) {
        EchoToTerminal(ch);
        return;
    }
    switch (m_nDownState) {
        case DownloadState::AwaitReady:
            m_bHandshake = false;
            if (ch != kReady) {
                SendByte(kSyn);
                EchoToTerminal(ch);
                break;
            }
            m_nDownCount = 0;
            m_nFileIndex = UpdateKind::Bootstrap;
            SelectNextFile(m_nFileIndex, m_bFileFound);
            if (!m_bFileFound) {
                EnterDownloadFailed(FailReason::NoFileChosen);
                break;
            }
            Notify([](ITransferObserver& o) { o.OnBoxReady(); });
            SetButtons(false);
            m_host.Sleep(kAnnouncePauseMs);
            SendByte(kSyn);
            Log("Start Sending %s  files!\r\n", m_strFilePath);
            m_nAttempt = 1;
            m_nDownState = DownloadState::AwaitAcceptance;
            break;
        case DownloadState::AwaitAcceptance:
            if (ch == kAck) {
                if (PrepareImage()) {
                    SendHeaderFrame();
                    m_nDownState = DownloadState::AwaitHeaderAnswer;
                    Notify([](ITransferObserver& o) { o.OnFrameSent(0); });
                } else {
                    ReportOwnFailure("open");
                    m_host.MessageBox("Can not open file");
                    EnterDownloadFailed(FailReason::FileNotReadable);
                }
                break;
            }
            EchoToTerminal(ch);
            if (++m_nDownCount >= kUnexpectedLimit) {
                EnterDownloadFailed(FailReason::TooManyStrayBytes);
            }
            break;
        case DownloadState::AwaitHeaderAnswer:
            if (ch == kAck) {
                Notify([](ITransferObserver& o) { o.OnFrameAnswered(0, true, 0); });
                m_pCursor = 0;
                m_nRemaining = m_nImageLen;
                m_bLastFrame = false;
                SendDataFrame();
                m_nDownState = m_bLastFrame ? DownloadState::AwaitLastFrameAnswer
                                            : DownloadState::AwaitFrameAnswer;
                Notify([](ITransferObserver& o) { o.OnFrameSent(1); });
            } else if (ch == kNak) {
                Notify([](ITransferObserver& o) { o.OnFrameAnswered(0, false, 0); });
                SendHeaderFrame();
                Notify([](ITransferObserver& o) { o.OnFrameResent(0); });
            }
            break;
        case DownloadState::AwaitFrameAnswer:
            if (ch == kAck) {
                const std::uint32_t frame = FrameIndex();
                m_pCursor += kMaxPayload;
                m_nRemaining -= static_cast<std::int32_t>(kMaxPayload);
                const auto done = static_cast<std::uint32_t>(m_nImageLen - m_nRemaining);
                Notify(
                    [frame, done](ITransferObserver& o) { o.OnFrameAnswered(frame, true, done); });
                SendDataFrame();
                m_Progress.Step();
                m_Progress.Refresh(done);
                m_nDownState = m_bLastFrame ? DownloadState::AwaitLastFrameAnswer
                                            : DownloadState::AwaitFrameAnswer;
                Notify([frame](ITransferObserver& o) { o.OnFrameSent(frame + 1); });
            } else if (ch == kNak) {
                ResendDataFrame();
            }
            break;
        case DownloadState::AwaitLastFrameAnswer:
            if (ch == kAck) {
                Notify([this](ITransferObserver& o) {
                    o.OnFrameAnswered(FrameIndex(), true, static_cast<std::uint32_t>(m_nImageLen));
                });
                m_Progress.End(true);
                m_nDownState = DownloadState::AwaitVerdict;
            } else if (ch == kNak) {
                ResendDataFrame();
            }
            break;
        case DownloadState::AwaitVerdict:
            if (ch == kAck) {
                Notify([](ITransferObserver& o) { o.OnImageVerdict(true); });
                Log("Send %s complete!\r\n", m_strFilePath);
                ChooseNextFile();
            } else if (ch == kNak) {
                Notify([](ITransferObserver& o) { o.OnImageVerdict(false); });
                SendByte(kSyn);
                Log("Start Sending %s  files again!\r\n", m_strFilePath);
                ++m_nAttempt;
                m_nDownState = DownloadState::AwaitAcceptance;
                m_nDownCount = 0;
            }
            break;
        case DownloadState::Delivered:
        case DownloadState::Failed:
            EndDownload(ch);
            break;
        case DownloadState::Idle:
            break;
    }
}

bool CTransfer::PrepareImage() {
    const UpdateKindInfo* info = FindKind(m_nFileIndex);
    if (info == nullptr) {
        return false;
    }
    m_Header = ImageHeader{info->dwType, 0, 0, 0, 0, info->dwAddress, info->dwParam};
    if (info->kind == UpdateKind::Software && m_host.SoftwareToRam()) {
        m_Header.dwMode = kRamMode;
        m_Header.dwAddress = kRamAddress;
    }
    // Padded to an even length by the store.
    UpdateImage image = m_store.ReadUpdateFile(m_strFilePath);
    if (!image) {
        return false;
    }
    m_pImage = std::move(image);
    m_nImageLen = static_cast<std::int32_t>(m_pImage->size());
    m_Header.dwLength = static_cast<std::uint32_t>(m_nImageLen);
    m_Header.dwChecksum = ByteSum(*m_pImage);
    m_Progress.Start(m_Header.dwLength, kMaxPayload);
    Notify([this, info](ITransferObserver& o) {
        o.OnImageStarted({Mode::Download, info->kind, m_strFilePath, m_Header.dwLength,
                          m_Header.dwChecksum, m_nAttempt, m_pImage});
    });
    return true;
}

void CTransfer::SendHeaderFrame() {
    std::uint32_t length = 0;
    BuildHeaderFrame(m_FrameBuf, length, m_Header);
    SendToPort(m_FrameBuf.data(), length);
}

void CTransfer::SendDataFrame() {
    std::uint32_t length = 0;
    const std::span<const std::uint8_t> rest(m_pImage->data() + m_pCursor,
                                             static_cast<std::size_t>(m_nRemaining));
    BuildDataFrame(m_FrameBuf, length, rest, m_bLastFrame);
    SendToPort(m_FrameBuf.data(), length);
}

void CTransfer::ResendDataFrame() {
    const std::uint32_t frame = FrameIndex();
    const std::uint32_t done = m_pCursor;  // the refused frame's bytes are not acknowledged
    Notify([frame, done](ITransferObserver& o) { o.OnFrameAnswered(frame, false, done); });
    SendDataFrame();
    Notify([frame](ITransferObserver& o) { o.OnFrameResent(frame); });
}

std::uint32_t CTransfer::FrameIndex() const {
    return m_pCursor / kMaxPayload + 1;
}

void CTransfer::ChooseNextFile() {
    const UpdateKindInfo* info = FindKind(m_nFileIndex);
    if (info == nullptr || info->kind == UpdateKind::Software) {
        EnterDelivered();
        return;
    }
    m_nFileIndex = (info + 1)->kind;
    SelectNextFile(m_nFileIndex, m_bFileFound);
    if (!m_bFileFound) {
        EnterDelivered();
        return;
    }
    SendByte(kSyn);
    m_nAttempt = 1;
    m_nDownState = DownloadState::AwaitAcceptance;
    m_nDownCount = 0;
    Log("Start Sending %s  files\r\n", m_strFilePath);
}

void CTransfer::EnterDelivered() {
    m_nDownState = DownloadState::Delivered;
    NotifyEnded();
}

void CTransfer::EnterDownloadFailed(FailReason reason) {
    m_nDownState = DownloadState::Failed;
    m_nFailReason = reason;
    NotifyEnded();
}

void CTransfer::EndDownload(std::uint8_t ch) {
    SetButtons(true);
    EchoToTerminal(ch);
    m_bDownloadMode = false;
}

}  // namespace vandrelux::protocol
