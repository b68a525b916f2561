// The download machine: announces each ticked update file, sends its header and data frames,
// repeats whatever the box refuses and moves on after the box's verdict on the whole image.
#include <filesystem>
#include <system_error>

#include "protocol/ControlIds.h"
#include "protocol/Transfer.h"

namespace vandrelux::protocol {

namespace {

constexpr std::uint32_t kAnnouncePauseMs = 250;

struct KindInfo {
    UpdateKind kind;
    platform::ControlId tickBox;
    platform::ControlId pathField;
    std::uint32_t dwType;
    std::uint32_t dwAddress;
    std::uint32_t dwParam;
};

// In the order the files go out.
constexpr KindInfo kSequence[] = {
    {UpdateKind::Bootstrap, ids::kIncludeBootstrap, ids::kBootstrapPath, 0x00000010, 0x80000000, 0},
    {UpdateKind::Ucode, ids::kIncludeUcode, ids::kUcodePath, 0x00000100, 0x80070000, 0x00080000},
    {UpdateKind::Logo, ids::kIncludeLogo, ids::kLogoPath, 0x00100000, 0x80080000, 0},
    {UpdateKind::TvProgram, ids::kIncludeTvProgram, ids::kTvProgramPath, 0x01000000, 0x800C8000, 0},
    {UpdateKind::Software, ids::kIncludeSoftware, ids::kSoftwarePath, 0x00001000, 0x80010000, 0},
};

constexpr std::uint32_t kRamMode = 0x10;
constexpr std::uint32_t kRamAddress = 0x10003000;

const KindInfo* Find(UpdateKind kind) {
    for (const KindInfo& info : kSequence) {
        if (info.kind == kind) {
            return &info;
        }
    }
    return nullptr;
}

}  // namespace

void CTransfer::SelectNextFile(UpdateKind& index, bool& found) {
    const KindInfo* info = Find(index);
    for (; info != nullptr && info != std::end(kSequence); ++info) {
        if (!m_toolkit.IsChecked(info->tickBox)) {
            continue;
        }
        found = true;
        m_strFilePath = m_toolkit.GetText(info->pathField);
        if (m_strFilePath.empty()) {
            if (std::optional<std::string> chosen = m_toolkit.OpenFileDialog()) {
                m_strFilePath = *chosen;
                m_toolkit.SetText(info->pathField, m_strFilePath);
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
        case 1:
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
                m_nDownState = 9;
                break;
            }
            SetButtons(false);
            m_toolkit.Sleep(kAnnouncePauseMs);
            SendByte(kSyn);
            Log("Start Sending %s  files!\r\n", m_strFilePath);
            m_nDownState = 2;
            break;
        case 2:
            if (ch == kAck) {
                if (PrepareImage()) {
                    SendHeaderFrame();
                    m_nDownState = 3;
                } else {
                    m_toolkit.MessageBox("Can not open file");
                    m_nDownState = 9;
                }
                break;
            }
            EchoToTerminal(ch);
            if (++m_nDownCount >= kUnexpectedLimit) {
                m_nDownState = 9;
            }
            break;
        case 3:
            if (ch == kAck) {
                m_pCursor = 0;
                m_nRemaining = m_nImageLen;
                m_bLastFrame = false;
                SendDataFrame();
                m_nDownState = m_bLastFrame ? 5 : 4;
            } else if (ch == kNak) {
                SendHeaderFrame();
            }
            break;
        case 4:
            if (ch == kAck) {
                m_pCursor += kMaxPayload;
                m_nRemaining -= static_cast<std::int32_t>(kMaxPayload);
                SendDataFrame();
                m_Progress.Step();
                m_Progress.Refresh(static_cast<std::uint32_t>(m_nImageLen - m_nRemaining));
                m_nDownState = m_bLastFrame ? 5 : 4;
            } else if (ch == kNak) {
                SendDataFrame();
            }
            break;
        case 5:
            if (ch == kAck) {
                m_Progress.End(true);
                m_nDownState = 6;
            } else if (ch == kNak) {
                SendDataFrame();
            }
            break;
        case 6:
            if (ch == kAck) {
                Log("Send %s complete!\r\n", m_strFilePath);
                ChooseNextFile();
            } else if (ch == kNak) {
                SendByte(kSyn);
                Log("Start Sending %s  files again!\r\n", m_strFilePath);
                m_nDownState = 2;
                m_nDownCount = 0;
            }
            break;
        case 8:
        case 9:
            EndDownload(ch);
            break;
        default:
            break;
    }
}

bool CTransfer::PrepareImage() {
    const KindInfo* info = Find(m_nFileIndex);
    if (info == nullptr) {
        return false;
    }
    m_Header = ImageHeader{info->dwType, 0, 0, 0, 0, info->dwAddress, info->dwParam};
    if (info->kind == UpdateKind::Software && m_toolkit.IsChecked(ids::kDownloadToRam)) {
        m_Header.dwMode = kRamMode;
        m_Header.dwAddress = kRamAddress;
    }

    // Directories and files whose padded size does not fit the 32-bit length are refused as
    // unreadable rather than sent cut short.
    std::error_code ec;
    const std::filesystem::path path(m_strFilePath);
    if (!std::filesystem::is_regular_file(path, ec)) {
        return false;
    }
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    if (ec || !ImageLengthFits(size)) {
        return false;
    }
    const FilePtr file(std::fopen(m_strFilePath.c_str(), "rb"));
    if (!file) {
        return false;
    }
    std::vector<std::uint8_t> image(static_cast<std::size_t>(size + (size & 1)), 0);
    if (std::fread(image.data(), 1, static_cast<std::size_t>(size), file.get()) != size) {
        return false;
    }
    m_pImage = std::move(image);
    m_nImageLen = static_cast<std::int32_t>(m_pImage.size());
    m_Header.dwLength = static_cast<std::uint32_t>(m_nImageLen);
    m_Header.dwChecksum = ByteSum(m_pImage);
    m_Progress.Start(m_Header.dwLength, kMaxPayload);
    return true;
}

void CTransfer::SendHeaderFrame() {
    std::uint32_t length = 0;
    BuildHeaderFrame(m_FrameBuf, length, m_Header);
    SendToPort(m_FrameBuf.data(), length);
}

void CTransfer::SendDataFrame() {
    std::uint32_t length = 0;
    const std::span<const std::uint8_t> rest(m_pImage.data() + m_pCursor,
                                             static_cast<std::size_t>(m_nRemaining));
    BuildDataFrame(m_FrameBuf, length, rest, m_bLastFrame);
    SendToPort(m_FrameBuf.data(), length);
}

void CTransfer::ChooseNextFile() {
    const KindInfo* info = Find(m_nFileIndex);
    if (info == nullptr || info->kind == UpdateKind::Software) {
        m_nDownState = 8;
        return;
    }
    m_nFileIndex = (info + 1)->kind;
    SelectNextFile(m_nFileIndex, m_bFileFound);
    if (!m_bFileFound) {
        m_nDownState = 8;
        return;
    }
    SendByte(kSyn);
    m_nDownState = 2;
    m_nDownCount = 0;
    Log("Start Sending %s  files\r\n", m_strFilePath);
}

void CTransfer::EndDownload(std::uint8_t ch) {
    SetButtons(true);
    EchoToTerminal(ch);
    m_bDownloadMode = false;
}

}  // namespace vandrelux::protocol
