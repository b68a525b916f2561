#include "station/Station.h"

#include <algorithm>
#include <map>
#include <memory>
#include <regex>

#include "engine/Engine.h"
#include "os/Format.h"
#include "os/Process.h"
#include "station/DeviceWatch.h"
#include "station/PortDriver.h"
#include "station/Text.h"
#include "station/UnitsLog.h"
#include "station/WebEvents.h"

namespace vandrelux::station {

using engine::EngineClock;

namespace {

constexpr int kPortNumber = 1;
// How often a slot whose line does not open, or went away, tries again.
constexpr auto kRetryPeriod = std::chrono::seconds(1);
// A slot that keeps failing for the same reason is told again this often, so a journal shows it
// still fails without a line a second.
constexpr auto kRepeatFailure = std::chrono::hours(1);
// How often the words of a booting box are matched against --boot-check.
constexpr auto kBootLookPeriod = std::chrono::milliseconds(20);

std::string UtcNow() {
    return UtcText(std::chrono::system_clock::now());
}

class CStation;

// Talking: armed, but bytes that began no unit stopped the beacon; it starts again once the line
// has been quiet for the re-arm time. Paused: closed until resumed.
enum class SlotState { Opening, Retrying, Waiting, Talking, InUnit, Quiet, Paused, Stopped, Gone };

// The state as the slot_state event names it.
const char* StateName(SlotState state) {
    switch (state) {
        case SlotState::Opening:
            return "opening";
        case SlotState::Retrying:
            return "retrying";
        case SlotState::Waiting:
            return "waiting";
        case SlotState::Talking:
            return "talking";
        case SlotState::InUnit:
            return "unit";
        case SlotState::Quiet:
            return "quiet";
        case SlotState::Paused:
            return "paused";
        case SlotState::Stopped:
            return "stopped";
        case SlotState::Gone:
            return "gone";
    }
    return "unknown";
}

std::string Seconds(std::chrono::milliseconds duration) {
    return platform::Format("%g s", std::chrono::duration<double>(duration).count());
}

// One slot: its line, its transfer and its units.
class CSlot final : public CPortDriver {
public:
    CSlot(CStation& station, std::string device, bool watched, IPortEvents& events);

    void Open();
    // No new unit; one under way finishes, or is abandoned.
    void Stop(bool abandon);
    // The watched device went away: a unit under way ends as "line lost".
    void Vanish();
    // No new unit until Resume; one under way finishes first.
    void Pause();
    void Resume();

    [[nodiscard]] bool Busy() const noexcept { return m_state == SlotState::InUnit; }
    [[nodiscard]] bool Gone() const noexcept { return m_state == SlotState::Gone; }
    [[nodiscard]] nlohmann::json Totals() const;
    [[nodiscard]] std::string TotalsRow() const;

    void OnByte(std::uint8_t byte) override;
    void OnLineLost(platform::PortStep step, const platform::SystemError& error) override;

private:
    void Opened(engine::OpenResult opened) override;
    void Arm();
    void BeginUnit();
    void EndUnit(const std::string& outcome, const std::string& reason);
    void AwaitQuiet();
    void CheckQuiet();
    // Notes what the box's last byte did for the unit under way.
    void FollowProgress();
    // The transfer is done; with --boot-check the unit waits for the box's new software to say
    // so, else it ends.
    void Delivered();
    void CheckBoot();
    void LookAtBootSoon();
    // A box that takes the unit no further must not hold its slot for ever, whether it is silent,
    // talks or refuses every frame.
    void CheckSilence();
    [[nodiscard]] std::string StalledReason() const;
    // No more of the line: no task due, no transfer armed, no beacon, the line closed.
    void Release();
    void Retry(const std::string& why);
    // The slot is in `state` from now on: its words for the console, and the slot_state event.
    void Enter(SlotState state, const std::string& words);
    void UpdateTail();

    CStation& m_station;
    bool m_bWatched;
    SlotState m_state = SlotState::Opening;
    bool m_bStopping = false;
    bool m_bPaused = false;
    std::uint64_t m_task = 0;         // the retry or the quiet check due next
    std::uint64_t m_silenceTask = 0;  // the look at a unit's box due next
    std::string m_lastOpenError;
    EngineClock::time_point m_lastOpenErrorAt;
    EngineClock::time_point m_quietSince;

    std::uint64_t m_progressSeen = 0;         // the watch's progress at the last look
    EngineClock::time_point m_progressClock;  // when the box last took the unit on
    int m_refusedAtProgress = 0;              // refused frames of the unit by then
    std::uint64_t m_bytesSinceProgress = 0;
    EngineClock::time_point m_lastTalk;  // the box's last byte that took the unit no further
    int m_refusedShown = 0;              // refused frames as the slot's line shows them

    bool m_bBooting = false;           // the unit waits for the words of --boot-check
    std::uint64_t m_bootTask = 0;      // when it gives up on them
    std::uint64_t m_bootLookTask = 0;  // the next look at what the box said
    std::string m_boxText;             // what the box said before it was ready
    std::string m_boxId;

    int m_unitNumber = 0;
    std::string m_unitStart;
    EngineClock::time_point m_unitClock;
    int m_passed = 0;
    int m_failed = 0;
    int m_abandoned = 0;
};

class CStation {
public:
    CStation(const StationSettings& settings, IRunEvents& events)
        : m_settings(settings),
          m_web(settings.web ? std::make_unique<CStationWeb>(
                                   settings, events,
                                   [this](const http::Command& command) { Command(command); })
                             : nullptr),
          m_events(m_web ? m_web->Events() : events),
          m_engine(settings.beacon),
          m_stationId(settings.stationId.empty() ? platform::HostName() : settings.stationId) {
        if (!settings.boxId.empty()) {
            m_boxId.emplace(settings.boxId);
        }
        if (!settings.bootCheck.empty()) {
            m_bootCheck.emplace(settings.bootCheck);
        }
    }

    int Run();
    void Record(const nlohmann::json& unit);
    // The number of the next record: rising across runs on the same units log.
    [[nodiscard]] std::uint64_t NextSeq() { return m_nextSeq++; }
    // The box's identity in its text: the first group of --box-id, or all it matched.
    [[nodiscard]] std::string BoxIdIn(const std::string& text) const;
    [[nodiscard]] bool BootCheckMatches(const std::string& text) const {
        return m_bootCheck && std::regex_search(text, *m_bootCheck);
    }
    [[nodiscard]] const std::string& StationId() const noexcept { return m_stationId; }
    // A watched slot's device went: look at the globs again once this event is handled, and
    // from then on as long as a link is left that leads to no device.
    void LookAgain();

    const StationSettings& m_settings;
    std::unique_ptr<CStationWeb> m_web;  // before the events, which go through it
    IRunEvents& m_events;
    engine::CEngine m_engine;
    store::CSharedUpdateFiles m_files;  // for every slot; outlives them

private:
    void AddSlot(const std::string& device, bool watched);
    void OnSignal(engine::Signal signal);
    // No new unit starts; `abandon` ends the units under way too. `who` asked for it.
    void Halt(bool abandon, const std::string& who);
    // From the web server's thread: carried out on the engine's, without waiting for it.
    void Command(const http::Command& command);
    // Starts the web server, when there is one; false when it cannot listen.
    [[nodiscard]] bool ServeWeb();
    void Rescan();
    // Folders that cannot be watched, do not exist yet or went away are looked at every second,
    // until they can be watched again.
    void Poll();
    void PrintTotals();
    void LeaveUnwrittenUnits();
    void ReopenUnitsLog();

    std::string m_stationId;
    std::optional<std::regex> m_boxId;
    std::optional<std::regex> m_bootCheck;
    std::uint64_t m_nextSeq = 1;
    std::map<std::string, std::unique_ptr<CSlot>> m_slots;
    std::vector<std::string> m_order;  // slots by first appearance
    std::unique_ptr<CDeviceWatch> m_watch;
    bool m_bPolling = false;
    int m_halts = 0;  // signals, and the API's drain and stop
    CUnitsLog m_unitsLog;
    std::string m_unitsLogProblem;  // as last reported; empty while the log is written
};

CSlot::CSlot(CStation& station, std::string device, bool watched, IPortEvents& events)
    : CPortDriver(station.m_engine, station.m_settings.unit, std::move(device), events,
                  station.m_files),
      m_station(station),
      m_bWatched(watched) {
    UpdateTail();
}

void CSlot::Open() {
    m_station.m_engine.Cancel(m_task);
    m_task = 0;
    if (m_bPaused) {
        Enter(SlotState::Paused, "paused");
        return;
    }
    // A slot trying again stays "trying again" until it is open: one line per change.
    if (m_state != SlotState::Retrying) {
        Enter(SlotState::Opening, "opening");
    }
    m_state = SlotState::Opening;
    OpenLine();
}

void CSlot::Opened(engine::OpenResult opened) {
    if (m_state != SlotState::Opening) {
        return;  // stopped or gone meanwhile; the device closes with the result
    }
    if (!opened.device) {
        const std::string why = OpenFailure(opened);
        // A slot that never opens is told once, not every second, and again now and then.
        const auto now = EngineClock::now();
        if (why != m_lastOpenError || now - m_lastOpenErrorAt >= kRepeatFailure) {
            m_lastOpenError = why;
            m_lastOpenErrorAt = now;
            m_events.Note(why + "; trying again");
            m_events.Emit("error", {{"status", static_cast<int>(Outcome::PortNotOpenable)},
                                    {"outcome", OutcomeName(Outcome::PortNotOpenable)},
                                    {"reason", why}});
            if (opened.failedStep == platform::PortStep::Open) {
                m_events.OpenFailed(m_device, opened.error);
            }
        }
        Retry("cannot open");
        return;
    }
    m_lastOpenError.clear();
    if (!AttachLine(std::move(opened.device))) {
        Retry("cannot watch the line: " + platform::LastSystemError().message);
        return;
    }
    m_unit.ForgetBoxText();
    Arm();
}

void CSlot::Arm() {
    m_unit.Arm();
    StartTimer(kHandshakeTimer, 1);
    Enter(SlotState::Waiting, "waiting for a box");
}

void CSlot::BeginUnit() {
    // A talking box that said it is ready after all needs no quiet to be armed again.
    m_station.m_engine.Cancel(m_task);
    m_task = 0;
    ++m_unitNumber;
    m_unitStart = UtcNow();
    m_unitClock = EngineClock::now();
    m_progressSeen = m_unit.Watch().Progress();
    m_progressClock = m_unitClock;
    m_refusedAtProgress = 0;
    m_bytesSinceProgress = 0;
    m_refusedShown = 0;
    m_bBooting = false;
    m_boxText = m_unit.BoxText();
    m_unit.ForgetBoxText();
    m_boxId = m_station.BoxIdIn(m_boxText);
    m_events.Emit("unit_started",
                  {{"slot", m_device}, {"unit", m_unitNumber}, {"start", m_unitStart}});
    Enter(SlotState::InUnit, "box ready");
    if (m_boxId.empty() && !m_station.m_settings.boxId.empty()) {
        if (m_station.m_settings.requireBoxId) {
            // The transfer has its answer to the box's ready byte queued behind its pause.
            m_line->DropRequest();
            EndUnit(OutcomeName(Outcome::BoxFailure),
                    "the box gave no identity: its text did not match --box-id, and one is "
                    "required");
            AwaitQuiet();
            return;
        }
        m_events.Note(platform::Format(
            "unit %d: the box gave no identity: its text did not match --box-id", m_unitNumber));
    }
    CheckSilence();
}

void CSlot::Delivered() {
    if (m_station.m_settings.bootCheck.empty()) {
        EndUnit(OutcomeName(Outcome::Success), "");
        AwaitQuiet();
        return;
    }
    // The box's words are only shown from now on; what it said while it was updated does not
    // count.
    m_unit.Disarm();
    StopTimer(kHandshakeTimer);
    m_unit.ForgetBoxText();
    m_station.m_engine.Cancel(m_silenceTask);
    m_silenceTask = 0;
    m_bBooting = true;
    Enter(SlotState::InUnit, "waiting for the new software");
    m_bootTask =
        m_station.m_engine.At(EngineClock::now() + m_station.m_settings.bootCheckTime, [this] {
            m_bootTask = 0;
            EndUnit(OutcomeName(Outcome::BootFailed),
                    "the box did not say what --boot-check waits for within " +
                        Seconds(m_station.m_settings.bootCheckTime) + " of its update");
            AwaitQuiet();
        });
    CheckBoot();
}

void CSlot::CheckBoot() {
    m_bootLookTask = 0;
    if (m_bBooting && m_station.BootCheckMatches(m_unit.BoxText())) {
        EndUnit(OutcomeName(Outcome::Success), "");
        AwaitQuiet();
    }
}

void CSlot::LookAtBootSoon() {
    // A box that boots talks fast: what it said is looked at now and then, not at every byte.
    if (m_bootLookTask == 0) {
        m_bootLookTask =
            m_station.m_engine.At(EngineClock::now() + kBootLookPeriod, [this] { CheckBoot(); });
    }
}

void CSlot::CheckSilence() {
    m_silenceTask = 0;
    if (m_state != SlotState::InUnit || m_line == nullptr || m_bBooting) {
        return;
    }
    const auto due = m_progressClock + m_station.m_settings.unitSilence;
    if (EngineClock::now() >= due) {
        EndUnit(OutcomeName(Outcome::TimedOut), StalledReason());
        AwaitQuiet();
        return;
    }
    m_silenceTask = m_station.m_engine.At(due, [this] { CheckSilence(); });
}

std::string CSlot::StalledReason() const {
    const std::string limit = Seconds(m_station.m_settings.unitSilence);
    const int refused = m_unit.Watch().RefusedFrames() - m_refusedAtProgress;
    if (refused > 0) {
        return platform::Format("the box refused every frame for %s (%d refusals)", limit.c_str(),
                                refused);
    }
    // A few words right after the last step (a status line) are no talking.
    if (m_bytesSinceProgress > 0 &&
        EngineClock::now() - m_lastTalk < m_station.m_settings.unitSilence / 2) {
        return "the box talked for " + limit + " but took the update no further";
    }
    return "the box said nothing for " + limit;
}

void CSlot::FollowProgress() {
    const CTransferWatch& watch = m_unit.Watch();
    if (watch.Progress() != m_progressSeen) {
        m_progressSeen = watch.Progress();
        m_progressClock = EngineClock::now();
        m_refusedAtProgress = watch.RefusedFrames();
        m_bytesSinceProgress = 0;
    } else {
        ++m_bytesSinceProgress;
        m_lastTalk = EngineClock::now();
    }
    if (watch.RefusedFrames() != m_refusedShown) {
        m_refusedShown = watch.RefusedFrames();
        UpdateTail();
    }
}

void CSlot::EndUnit(const std::string& outcome, const std::string& reason) {
    m_state = SlotState::Quiet;
    m_station.m_engine.Cancel(m_silenceTask);
    m_silenceTask = 0;
    m_station.m_engine.Cancel(m_bootTask);
    m_bootTask = 0;
    m_station.m_engine.Cancel(m_bootLookTask);
    m_bootLookTask = 0;
    nlohmann::json images = nlohmann::json::array();
    // Passed at the first go: nothing refused on the way, no image sent again.
    bool firstPass = outcome == OutcomeName(Outcome::Success);
    for (const ImageResult& image : m_unit.EndUnit()) {
        images.push_back(ToJson(image));
        firstPass = firstPass && image.naks == 0 && image.resends == 0;
    }
    nlohmann::json unit = {
        {"station", m_station.StationId()},
        {"seq", m_station.NextSeq()},
        {"slot", m_device},
        {"unit", m_unitNumber},
        {"start", m_unitStart},
        {"end", UtcNow()},
        {"seconds", std::chrono::duration<double>(EngineClock::now() - m_unitClock).count()},
        {"images", images},
        {"outcome", outcome},
        {"reason", reason},
        {"first_pass", firstPass},
        {"box_text", m_boxText},
        {"box_id", m_boxId}};
    if (m_bBooting) {
        unit["boot_text"] = m_unit.BoxText();
        m_bBooting = false;
    }
    if (outcome == OutcomeName(Outcome::Success)) {
        ++m_passed;
    } else if (outcome == OutcomeName(Outcome::Abandoned)) {
        ++m_abandoned;
    } else {
        ++m_failed;
        m_events.Note("unit " + std::to_string(m_unitNumber) + ": " + reason);
    }
    UpdateTail();
    m_station.Record(unit);
    m_events.Emit("unit_complete", unit);
    m_events.Finish();
}

void CSlot::AwaitQuiet() {
    m_unit.Disarm();
    StopTimer(kHandshakeTimer);
    if (m_bStopping || m_bPaused) {
        CloseLine();
        if (m_bStopping) {
            Enter(SlotState::Stopped, "");
        } else {
            Enter(SlotState::Paused, "paused");
        }
        return;
    }
    m_quietSince = EngineClock::now();
    Enter(SlotState::Quiet, "waiting for quiet");
    CheckQuiet();
}

void CSlot::CheckQuiet() {
    if (m_line == nullptr) {
        return;
    }
    const auto since = std::max(m_quietSince, m_line->LastInput());
    const auto due = since + m_station.m_settings.rearmQuiet;
    if (EngineClock::now() >= due) {
        // What the last box said after its unit is not the next box's; a talking box's banner
        // is kept for the unit it may begin.
        if (m_state == SlotState::Quiet) {
            m_unit.ForgetBoxText();
        }
        Arm();
        return;
    }
    m_task = m_station.m_engine.At(due, [this] {
        m_task = 0;
        CheckQuiet();
    });
}

void CSlot::Stop(bool abandon) {
    m_bStopping = true;
    switch (m_state) {
        case SlotState::InUnit:
            if (abandon) {
                EndUnit(OutcomeName(Outcome::Abandoned), "the station was stopped during the unit");
                AwaitQuiet();
            }
            return;
        case SlotState::Stopped:
        case SlotState::Gone:
            return;
        default:
            Release();
            Enter(SlotState::Stopped, "");
            return;
    }
}

void CSlot::Pause() {
    m_bPaused = true;
    switch (m_state) {
        case SlotState::InUnit:  // AwaitQuiet pauses it once the unit is over
        case SlotState::Paused:
        case SlotState::Stopped:
        case SlotState::Gone:  // Open pauses it when its device comes back
            return;
        default:
            Release();
            Enter(SlotState::Paused, "paused");
            return;
    }
}

void CSlot::Resume() {
    m_bPaused = false;
    if (m_state == SlotState::Paused) {
        Open();
    }
}

void CSlot::Vanish() {
    if (m_state == SlotState::InUnit) {
        EndUnit(OutcomeName(Outcome::LineLost), "the device went away");
    }
    Release();
    m_events.Note(m_device + " went away");
    Enter(SlotState::Gone, "");
}

void CSlot::OnByte(std::uint8_t byte) {
    m_unit.OnByte(byte, kPortNumber);
    const bool armed = m_state == SlotState::Waiting || m_state == SlotState::Talking;
    if (armed && m_unit.Begun()) {
        BeginUnit();
    }
    if (m_state == SlotState::InUnit) {
        if (m_bBooting) {
            LookAtBootSoon();
        } else if (m_unit.Ended()) {
            const UnitVerdict verdict = m_unit.Judge();
            if (verdict.outcome == Outcome::Success) {
                Delivered();
                return;
            }
            EndUnit(OutcomeName(verdict.outcome), verdict.reason);
            AwaitQuiet();
        } else {
            FollowProgress();
        }
        return;
    }
    if (armed && m_unit.Ended()) {
        // The line's bytes fit no conversation: no box began a unit, so none is counted.
        m_events.Note("the line's bytes made no sense; waiting for quiet");
        AwaitQuiet();
    } else if (m_state == SlotState::Waiting) {
        // Bytes that begin no unit: a box talking (its banner, or the software it was just
        // given, booting) or noise. They stopped the beacon; once the line is quiet again the
        // slot arms afresh, as Restart does in the window.
        m_quietSince = EngineClock::now();
        Enter(SlotState::Talking, "box talking");
        CheckQuiet();
    }
}

void CSlot::OnLineLost(platform::PortStep step, const platform::SystemError& error) {
    const std::string why = PortFailure(m_device, step, error, m_settings.baudRate);
    m_events.Note(m_device + ": " + why);
    if (m_state == SlotState::InUnit) {
        EndUnit(OutcomeName(Outcome::LineLost), why);
    }
    Release();
    if (m_bStopping) {
        Enter(SlotState::Stopped, "");
        return;
    }
    if (m_bWatched && !CDeviceWatch::IsDevice(m_device)) {
        m_events.Note(m_device + " went away");
        Enter(SlotState::Gone, "");
        m_station.LookAgain();
        return;
    }
    Retry("line lost");
}

void CSlot::Release() {
    m_station.m_engine.Cancel(m_task);
    m_task = 0;
    m_unit.Disarm();
    StopTimer(kHandshakeTimer);
    CloseLine();
}

void CSlot::Retry(const std::string& why) {
    Enter(SlotState::Retrying, why + "; trying again");
    m_task = m_station.m_engine.At(EngineClock::now() + kRetryPeriod, [this] {
        m_task = 0;
        Open();
    });
}

void CSlot::Enter(SlotState state, const std::string& words) {
    m_state = state;
    m_events.Emit("slot_state", {{"state", StateName(state)}, {"text", words}});
    m_events.Status(words);
}

void CSlot::UpdateTail() {
    std::string tail = platform::Format("passed %d  failed %d", m_passed, m_failed + m_abandoned);
    if (m_state == SlotState::InUnit && m_refusedShown > 0) {
        tail += platform::Format("  refused %d", m_refusedShown);
    }
    m_events.StatusTail(std::move(tail));
}

nlohmann::json CSlot::Totals() const {
    return {{"slot", m_device},
            {"units", m_unitNumber},
            {"passed", m_passed},
            {"failed", m_failed},
            {"abandoned", m_abandoned}};
}

std::string CSlot::TotalsRow() const {
    return platform::Format("%-30s %7d %7d %7d %9d\n", Printable(m_device).c_str(), m_unitNumber,
                            m_passed, m_failed, m_abandoned);
}

int CStation::Run() {
    using engine::Signal;
    if (!m_engine.WatchSignals({Signal::Interrupt, Signal::Terminate, Signal::HangUp},
                               [this](Signal signal) { OnSignal(signal); })) {
        m_events.Note("cannot watch for signals: " + platform::LastSystemError().message);
        return static_cast<int>(Outcome::Usage);
    }
    if (!m_settings.unitsLog.empty()) {
        // After a rotation the numbers go on from the rotated log (logrotate's .1).
        m_nextSeq = std::max(CUnitsLog::LastSeq(m_settings.unitsLog),
                             CUnitsLog::LastSeq(m_settings.unitsLog + ".1")) +
                    1;
        if (const std::optional<platform::SystemError> error =
                m_unitsLog.Open(m_settings.unitsLog)) {
            m_events.Note("cannot write the units log " + m_settings.unitsLog + ": " +
                          error->message);
            return static_cast<int>(Outcome::FileNotOpenable);
        }
    }
    // After the signals are taken: the server's thread must not take them.
    if (!ServeWeb()) {
        return static_cast<int>(Outcome::Usage);
    }
    for (const std::string& port : m_settings.ports) {
        AddSlot(port, false);
    }
    if (!m_settings.watch.empty()) {
        m_watch = std::make_unique<CDeviceWatch>(m_settings.watch);
        if (m_watch->Descriptor() >= 0) {
            static_cast<void>(m_engine.Watch(m_watch->Descriptor(), [this] {
                if (m_watch->TakeEvents()) {
                    Rescan();
                }
                Poll();
            }));
        }
        Rescan();
        Poll();
    }
    m_events.Note(std::string("station running; ") + engine::StopSignalNames() +
                  " ends it once the units under way are done");
    m_engine.Run([this] {
        return m_halts > 0 && std::none_of(m_slots.begin(), m_slots.end(),
                                           [](const auto& slot) { return slot.second->Busy(); });
    });
    for (auto& [device, slot] : m_slots) {
        slot->Stop(true);
    }
    PrintTotals();
    LeaveUnwrittenUnits();
    m_unitsLog.Close();
    if (m_web) {
        m_web->Stop();
    }
    return 0;
}

bool CStation::ServeWeb() {
    if (!m_web) {
        return true;
    }
    if (const std::optional<std::string> why = m_web->Start()) {
        m_events.Note("cannot serve the page at " + m_web->Url() + ": " + *why);
        return false;
    }
    m_events.Note("the page, the API and the metrics are at " + m_web->Url());
    return true;
}

void CStation::Command(const http::Command& command) {
    m_engine.Post([this, command] {
        switch (command.kind) {
            case http::Command::Kind::Pause:
            case http::Command::Kind::Resume: {
                const auto slot = m_slots.find(command.slot);
                if (slot == m_slots.end()) {
                    return;
                }
                if (command.kind == http::Command::Kind::Pause) {
                    slot->second->Pause();
                } else {
                    slot->second->Resume();
                }
                return;
            }
            case http::Command::Kind::Drain:
                if (m_halts == 0) {
                    Halt(false, "drain asked for over HTTP");
                }
                return;
            case http::Command::Kind::Stop:
                Halt(true, "stop asked for over HTTP");
                return;
        }
    });
}

void CStation::AddSlot(const std::string& device, bool watched) {
    const auto found = m_slots.find(device);
    if (found != m_slots.end()) {
        // A device that came back gets its slot again, with its counts.
        if (found->second->Gone()) {
            found->second->Open();
        }
        return;
    }
    IPortEvents& events = m_events.AddPort(device);
    m_order.push_back(device);
    auto slot = std::make_unique<CSlot>(*this, device, watched, events);
    CSlot& added = *slot;
    m_slots.emplace(device, std::move(slot));
    added.Open();
}

void CStation::Rescan() {
    if (m_halts > 0) {
        return;
    }
    const std::vector<std::string> present = m_watch->Scan();
    for (const std::string& device : present) {
        AddSlot(device, true);
    }
    for (auto& [device, slot] : m_slots) {
        if (!slot->Gone() && m_watch->Matches(device) &&
            std::find(present.begin(), present.end(), device) == present.end()) {
            slot->Vanish();
        }
    }
}

void CStation::LookAgain() {
    m_engine.At(EngineClock::now(), [this] {
        Rescan();
        Poll();
    });
}

void CStation::Poll() {
    if (m_bPolling || !m_watch->NeedsPolling()) {
        return;
    }
    m_bPolling = true;
    m_engine.At(EngineClock::now() + kRetryPeriod, [this] {
        m_bPolling = false;
        m_watch->Rewatch();
        Rescan();
        Poll();
    });
}

void CStation::OnSignal(engine::Signal signal) {
    if (signal == engine::Signal::HangUp) {
        ReopenUnitsLog();
        return;
    }
    Halt(m_halts > 0, m_halts > 0 ? "second signal" : "signal");
}

void CStation::Halt(bool abandon, const std::string& who) {
    ++m_halts;
    m_events.Note(abandon ? who + ": abandoning the units under way"
                          : who +
                                ": no new unit starts; the units under way finish "
                                "(a second signal abandons them)");
    m_events.EmitRun("stop_requested", {{"abandon", abandon}});
    for (auto& [device, slot] : m_slots) {
        slot->Stop(abandon);
    }
}

std::string CStation::BoxIdIn(const std::string& text) const {
    std::smatch match;
    if (!m_boxId || !std::regex_search(text, match, *m_boxId)) {
        return {};
    }
    return match.size() > 1 ? match[1].str() : match[0].str();
}

void CStation::Record(const nlohmann::json& unit) {
    if (m_settings.unitsLog.empty()) {
        return;
    }
    const std::optional<platform::SystemError> error = m_unitsLog.Append(Dump(unit));
    if (error) {
        const std::string problem =
            "cannot write the units log " + m_settings.unitsLog + ": " + error->message;
        if (problem != m_unitsLogProblem) {
            m_unitsLogProblem = problem;
            m_events.Note(problem + "; its units wait to go with the next one");
        }
        return;
    }
    if (!m_unitsLogProblem.empty()) {
        m_unitsLogProblem.clear();
        m_events.Note("the units log " + m_settings.unitsLog + " is written again, no unit lost");
    }
}

void CStation::ReopenUnitsLog() {
    if (m_settings.unitsLog.empty()) {
        return;
    }
    // A rotation moved the log away: records from now on go to a new file of its name.
    if (const std::optional<platform::SystemError> error = m_unitsLog.Open(m_settings.unitsLog)) {
        m_events.Note("cannot reopen the units log " + m_settings.unitsLog + ": " + error->message +
                      "; its units wait to go with the next one");
        return;
    }
    m_events.Note("units log " + m_settings.unitsLog + " reopened");
    if (const std::optional<platform::SystemError> error = m_unitsLog.Flush()) {
        m_events.Note("cannot write the units log " + m_settings.unitsLog + ": " + error->message);
    }
}

void CStation::LeaveUnwrittenUnits() {
    if (!m_unitsLog.Flush().has_value()) {
        return;
    }
    // Standard error is the last place they can go: a person can still put them in the log.
    std::string records;
    for (const std::string& record : m_unitsLog.Waiting()) {
        records += record;
    }
    m_events.Note(
        platform::Format("%zu units could not be written to the units log %s; they follow",
                         m_unitsLog.Waiting().size(), m_settings.unitsLog.c_str()));
    m_events.PrintAtEnd(records);
}

void CStation::PrintTotals() {
    std::string table = platform::Format("%-30s %7s %7s %7s %9s\n", "SLOT", "UNITS", "PASSED",
                                         "FAILED", "ABANDONED");
    nlohmann::json slots = nlohmann::json::array();
    for (const std::string& device : m_order) {
        const CSlot& slot = *m_slots.at(device);
        table += slot.TotalsRow();
        slots.push_back(slot.Totals());
    }
    m_events.PrintAtEnd(table);
    m_events.EmitRun("station_complete", {{"slots", slots}});
}

}  // namespace

int RunStation(const StationSettings& settings, IRunEvents& events) {
    CStation station(settings, events);
    return station.Run();
}

}  // namespace vandrelux::station
