#include "protocol/Transfer.h"

#include <algorithm>
#include <utility>

#include "os/Format.h"
#include "protocol/ControlIds.h"

namespace vandrelux::protocol {

namespace {

constexpr std::uint32_t kRestartPauseMs = 10;

bool IsShownControl(std::uint8_t ch) {
    return ch >= 7 && ch <= 13;
}

}  // namespace

CTransfer::CTransfer(ITransferHost& host, IPortWriter& port, ITransferLog& log, IImageStore& store)
    : CTransfer(host, port, log, store, m_RxStorage) {}

CTransfer::CTransfer(ITransferHost& host, IPortWriter& port, ITransferLog& log, IImageStore& store,
                     std::span<std::uint8_t, kRxBufSize> rxBuf)
    : m_RxBuf(rxBuf), m_Progress(host), m_host(host), m_port(port), m_log(log), m_store(store) {
    ResetTransfer();
}

long CTransfer::OnPortRxChar(unsigned long wParam, long /*lParam*/) {
    const auto ch = static_cast<std::uint8_t>(wParam & 0xFF);
    if (m_bReceiveMode) {
        if (m_nState != ReceiveState::Idle) {
            HandleReceiveByte(ch);
        }
    } else {
        HandleDownloadByte(ch);
    }
    return 0;
}

void CTransfer::OnTimer(unsigned timerId) {
    if (timerId != kHandshakeTimer || !m_bHandshake) {
        return;
    }
    // Any of the five kinds: a box that waits for the beacon must hear it for a TV programme
    // list alone too.
    if (std::any_of(kUpdateKinds.begin(), kUpdateKinds.end(),
                    [this](const UpdateKindInfo& info) { return m_host.IsChosen(info.kind); })) {
        SendByte(kSyn);
        m_host.Trace("\r\n WriteCommBlock ");
    }
    if (m_bReceiveMode && m_nState == ReceiveState::Handshake) {
        switch (m_nSubState) {
            case 1:
                SendByte(kBeacon1);
                break;
            case 2:
                SendByte(kBeacon2);
                break;
            case 3:
                SendByte(kBeacon3);
                break;
            default:
                break;
        }
    }
}

void CTransfer::OnToReceive() {
    ResetTransfer();
    m_bReceiveMode = true;
    m_bHandshake = false;
    m_nState = ReceiveState::Handshake;
    m_nFree = static_cast<std::int32_t>(kRxBufSize);
    m_nReceived = 0;
}

void CTransfer::OnRestart() {
    m_host.Sleep(kRestartPauseMs);
    m_log.AppendText("Restart! please power on platform to download files again\r\n");
    m_Progress.Clear();
    ResetTransfer();
    if (m_nMode == Mode::Receive) {
        ArmReceiveChoice();
    } else if (m_nMode == Mode::Download) {
        ArmDownload();
    }
}

void CTransfer::ArmReceiveChoice() {
    m_bReceiveMode = true;
    m_bHandshake = false;
}

void CTransfer::ArmDownload() {
    m_bDownloadMode = true;
    m_bHandshake = true;
    m_nDownState = DownloadState::AwaitReady;
}

void CTransfer::ResetTransfer() {
    m_bDownloadMode = false;
    m_bReceiveMode = false;
    m_bLastFrame = false;
    m_nSubState = 0;
    m_nPos = 0;
    m_nState = ReceiveState::Idle;
    m_nDownState = DownloadState::Idle;
    m_nCount = 0;
    m_nDownCount = 0;
    m_pWrite = 0;
    m_pBlockStart = 0;
    m_nFileIndex = UpdateKind::Bootstrap;
    m_strFilePath.assign(1, ' ');  // one blank, as before any file was chosen
    m_bFileFound = false;
    m_nFailReason = FailReason::None;
    m_nAttempt = 1;
    // A receive abandoned half way must not leave its files open.
    m_store.Close();
}

TransferOutcome CTransfer::Outcome() const noexcept {
    TransferOutcome outcome;
    if (m_nState != ReceiveState::Idle) {
        outcome.direction = Mode::Receive;
        outcome.status = m_nState == ReceiveState::Succeeded ? TransferStatus::Succeeded
                         : m_nState == ReceiveState::Failed  ? TransferStatus::Failed
                                                             : TransferStatus::Running;
    } else if (m_nDownState != DownloadState::Idle) {
        outcome.direction = Mode::Download;
        outcome.status = m_nDownState == DownloadState::Delivered ? TransferStatus::Succeeded
                         : m_nDownState == DownloadState::Failed  ? TransferStatus::Failed
                                                                  : TransferStatus::Running;
    }
    if (outcome.status == TransferStatus::Failed) {
        outcome.reason = m_nFailReason;
        if (m_nFailReason == FailReason::FileNotReadable) {
            outcome.file = m_strFilePath;
        } else if (m_nFailReason == FailReason::TargetNotWritable) {
            outcome.file = m_strTargetPath;
        }
    }
    return outcome;
}

int CTransfer::SendToPort(const std::uint8_t* data, std::uint32_t length) {
    m_port.EnsureSendBuffer(kMaxFrameSize);
    while (length > kMaxFrameSize) {
        m_port.RequestWrite(data, kMaxFrameSize);
        data += kMaxFrameSize;
        length -= kMaxFrameSize;
    }
    m_port.RequestWrite(data, length);
    return 0;
}

void CTransfer::EchoToTerminal(std::uint8_t ch) {
    if ((ch >= 0x20 && ch <= 0x7E) || IsShownControl(ch)) {
        m_log.AppendChar(static_cast<char>(ch));
    }
}

void CTransfer::SendByte(std::uint8_t b) {
    SendToPort(&b, 1);
}

void CTransfer::SetButtons(bool enable) {
    m_host.EnableRestartAndExit(enable);
}

void CTransfer::ReportOwnFailure(const char* action) {
    const StoreFailure& failure = m_store.LastFailure();
    m_log.AppendText(platform::Format("Can not %s file %s: %s\r\n", action, failure.file.c_str(),
                                      failure.reason.c_str()));
    // The box now waits for us and sends nothing that would enable them.
    SetButtons(true);
}

void CTransfer::Log(const char* format, const std::string& path) {
    m_log.AppendText(platform::Format(format, path.c_str()));
}

void CTransfer::NotifyEnded() {
    Notify([this](ITransferObserver& o) { o.OnTransferEnded(Outcome()); });
}

}  // namespace vandrelux::protocol
