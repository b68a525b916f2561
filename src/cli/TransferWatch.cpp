#include "cli/TransferWatch.h"

#include <algorithm>
#include <array>
#include <filesystem>

#include "platform/Format.h"
#include "protocol/Frames.h"

namespace vandrelux::cli {

namespace {

using protocol::kAck;
using protocol::kNak;

constexpr std::uint64_t kReceiveEventStep = std::uint64_t{256} * 1024;

const char* KindName(protocol::UpdateKind kind) {
    switch (kind) {
        case protocol::UpdateKind::Bootstrap:
            return "bootstrap";
        case protocol::UpdateKind::Ucode:
            return "ucode";
        case protocol::UpdateKind::Logo:
            return "logo";
        case protocol::UpdateKind::TvProgram:
            return "tvprogram";
        case protocol::UpdateKind::Software:
            return "software";
        case protocol::UpdateKind::EndOfSequence:
            break;
    }
    return "none";
}

// Download states of the transfer, by what the box's next byte answers.
constexpr std::uint32_t kAwaitHeaderAnswer = 3;
constexpr std::uint32_t kAwaitFrameAnswer = 4;
constexpr std::uint32_t kAwaitLastFrameAnswer = 5;
constexpr std::uint32_t kAwaitVerdict = 6;
constexpr std::uint32_t kAwaitImageStart = 2;
// Receive states.
constexpr std::uint32_t kReceivingHeader = 3;
constexpr std::uint32_t kAwaitDataMark = 4;
constexpr std::uint32_t kReceivingBlocks = 5;
constexpr std::uint32_t kReceiveSucceeded = 6;
constexpr std::uint32_t kReceiveFailed = 7;

}  // namespace

std::optional<std::uint32_t> FileByteSum(const std::string& path) {
    const protocol::FilePtr file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        return std::nullopt;
    }
    std::array<std::uint8_t, 65536> buffer{};
    std::uint32_t sum = 0;
    std::size_t n = 0;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), file.get())) > 0) {
        sum += protocol::ByteSum(std::span(buffer.data(), n));
    }
    return sum;
}

CTransferWatch::CTransferWatch(const protocol::CTransfer& transfer, CConsole& console,
                               std::size_t port, int retries)
    : m_transfer(transfer), m_console(console), m_port(port), m_retries(retries) {}

void CTransferWatch::BeforeByte() {
    m_stateBefore = m_transfer.m_bReceiveMode ? m_transfer.m_nState : m_transfer.m_nDownState;
}

void CTransferWatch::AfterByte(std::uint8_t ch) {
    if (m_transfer.m_bReceiveMode) {
        AfterReceiveByte();
    } else {
        AfterDownloadByte(ch);
    }
}

void CTransferWatch::AfterDownloadByte(std::uint8_t ch) {
    const std::uint32_t after = m_transfer.m_nDownState;
    if (ch != kAck && ch != kNak) {
        return;
    }
    const bool ack = ch == kAck;
    switch (m_stateBefore) {
        case kAwaitImageStart:
            if (ack && after == kAwaitHeaderAnswer) {
                StartImage(KindName(m_transfer.m_nFileIndex), m_transfer.m_strFilePath,
                           static_cast<std::uint64_t>(m_transfer.m_nImageLen),
                           m_transfer.m_Header.dwChecksum);
            }
            break;
        case kAwaitHeaderAnswer:
        case kAwaitFrameAnswer:
        case kAwaitLastFrameAnswer:
            Frame(m_frame, ack);
            if (ack) {
                const std::uint64_t size = Current() != nullptr ? Current()->size : 0;
                ShowProgress(
                    std::min<std::uint64_t>(std::uint64_t{m_frame} * protocol::kMaxPayload, size));
                ++m_frame;
            }
            break;
        case kAwaitVerdict:
            Verdict(ack);
            break;
        default:
            break;
    }
}

void CTransferWatch::AfterReceiveByte() {
    const std::uint32_t after = m_transfer.m_nState;
    if (m_stateBefore == kReceivingHeader && after == kAwaitDataMark) {
        StartImage("programme", m_transfer.m_strTargetPath, 0, 0);
    }
    if (after == kReceiveSucceeded && m_stateBefore != kReceiveSucceeded) {
        if (ImageResult* image = Current()) {
            image->size = m_transfer.m_nReceived;
            image->checksum = FileByteSum(image->path).value_or(0);
        }
        Verdict(true);
    } else if (after == kReceiveFailed && m_stateBefore != kReceiveFailed && m_bInImage) {
        Verdict(false);
    }
}

void CTransferWatch::OnAnswer(std::uint8_t b) {
    if (!m_transfer.m_bReceiveMode || (b != kAck && b != kNak)) {
        return;
    }
    if (m_stateBefore == kReceivingHeader && m_frame == 0) {
        Frame(0, b == kAck);
    } else if (m_stateBefore == kReceivingBlocks) {
        Frame(m_frame, b == kAck);
        if (b == kAck) {
            ++m_frame;
            ShowProgress(m_transfer.m_nReceived);
        }
    }
}

void CTransferWatch::StartImage(std::string kind, std::string path, std::uint64_t size,
                                std::uint32_t checksum) {
    ImageResult* image = Current();
    // A refused verdict sends the same image again: it stays one image with one more resend.
    if (image == nullptr || image->accepted || image->path != path || image->kind != kind) {
        m_images.push_back({std::move(kind), std::move(path), size, checksum, 0, 0, 0, false});
        image = &m_images.back();
        m_imageStart = std::chrono::steady_clock::now();
    }
    m_bInImage = true;
    m_frame = m_transfer.m_bReceiveMode ? 1 : 0;
    m_lastEventStep = 0;
    m_console.Emit(m_port, "file_started",
                   {{"kind", image->kind},
                    {"path", image->path},
                    {"size", image->size},
                    {"checksum", platform::Format("%08x", image->checksum)},
                    {"attempt", image->resends + 1}});
    ShowProgress(0);
}

void CTransferWatch::Frame(std::uint32_t index, bool acknowledged) {
    if (!acknowledged) {
        if (ImageResult* image = Current()) {
            ++image->naks;
        }
    }
    m_console.Emit(m_port, acknowledged ? "frame_acknowledged" : "frame_refused",
                   {{"frame", index}});
}

void CTransferWatch::ShowProgress(std::uint64_t done) {
    const ImageResult* image = Current();
    if (image == nullptr) {
        return;
    }
    const double seconds = ImageSeconds();
    const ProgressState state{std::filesystem::path(image->path).filename().string(), done,
                              image->size, seconds > 0 ? static_cast<double>(done) / seconds : 0};
    m_console.Progress(m_port, state);
    const std::uint64_t step =
        image->size > 0 ? done * 100 / image->size + 1 : done / kReceiveEventStep + 1;
    if (step != m_lastEventStep) {
        m_lastEventStep = step;
        nlohmann::json fields = {{"path", image->path}, {"done", done}};
        if (image->size > 0) {
            fields["total"] = image->size;
            fields["percent"] = done * 100 / image->size;
        }
        m_console.Emit(m_port, "progress", std::move(fields));
    }
}

void CTransferWatch::Verdict(bool accepted) {
    ImageResult* image = Current();
    if (image == nullptr) {
        return;
    }
    image->seconds = ImageSeconds();
    m_console.Emit(
        m_port, "verdict",
        {{"path", image->path}, {"accepted", accepted}, {"attempt", image->resends + 1}});
    if (accepted) {
        image->accepted = true;
        m_bInImage = false;
        m_console.Emit(m_port, "file_complete", ToJson(*image));
        return;
    }
    if (m_transfer.m_bReceiveMode) {
        m_bInImage = false;
        return;
    }
    if (image->resends >= m_retries) {
        m_gaveUp =
            platform::Format("the box refused %s %d time%s (--retries %d)", image->path.c_str(),
                             image->resends + 1, image->resends == 0 ? "" : "s", m_retries);
        return;
    }
    ++image->resends;
}

ImageResult* CTransferWatch::Current() {
    return m_images.empty() ? nullptr : &m_images.back();
}

double CTransferWatch::ImageSeconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_imageStart).count();
}

}  // namespace vandrelux::cli
