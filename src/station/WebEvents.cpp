#include "station/WebEvents.h"

#include <filesystem>
#include <system_error>

#include "Version.h"
#include "protocol/UpdateKinds.h"
#include "station/Text.h"

namespace vandrelux::station {

namespace {

// Events a stream keeps for a client that is behind: a few seconds of 32 busy slots.
constexpr std::size_t kStreamBacklog = 8192;
// A box that never ends its line still has its text shown, this many bytes at a time, as the
// console does.
constexpr std::size_t kBoxLineLimit = 4096;

http::StationFacts FactsOf(const StationSettings& settings) {
    http::StationFacts facts;
    facts.version = std::string(kVersion);
    for (const UpdateFile& file : settings.unit.files) {
        // Absolute, as the units log names them.
        std::error_code ec;
        const std::filesystem::path path = std::filesystem::absolute(file.path, ec);
        const protocol::UpdateKindInfo* kind = protocol::FindKind(file.kind);
        facts.files.emplace_back(kind != nullptr ? std::string(kind->name) : std::string(),
                                 ec ? file.path : path.string());
    }
    facts.unitsLog = settings.unitsLog;
    facts.start = std::chrono::system_clock::now();
    return facts;
}

}  // namespace

IPortEvents& CWebEvents::AddPort(std::string name) {
    IPortEvents& inner = m_inner.AddPort(name);
    const std::size_t slot = m_model.AddSlot(name);
    return m_ports.emplace_back(*this, inner, std::move(name), slot);
}

void CWebEvents::EmitRun(std::string_view type, nlohmann::json fields) {
    if (type == "stop_requested") {
        m_model.Halting(fields.value("abandon", false));
    }
    Publish(type, nullptr, fields);
    m_inner.EmitRun(type, std::move(fields));
}

void CWebEvents::Publish(std::string_view type, const nlohmann::json& port,
                         const nlohmann::json& fields) {
    if (!m_hub.Wanted()) {
        return;
    }
    // As the console makes them: the fields first, and they win over the common keys.
    nlohmann::json event = fields.is_object() ? fields : nlohmann::json::object();
    event.emplace("event", type);
    event.emplace("port", port);
    event.emplace(
        "t", std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count());
    m_hub.Publish(Dump(event));
}

void CWebEvents::Port::Emit(std::string_view type, nlohmann::json fields) {
    http::CStationModel& model = m_run.m_model;
    if (type == "slot_state") {
        model.SetState(m_slot, fields.value("state", ""), fields.value("text", ""));
    } else if (type == "unit_started") {
        model.UnitStarted(m_slot, fields.value("unit", 0));
    } else if (type == "file_started") {
        model.FileStarted(m_slot, fields.value("kind", ""), fields.value("path", ""));
    } else if (type == "frame_refused") {
        model.FrameRefused(m_slot);
    } else if (type == "unit_complete") {
        // The event carries the unit as the units log records it: the same line.
        model.UnitEnded(m_slot, fields, Dump(fields));
    }
    m_run.Publish(type, m_name, fields);
    m_inner.Emit(type, std::move(fields));
}

void CWebEvents::Port::Progress(const ProgressState& state) {
    m_run.m_model.Progress(m_slot, state);
    m_inner.Progress(state);
}

void CWebEvents::Port::Log(std::string_view text) {
    for (const char ch : text) {
        if (ch == '\n') {
            LogLine();
        } else if (ch != '\r') {
            m_log.push_back(ch);
        }
    }
    m_inner.Log(text);
}

void CWebEvents::Port::BoxChar(char ch) {
    if (ch == '\n') {
        BoxLine();
    } else {
        m_box.push_back(ch);
        if (m_box.size() >= kBoxLineLimit) {
            BoxLine();
        }
    }
    m_inner.BoxChar(ch);
}

void CWebEvents::Port::Finish() {
    if (!m_box.empty()) {
        BoxLine();
    }
    if (!m_log.empty()) {
        LogLine();
    }
    m_inner.Finish();
}

void CWebEvents::Port::LogLine() {
    m_run.Publish("log", m_name, {{"text", m_log}});
    m_log.clear();
}

void CWebEvents::Port::BoxLine() {
    m_run.Publish("box_text", m_name, {{"text", m_box}});
    m_box.clear();
}

CStationWeb::CStationWeb(const StationSettings& settings, IRunEvents& events,
                         std::function<void(const http::Command&)> command)
    : m_settings(*settings.web),
      m_model(FactsOf(settings)),
      m_hub(kStreamBacklog),
      m_events(events, m_model, m_hub),
      m_api(m_model, {m_settings.token, m_settings.endpoint.loopback, settings.unitsLog},
            std::move(command)),
      m_server(m_settings.endpoint, m_api, m_hub) {}

std::string CStationWeb::Url() const {
    const std::uint16_t port = m_server.Port();
    return web::PageUrl(m_settings.endpoint.address, port != 0 ? port : m_settings.endpoint.port);
}

}  // namespace vandrelux::station
