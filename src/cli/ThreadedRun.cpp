// The ordinary run on Windows: one worker thread per port, each with an event loop standing in
// for the window thread and a port with its own monitor thread. They share only the console
// and the update files.
#include <atomic>
#include <mutex>
#include <thread>

#include "cli/Station.h"
#include "cli/Unit.h"
#include "cli/Updater.h"
#include "platform/ComPortNames.h"
#include "platform/EventLoop.h"
#include "serial/ComPort.h"

namespace vandrelux::cli {

namespace {

constexpr int kPortNumberForPath = 1;
constexpr auto kFlushTime = std::chrono::seconds(2);
constexpr auto kQuietTime = std::chrono::milliseconds(150);

class CUpdater final : public serial::IPortOwner, public ITimerHost {
public:
    // Constructed, run and destroyed on the worker's own thread.
    CUpdater(const Options& options, std::size_t index, CConsole& console,
             protocol::CSharedUpdateFiles& files)
        : m_options(options),
          m_index(index),
          m_console(console),
          m_device(ResolvePort(options.ports.at(index), options)),
          m_port(*this, [device = m_device](int) { return device; }),
          m_unit(options, index, console, *this, m_port, files) {
        m_loop.SetTimerHandler([this](unsigned id) { m_unit.OnTimer(id); });
        m_result.port = options.ports[index];
        m_result.device = m_device;
    }
    ~CUpdater() override { m_loop.StopTimer(kHandshakeTimer); }
    CUpdater(const CUpdater&) = delete;
    CUpdater& operator=(const CUpdater&) = delete;

    PortResult Run();

    void SendRxChars(std::span<const std::uint8_t> bytes, int portNumber,
                     std::stop_token stop) override {
        m_lastRx = std::chrono::steady_clock::now().time_since_epoch().count();
        m_loop.Send(
            [&] {
                for (const std::uint8_t b : bytes) {
                    m_unit.OnByte(b, portNumber);
                }
            },
            stop);
    }
    void SendNotification(unsigned /*message*/, int /*portNumber*/,
                          std::stop_token /*stop*/) override {}
    void ShowErrorBox(std::string_view title, std::string_view text,
                      std::stop_token /*stop*/) override {
        // Kept until the loop knows whether the transfer was over: a box that closes the line
        // once it has had its last answer has done nothing wrong.
        {
            const std::lock_guard lock(m_lineErrorLock);
            if (!m_lineError) {
                m_lineError = ErrorBoxLine(title, text);
            }
        }
        m_bLineLost = true;
        m_loop.Wake();
    }
    void ShowMessage(std::string_view text) override { m_console.Note(m_index, text); }

    void StartTimer(unsigned timerId, unsigned periodMs) override {
        m_loop.StartTimer(timerId, periodMs);
    }
    void StopTimer(unsigned timerId) override { m_loop.StopTimer(timerId); }
    void Sleep(std::uint32_t ms) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }

private:
    Outcome Wait();
    Outcome Fail(Outcome outcome, const std::string& reason);
    void ShowLineError();

    const Options& m_options;
    std::size_t m_index;
    CConsole& m_console;
    std::string m_device;
    platform::EventLoop m_loop;
    serial::CComPort m_port;
    CPortUnit m_unit;
    PortResult m_result;
    std::atomic<bool> m_bLineLost{false};
    std::mutex m_lineErrorLock;
    std::optional<std::string> m_lineError;  // the first report of a lost line, not yet shown
    std::atomic<std::chrono::steady_clock::rep> m_lastRx{0};  // when the box last sent a byte
};

PortResult CUpdater::Run() {
    const auto start = std::chrono::steady_clock::now();
    const int portNumber =
        platform::ParseComName(m_options.ports[m_index]).value_or(kPortNumberForPath);
    Outcome outcome = Outcome::Success;
    if (!m_port.OpenPort(this, portNumber, m_options.baudRate, 'N', 8, 1, serial::EV_RXCHAR,
                         4096)) {
        const platform::SystemError error = platform::LastSystemError();
        outcome = Fail(Outcome::PortNotOpenable, "cannot open " + m_device + ": " + error.message);
        ReportOpenFailure(m_console, m_index, m_device, m_options, error);
    } else if (m_bLineLost) {
        ShowLineError();
        outcome = Fail(Outcome::PortNotOpenable, "cannot configure " + m_device);
    } else {
        m_console.Emit(m_index, "port_opened",
                       {{"device", m_device}, {"baud", m_options.baudRate}});
        m_port.StartMonitor();
        m_loop.StartTimer(kHandshakeTimer, static_cast<unsigned>(m_options.beacon.count()));
        m_unit.Arm();
        m_console.Note(m_index, m_unit.WaitingNote(m_device));
        outcome = Wait();
        m_loop.StopTimer(kHandshakeTimer);
        m_port.HaltMonitor();
    }
    m_console.Finish(m_index);
    m_result.images = m_unit.Watch().Images();
    m_result.outcome = outcome;
    m_result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    m_console.Emit(m_index, "summary", ToJson(m_result));
    return m_result;
}

Outcome CUpdater::Wait() {
    std::optional<platform::EventLoop::Clock::time_point> deadline;
    if (m_options.timeout) {
        deadline = platform::EventLoop::Clock::now() + *m_options.timeout;
    }
    m_loop.Run([&] { return m_unit.Ended() || m_bLineLost; }, deadline);
    // A box that hangs up right after its last answer has still done its part: every byte it
    // sent before hanging up has been handled by now, so this is the moment to judge.
    if (m_unit.Ended()) {
        // The last answer must reach the box before the port closes, and the box's last words
        // should reach the terminal.
        const auto quiet = [&] {
            const auto lastRx = std::chrono::steady_clock::time_point(
                std::chrono::steady_clock::duration(m_lastRx.load()));
            return !m_port.WritesPending() &&
                   std::chrono::steady_clock::now() - lastRx > kQuietTime;
        };
        m_loop.Run(quiet, platform::EventLoop::Clock::now() + kFlushTime);
        const UnitVerdict verdict = m_unit.Judge();
        return verdict.outcome == Outcome::Success ? Outcome::Success
                                                   : Fail(verdict.outcome, verdict.reason);
    }
    if (m_bLineLost) {
        ShowLineError();
        return Fail(Outcome::LineLost, "the line to the box was lost");
    }
    return Fail(Outcome::TimedOut, "no answer from the box in time");
}

void CUpdater::ShowLineError() {
    const std::lock_guard lock(m_lineErrorLock);
    if (m_lineError) {
        m_console.Note(m_index, *m_lineError);
    }
}

Outcome CUpdater::Fail(Outcome outcome, const std::string& reason) {
    return ReportFailure(m_console, m_index, m_result, outcome, reason);
}

}  // namespace

std::vector<PortResult> RunUpdate(const Options& options, CConsole& console) {
    std::vector<PortResult> results(options.ports.size());
    protocol::CSharedUpdateFiles files;
    std::vector<std::jthread> workers;
    for (std::size_t i = 0; i < options.ports.size(); ++i) {
        workers.emplace_back([&options, &console, &results, &files, i] {
            CUpdater updater(options, i, console, files);
            results[i] = updater.Run();
        });
    }
    workers.clear();
    return results;
}

int RunStation(const Options& /*options*/, CConsole& console) {
    console.Note("--station runs on Linux only");
    return static_cast<int>(Outcome::Usage);
}

}  // namespace vandrelux::cli
