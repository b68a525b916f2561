// The command line of vandrelux-cli: what to do, on which ports, with which files.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "device/SerialPortInfo.h"
#include "protocol/UpdateKinds.h"
#include "station/Settings.h"

namespace vandrelux::cli {

using station::kDefaultBeacon;
using station::kDefaultRetries;
using station::UpdateFile;

struct Options {
    std::vector<std::string> ports;     // device paths, COM<n> or network ports
    std::map<int, std::string> comMap;  // --com1, --com2
    int baudRate = 115200;
    std::vector<UpdateFile> files;
    bool ram = false;
    std::optional<std::string> receiveTo;
    std::optional<std::chrono::milliseconds> timeout;         // per port, from its opening
    std::optional<std::chrono::milliseconds> connectTimeout;  // network ports: connect, answers
    int retries = kDefaultRetries;                      // refused verdicts tolerated per image
    std::chrono::milliseconds beacon = kDefaultBeacon;  // the handshake timer's period
    platform::SystemRoots roots;                        // for the checks on an open failure

    // Station mode: slots that update box after box until a signal ends the run.
    bool station = false;
    std::vector<std::string> watch;                // globs whose devices become slots
    std::chrono::milliseconds rearmQuiet{3000};    // silence before a slot takes a new box
    std::chrono::milliseconds unitSilence{60000};  // a unit ends when its box is silent so long
    std::string unitsLog;                          // empty: no log of the units
    std::string stationId;                         // the records' "station"; empty: the host name
    std::string boxId;                             // where the box's identity is in its text
    bool requireBoxId = false;                     // a box without one is not updated
    std::string bootCheck;                         // what the box says once its update runs
    std::chrono::milliseconds bootCheckTime{60000};
    std::optional<web::Endpoint> http;  // the web page, API and metrics
    std::string httpTokenFile;          // empty: no commands, and loopback only
};

enum class Command { Update, ListPorts, Doctor };

struct CommandLine {
    Command command = Command::Update;
    Options options;
    bool json = false;
    std::string reportPath;  // empty: no report
};

struct ParseResult {
    std::optional<CommandLine> commandLine;  // absent when the program should exit at once
    int exitCode = 0;                        // 0 after --help or --version, 2 after a bad argument
    std::string text;  // help or version for standard output, or a reason for standard error
};

// Reads the arguments and refuses what cannot make a run: no port, nothing to send, a receive on
// several ports, two names for one device.
[[nodiscard]] ParseResult ParseCommandLine(int argc, const char* const* argv);

// The device a port names: a path or network port as it stands, COM<n> through the usual
// resolution.
[[nodiscard]] std::string ResolvePort(const std::string& port, const Options& options);

}  // namespace vandrelux::cli
