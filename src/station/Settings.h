// What a run of units, or a station, is told to do: plain values, read by whoever starts it.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "protocol/UpdateKinds.h"
#include "web/Endpoint.h"

namespace vandrelux::station {

struct UpdateFile {
    protocol::UpdateKind kind;
    std::string path;
};

inline constexpr int kDefaultRetries = 3;
// The beacon period: as fast as the window's timer really ticks on Windows, and cheap enough for
// many waiting ports.
inline constexpr std::chrono::milliseconds kDefaultBeacon{10};

// One unit: what it sends or receives, and how much it tolerates.
struct UnitSettings {
    std::vector<UpdateFile> files;
    bool ram = false;                      // the software to RAM, for debugging
    std::optional<std::string> receiveTo;  // receive instead of send
    int retries = kDefaultRetries;         // refused verdicts tolerated per image
    int baudRate = 115200;
};

// A port of an ordinary run: the name it was given, the device it stands for, and the number the
// window would give it (COM<n>, else 1).
struct RunPort {
    std::string name;
    std::string device;
    int number = 1;
};

// An ordinary run: one unit on every port, all at once.
struct RunSettings {
    UnitSettings unit;
    std::vector<RunPort> ports;
    std::chrono::milliseconds beacon = kDefaultBeacon;
    std::optional<std::chrono::milliseconds> timeout;  // per port, from its opening
};

// The station's web page, API and metrics.
struct WebSettings {
    web::Endpoint endpoint;
    std::string token;  // empty: the API takes no commands
};

// The station: units without end on every slot.
struct StationSettings {
    UnitSettings unit;
    std::vector<std::string> ports;  // devices, as slots for as long as the station runs
    std::vector<std::string> watch;  // globs whose devices become slots while they exist
    std::chrono::milliseconds beacon = kDefaultBeacon;
    std::chrono::milliseconds rearmQuiet{3000};    // silence before a slot takes a new box
    std::chrono::milliseconds unitSilence{60000};  // a unit ends when it makes no progress so long
    std::string unitsLog;                          // empty: no log of the units
    // What the records say of each box. Regular expressions are ECMAScript's; the CLI checks them.
    std::string stationId;      // the records' "station"; empty: the host name
    std::string boxId;          // finds the box's identity in its text; empty: none is looked for
    bool requireBoxId = false;  // a box that gives none is not updated
    std::string bootCheck;      // what the box must say after its last file; empty: no check
    std::chrono::milliseconds bootCheckTime{60000};
    std::optional<WebSettings> web;  // none: no web server
};

}  // namespace vandrelux::station
