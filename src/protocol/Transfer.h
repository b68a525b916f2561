// The transfer state the main dialog carries from one received byte to the next, and the two
// byte-driven machines: download (the PC sends update files) and receive (the box sends its
// programme code). The dialog owns one CTransfer and forwards its port bytes, timer ticks and
// the "to receive" and Restart commands to it.
//
// Threading: the window thread only. Every entry point handles one event and returns; modal
// boxes and the file dialog are opened from inside a handler, as the operator's window does.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/Toolkit.h"
#include "protocol/Frames.h"
#include "protocol/PortWriter.h"
#include "protocol/Progress.h"
#include "protocol/TransferLog.h"

namespace vandrelux::protocol {

// Download kinds with their wire values; the sequence sends them in the order of kSequence.
enum class UpdateKind : int {
    Bootstrap = 0,
    Ucode = 1,
    Logo = 2,
    Software = 3,
    EndOfSequence = 4,
    TvProgram = 5,
};

// Directions the tick boxes arm.
enum class Mode : int { None = 0, Receive = 1, Download = 2 };

inline constexpr std::uint32_t kRxBufSize = 5000;
inline constexpr int kUnexpectedLimit = 250;

struct FileCloser {
    void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

class CTransfer {
public:
    // `tempPath` is where the received image is collected ("rv.bin" in the current folder).
    CTransfer(platform::IToolkit& toolkit, IPortWriter& port, ITransferLog& log,
              std::string tempPath = "rv.bin");

    // Event entry points.
    long OnPortRxChar(unsigned long wParam, long lParam);
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

    // Transfer control.
    Mode m_nMode = Mode::None;
    bool m_bReceiveMode = false;
    bool m_bDownloadMode = false;
    bool m_bHandshake = false;
    std::uint32_t m_nState = 0;
    std::uint32_t m_nSubState = 0;
    int m_nCount = 0;
    std::uint32_t m_nDownState = 0;
    int m_nDownCount = 0;

    // Receive direction.
    std::int32_t m_nPos = 0;
    std::uint32_t m_nSum = 0;
    std::uint32_t m_nRxChecksum = 0;
    std::uint32_t m_nBlockType = 0;
    std::int32_t m_nHeaderLen = 0;
    std::int32_t m_nBlockLen = 0;
    std::array<std::uint8_t, kRxBufSize> m_RxBuf{};
    std::uint32_t m_pWrite = 0;       // offset into m_RxBuf
    std::uint32_t m_pBlockStart = 0;  // offset into m_RxBuf
    std::int32_t m_nFree = static_cast<std::int32_t>(kRxBufSize);
    std::uint32_t m_nReceived = 0;
    FilePtr m_pTempFile;
    FilePtr m_pTargetFile;
    std::string m_strTargetPath;

    // Download direction.
    UpdateKind m_nFileIndex = UpdateKind::Bootstrap;
    bool m_bFileFound = false;
    std::string m_strFilePath = " ";
    std::vector<std::uint8_t> m_pImage;
    std::int32_t m_nImageLen = 0;
    std::uint32_t m_pCursor = 0;  // offset into m_pImage of the first byte not yet acknowledged
    std::int32_t m_nRemaining = 0;
    bool m_bLastFrame = false;
    std::array<std::uint8_t, kMaxFrameSize> m_FrameBuf{};

    // Shared.
    ImageHeader m_Header;
    CProgressDisplay m_Progress;

private:
    void CountUnexpected();
    void ReceiveHandshake(std::uint8_t ch);
    void ReceiveHeader(std::uint8_t ch);
    void ReceiveBlock(std::uint8_t ch);
    void ReserveRoom();
    void RejectBlock();
    void AcceptBlock();
    void EndOfImage();
    void FailReceive();
    bool FlushRxBuf();
    void EndReceive(std::uint8_t ch, bool failed);

    bool PrepareImage();
    void SendHeaderFrame();
    void SendDataFrame();
    void ChooseNextFile();
    void EndDownload(std::uint8_t ch);
    void SetButtons(bool enable);
    void SendByte(std::uint8_t b);
    void Log(const char* format, const std::string& path);

    platform::IToolkit& m_toolkit;
    IPortWriter& m_port;
    ITransferLog& m_log;
    std::string m_strTempPath;
    std::array<std::uint8_t, kHeaderPayload> m_HeaderBytes{};
};

}  // namespace vandrelux::protocol
