#include "cli/Updater.h"

#include <cstdio>
#include <filesystem>

#include "cli/Doctor.h"
#include "platform/ComPortNames.h"
#include "platform/Files.h"
#include "protocol/ControlIds.h"

namespace vandrelux::cli {

namespace {

constexpr unsigned kHandshakeTimer = 1;
constexpr int kPortNumberForPath = 1;
constexpr auto kFlushTime = std::chrono::seconds(2);
constexpr auto kQuietTime = std::chrono::milliseconds(150);

bool HasEnded(const protocol::TransferOutcome& outcome) {
    return outcome.status == protocol::TransferStatus::Succeeded ||
           outcome.status == protocol::TransferStatus::Failed;
}

std::string WithoutTrailingNewlines(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    return std::string(text);
}

}  // namespace

std::optional<std::string> CheckFiles(const Options& options) {
    namespace fs = std::filesystem;
    for (const UpdateFile& file : options.files) {
        std::error_code ec;
        std::FILE* f =
            fs::is_regular_file(file.path, ec) ? std::fopen(file.path.c_str(), "rb") : nullptr;
        if (f == nullptr) {
            return "cannot read " + file.path;
        }
        std::fclose(f);
        const std::uintmax_t size = fs::file_size(file.path, ec);
        if (ec || !protocol::ImageLengthFits(size)) {
            return "cannot send " + file.path + ": an image must be smaller than 2 GiB";
        }
    }
    if (!options.receiveTo) {
        return std::nullopt;
    }
    const fs::path target = *options.receiveTo;
    std::error_code targetError;
    std::error_code workError;
    const fs::path targetPath = fs::weakly_canonical(target, targetError);
    const fs::path workPath = fs::weakly_canonical("rv.bin", workError);
    if (!target.empty() && !targetError && !workError && targetPath == workPath) {
        return "the target cannot be rv.bin: that is where the image is collected";
    }
    return CheckWritable(target.string());
}

std::optional<std::string> CheckWritable(const std::string& path) {
    namespace fs = std::filesystem;
    const fs::path target = path;
    std::error_code ec;
    if (target.empty() || fs::is_directory(target, ec)) {
        return "cannot write " + path + ": not a file name";
    }
    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    if (!platform::FolderIsWritable(folder)) {
        return "cannot write " + path + ": no such folder, or not writable";
    }
    return std::nullopt;
}

void CUpdater::ConsoleLog::AppendChar(char ch) {
    if (ch != '\r') {
        m_console.BoxChar(m_port, ch);
    }
}

CUpdater::CUpdater(const Options& options, std::size_t portIndex, CConsole& console)
    : m_options(options),
      m_index(portIndex),
      m_console(console),
      m_device(ResolvePort(options.ports.at(portIndex), options)),
      m_toolkit(m_loop, [this](std::string_view text) { m_console.Note(m_index, text); }),
      m_log(console, portIndex),
      m_port(*this, [device = m_device](int) { return device; }),
      m_transfer(m_toolkit, m_port, m_log),
      m_watch(console, portIndex, options.retries) {
    m_transfer.SetObserver(&m_watch);
    m_loop.SetTimerHandler([this](unsigned id) { m_transfer.OnTimer(id); });
    m_result.port = options.ports[portIndex];
    m_result.device = m_device;
}

CUpdater::~CUpdater() {
    m_toolkit.StopTimer(kHandshakeTimer);
}

PortResult CUpdater::Run() {
    const auto start = std::chrono::steady_clock::now();
    const int portNumber =
        platform::ParseComName(m_options.ports[m_index]).value_or(kPortNumberForPath);
    Outcome outcome = Outcome::Success;
    if (!m_port.OpenPort(this, portNumber, m_options.baudRate, 'N', 8, 1, serial::EV_RXCHAR,
                         4096)) {
        const std::string error = platform::LastSystemError().message;
        outcome = Fail(Outcome::PortNotOpenable, "cannot open " + m_device + ": " + error);
        for (const Finding& finding : CheckSerialSetup(
                 m_device, m_options.roots, platform::CurrentUser(), m_options.baudRate)) {
            if (!finding.ok) {
                m_console.Note(m_index, FormatFinding(finding));
                m_console.Emit(m_index, "check",
                               {{"device", m_device},
                                {"ok", false},
                                {"what", finding.what},
                                {"fix", finding.fix}});
            }
        }
    } else if (m_bLineLost) {
        ShowLineError();
        outcome = Fail(Outcome::PortNotOpenable, "cannot configure " + m_device);
    } else {
        m_console.Emit(m_index, "port_opened",
                       {{"device", m_device}, {"baud", m_options.baudRate}});
        m_port.StartMonitor();
        m_toolkit.StartTimer(kHandshakeTimer, 1);
        outcome = m_options.receiveTo ? Receive() : Download();
        m_toolkit.StopTimer(kHandshakeTimer);
        m_port.HaltMonitor();
    }
    m_console.Finish(m_index);
    m_result.images = m_watch.Images();
    m_result.outcome = outcome;
    m_result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    m_console.Emit(m_index, "summary", ToJson(m_result));
    return m_result;
}

Outcome CUpdater::Download() {
    for (const UpdateFile& file : m_options.files) {
        if (const protocol::UpdateKindInfo* kind = protocol::FindKind(file.kind)) {
            m_toolkit.SetChecked(kind->tickBox, true);
            m_toolkit.SetText(kind->pathField, file.path);
        }
    }
    m_toolkit.SetChecked(ids::kDownloadToRam, m_options.ram);
    m_transfer.m_nMode = protocol::Mode::Download;
    m_transfer.ResetTransfer();
    m_transfer.ArmDownload();
    m_console.Note(m_index, "waiting for the box on " + m_device + "; power it on");

    const Outcome waited =
        Wait([this] { return HasEnded(m_transfer.Outcome()) || m_watch.GaveUp().has_value(); });
    if (waited != Outcome::Success) {
        return waited;
    }
    const protocol::TransferOutcome ended = m_transfer.Outcome();
    if (ended.reason == protocol::FailReason::FileNotReadable) {
        return Fail(Outcome::FileNotOpenable, "cannot read " + std::string(ended.file));
    }
    if (const std::optional<std::string>& gaveUp = m_watch.GaveUp()) {
        return Fail(Outcome::BoxFailure, *gaveUp + "; giving up");
    }
    if (ended.status == protocol::TransferStatus::Failed) {
        return Fail(Outcome::BoxFailure, "the box did not accept the update");
    }
    return Outcome::Success;
}

Outcome CUpdater::Receive() {
    m_toolkit.SetChecked(ids::kReceiveAll, true);
    m_toolkit.SetText(ids::kReceivePath, *m_options.receiveTo);
    m_transfer.m_nMode = protocol::Mode::Receive;
    m_transfer.ResetTransfer();
    m_transfer.ArmReceiveChoice();
    m_transfer.OnToReceive();
    m_console.Note(m_index, "waiting for the box on " + m_device + " to send its programme code");

    const Outcome waited = Wait([this] { return HasEnded(m_transfer.Outcome()); });
    if (waited != Outcome::Success) {
        return waited;
    }
    switch (m_transfer.Outcome().reason) {
        case protocol::FailReason::None:
            return Outcome::Success;
        case protocol::FailReason::NoTargetPath:
        case protocol::FailReason::WorkingCopyNotWritable:
        case protocol::FailReason::TargetNotWritable:
            return Fail(Outcome::FileNotOpenable, "cannot write " + *m_options.receiveTo +
                                                      " or rv.bin in the current folder");
        default:
            return Fail(Outcome::BoxFailure,
                        "the receive failed: the box's image did not arrive whole and checked");
    }
}

Outcome CUpdater::Wait(const std::function<bool()>& finished) {
    std::optional<platform::EventLoop::Clock::time_point> deadline;
    if (m_options.timeout) {
        deadline = platform::EventLoop::Clock::now() + *m_options.timeout;
    }
    m_loop.Run([&] { return finished() || m_bLineLost; }, deadline);
    // A box that hangs up right after its last answer has still done its part: every byte it
    // sent before hanging up has been handled by now, so this is the moment to judge.
    if (finished()) {
        // The last answer must reach the box before the port closes, and the box's last words
        // should reach the terminal.
        const auto quiet = [&] {
            const auto lastRx = std::chrono::steady_clock::time_point(
                std::chrono::steady_clock::duration(m_lastRx.load()));
            return !m_port.WritesPending() &&
                   std::chrono::steady_clock::now() - lastRx > kQuietTime;
        };
        m_loop.Run(quiet, platform::EventLoop::Clock::now() + kFlushTime);
        return Outcome::Success;
    }
    if (m_bLineLost) {
        ShowLineError();
        return Fail(Outcome::LineLost, "the line to the box was lost");
    }
    return Fail(Outcome::TimedOut, "no answer from the box in time");
}

void CUpdater::SendRxChars(std::span<const std::uint8_t> bytes, int portNumber,
                           std::stop_token stop) {
    m_lastRx = std::chrono::steady_clock::now().time_since_epoch().count();
    m_loop.Send(
        [&] {
            for (const std::uint8_t b : bytes) {
                m_transfer.OnPortRxChar(b, portNumber);
                // Past the tolerated refusals the box's words are still shown, never answered.
                if (m_watch.GaveUp() && m_transfer.IsArmed()) {
                    m_transfer.ResetTransfer();
                }
            }
        },
        stop);
}

void CUpdater::SendNotification(unsigned /*message*/, int /*portNumber*/,
                                std::stop_token /*stop*/) {}

void CUpdater::ShowErrorBox(std::string_view title, std::string_view text,
                            std::stop_token /*stop*/) {
    // Kept until the loop knows whether the transfer was over: a box that closes the line once
    // it has had its last answer has done nothing wrong.
    {
        const std::lock_guard lock(m_lineErrorLock);
        if (!m_lineError) {
            m_lineError = std::string(title) + ": " + WithoutTrailingNewlines(text);
        }
    }
    m_bLineLost = true;
    m_loop.Wake();
}

void CUpdater::ShowLineError() {
    const std::lock_guard lock(m_lineErrorLock);
    if (m_lineError) {
        m_console.Note(m_index, *m_lineError);
    }
}

void CUpdater::ShowMessage(std::string_view text) {
    m_toolkit.MessageBox(text);
}

Outcome CUpdater::Fail(Outcome outcome, const std::string& reason) {
    m_console.Note(m_index, reason);
    m_console.Emit(m_index, "error",
                   {{"status", static_cast<int>(outcome)},
                    {"outcome", OutcomeName(outcome)},
                    {"reason", reason}});
    if (m_result.reason.empty()) {
        m_result.reason = reason;
    }
    return outcome;
}

}  // namespace vandrelux::cli
