// The ordinary run on Windows: one worker thread per port, each with an event loop standing in
// for the window thread and a port with its own monitor thread. They share only the events and
// the update files.
#include "station/Run.h"

#include <atomic>
#include <mutex>
#include <thread>

#include "serial/ComPort.h"
#include "station/PortUnit.h"
#include "station/Station.h"
#include "toolkit/EventLoop.h"

namespace vandrelux::station {

namespace {

std::string ErrorBoxLine(std::string_view title, std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    return std::string(title) + ": " + std::string(text);
}

constexpr auto kFlushTime = std::chrono::seconds(2);
constexpr auto kQuietTime = std::chrono::milliseconds(150);

class CUpdater final : public serial::IPortOwner, public ITimerHost {
public:
    // Constructed, run and destroyed on the worker's own thread.
    CUpdater(const RunSettings& settings, std::size_t index, IPortEvents& events,
             store::CSharedUpdateFiles& files)
        : m_settings(settings),
          m_events(events),
          m_device(settings.ports.at(index).device),
          m_portNumber(settings.ports[index].number),
          m_port(*this, [device = m_device](int) { return device; }),
          m_unit(settings.unit, events, *this, m_port, files) {
        m_loop.SetTimerHandler([this](unsigned id) { m_unit.OnTimer(id); });
        m_result.port = settings.ports[index].name;
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
    void ShowMessage(std::string_view text) override { m_events.Note(text); }

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

    const RunSettings& m_settings;
    IPortEvents& m_events;
    std::string m_device;
    int m_portNumber;
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
    Outcome outcome = Outcome::Success;
    if (!m_port.OpenPort(this, m_portNumber, m_settings.unit.baudRate, 'N', 8, 1, serial::EV_RXCHAR,
                         4096)) {
        const platform::SystemError error = platform::LastSystemError();
        outcome = Fail(Outcome::PortNotOpenable, "cannot open " + m_device + ": " + error.message);
        m_events.OpenFailed(m_device, error);
    } else if (m_bLineLost) {
        ShowLineError();
        outcome = Fail(Outcome::PortNotOpenable, "cannot configure " + m_device);
    } else {
        m_events.Emit("port_opened", {{"device", m_device}, {"baud", m_settings.unit.baudRate}});
        m_port.StartMonitor();
        m_loop.StartTimer(kHandshakeTimer, static_cast<unsigned>(m_settings.beacon.count()));
        m_unit.Arm();
        m_events.Note(m_unit.WaitingNote(m_device));
        outcome = Wait();
        m_loop.StopTimer(kHandshakeTimer);
        m_port.HaltMonitor();
    }
    m_events.Finish();
    m_result.images = m_unit.EndUnit();
    m_result.outcome = outcome;
    m_result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    m_events.Emit("summary", ToJson(m_result));
    return m_result;
}

Outcome CUpdater::Wait() {
    std::optional<platform::EventLoop::Clock::time_point> deadline;
    if (m_settings.timeout) {
        deadline = platform::EventLoop::Clock::now() + *m_settings.timeout;
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
        m_events.Note(*m_lineError);
    }
}

Outcome CUpdater::Fail(Outcome outcome, const std::string& reason) {
    return ReportFailure(m_events, m_result, outcome, reason);
}

}  // namespace

std::vector<PortResult> RunUnits(const RunSettings& settings, IRunEvents& events) {
    std::vector<PortResult> results(settings.ports.size());
    std::vector<IPortEvents*> ports;
    for (const RunPort& port : settings.ports) {
        ports.push_back(&events.AddPort(port.name));
    }
    store::CSharedUpdateFiles files;
    std::vector<std::jthread> workers;
    for (std::size_t i = 0; i < settings.ports.size(); ++i) {
        workers.emplace_back([&settings, &ports, &results, &files, i] {
            CUpdater updater(settings, i, *ports[i], files);
            results[i] = updater.Run();
        });
    }
    workers.clear();
    return results;
}

int RunStation(const StationSettings& /*settings*/, IRunEvents& events) {
    events.Note("--station runs on Linux only");
    return static_cast<int>(Outcome::Usage);
}

}  // namespace vandrelux::station
