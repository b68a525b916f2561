// The ordinary run on the engine: a port from its open to its result.
#include "station/Run.h"

#include <algorithm>
#include <memory>

#include "engine/Engine.h"
#include "station/PortDriver.h"

namespace vandrelux::station {

namespace {

constexpr auto kFlushTime = std::chrono::seconds(2);
constexpr auto kQuietTime = std::chrono::milliseconds(150);
constexpr auto kFlushCheck = std::chrono::milliseconds(10);

class CRunPort final : public CPortDriver {
public:
    CRunPort(engine::CEngine& engine, const RunSettings& settings, std::size_t index,
             IPortEvents& events, store::CSharedUpdateFiles& files)
        : CPortDriver(engine, settings.unit, settings.ports.at(index).device, events, files),
          m_run(settings),
          m_portNumber(settings.ports[index].number) {
        m_result.port = settings.ports[index].name;
        m_result.device = m_device;
    }

    void Start() {
        m_start = engine::EngineClock::now();
        OpenLine();
    }

    [[nodiscard]] bool Done() const noexcept { return m_bDone; }
    [[nodiscard]] const PortResult& Result() const noexcept { return m_result; }

    // A signal stopped the run: the transfer under way goes no further.
    void Abandon() {
        if (!m_bDone) {
            Finish(Fail(Outcome::Abandoned, "stopped by a signal"));
        }
    }

    void OnByte(std::uint8_t byte) override {
        m_unit.OnByte(byte, m_portNumber);
        if (!m_bFlushing && m_unit.Ended()) {
            BeginFlush();
        }
    }

    void OnLineLost(platform::PortStep step, const platform::SystemError& error) override {
        // A box that hangs up right after its last answer has still done its part.
        if (m_unit.Ended()) {
            Finish(Outcome::Success);
            return;
        }
        Finish(Fail(Outcome::LineLost, LineFailure(step, error)));
    }

private:
    void Opened(engine::OpenResult opened) override {
        if (!opened.device) {
            Fail(Outcome::PortNotOpenable, OpenFailure(opened));
            if (opened.failedStep == platform::PortStep::Open) {
                m_events.OpenFailed(m_device, opened.error);
            }
            Finish(m_result.outcome);
            return;
        }
        if (!AttachLine(std::move(opened.device))) {
            Finish(Fail(Outcome::PortNotOpenable, "cannot watch " + m_device));
            return;
        }
        StartTimer(kHandshakeTimer, 1);
        m_unit.Arm();
        m_events.Note(m_unit.WaitingNote(m_device));
        if (m_run.timeout) {
            m_timeoutTask = m_engine.At(engine::EngineClock::now() + *m_run.timeout, [this] {
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
        m_flushEnd = engine::EngineClock::now() + kFlushTime;
        CheckFlushed();
    }

    void CheckFlushed() {
        const auto now = engine::EngineClock::now();
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
        m_result.outcome = ReportFailure(m_events, m_result, outcome, reason);
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
        CloseLine();
        m_events.Finish();
        m_result.images = m_unit.EndUnit();
        m_result.outcome = outcome;
        m_result.seconds =
            std::chrono::duration<double>(engine::EngineClock::now() - m_start).count();
        m_events.Emit("summary", ToJson(m_result));
    }

    const RunSettings& m_run;
    int m_portNumber;
    PortResult m_result;
    engine::EngineClock::time_point m_start;
    engine::EngineClock::time_point m_flushEnd;
    std::uint64_t m_timeoutTask = 0;
    std::uint64_t m_flushTask = 0;
    bool m_bFlushing = false;
    bool m_bDone = false;
};

}  // namespace

std::vector<PortResult> RunUnits(const RunSettings& settings, IRunEvents& events) {
    engine::CEngine engine(settings.beacon);
    store::CSharedUpdateFiles files;
    std::vector<std::unique_ptr<CRunPort>> ports;
    const std::vector<engine::Signal> stops{engine::Signal::Interrupt, engine::Signal::Terminate};
    if (!engine.WatchSignals(stops, [&](engine::Signal /*signal*/) {
            events.Note(
                "signal: the transfers under way are abandoned (a second signal ends "
                "the program at once)");
            engine::CEngine::ReleaseSignals(stops);
            for (const auto& port : ports) {
                port->Abandon();
            }
        })) {
        events.Note("cannot watch for signals: " + platform::LastSystemError().message);
    }
    for (std::size_t i = 0; i < settings.ports.size(); ++i) {
        IPortEvents& portEvents = events.AddPort(settings.ports[i].name);
        ports.push_back(std::make_unique<CRunPort>(engine, settings, i, portEvents, files));
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

}  // namespace vandrelux::station
