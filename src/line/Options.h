// vandrelux-line's command line, and its config file in the same words.
#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "line/HttpClient.h"
#include "web/Endpoint.h"

namespace vandrelux::line {

struct LineOptions {
    std::string db;  // a postgresql:// URI or a libpq conninfo
    std::vector<std::string> stations;
    std::vector<StationUrl> where;  // the stations, parsed
    std::string stationTokenFile;
    std::optional<web::Endpoint> http;
    std::string httpTokenFile;
};

// What to do: run, or print this text and exit with this status.
struct LineExit {
    std::string text;
    int status = 0;
};

[[nodiscard]] std::variant<LineOptions, LineExit> ParseLineOptions(int argc,
                                                                   const char* const* argv);

}  // namespace vandrelux::line
