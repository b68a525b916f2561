// vandrelux-line: the line server. Pulls every station's units into PostgreSQL and serves the
// line's page, API and metrics until SIGINT or SIGTERM.
#include <csignal>
#include <cstdio>
#include <ctime>
#include <exception>
#include <memory>
#include <mutex>
#include <variant>

#include "line/LineApi.h"
#include "line/Options.h"
#include "line/StationLink.h"
#include "line/Store.h"
#include "web/Access.h"
#include "web/Server.h"

namespace {

using namespace vandrelux;
using namespace vandrelux::line;

std::mutex g_logLock;

void Log(const std::string& line) {
    const std::lock_guard lock(g_logLock);
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

// Waits up to `seconds` for SIGINT or SIGTERM, which every thread has blocked; whether one came.
bool Signalled(const sigset_t& signals, int seconds) {
    const timespec wait{seconds, 0};
    return sigtimedwait(&signals, nullptr, &wait) > 0;
}

int Run(int argc, char** argv) {
    const std::variant<LineOptions, LineExit> parsed = ParseLineOptions(argc, argv);
    if (const auto* exit = std::get_if<LineExit>(&parsed)) {
        std::fputs(exit->text.c_str(), exit->status == 0 ? stdout : stderr);
        return exit->status;
    }
    const LineOptions& options = std::get<LineOptions>(parsed);
    std::string stationToken;
    std::string httpToken;
    for (const auto& [path, token] : {std::pair{&options.stationTokenFile, &stationToken},
                                      std::pair{&options.httpTokenFile, &httpToken}}) {
        if (!path->empty()) {
            if (const std::optional<std::string> problem = web::ReadToken(*path, *token)) {
                Log("vandrelux-line: " + *problem);
                return 2;
            }
        }
    }

    // Before any thread starts, so that every thread has them blocked and only the wait below
    // takes them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    // A station that closes a connection mid-write must not end the program.
    std::signal(SIGPIPE, SIG_IGN);

    CLineModel model(options.stations);
    web::CEventHub hub(8192);
    CLineApi api(model, {options.db, httpToken, !options.http || options.http->loopback});
    std::unique_ptr<web::CWebServer> server;
    if (options.http) {
        server = std::make_unique<web::CWebServer>(*options.http, api, hub);
        if (const std::optional<std::string> problem = server->Start()) {
            Log("vandrelux-line: cannot serve on " + options.http->address + ":" +
                std::to_string(options.http->port) + ": " + *problem);
            return 1;
        }
        Log("vandrelux-line: the line's page, API and metrics are at " +
            web::PageUrl(options.http->address, server->Port()));
    }

    // The schema first; a database that is not there yet is waited for, as at a boot where the
    // line server starts before PostgreSQL.
    for (int wait = 1;; wait = std::min(wait * 2, 8)) {
        try {
            CDatabase db(options.db);
            Migrate(db);
            model.SetDatabase(true, "");
            Log("vandrelux-line: the database holds the line's record, schema version " +
                std::to_string(kSchemaVersion));
            break;
        } catch (const DatabaseError& error) {
            model.SetDatabase(false, error.message);
            Log("vandrelux-line: the database: " + error.message + "; again in " +
                std::to_string(wait) + " s");
        }
        if (Signalled(signals, wait)) {
            return 0;
        }
    }

    std::vector<std::unique_ptr<CStationLink>> links;
    for (std::size_t i = 0; i < options.stations.size(); ++i) {
        LinkSettings settings;
        settings.url = options.stations[i];
        settings.where = options.where[i];
        settings.token = stationToken;
        settings.conninfo = options.db;
        links.push_back(std::make_unique<CStationLink>(
            settings, i, model, hub,
            [](const std::string& line) { Log("vandrelux-line: " + line); }));
        links.back()->Start();
    }
    Log("vandrelux-line: following " + std::to_string(links.size()) + " station(s)");
    while (!Signalled(signals, 3600)) {
    }
    Log("vandrelux-line: stopping");
    for (auto& link : links) {
        link->RequestStop();
    }
    links.clear();
    if (server) {
        server->Stop();
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Nothing the run throws may end the program without a word: a line says what stopped it.
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        Log(std::string("vandrelux-line: ") + e.what());
    } catch (...) {
        Log("vandrelux-line: stopped by an unknown error");
    }
    return 1;
}
