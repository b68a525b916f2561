// The transfer state the main dialog carries from one received byte to the next, and the two
// byte-driven machines: download (the PC sends update files) and receive (the box sends its
// programme code). The dialog owns one CTransfer and forwards its port bytes, timer ticks and
// the "to receive" and Restart commands to it.
//
// A transfer holds everything it needs in itself: several may run side by side on one thread.
// Callers learn how a run goes from Outcome() and from an observer; the machines' states and
// working fields are their own.
//
// Threading: the window thread only. Every entry point handles one event and returns; modal
// boxes and the file dialog are opened from inside a handler, as the operator's window does.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "protocol/Frames.h"
#include "protocol/ImageStore.h"
#include "protocol/PortWriter.h"
#include "protocol/Progress.h"
#include "protocol/TransferEvents.h"
#include "protocol/TransferHost.h"
#include "protocol/TransferLog.h"
#include "protocol/UpdateKinds.h"

namespace vandrelux::test {
struct TransferInternals;  // the tests' one way to the fields below
}  // namespace vandrelux::test

namespace vandrelux::protocol {

// The machines' states keep the numbers they have always had.
enum class ReceiveState : std::uint32_t {
    Idle = 0,
    Handshake = 1,
    AwaitHeaderMark = 2,
    Header = 3,
    AwaitDataMark = 4,
    Blocks = 5,
    Succeeded = 6,
    Failed = 7,
};

enum class DownloadState : std::uint32_t {
    Idle = 0,
    AwaitReady = 1,       // armed: the box has not said it is ready
    AwaitAcceptance = 2,  // 0x16 sent: the box is to accept the file
    AwaitHeaderAnswer = 3,
    AwaitFrameAnswer = 4,  // a data frame with more to follow
    AwaitLastFrameAnswer = 5,
    AwaitVerdict = 6,  // the whole image is out: the box judges it
    Delivered = 8,     // every chosen file accepted
    Failed = 9,
};

// The window's timer whose ticks send the handshake bytes.
inline constexpr unsigned kHandshakeTimer = 1;

inline constexpr std::uint32_t kRxBufSize = 5000;
inline constexpr int kUnexpectedLimit = 250;

class CTransfer {
public:
    // Reaches its files through `store`, which outlives it.
    CTransfer(ITransferHost& host, IPortWriter& port, ITransferLog& log, IImageStore& store);
    // The staging buffer in storage of the caller's.
    CTransfer(ITransferHost& host, IPortWriter& port, ITransferLog& log, IImageStore& store,
              std::span<std::uint8_t, kRxBufSize> rxBuf);
    CTransfer(const CTransfer&) = delete;
    CTransfer& operator=(const CTransfer&) = delete;

    // Event entry points.
    long OnPortRxChar(unsigned long wParam, long lParam);
    // Takes the front of `bytes` in one go while it is the payload of the block being received,
    // with the same effect as handing those bytes over one by one; returns how many it took
    // (none outside a block's payload). The rest goes to OnPortRxChar.
    std::size_t TakePayloadRun(std::span<const std::uint8_t> bytes) noexcept;
    void OnTimer(unsigned timerId);
    void OnToReceive();
    void OnRestart();

    // Direction arming, shared by the tick-box rule and Restart; each expects a fresh reset.
    void ArmReceiveChoice();
    void ArmDownload();

    void ResetTransfer();
    void HandleReceiveByte(std::uint8_t ch);
    void HandleDownloadByte(std::uint8_t ch);
    int SendToPort(const std::uint8_t* data, std::uint32_t length);
    void EchoToTerminal(std::uint8_t ch);
    void SelectNextFile(UpdateKind& index, bool& found);

    // How the current run stands; Idle once a reset has cleared it.
    [[nodiscard]] TransferOutcome Outcome() const noexcept;
    // Whether a direction still takes the box's bytes: a run that reached its end is disarmed
    // by the byte after it.
    [[nodiscard]] bool IsArmed() const noexcept { return m_bReceiveMode || m_bDownloadMode; }
    // Null for none; the observer must outlive the transfer or be replaced first.
    void SetObserver(ITransferObserver* observer) noexcept { m_pObserver = observer; }

    // The direction chosen (by the tick boxes, in the window); Restart arms it again.
    void ChooseDirection(Mode mode) noexcept { m_nMode = mode; }
    [[nodiscard]] Mode ChosenDirection() const noexcept { return m_nMode; }

private:
    friend struct test::TransferInternals;

    void CountUnexpected();
    void ReceiveHandshake(std::uint8_t ch);
    void ReceiveHeader(std::uint8_t ch);
    void ReceiveBlock(std::uint8_t ch);
    void AnswerHeader(std::uint8_t answer);
    void ReserveRoom();
    // After a payload byte: the block's checksum comes next once its payload is whole.
    void EndPayloadIfWhole() noexcept;
    void RejectBlock();
    void AcceptBlock();
    void EndOfImage();
    void AnswerFinalBlock(std::uint8_t answer);
    void FailReceive(FailReason reason);
    void EnterReceiveFailed(FailReason reason);
    bool FlushRxBuf();
    void EndReceive(std::uint8_t ch, bool failed);

    bool PrepareImage();
    void SendHeaderFrame();
    void SendDataFrame();
    void ResendDataFrame();
    [[nodiscard]] std::uint32_t FrameIndex() const;
    void ChooseNextFile();
    void EnterDownloadFailed(FailReason reason);
    void EnterDelivered();
    void EndDownload(std::uint8_t ch);
    void SetButtons(bool enable);
    // A file on this side failed the run: says which and why, and gives the window back at once.
    void ReportOwnFailure(const char* action);
    void SendByte(std::uint8_t b);
    void Log(const char* format, const std::string& path);
    void NotifyEnded();

    template <class Call>
    void Notify(Call&& call) {
        if (m_pObserver != nullptr) {
            call(*m_pObserver);
        }
    }

    // Transfer control.
    Mode m_nMode = Mode::None;
    bool m_bReceiveMode = false;
    bool m_bDownloadMode = false;
    bool m_bHandshake = false;
    ReceiveState m_nState = ReceiveState::Idle;
    std::uint32_t m_nSubState = 0;
    int m_nCount = 0;
    DownloadState m_nDownState = DownloadState::Idle;
    int m_nDownCount = 0;
    FailReason m_nFailReason = FailReason::None;

    // Receive direction.
    std::int32_t m_nPos = 0;
    std::uint32_t m_nSum = 0;
    std::uint32_t m_nRxChecksum = 0;
    std::uint32_t m_nBlockType = 0;
    std::int32_t m_nHeaderLen = 0;
    std::int32_t m_nBlockLen = 0;
    std::span<std::uint8_t, kRxBufSize> m_RxBuf;
    std::uint32_t m_pWrite = 0;       // offset into m_RxBuf
    std::uint32_t m_pBlockStart = 0;  // offset into m_RxBuf
    std::int32_t m_nFree = static_cast<std::int32_t>(kRxBufSize);
    std::uint32_t m_nReceived = 0;
    std::uint32_t m_nBlock = 0;  // the number the box's next frame has, for the observer
    std::string m_strTargetPath;

    // Download direction.
    UpdateKind m_nFileIndex = UpdateKind::Bootstrap;
    bool m_bFileFound = false;
    std::string m_strFilePath = " ";
    UpdateImage m_pImage;  // shared with other transfers sending the same file
    std::int32_t m_nImageLen = 0;
    std::uint32_t m_pCursor = 0;  // offset into m_pImage of the first byte not yet acknowledged
    std::int32_t m_nRemaining = 0;
    bool m_bLastFrame = false;
    std::uint32_t m_nAttempt = 1;  // of the current image, counting refused verdicts
    std::array<std::uint8_t, kMaxFrameSize> m_FrameBuf{};

    // Shared.
    ImageHeader m_Header;
    CProgressDisplay m_Progress;

    ITransferHost& m_host;
    IPortWriter& m_port;
    ITransferLog& m_log;
    IImageStore& m_store;
    ITransferObserver* m_pObserver = nullptr;
    std::array<std::uint8_t, kHeaderPayload> m_HeaderBytes{};
    std::array<std::uint8_t, kRxBufSize> m_RxStorage{};  // unless the caller keeps the buffer
};

}  // namespace vandrelux::protocol
