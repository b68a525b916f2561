#include "line/Options.h"

#include <CLI/CLI.hpp>
#include <set>

#include "Version.h"

namespace vandrelux::line {

std::variant<LineOptions, LineExit> ParseLineOptions(int argc, const char* const* argv) {
    LineOptions options;
    std::string http;
    CLI::App app(
        "vandrelux-line: pulls every station's units into PostgreSQL, the line's record, and "
        "serves the line's page, API and metrics",
        "vandrelux-line");
    app.set_version_flag("--version", "vandrelux-line " + std::string(kVersion) + "\n",
                         "Show the version and exit");
    app.add_option("--db", options.db,
                   "The database: postgresql://USER@HOST/DB or a libpq conninfo "
                   "(\"host=/run/postgresql dbname=vandrelux\")")
        ->required();
    app.add_option("--station", options.stations,
                   "A station's web API, http://HOST:PORT as its --http serves it; once per "
                   "station")
        ->required();
    app.add_option("--station-token-file", options.stationTokenFile,
                   "The token the stations' API needs when they listen beyond their own "
                   "computer: the file's first line");
    app.add_option("--http", http,
                   "Serve the line's page, API and metrics on [ADDR:]PORT (ADDR 127.0.0.1 unless "
                   "named; another needs --http-token-file)");
    app.add_option("--http-token-file", options.httpTokenFile,
                   "The token every request but the page needs when --http names an address "
                   "beyond this computer");
    app.set_config("--config", "",
                   "Read options from this file: one `name = value` per line, as the long "
                   "options are named (a list in brackets for a repeated one); the command line "
                   "wins");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        return LineExit{app.help(), 0};
    } catch (const CLI::CallForVersion& version) {
        return LineExit{version.what(), 0};
    } catch (const CLI::ParseError& error) {
        return LineExit{std::string("vandrelux-line: ") + error.what() + "; see --help\n", 2};
    }
    std::set<std::string> seen;
    for (std::string& station : options.stations) {
        // The URL names the station in the database too: with or without a closing slash it is
        // one station.
        while (station.size() > 1 && station.back() == '/') {
            station.pop_back();
        }
        const std::optional<StationUrl> url = ParseStationUrl(station);
        if (!url) {
            return LineExit{"vandrelux-line: --station " + station +
                                ": write http://HOST:PORT, as the station's --http serves it\n",
                            2};
        }
        if (!seen.insert(station).second) {
            return LineExit{"vandrelux-line: --station " + station + " is named twice\n", 2};
        }
        options.where.push_back(*url);
    }
    if (!http.empty()) {
        options.http = web::ParseEndpoint(http);
        if (!options.http) {
            return LineExit{"vandrelux-line: --http " + http +
                                ": write PORT or ADDR:PORT, ADDR an IPv4 address, an IPv6 "
                                "address in brackets or localhost\n",
                            2};
        }
        if (!options.http->loopback && options.httpTokenFile.empty()) {
            return LineExit{"vandrelux-line: --http " + http +
                                " can be reached from other computers: name the token they "
                                "need with --http-token-file\n",
                            2};
        }
    } else if (!options.httpTokenFile.empty()) {
        return LineExit{"vandrelux-line: --http-token-file goes with --http\n", 2};
    }
    return options;
}

}  // namespace vandrelux::line
