#include "station/http/Api.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <map>

#include "station/Results.h"
#include "station/Text.h"
#include "station/http/Metrics.h"
#include "station/http/UnitsPage.h"
#include "web/Access.h"

namespace vandrelux::station::http {

namespace {

constexpr std::size_t kDefaultLimit = 100;
constexpr std::size_t kMaxLimit = 1000;

Response Json(int status, const nlohmann::json& body) {
    Response response;
    response.status = status;
    response.body = Dump(body);
    return response;
}

Response Error(int status, const std::string& why) {
    return Json(status, {{"error", why}});
}

Response MethodNotAllowed(const char* allowed) {
    Response response = Error(405, std::string("use ") + allowed);
    response.headers.emplace_back("Allow", allowed);
    return response;
}

// The query's parameters that are numbers; nothing when one of them is not.
std::optional<std::map<std::string, std::uint64_t>> NumberParameters(std::string_view query) {
    std::map<std::string, std::uint64_t> numbers;
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        const std::size_t eq = pair.find('=');
        if (pair.empty() || eq == std::string_view::npos) {
            continue;
        }
        const std::string_view value = pair.substr(eq + 1);
        std::uint64_t number = 0;
        const auto [end, error] =
            std::from_chars(value.data(), value.data() + value.size(), number);
        if (value.empty() || error != std::errc() || end != value.data() + value.size()) {
            return std::nullopt;
        }
        numbers[std::string(pair.substr(0, eq))] = number;
    }
    return numbers;
}

nlohmann::json SlotJson(const SlotView& slot, ModelClock::time_point now) {
    nlohmann::json json = {
        {"slot", slot.name},     {"state", slot.state},     {"text", slot.text},
        {"passed", slot.passed}, {"failed", slot.failed},   {"abandoned", slot.abandoned},
        {"unit", slot.unit},     {"refused", slot.refused}, {"unit_seconds", nullptr},
        {"image", nullptr},      {"last", nullptr}};
    if (slot.state == "unit") {
        json["unit_seconds"] = std::chrono::duration<double>(now - slot.unitStart).count();
        if (!slot.file.empty()) {
            json["image"] = {{"kind", slot.kind},
                             {"file", slot.file},
                             {"done", slot.done},
                             {"total", slot.total},
                             {"bytes_per_second", slot.bytesPerSecond}};
        }
    }
    if (!slot.lastOutcome.empty()) {
        json["last"] = {
            {"outcome", slot.lastOutcome}, {"reason", slot.lastReason}, {"end", slot.lastEnd}};
    }
    return json;
}

// Records as a JSON array, each exactly as given.
std::string RecordArray(const std::vector<std::string>& records) {
    std::string array = "[";
    for (const std::string& record : records) {
        if (array.size() > 1) {
            array += ',';
        }
        array += record;
    }
    return array + "]";
}

Response Page() {
    Response page;
    page.contentType = "text/html; charset=utf-8";
    page.body = PageHtml();
    return page;
}

Response EventStream() {
    Response stream;
    stream.kind = Response::Kind::EventStream;
    stream.contentType = "text/event-stream";
    return stream;
}

}  // namespace

CApi::CApi(const CStationModel& model, ApiSettings settings,
           std::function<void(const Command&)> command)
    : m_model(model), m_settings(std::move(settings)), m_command(std::move(command)) {}

std::optional<Response> CApi::WrongHost(const Request& request) const {
    // Another site's page whose name was made to lead to this computer must not read the
    // station: on loopback, only loopback names are answered.
    if (m_settings.loopback && !request.host.empty() && !web::IsLoopbackName(request.host)) {
        return Error(421, "this station answers to loopback names only");
    }
    return std::nullopt;
}

std::optional<Response> CApi::WrongToken(const Request& request) const {
    if (m_settings.token.empty()) {
        return Error(403,
                     "this station takes no commands: it was started without --http-token-file");
    }
    return web::WrongToken(request, m_settings.token);
}

Response CApi::Handle(const Request& request) {
    const std::size_t mark = request.target.find('?');
    const std::string path = request.target.substr(0, mark);
    const std::string query = mark == std::string::npos ? "" : request.target.substr(mark + 1);
    if (std::optional<Response> refusal = WrongHost(request)) {
        return std::move(*refusal);
    }

    static const std::map<std::string, Command::Kind> kCommands = {
        {"/api/v1/slots/pause", Command::Kind::Pause},
        {"/api/v1/slots/resume", Command::Kind::Resume},
        {"/api/v1/station/drain", Command::Kind::Drain},
        {"/api/v1/station/stop", Command::Kind::Stop}};
    if (const auto command = kCommands.find(path); command != kCommands.end()) {
        if (request.method != "POST") {
            return MethodNotAllowed("POST");
        }
        if (std::optional<Response> refusal = WrongToken(request)) {
            return std::move(*refusal);
        }
        return SlotCommand(command->second, request.body);
    }

    using Read = Response (*)(CApi & api, const std::string& query);
    static const std::map<std::string, Read> kReads = {
        {"/", [](CApi&, const std::string&) { return Page(); }},
        {"/metrics", [](CApi& api, const std::string&) { return api.Metrics(); }},
        {"/api/v1/station", [](CApi& api, const std::string&) { return api.Station(); }},
        {"/api/v1/slots", [](CApi& api, const std::string&) { return api.Slots(); }},
        {"/api/v1/units", [](CApi& api, const std::string& q) { return api.Units(q); }},
        {"/api/v1/units/recent", [](CApi& api, const std::string&) { return api.RecentUnits(); }},
        {"/api/v1/units/log", [](CApi& api, const std::string&) { return api.UnitsLog(); }},
        {"/api/v1/events", [](CApi&, const std::string&) { return EventStream(); }}};
    const auto read = kReads.find(path);
    if (read == kReads.end()) {
        return Error(404, "no such page: " + path);
    }
    if (request.method != "GET") {
        return MethodNotAllowed("GET");
    }
    // The page holds nothing of the station: it asks the API, with the token, for everything.
    if (path != "/" && !m_settings.loopback) {
        if (std::optional<Response> refusal = WrongToken(request)) {
            return std::move(*refusal);
        }
    }
    return read->second(*this, query);
}

Response CApi::Metrics() const {
    Response metrics;
    metrics.contentType = "text/plain; version=0.0.4; charset=utf-8";
    metrics.body = MetricsText(m_model.View());
    return metrics;
}

Response CApi::Station() {
    const StationView view = m_model.View();
    nlohmann::json files = nlohmann::json::array();
    for (const auto& [kind, path] : view.facts.files) {
        const FileFacts facts = m_files.Of(path);
        nlohmann::json file = {{"kind", kind},
                               {"path", path},
                               {"name", std::filesystem::path(path).filename().string()},
                               {"size", nullptr},
                               {"sha256", facts.sha256},
                               {"modified", facts.modified},
                               {"problem", facts.problem}};
        if (facts.size) {
            file["size"] = *facts.size;
        }
        files.push_back(std::move(file));
    }
    int passed = 0;
    int failed = 0;
    int abandoned = 0;
    for (const SlotView& slot : view.slots) {
        passed += slot.passed;
        failed += slot.failed;
        abandoned += slot.abandoned;
    }
    const double hours = std::min(view.uptimeSeconds, 3600.0) / 3600.0;
    nlohmann::json station = {
        {"version", view.facts.version},
        {"start", UtcText(view.facts.start)},
        {"uptime_seconds", view.uptimeSeconds},
        {"halt", view.halt},
        {"files", files},
        {"units_log", m_settings.unitsLog.empty() ? nlohmann::json(nullptr)
                                                  : nlohmann::json(m_settings.unitsLog)},
        {"control", !m_settings.token.empty()},
        {"units", view.units},
        {"passed", passed},
        {"failed", failed},
        {"abandoned", abandoned},
        {"units_per_hour", hours > 0 ? static_cast<double>(view.unitsLastHour) / hours : 0.0},
        {"first_pass_yield", nullptr}};
    if (view.units > 0) {
        station["first_pass_yield"] =
            static_cast<double>(view.firstPass) / static_cast<double>(view.units);
    }
    return Json(200, station);
}

Response CApi::Slots() const {
    const StationView view = m_model.View();
    nlohmann::json slots = nlohmann::json::array();
    for (const SlotView& slot : view.slots) {
        slots.push_back(SlotJson(slot, view.now));
    }
    return Json(200, {{"slots", slots}});
}

Response CApi::Units(const std::string& query) const {
    if (m_settings.unitsLog.empty()) {
        return Error(404, "this station keeps no units log (--units-log)");
    }
    const auto numbers = NumberParameters(query);
    if (!numbers) {
        return Error(400, "cursor and limit are whole numbers");
    }
    const auto cursor = numbers->find("cursor");
    const auto limit = numbers->find("limit");
    // previous=1: the log as it was before its last rotation renamed it, while that file stays.
    const auto previous = numbers->find("previous");
    const bool older = previous != numbers->end() && previous->second == 1;
    const std::uint64_t count = limit == numbers->end() ? kDefaultLimit : limit->second;
    if (count == 0 || count > kMaxLimit) {
        return Error(400, "limit is 1 to " + std::to_string(kMaxLimit));
    }
    const std::optional<UnitsPage> page =
        ReadUnits(older ? m_settings.unitsLog + ".1" : m_settings.unitsLog,
                  cursor == numbers->end() ? 0 : cursor->second, static_cast<std::size_t>(count));
    if (!page) {
        return Error(400,
                     "the cursor is at no record of the units log (was the log rotated? "
                     "start again without a cursor)");
    }
    Response response;
    response.body = "{\"units\":" + RecordArray(page->records) + ",\"next\":\"" +
                    std::to_string(page->next) + "\",\"more\":" + (page->more ? "true" : "false") +
                    "}";
    return response;
}

Response CApi::RecentUnits() const {
    Response response;
    response.body = "{\"units\":" + RecordArray(m_model.RecentUnits()) + "}";
    return response;
}

Response CApi::UnitsLog() const {
    if (m_settings.unitsLog.empty()) {
        return Error(404, "this station keeps no units log (--units-log)");
    }
    Response response;
    response.kind = Response::Kind::File;
    response.contentType = "application/x-ndjson";
    response.body = m_settings.unitsLog;
    response.headers.emplace_back("Content-Disposition", "attachment; filename=\"units.jsonl\"");
    response.fileMissing = "no unit has been logged yet";
    return response;
}

Response CApi::SlotCommand(Command::Kind kind, const std::string& body) {
    Command command;
    command.kind = kind;
    if (kind == Command::Kind::Pause || kind == Command::Kind::Resume) {
        const nlohmann::json json = nlohmann::json::parse(body, nullptr, false);
        if (json.is_discarded() || !json.is_object() || !json.contains("slot") ||
            !json["slot"].is_string()) {
            return Error(400, R"(send {"slot": "NAME"}, a slot as /api/v1/slots names it)");
        }
        command.slot = json["slot"].get<std::string>();
        if (!m_model.HasSlot(command.slot)) {
            return Error(404, "no such slot: " + command.slot);
        }
    }
    m_command(command);
    static const std::map<Command::Kind, const char*> kNames = {{Command::Kind::Pause, "pause"},
                                                                {Command::Kind::Resume, "resume"},
                                                                {Command::Kind::Drain, "drain"},
                                                                {Command::Kind::Stop, "stop"}};
    nlohmann::json accepted = {{"accepted", kNames.at(kind)}};
    if (!command.slot.empty()) {
        accepted["slot"] = command.slot;
    }
    return Json(202, accepted);
}

}  // namespace vandrelux::station::http
