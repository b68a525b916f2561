// The ordinary run on Linux: every port's transfer on one engine thread.
#include <algorithm>
#include <csignal>
#include <memory>

#include "cli/Engine.h"
#include "cli/Unit.h"
#include "cli/Updater.h"
#include "platform/ComPortNames.h"
#include "serial/ComPort.h"

namespace vandrelux::cli {

namespace {

constexpr int kPortNumberForPath = 1;
constexpr auto kFlushTime = std::chrono::seconds(2);
constexpr auto kQuietTime = std::chrono::milliseconds(150);
constexpr auto kFlushCheck = std::chrono::milliseconds(10);

// One port of the run, from its open to its result.
class CEnginePort final : public ILineClient, public ITimerHost {
public:
    CEnginePort(CEngine& engine, const Options& options, std::size_t index, CConsole& console,
                protocol::CSharedUpdateFiles& files)
        : m_engine(engine),
          m_options(options),
          m_index(index),
          m_console(console),
          m_device(ResolvePort(options.ports.at(index), options)),
          m_portNumber(platform::ParseComName(options.ports[index]).value_or(kPortNumberForPath)),
          m_unit(options, index, console, *this, m_writer, files) {
        m_result.port = options.ports[index];
        m_result.device = m_device;
    }

    void Start() {
        m_start = EngineClock::now();
        m_engine.Open(m_device, m_options.baudRate,
                      [this](OpenResult opened) { Opened(std::move(opened)); });
    }

    [[nodiscard]] bool Done() const noexcept { return m_bDone; }

    // A signal stopped the run: the transfer under way goes no further.
    void Abandon() {
        if (!m_bDone) {
            Finish(Fail(Outcome::Abandoned, "stopped by a signal"));
        }
    }
    [[nodiscard]] const PortResult& Result() const noexcept { return m_result; }

    void OnByte(std::uint8_t byte) override {
        m_unit.OnByte(byte, m_portNumber);
        if (!m_bFlushing && m_unit.Ended()) {
            BeginFlush();
        }
    }

    std::size_t TakeRun(std::span<const std::uint8_t> bytes) override {
        return m_unit.TakeRun(bytes);
    }

    void OnTick() override {
        if (m_bTicking) {
            m_unit.OnTimer(kHandshakeTimer);
        }
    }

    void OnLineLost(platform::PortStep step, const platform::SystemError& error) override {
        // A box that hangs up right after its last answer has still done its part.
        if (m_unit.Ended()) {
            Finish(Outcome::Success);
            return;
        }
        Finish(Fail(Outcome::LineLost,
                    m_device + ": " + PortFailure(m_device, step, error, m_options.baudRate)));
    }

    void StartTimer(unsigned timerId, unsigned /*periodMs*/) override {
        m_bTicking = m_bTicking || timerId == kHandshakeTimer;
    }
    void StopTimer(unsigned timerId) override {
        m_bTicking = m_bTicking && timerId != kHandshakeTimer;
    }
    void Sleep(std::uint32_t ms) override {
        if (m_line != nullptr) {
            m_line->Pause(ms);
        }
    }

private:
    void Opened(OpenResult opened) {
        if (!opened.device) {
            if (opened.failedStep == platform::PortStep::Open) {
                Fail(Outcome::PortNotOpenable,
                     "cannot open " + m_device + ": " + opened.error.message);
                ReportOpenFailure(m_console, m_index, m_device, m_options, opened.error);
            } else {
                Fail(Outcome::PortNotOpenable, m_device + ": " +
                                                   PortFailure(m_device, opened.failedStep,
                                                               opened.error, m_options.baudRate));
            }
            Finish(m_result.outcome);
            return;
        }
        m_line = m_engine.Attach(std::move(opened.device), m_portNumber, *this);
        if (m_line == nullptr) {
            Finish(Fail(Outcome::PortNotOpenable, "cannot watch " + m_device));
            return;
        }
        m_writer.m_line = m_line;
        m_console.Emit(m_index, "port_opened",
                       {{"device", m_device}, {"baud", m_options.baudRate}});
        StartTimer(kHandshakeTimer, 1);
        m_unit.Arm();
        m_console.Note(m_index, m_unit.WaitingNote(m_device));
        if (m_options.timeout) {
            m_timeoutTask = m_engine.At(EngineClock::now() + *m_options.timeout, [this] {
                m_timeoutTask = 0;
                if (!m_bFlushing) {
                    Finish(Fail(Outcome::TimedOut, "no answer from the box in time"));
                }
            });
        }
    }

    // The last answer must reach the box before the port closes, and the box's last words
    // should reach the terminal.
    void BeginFlush() {
        m_bFlushing = true;
        StopTimer(kHandshakeTimer);
        m_engine.Cancel(m_timeoutTask);
        m_timeoutTask = 0;
        m_flushEnd = EngineClock::now() + kFlushTime;
        CheckFlushed();
    }

    void CheckFlushed() {
        const auto now = EngineClock::now();
        const bool quiet = !m_line->OutputPending() && now - m_line->LastInput() > kQuietTime;
        if (quiet || now >= m_flushEnd) {
            Finish(Outcome::Success);
            return;
        }
        m_flushTask = m_engine.At(now + kFlushCheck, [this] {
            m_flushTask = 0;
            CheckFlushed();
        });
    }

    Outcome Fail(Outcome outcome, const std::string& reason) {
        m_result.outcome = ReportFailure(m_console, m_index, m_result, outcome, reason);
        return outcome;
    }

    void Finish(Outcome outcome) {
        if (m_bDone) {
            return;
        }
        m_bDone = true;
        if (outcome == Outcome::Success) {
            const UnitVerdict verdict = m_unit.Judge();
            outcome = verdict.outcome == Outcome::Success ? Outcome::Success
                                                          : Fail(verdict.outcome, verdict.reason);
        }
        m_engine.Cancel(m_timeoutTask);
        m_engine.Cancel(m_flushTask);
        m_bTicking = false;
        m_writer.m_line = nullptr;
        m_engine.Close(m_line);
        m_line = nullptr;
        m_console.Finish(m_index);
        m_result.images = m_unit.EndUnit();
        m_result.outcome = outcome;
        m_result.seconds = std::chrono::duration<double>(EngineClock::now() - m_start).count();
        m_console.Emit(m_index, "summary", ToJson(m_result));
    }

    CEngine& m_engine;
    const Options& m_options;
    std::size_t m_index;
    CConsole& m_console;
    std::string m_device;
    int m_portNumber;
    CLineWriter m_writer;
    CPortUnit m_unit;
    CLine* m_line = nullptr;
    PortResult m_result;
    EngineClock::time_point m_start;
    EngineClock::time_point m_flushEnd;
    std::uint64_t m_timeoutTask = 0;
    std::uint64_t m_flushTask = 0;
    bool m_bTicking = false;
    bool m_bFlushing = false;
    bool m_bDone = false;
};

}  // namespace

std::vector<PortResult> RunUpdate(const Options& options, CConsole& console) {
    CEngine engine(options.beacon);
    protocol::CSharedUpdateFiles files;
    std::vector<std::unique_ptr<CEnginePort>> ports;
    const std::vector<int> stops{SIGINT, SIGTERM};
    if (!engine.WatchSignals(stops, [&](int /*signal*/) {
            console.Note(
                "signal: the transfers under way are abandoned (a second signal ends "
                "the program at once)");
            CEngine::ReleaseSignals(stops);
            for (const auto& port : ports) {
                port->Abandon();
            }
        })) {
        console.Note("cannot watch for signals: " + platform::LastSystemError().message);
    }
    for (std::size_t i = 0; i < options.ports.size(); ++i) {
        ports.push_back(std::make_unique<CEnginePort>(engine, options, i, console, files));
        ports.back()->Start();
    }
    engine.Run([&] {
        return std::all_of(ports.begin(), ports.end(),
                           [](const auto& port) { return port->Done(); });
    });
    std::vector<PortResult> results;
    results.reserve(ports.size());
    for (const auto& port : ports) {
        results.push_back(port->Result());
    }
    return results;
}

}  // namespace vandrelux::cli
