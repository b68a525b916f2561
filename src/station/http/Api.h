// The station's web API, apart from the sockets: a request in, its response out. It reads the
// station's model, serves the units log and the page, and hands commands to the station. Reads
// need the token when the server can be reached from other computers; commands always do.
//
// Threading: the web server's thread; commands go out through the function given, which must
// not wait for the station to carry them out.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "station/http/FileFacts.h"
#include "station/http/StationModel.h"
#include "web/Handler.h"

namespace vandrelux::station::http {

using web::Request;
using web::Response;

struct Command {
    enum class Kind { Pause, Resume, Drain, Stop };
    Kind kind = Kind::Drain;
    std::string slot;  // Pause and Resume
};

struct ApiSettings {
    std::string token;     // empty: the station takes no commands
    bool loopback = true;  // reachable from this computer only
    std::string unitsLog;  // empty: none
};

class CApi : public web::IHandler {
public:
    CApi(const CStationModel& model, ApiSettings settings,
         std::function<void(const Command&)> command);

    [[nodiscard]] Response Handle(const Request& request) override;

private:
    // The responses that refuse `request` for its Host header, or for its token.
    [[nodiscard]] std::optional<Response> WrongHost(const Request& request) const;
    [[nodiscard]] std::optional<Response> WrongToken(const Request& request) const;
    [[nodiscard]] Response Metrics() const;
    [[nodiscard]] Response Station();
    [[nodiscard]] Response Slots() const;
    [[nodiscard]] Response Units(const std::string& query) const;
    [[nodiscard]] Response RecentUnits() const;
    [[nodiscard]] Response UnitsLog() const;
    [[nodiscard]] Response SlotCommand(Command::Kind kind, const std::string& body);

    const CStationModel& m_model;
    ApiSettings m_settings;
    std::function<void(const Command&)> m_command;
    CFileFacts m_files;
};

// The page, HTML with its style and script: everything a browser needs but the API.
[[nodiscard]] std::string_view PageHtml();

}  // namespace vandrelux::station::http
