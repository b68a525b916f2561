#include "station/TransferWatch.h"

#include <filesystem>

#include "os/Format.h"

namespace vandrelux::station {

namespace {

std::string AbsolutePath(const std::string& path) {
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    return ec ? path : absolute.lexically_normal().string();
}

// The update file's length and time stamp as they are now, just read for the box.
void NoteFile(ImageResult& image, const std::string& path) {
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    const auto written = std::filesystem::last_write_time(path, ec);
    if (ec) {
        return;
    }
    image.fileSize = size;
    image.modified = UtcText(std::chrono::time_point_cast<std::chrono::system_clock::duration>(
        std::chrono::file_clock::to_sys(written)));
}

constexpr std::uint64_t kReceiveEventStep = std::uint64_t{256} * 1024;
constexpr const char* kReceivedKind = "programme";

}  // namespace

CTransferWatch::CTransferWatch(IPortEvents& events, int retries, DigestOf digestOf)
    : m_events(events), m_retries(retries), m_digestOf(std::move(digestOf)) {}

void CTransferWatch::StartUnit() {
    m_direction = protocol::Mode::None;
    m_bInImage = false;
    m_bBegun = false;
    m_lastEventStep = 0;
    m_refused = 0;
    m_images.clear();
    m_gaveUp.reset();
}

void CTransferWatch::OnImageStarted(const protocol::ImageInfo& started) {
    m_bBegun = true;
    ++m_progress;
    m_direction = started.direction;
    const bool receive = started.direction == protocol::Mode::Receive;
    ImageResult* image = Current();
    // A refused verdict sends the same image again: it stays one image with one more resend.
    if (image == nullptr || started.attempt == 1) {
        const protocol::UpdateKindInfo* kind = protocol::FindKind(started.kind);
        image = &m_images.emplace_back();
        image->kind = receive || kind == nullptr ? kReceivedKind : std::string(kind->name);
        image->path = AbsolutePath(std::string(started.path));
        m_imageStart = std::chrono::steady_clock::now();
        if (!receive && started.length == 0) {
            m_events.Note(std::string(started.path) +
                          " is empty: the box gets an image of no bytes");
        }
    }
    if (!receive) {
        // The file is read again for each attempt and may have changed in between: the record
        // tells what went to the box last, which is what its verdict is on. The box's image is
        // judged by what arrives, not by what its header announced.
        image->size = started.length;
        image->checksum = started.checksum;
        image->done = 0;
        NoteFile(*image, std::string(started.path));
        image->sha256 = m_digestOf && started.image ? m_digestOf(started.image) : std::string();
    }
    m_imageName = std::string(started.path);
    m_bInImage = true;
    m_lastEventStep = 0;
    m_announced = receive ? started.length : 0;
    m_events.Emit("file_started", {{"kind", image->kind},
                                   {"path", image->path},
                                   {"size", image->size},
                                   {"checksum", platform::Format("%08x", image->checksum)},
                                   {"attempt", image->resends + 1}});
    ShowProgress(0);
}

void CTransferWatch::OnFrameAnswered(std::uint32_t frame, bool acknowledged, std::uint32_t done) {
    Frame(frame, acknowledged);
    if (acknowledged) {
        if (ImageResult* image = Current()) {
            image->done = done;
        }
        ShowProgress(done);
    }
}

void CTransferWatch::OnImageVerdict(bool accepted) {
    Verdict(accepted);
}

void CTransferWatch::OnBlockAnswered(std::uint32_t frame, bool accepted, std::uint32_t received) {
    Frame(frame, accepted);
    if (accepted && frame > 0) {
        if (ImageResult* image = Current()) {
            image->done = received;
        }
        ShowProgress(received);
    }
}

void CTransferWatch::OnReceiveComplete(std::uint32_t received, std::uint32_t sum) {
    if (ImageResult* image = Current()) {
        image->size = received;
        image->done = received;
        image->checksum = sum;
    }
    Verdict(true);
}

void CTransferWatch::OnTransferEnded(const protocol::TransferOutcome& outcome) {
    if (outcome.direction == protocol::Mode::Receive &&
        outcome.status == protocol::TransferStatus::Failed && m_bInImage) {
        Verdict(false);
    }
}

void CTransferWatch::Frame(std::uint32_t index, bool acknowledged) {
    if (acknowledged) {
        ++m_progress;
    } else {
        ++m_refused;
        if (ImageResult* image = Current()) {
            ++image->naks;
        }
    }
    m_events.Emit(acknowledged ? "frame_acknowledged" : "frame_refused", {{"frame", index}});
}

void CTransferWatch::ShowProgress(std::uint64_t done) {
    const ImageResult* image = Current();
    if (image == nullptr) {
        return;
    }
    // A receive runs towards the length its header announced, for as long as what has arrived
    // stays within it; past it, the total is unknown.
    std::uint64_t total = image->size;
    if (total == 0 && done <= m_announced) {
        total = m_announced;
    }
    const double seconds = ImageSeconds();
    const ProgressState state{std::filesystem::path(image->path).filename().string(), done, total,
                              seconds > 0 ? static_cast<double>(done) / seconds : 0};
    m_events.Progress(state);
    const std::uint64_t step = total > 0 ? done * 100 / total + 1 : done / kReceiveEventStep + 1;
    if (step != m_lastEventStep) {
        m_lastEventStep = step;
        nlohmann::json fields = {{"path", image->path}, {"done", done}};
        if (total > 0) {
            fields["total"] = total;
            fields["percent"] = done * 100 / total;
        }
        m_events.Emit("progress", std::move(fields));
    }
}

void CTransferWatch::Verdict(bool accepted) {
    ++m_progress;
    ImageResult* image = Current();
    if (image == nullptr) {
        return;
    }
    image->seconds = ImageSeconds();
    m_events.Emit("verdict",
                  {{"path", image->path}, {"accepted", accepted}, {"attempt", image->resends + 1}});
    if (accepted) {
        image->accepted = true;
        m_bInImage = false;
        m_events.Emit("file_complete", ToJson(*image));
        return;
    }
    if (m_direction == protocol::Mode::Receive) {
        m_bInImage = false;
        return;
    }
    if (image->resends >= m_retries) {
        m_gaveUp =
            platform::Format("the box refused %s %d time%s (--retries %d)", m_imageName.c_str(),
                             image->resends + 1, image->resends == 0 ? "" : "s", m_retries);
        return;
    }
    ++image->resends;
}

void CTransferWatch::EndUnit() {
    ImageResult* image = Current();
    if (m_bInImage && image != nullptr) {
        image->seconds = ImageSeconds();
        m_bInImage = false;
    }
}

ImageResult* CTransferWatch::Current() {
    return m_images.empty() ? nullptr : &m_images.back();
}

double CTransferWatch::ImageSeconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_imageStart).count();
}

}  // namespace vandrelux::station
