#include "line/LineModel.h"

#include <cstdio>

namespace vandrelux::line {

CLineModel::CLineModel(const std::vector<std::string>& urls) {
    for (const std::string& url : urls) {
        StationLive station;
        station.url = url;
        station.problem = "not reached yet";
        m_stations.push_back(std::move(station));
    }
}

void CLineModel::Change(std::size_t station, const std::function<void(StationLive&)>& change) {
    const std::lock_guard lock(m_lock);
    change(m_stations.at(station));
}

void CLineModel::SetDatabase(bool up, const std::string& problem) {
    const std::lock_guard lock(m_lock);
    if (!up) {
        m_databaseUpSince.reset();
    } else if (!m_databaseUpSince) {
        m_databaseUpSince = std::chrono::steady_clock::now();
    }
    m_bDatabaseUp = up;
    m_databaseProblem = problem;
}

std::vector<StationLive> CLineModel::Stations() const {
    const std::lock_guard lock(m_lock);
    return m_stations;
}

bool CLineModel::DatabaseUp() const {
    const std::lock_guard lock(m_lock);
    return m_bDatabaseUp;
}

std::optional<std::chrono::steady_clock::time_point> CLineModel::DatabaseUpSince() const {
    const std::lock_guard lock(m_lock);
    return m_databaseUpSince;
}

std::string CLineModel::DatabaseProblem() const {
    const std::lock_guard lock(m_lock);
    return m_databaseProblem;
}

std::string UtcNow() {
    using namespace std::chrono;
    const auto now = floor<milliseconds>(system_clock::now());
    const auto day = floor<days>(now);
    const year_month_day date(day);
    const hh_mm_ss time(now - day);
    char text[32];
    std::snprintf(
        text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
        static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
        static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
        static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
    return text;
}

}  // namespace vandrelux::line
