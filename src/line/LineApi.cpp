#include "line/LineApi.h"

#include <charconv>
#include <map>
#include <nlohmann/json.hpp>

#include "Version.h"
#include "web/Access.h"
#include "web/Prometheus.h"

namespace vandrelux::line {

namespace {

using nlohmann::json;
using web::ErrorResponse;
using web::Request;
using web::Response;

constexpr auto kReconnectPause = std::chrono::seconds(3);
constexpr auto kAnswerTime = std::chrono::seconds(15);
constexpr int kSearchLimit = 500;

std::string PathOf(const std::string& target) {
    return target.substr(0, target.find('?'));
}

std::string Dump(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

Response Json(const json& body) {
    Response response;
    response.body = Dump(body);
    return response;
}

// A body PostgreSQL wrote as JSON, passed on as it is.
Response JsonText(std::string body) {
    Response response;
    response.body = std::move(body);
    return response;
}

int HexValue(char ch) {
    if (ch >= '0' && ch <= '9') {
        return ch - '0';
    }
    if (ch >= 'a' && ch <= 'f') {
        return ch - 'a' + 10;
    }
    if (ch >= 'A' && ch <= 'F') {
        return ch - 'A' + 10;
    }
    return -1;
}

// A time as the stations write theirs.
constexpr const char* kUtc = R"(to_char(%s AT TIME ZONE 'UTC', 'YYYY-MM-DD"T"HH24:MI:SS.MS"Z"'))";

std::string Utc(const char* column) {
    std::string text = kUtc;
    text.replace(text.find("%s"), 2, column);
    return text;
}

}  // namespace

std::optional<std::string> QueryValue(std::string_view query, std::string_view name) {
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        const std::size_t eq = pair.find('=');
        if (pair.substr(0, eq) != name) {
            continue;
        }
        std::string value;
        const std::string_view raw = eq == std::string_view::npos ? "" : pair.substr(eq + 1);
        for (std::size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] == '+') {
                value += ' ';
            } else if (raw[i] == '%' && i + 2 < raw.size() + 0 && HexValue(raw[i + 1]) >= 0 &&
                       HexValue(raw[i + 2]) >= 0) {
                value += static_cast<char>(HexValue(raw[i + 1]) * 16 + HexValue(raw[i + 2]));
                i += 2;
            } else {
                value += raw[i];
            }
        }
        return value;
    }
    return std::nullopt;
}

CLineApi::CLineApi(const CLineModel& model, LineApiSettings settings)
    : m_model(model), m_settings(std::move(settings)) {}

Response CLineApi::Handle(const Request& request) {
    const std::size_t mark = request.target.find('?');
    const std::string path = PathOf(request.target);
    const std::string query = mark == std::string::npos ? "" : request.target.substr(mark + 1);
    // Another site's page whose name was made to lead to this computer must not read the line.
    if (m_settings.loopback && !request.host.empty() && !web::IsLoopbackName(request.host)) {
        return ErrorResponse(421, "this line server answers to loopback names only");
    }
    using Read = Response (*)(CLineApi & api, const std::string& query);
    static const std::map<std::string, Read> kReads = {
        {"/",
         [](CLineApi&, const std::string&) {
             Response page;
             page.contentType = "text/html; charset=utf-8";
             page.body = LinePageHtml();
             return page;
         }},
        {"/metrics", [](CLineApi& api, const std::string&) { return api.Metrics(); }},
        {"/api/v1/line", [](CLineApi& api, const std::string&) { return api.Line(); }},
        {"/api/v1/yields", [](CLineApi& api, const std::string& q) { return api.Yields(q); }},
        {"/api/v1/search", [](CLineApi& api, const std::string& q) { return api.Search(q); }},
        {"/api/v1/events", [](CLineApi&, const std::string&) {
             Response stream;
             stream.kind = Response::Kind::EventStream;
             stream.contentType = "text/event-stream";
             return stream;
         }}};
    const auto read = kReads.find(path);
    if (read == kReads.end()) {
        return ErrorResponse(404, "no such page: " + path);
    }
    if (request.method != "GET") {
        Response response = ErrorResponse(405, "use GET");
        response.headers.emplace_back("Allow", "GET");
        return response;
    }
    if (path != "/" && !m_settings.loopback) {
        if (std::optional<Response> refusal = web::WrongToken(request, m_settings.token)) {
            return std::move(*refusal);
        }
    }
    return read->second(*this, query);
}

bool CLineApi::Slow(const Request& request) const {
    const std::string path = PathOf(request.target);
    return path == "/metrics" || path == "/api/v1/yields" || path == "/api/v1/search";
}

CDatabase* CLineApi::Database() {
    if (m_db && m_db->Ok()) {
        return m_db.get();
    }
    m_db.reset();
    const auto now = std::chrono::steady_clock::now();
    // While the database is away (or hangs), a try every few seconds; once the links have it
    // back since this connection failed, the next request tries at once.
    const auto upSince = m_model.DatabaseUpSince();
    const bool back = m_failedAt && upSince && *upSince > *m_failedAt;
    if (m_failedAt && now - *m_failedAt < kReconnectPause && !back) {
        return nullptr;
    }
    try {
        m_db = std::make_unique<CDatabase>(m_settings.conninfo);
        // A search or a count must not keep its asker waiting for long, whatever the database
        // does: the server ends a long statement, and a server that hangs is given up.
        m_db->SetAnswerTime(kAnswerTime);
        m_db->Exec("SET statement_timeout = '10s'");
        m_failedAt.reset();
        return m_db.get();
    } catch (const DatabaseError& error) {
        m_db.reset();
        m_failedAt = now;
        m_problem = error.message;
        return nullptr;
    }
}

void CLineApi::Lost(const DatabaseError& error) {
    m_problem = error.message;
    if (error.connectionLost) {
        m_db.reset();
        m_failedAt = std::chrono::steady_clock::now();
    }
}

Response CLineApi::Line() const {
    const auto now = std::chrono::system_clock::now();
    json stations = json::array();
    for (const StationLive& s : m_model.Stations()) {
        stations.push_back({{"url", s.url},
                            {"name", s.name},
                            {"reachable", s.reachable},
                            {"problem", s.problem},
                            {"station", s.facts},
                            {"slots", s.slots},
                            {"pulling", s.pulling},
                            {"pull_problem", s.pullProblem},
                            {"behind", s.behind},
                            {"stored", s.stored},
                            {"known", s.known},
                            {"invalid", s.invalid},
                            {"failures", s.failures},
                            {"last_stored", s.lastStored.empty() ? json() : json(s.lastStored)}});
    }
    return Json(
        {{"version", kVersion},
         {"uptime_seconds", std::chrono::duration<double>(now - m_model.Start()).count()},
         {"database", {{"up", m_model.DatabaseUp()}, {"problem", m_model.DatabaseProblem()}}},
         {"stations", stations}});
}

Response CLineApi::Yields(const std::string& query) {
    int days = 14;
    if (const std::optional<std::string> asked = QueryValue(query, "days")) {
        const auto [end, error] =
            std::from_chars(asked->data(), asked->data() + asked->size(), days);
        if (error != std::errc() || end != asked->data() + asked->size() || days < 1 ||
            days > 366) {
            return ErrorResponse(400, "days is 1 to 366");
        }
    }
    CDatabase* db = Database();
    if (db == nullptr) {
        return ErrorResponse(503, "the database cannot be reached: " + m_problem);
    }
    try {
        const CRows rows = db->Exec(R"sql(
SELECT json_build_object(
  'stations', (SELECT coalesce(json_agg(t ORDER BY t.url), '[]') FROM (
      SELECT s.url, s.name, coalesce(sum(d.units), 0) AS units,
             coalesce(sum(d.units) FILTER (WHERE d.outcome = 'ok'), 0) AS passed,
             coalesce(sum(d.first_pass), 0) AS first_pass
      FROM stations s LEFT JOIN unit_days d ON d.station_id = s.id
      GROUP BY s.id) t),
  'kinds', (SELECT coalesce(json_agg(t ORDER BY t.kind), '[]') FROM (
      SELECT kind, sum(images) AS images, sum(accepted) AS accepted, sum(clean) AS clean
      FROM image_days GROUP BY kind) t),
  'days', (SELECT coalesce(json_agg(t ORDER BY t.day DESC, t.url), '[]') FROM (
      SELECT d.day::text AS day, s.url, s.name, sum(d.units) AS units,
             coalesce(sum(d.units) FILTER (WHERE d.outcome = 'ok'), 0) AS passed,
             sum(d.first_pass) AS first_pass
      FROM unit_days d JOIN stations s ON s.id = d.station_id
      WHERE d.day > (now() AT TIME ZONE 'UTC')::date - $1::int
      GROUP BY d.day, s.id) t))
)sql",
                                    {std::to_string(days)});
        return JsonText(rows.Text(0, 0));
    } catch (const DatabaseError& error) {
        Lost(error);
        return ErrorResponse(503, "the database: " + error.message);
    }
}

Response CLineApi::Search(const std::string& query) {
    const std::optional<std::string> box = QueryValue(query, "box");
    std::optional<std::string> digest = QueryValue(query, "digest");
    // A box id holds no NUL: the database would take the text only up to it.
    if (box.has_value() == digest.has_value() ||
        (box && (box->empty() || box->find('\0') != std::string::npos))) {
        return ErrorResponse(400, "search by ?box=BOX_ID or by ?digest=SHA256");
    }
    if (digest) {
        for (char& ch : *digest) {
            ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        }
        if (digest->size() != 64 ||
            digest->find_first_not_of("0123456789abcdef") != std::string::npos) {
            return ErrorResponse(400, "a digest is 64 hex digits, as sha256sum prints it");
        }
    }
    CDatabase* db = Database();
    if (db == nullptr) {
        return ErrorResponse(503, "the database cannot be reached: " + m_problem);
    }
    const std::string where =
        box ? "u.box_id = $1" : "u.id IN (SELECT unit_id FROM images WHERE sha256 = $1)";
    try {
        const CRows rows = db->Exec(
            // Only ids and times until the newest are chosen: a build's digest finds a hundred
            // thousand units, whose records are not to be read.
            "WITH found AS (SELECT u.id, u.end_at FROM units u WHERE " + where +
                "), newest AS (SELECT id FROM found ORDER BY end_at DESC NULLS LAST LIMIT " +
                std::to_string(kSearchLimit) +
                ") SELECT json_build_object('total', (SELECT count(*) FROM found), 'units', "
                "(SELECT coalesce(json_agg(x ORDER BY x.\"end\" DESC NULLS LAST), '[]') FROM ("
                "SELECT s.url AS station_url, f.station, f.seq, f.slot, f.unit, " +
                Utc("f.start_at") + " AS start, " + Utc("f.end_at") +
                " AS end, f.seconds, f.outcome, f.record->>'reason' AS reason, f.first_pass, "
                "f.box_id, (SELECT coalesce(json_agg(json_build_object('kind', i.kind, 'path', "
                "i.path, 'size', i.size, 'sha256', i.sha256, 'checksum', i.checksum, "
                "'accepted', i.accepted, 'naks', i.naks, 'resends', i.resends) ORDER BY i.n), "
                "'[]') FROM images i WHERE i.unit_id = f.id) AS images "
                "FROM newest JOIN units f ON f.id = newest.id "
                "JOIN stations s ON s.id = f.station_id) x))",
            {box ? *box : *digest});
        return JsonText(rows.Text(0, 0));
    } catch (const DatabaseError& error) {
        Lost(error);
        return ErrorResponse(503, "the database: " + error.message);
    }
}

Response CLineApi::Metrics() {
    std::string text;
    const auto metric = [&text](const char* name, const char* type, const char* help) {
        text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    };
    const std::vector<StationLive> stations = m_model.Stations();
    metric("vandrelux_line_station_up", "gauge",
           "1 while the station's API answers, 0 while it does not");
    for (const StationLive& s : stations) {
        text += "vandrelux_line_station_up{station=\"" + web::PrometheusLabel(s.url) + "\"} " +
                (s.reachable ? "1" : "0") + "\n";
    }
    metric("vandrelux_line_pulling", "gauge",
           "1 while the station's units reach the database, 0 while they do not");
    for (const StationLive& s : stations) {
        text += "vandrelux_line_pulling{station=\"" + web::PrometheusLabel(s.url) + "\"} " +
                (s.pulling ? "1" : "0") + "\n";
    }
    metric("vandrelux_line_units_stored_total", "counter",
           "units stored since the line server started");
    for (const StationLive& s : stations) {
        text += "vandrelux_line_units_stored_total{station=\"" + web::PrometheusLabel(s.url) +
                "\"} " + std::to_string(s.stored) + "\n";
    }
    metric("vandrelux_line_pull_failures_total", "counter",
           "pulls that failed (station or database) since the line server started");
    for (const StationLive& s : stations) {
        text += "vandrelux_line_pull_failures_total{station=\"" + web::PrometheusLabel(s.url) +
                "\"} " + std::to_string(s.failures) + "\n";
    }
    CDatabase* db = Database();
    bool up = db != nullptr;
    if (db != nullptr) {
        try {
            const CRows units = db->Exec(
                "SELECT s.url, d.outcome, sum(d.units), sum(d.first_pass) FROM unit_days d "
                "JOIN stations s ON s.id = d.station_id GROUP BY s.url, d.outcome "
                "ORDER BY 1, 2");
            const CRows images = db->Exec(
                "SELECT kind, sum(images), sum(accepted) FROM image_days GROUP BY kind "
                "ORDER BY 1");
            metric("vandrelux_line_units", "gauge", "units in the line's record");
            for (int r = 0; r < units.Count(); ++r) {
                text += "vandrelux_line_units{station=\"" + web::PrometheusLabel(units.Text(r, 0)) +
                        "\",outcome=\"" + web::PrometheusLabel(units.Text(r, 1)) + "\"} " +
                        units.Text(r, 2) + "\n";
            }
            metric("vandrelux_line_first_pass_units", "gauge",
                   "units in the line's record that passed at the first go");
            std::map<std::string, long long> firstPass;
            for (int r = 0; r < units.Count(); ++r) {
                firstPass[units.Text(r, 0)] += units.Number(r, 3);
            }
            for (const auto& [url, count] : firstPass) {
                text += "vandrelux_line_first_pass_units{station=\"" + web::PrometheusLabel(url) +
                        "\"} " + std::to_string(count) + "\n";
            }
            metric("vandrelux_line_images", "gauge", "images in the line's record, by kind");
            for (int r = 0; r < images.Count(); ++r) {
                text += "vandrelux_line_images{kind=\"" + web::PrometheusLabel(images.Text(r, 0)) +
                        "\"} " + images.Text(r, 1) + "\n";
            }
            metric("vandrelux_line_images_accepted", "gauge",
                   "images in the line's record that their boxes accepted, by kind");
            for (int r = 0; r < images.Count(); ++r) {
                text += "vandrelux_line_images_accepted{kind=\"" +
                        web::PrometheusLabel(images.Text(r, 0)) + "\"} " + images.Text(r, 2) + "\n";
            }
        } catch (const DatabaseError& error) {
            Lost(error);
            up = false;
        }
    }
    metric("vandrelux_line_database_up", "gauge", "1 while the database answers the line server");
    text += std::string("vandrelux_line_database_up ") + (up ? "1" : "0") + "\n";
    metric("vandrelux_line_start_time_seconds", "gauge", "when the line server started");
    text += "vandrelux_line_start_time_seconds " +
            std::to_string(
                std::chrono::duration_cast<std::chrono::seconds>(m_model.Start().time_since_epoch())
                    .count()) +
            "\n";
    metric("vandrelux_line_build_info", "gauge", "the line server's version");
    text += std::string("vandrelux_line_build_info{version=\"") + std::string(kVersion) + "\"} 1\n";
    Response response;
    response.contentType = "text/plain; version=0.0.4; charset=utf-8";
    response.body = std::move(text);
    return response;
}

}  // namespace vandrelux::line
