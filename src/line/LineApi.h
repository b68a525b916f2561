// The line server's page, JSON API and metrics, apart from the sockets: the live part from the
// model, the record (yields, searches, totals) from the database on a connection of its own.
// Reads need the token when the server can be reached from other computers; there are no
// commands.
//
// Threading: the web server's threads: the record's requests (Slow) on its worker, the others
// on its own; the two share nothing but the model, which locks.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "line/Database.h"
#include "line/LineModel.h"
#include "web/Handler.h"

namespace vandrelux::line {

struct LineApiSettings {
    std::string conninfo;
    std::string token;     // empty: none
    bool loopback = true;  // reachable from this computer only
};

class CLineApi : public web::IHandler {
public:
    CLineApi(const CLineModel& model, LineApiSettings settings);

    [[nodiscard]] web::Response Handle(const web::Request& request) override;
    [[nodiscard]] bool Slow(const web::Request& request) const override;

private:
    [[nodiscard]] web::Response Line() const;
    [[nodiscard]] web::Response Yields(const std::string& query);
    [[nodiscard]] web::Response Search(const std::string& query);
    [[nodiscard]] web::Response Metrics();
    // The API's connection, made again when lost, but not more often than every few seconds:
    // a database that is down answers 503 at once.
    CDatabase* Database();
    void Lost(const DatabaseError& error);

    const CLineModel& m_model;
    LineApiSettings m_settings;
    std::unique_ptr<CDatabase> m_db;
    std::optional<std::chrono::steady_clock::time_point> m_failedAt;
    std::string m_problem;
};

// A query parameter's value, %XX and + decoded; nothing when it is not there.
[[nodiscard]] std::optional<std::string> QueryValue(std::string_view query, std::string_view name);

// The page, HTML with its style and script.
[[nodiscard]] std::string_view LinePageHtml();

}  // namespace vandrelux::line
