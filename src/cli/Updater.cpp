#include "cli/Updater.h"

#include <cstdio>
#include <filesystem>

#include "platform/ComPortNames.h"
#include "platform/Files.h"
#include "protocol/ControlIds.h"

namespace vandrelux::cli {

namespace {

constexpr unsigned kHandshakeTimer = 1;
constexpr int kPortNumberForPath = 1;
constexpr auto kFlushTime = std::chrono::seconds(2);

struct KindControls {
    protocol::UpdateKind kind;
    platform::ControlId tick;
    platform::ControlId path;
};

constexpr KindControls kKinds[] = {
    {protocol::UpdateKind::Bootstrap, ids::kIncludeBootstrap, ids::kBootstrapPath},
    {protocol::UpdateKind::Ucode, ids::kIncludeUcode, ids::kUcodePath},
    {protocol::UpdateKind::Logo, ids::kIncludeLogo, ids::kLogoPath},
    {protocol::UpdateKind::TvProgram, ids::kIncludeTvProgram, ids::kTvProgramPath},
    {protocol::UpdateKind::Software, ids::kIncludeSoftware, ids::kSoftwarePath},
};

// A device path is used as it stands; COM<n> goes through the usual resolution.
serial::CComPort::Resolver MakeResolver(const Options& options) {
    const std::optional<int> com = platform::ParseComName(options.port);
    if (!com) {
        return [path = options.port](int) { return path; };
    }
    platform::ComMapping mapping;
    mapping.explicitPaths = options.comMap;
    return [mapping](int n) { return platform::ResolveComPort(n, mapping); };
}

int PortNumberOf(const Options& options) {
    return platform::ParseComName(options.port).value_or(kPortNumberForPath);
}

constexpr auto kQuietTime = std::chrono::milliseconds(150);

}  // namespace

std::optional<std::string> CheckFiles(const Options& options) {
    namespace fs = std::filesystem;
    for (const UpdateFile& file : options.files) {
        std::error_code ec;
        std::FILE* f = fs::is_regular_file(file.path, ec) ? std::fopen(file.path.c_str(), "rb")
                                                           : nullptr;
        if (f == nullptr) {
            return "cannot read " + file.path;
        }
        std::fclose(f);
    }
    if (!options.receiveTo) {
        return std::nullopt;
    }
    const fs::path target = *options.receiveTo;
    std::error_code ec;
    if (target.empty() || fs::is_directory(target, ec)) {
        return "cannot write " + target.string() + ": not a file name";
    }
    if (fs::weakly_canonical(target, ec) == fs::weakly_canonical("rv.bin", ec)) {
        return "the target cannot be rv.bin: that is where the image is collected";
    }
    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    if (!platform::FolderIsWritable(folder)) {
        return "cannot write " + target.string() + ": no such folder, or not writable";
    }
    return std::nullopt;
}

void CUpdater::StdLog::AppendText(std::string_view text) {
    std::string line;
    for (const char ch : text) {
        if (ch != '\r') {
            line.push_back(ch);
        }
    }
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
}

void CUpdater::StdLog::AppendChar(char ch) {
    if (ch != '\r') {
        std::fputc(ch, stderr);
    }
}

CUpdater::CUpdater(Options options)
    : m_options(std::move(options)),
      m_toolkit(m_loop),
      m_port(*this, MakeResolver(m_options)),
      m_transfer(m_toolkit, m_port, m_log) {
    m_loop.SetTimerHandler([this](unsigned id) { m_transfer.OnTimer(id); });
    if (m_options.showProgress) {
        m_toolkit.SetProgressListener([this] { ShowProgress(); });
    }
}

CUpdater::~CUpdater() { m_toolkit.StopTimer(kHandshakeTimer); }

Outcome CUpdater::Run() {
    const int portNumber = PortNumberOf(m_options);
    if (!m_port.OpenPort(this, portNumber, m_options.baudRate, 'N', 8, 1, serial::EV_RXCHAR,
                         4096)) {
        return Fail(Outcome::PortNotOpenable, "cannot open " + m_port.DevicePath() + ": " +
                                                  platform::LastSystemError().message);
    }
    if (m_bLineLost) {
        return Fail(Outcome::PortNotOpenable, "cannot configure " + m_port.DevicePath());
    }
    m_port.StartMonitor();
    m_toolkit.StartTimer(kHandshakeTimer, 1);
    const Outcome outcome = m_options.receiveTo ? Receive() : Download();
    m_toolkit.StopTimer(kHandshakeTimer);
    m_port.HaltMonitor();
    return outcome;
}

Outcome CUpdater::Download() {
    for (const UpdateFile& file : m_options.files) {
        for (const KindControls& k : kKinds) {
            if (k.kind == file.kind) {
                m_toolkit.SetChecked(k.tick, true);
                m_toolkit.SetText(k.path, file.path);
            }
        }
    }
    m_toolkit.SetChecked(ids::kDownloadToRam, m_options.ram);
    m_transfer.m_nMode = protocol::Mode::Download;
    m_transfer.ResetTransfer();
    m_transfer.ArmDownload();
    std::fprintf(stderr, "vandrelux-cli: waiting for the box on %s; power it on\n",
                 m_port.DevicePath().c_str());

    const Outcome waited = Wait([this] {
        return m_transfer.m_nDownState == 8 || m_transfer.m_nDownState == 9 ||
               !m_toolkit.messages.empty();
    });
    if (waited != Outcome::Success) {
        return waited;
    }
    if (!m_toolkit.messages.empty()) {
        return Fail(Outcome::FileNotOpenable, "cannot read " + m_transfer.m_strFilePath);
    }
    if (m_transfer.m_nDownState == 9) {
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
    std::fprintf(stderr, "vandrelux-cli: waiting for the box on %s to send its programme code\n",
                 m_port.DevicePath().c_str());

    const Outcome waited = Wait([this] { return m_transfer.m_nState >= 6; });
    if (waited != Outcome::Success) {
        return waited;
    }
    if (m_transfer.m_nState == 7) {
        if (!m_toolkit.messages.empty()) {
            return Fail(Outcome::FileNotOpenable, "cannot write " + *m_options.receiveTo +
                                                      " or rv.bin in the current folder");
        }
        return Fail(Outcome::BoxFailure,
                    "the receive failed: the box's image did not arrive whole and checked");
    }
    return Outcome::Success;
}

Outcome CUpdater::Wait(const std::function<bool()>& finished) {
    std::optional<platform::EventLoop::Clock::time_point> deadline;
    if (m_options.timeout) {
        deadline = platform::EventLoop::Clock::now() + *m_options.timeout;
    }
    m_loop.Run([&] { return finished() || m_bLineLost; }, deadline);
    if (m_options.showProgress) {
        std::fputc('\n', stderr);
    }
    // A box that hangs up right after its last answer has still done its part.
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
            }
        },
        stop);
}

void CUpdater::SendNotification(unsigned /*message*/, int /*portNumber*/,
                                std::stop_token /*stop*/) {}

void CUpdater::ShowErrorBox(std::string_view title, std::string_view text,
                            std::stop_token /*stop*/) {
    {
        const std::lock_guard lock(m_stderrLock);
        std::fprintf(stderr, "vandrelux-cli: %.*s: %.*s", static_cast<int>(title.size()),
                     title.data(), static_cast<int>(text.size()), text.data());
    }
    m_bLineLost = true;
    m_loop.Wake();
}

void CUpdater::ShowMessage(std::string_view text) { m_toolkit.MessageBox(text); }

void CUpdater::ShowProgress() {
    const auto now = std::chrono::steady_clock::now();
    if (now - m_lastProgress < std::chrono::milliseconds(200)) {
        return;
    }
    m_lastProgress = now;
    std::fprintf(stderr, "\r%s  elapsed %s  remaining %s  %s      ",
                 m_toolkit.GetText(ids::kSizeText).c_str(), m_toolkit.GetText(ids::kElapsed).c_str(),
                 m_toolkit.GetText(ids::kRemaining).c_str(),
                 m_toolkit.GetText(ids::kThroughput).c_str());
}

Outcome CUpdater::Fail(Outcome outcome, const std::string& reason) {
    std::fprintf(stderr, "vandrelux-cli: %s\n", reason.c_str());
    return outcome;
}

}  // namespace vandrelux::cli
