#include "station/PortUnit.h"

#include <filesystem>

#include "protocol/Frames.h"

namespace vandrelux::station {

std::optional<std::string> CheckUpdateFile(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (!fs::exists(status)) {
        return "cannot read " + path + ": no such file";
    }
    if (fs::is_directory(status)) {
        return "cannot read " + path + ": it is a folder";
    }
    if (!fs::is_regular_file(status)) {
        return "cannot read " + path + ": not a file";
    }
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return "cannot read " + path + ": " + platform::LastSystemError().message;
    }
    std::fclose(f);
    const std::uintmax_t size = fs::file_size(path, ec);
    if (ec || !protocol::ImageLengthFits(size)) {
        return "cannot send " + path + ": an image must be smaller than 2 GiB";
    }
    return std::nullopt;
}

namespace {

bool HasEnded(const protocol::TransferOutcome& outcome) {
    return outcome.status == protocol::TransferStatus::Succeeded ||
           outcome.status == protocol::TransferStatus::Failed;
}

}  // namespace

void CPortUnit::EventsLog::AppendChar(char ch) {
    if (ch == '\r') {
        return;
    }
    m_events.BoxChar(ch);
    const auto byte = static_cast<unsigned char>(ch);
    if ((byte >= 0x20 && byte < 0x7f) || ch == '\n' || ch == '\t') {
        m_text += ch;
        if (m_text.size() > kBoxTextLimit) {
            m_text.erase(0, m_text.size() - kBoxTextLimit);
        }
    }
}

CPortUnit::CPortUnit(const UnitSettings& settings, IPortEvents& events, ITimerHost& timers,
                     protocol::IPortWriter& port, store::CSharedUpdateFiles& files)
    : m_settings(settings),
      m_events(events),
      m_host(settings, timers, [this](std::string_view text) { m_events.Note(text); }),
      m_log(events),
      m_store("rv.bin", &files),
      m_transfer(m_host, port, m_log, m_store),
      m_watch(events, settings.retries,
              [&files](const protocol::UpdateImage& image) { return files.FileDigest(image); }) {
    m_transfer.SetObserver(&m_watch);
}

void CPortUnit::Arm() {
    m_watch.StartUnit();
    if (m_settings.receiveTo) {
        m_transfer.ChooseDirection(protocol::Mode::Receive);
        m_transfer.ResetTransfer();
        m_transfer.ArmReceiveChoice();
        m_transfer.OnToReceive();
        return;
    }
    m_transfer.ChooseDirection(protocol::Mode::Download);
    m_transfer.ResetTransfer();
    m_transfer.ArmDownload();
}

void CPortUnit::Disarm() {
    m_transfer.ResetTransfer();
}

void CPortUnit::OnByte(std::uint8_t byte, int portNumber) {
    m_transfer.OnPortRxChar(byte, portNumber);
    // Past the tolerated refusals the box's words are still shown, never answered.
    if (m_watch.GaveUp() && m_transfer.IsArmed()) {
        m_transfer.ResetTransfer();
    }
}

bool CPortUnit::Ended() const {
    return HasEnded(m_transfer.Outcome()) || m_watch.GaveUp().has_value();
}

UnitVerdict CPortUnit::Judge() const {
    const protocol::TransferOutcome ended = m_transfer.Outcome();
    if (m_settings.receiveTo) {
        switch (ended.reason) {
            case protocol::FailReason::None:
                return {};
            case protocol::FailReason::NoTargetPath:
            case protocol::FailReason::WorkingCopyNotWritable:
            case protocol::FailReason::TargetNotWritable:
                return {Outcome::FileNotOpenable, "cannot write " + *m_settings.receiveTo +
                                                      " or rv.bin in the current folder"};
            default:
                return {Outcome::BoxFailure,
                        "the receive failed: the box's image did not arrive whole and checked"};
        }
    }
    if (ended.reason == protocol::FailReason::FileNotReadable) {
        const std::string file(ended.file);
        return {Outcome::FileNotOpenable, CheckUpdateFile(file).value_or("cannot read " + file)};
    }
    if (const std::optional<std::string>& gaveUp = m_watch.GaveUp()) {
        return {Outcome::BoxFailure, *gaveUp + "; giving up"};
    }
    if (ended.status == protocol::TransferStatus::Failed) {
        return {Outcome::BoxFailure, "the box did not accept the update"};
    }
    return {};
}

std::string CPortUnit::WaitingNote(const std::string& device) const {
    return m_settings.receiveTo ? "waiting for the box on " + device + " to send its programme code"
                                : "waiting for the box on " + device + "; power it on";
}

}  // namespace vandrelux::station
