// What the line server knows of its stations right now, for its page, API and metrics: each
// station's own view (its facts and slots, from its API and event stream) and how pulling its
// units goes. The record itself is in the database; this is the live part.
//
// Threading: the pullers and watchers write, the web server's thread reads; one lock guards
// everything, held only to change or copy.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace vandrelux::line {

struct StationLive {
    std::string url;
    std::string name;  // as its records call it; empty until one is stored
    // The station's API.
    bool reachable = false;
    std::string problem;                             // why it is not, in words
    nlohmann::json facts;                            // GET /api/v1/station; null until read
    nlohmann::json slots = nlohmann::json::array();  // GET /api/v1/slots
    // Its units into the database.
    bool pulling = false;     // the last page was stored
    std::string pullProblem;  // why not
    bool behind = false;      // the station has more than the line stored yet
    long long stored = 0;     // units stored since the line server started
    long long known = 0;      // units read again that were stored already
    long long invalid = 0;    // records passed over that are no JSON object
    long long failures = 0;   // pulls that failed
    std::string lastStored;   // when a page was last stored, UTC; empty: not yet
};

class CLineModel {
public:
    explicit CLineModel(const std::vector<std::string>& urls);

    void Change(std::size_t station, const std::function<void(StationLive&)>& change);
    void SetDatabase(bool up, const std::string& problem);

    [[nodiscard]] std::vector<StationLive> Stations() const;
    [[nodiscard]] bool DatabaseUp() const;
    // Since when the database has been up without a break: nothing while it is down.
    [[nodiscard]] std::optional<std::chrono::steady_clock::time_point> DatabaseUpSince() const;
    [[nodiscard]] std::string DatabaseProblem() const;
    [[nodiscard]] std::chrono::system_clock::time_point Start() const { return m_start; }

private:
    mutable std::mutex m_lock;  // guards what follows
    std::vector<StationLive> m_stations;
    bool m_bDatabaseUp = false;
    std::optional<std::chrono::steady_clock::time_point> m_databaseUpSince;
    std::string m_databaseProblem = "not connected yet";
    const std::chrono::system_clock::time_point m_start = std::chrono::system_clock::now();
};

// Now as the station's records write times: 2026-12-08T04:31:44.720Z.
[[nodiscard]] std::string UtcNow();

}  // namespace vandrelux::line
