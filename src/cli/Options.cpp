#include "cli/Options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <regex>
#include <set>

#include "Version.h"
#include "device/ComPortNames.h"
#include "device/net/PortUrl.h"
#include "web/Endpoint.h"

namespace vandrelux::cli {

namespace {

constexpr const char* kDescription =
    "Sends update files to set-top boxes over serial lines, or receives one box's whole "
    "programme code into a file.\n\n"
    "Download: vandrelux-cli --port PORT [--port PORT...] [--bootstrap F] [--ucode F] [--logo F]\n"
    "                        [--tvprogram F] [--software F [--ram]]\n"
    "  then power on the boxes. Files go out in the order bootstrap, ucode, logo, TV programme,\n"
    "  software. Every --port is served at the same time: the boxes are updated together.\n"
    "Receive:  vandrelux-cli --port PORT --receive OUT\n"
    "  then start the sending side on the box. The image is collected in rv.bin in the\n"
    "  current folder and written to OUT with the bytes of every 16-bit word swapped; one\n"
    "  port only, as every receive collects into the same rv.bin.\n"
    "Station:  vandrelux-cli --station [--port PORT...] [--watch GLOB...] <files> [--units-log F]\n"
    "  updates box after box on every slot until SIGINT or SIGTERM (Ctrl+C, Ctrl+Break or\n"
    "  closing the console on Windows); a slot takes the next box once its line has been quiet\n"
    "  for --rearm-quiet seconds. Devices matching a --watch glob become slots as they appear\n"
    "  and leave as they go; on Windows a glob names COM ports (COM*), or their adapters by the\n"
    "  name or the USB location the device manager shows.\n"
    "Set-up:   vandrelux-cli --list-ports | --doctor [--port PORT...]\n\n"
    "A PORT is a serial device, COM<n>, or a port behind a network server: rfc2217://HOST:PORT\n"
    "(Telnet with COM-port control, as ser2net's telnet(rfc2217) accepter speaks it) or\n"
    "tcp://HOST:PORT (raw bytes; socket:// alike). HOST is a name, an IPv4 address or an IPv6\n"
    "address in brackets.\n\n"
    "The message log goes to standard output (each line led by [PORT] when there are several\n"
    "ports), the box's own text, progress and a summary table to standard error. Progress is a\n"
    "bar redrawn in place on a terminal, and a line per tenth of each file otherwise.\n\n"
    "Defaults: wait for the boxes as long as it takes (no --timeout); frames the box refuses\n"
    "are sent again without limit; an image whose whole-image check the box refuses is sent\n"
    "again up to 3 times (--retries).\n\n"
    "Exit status: 0 success on every port, 1 the box refused or the image failed its check\n"
    "(or was refused more often than --retries allows), 2 bad arguments, 3 port not openable\n"
    "(--doctor: a check found a problem), 4 file not openable (or --report not writable),\n"
    "5 time-out, 6 line lost, 7 abandoned (a signal stopped the run; a second one ends it at\n"
    "once). With several ports: the status of the first port, in the order\n"
    "given, that failed; the summary table names every port's outcome.";

constexpr int kUsage = 2;

std::string NotANetworkPort(const std::string& option, const std::string& name) {
    return option + " " + name +
           ": not a network port; write rfc2217://HOST:PORT or tcp://HOST:PORT, an IPv6 "
           "address in brackets";
}

ParseResult Refuse(std::string reason) {
    ParseResult result;
    result.exitCode = kUsage;
    result.text = std::move(reason);
    return result;
}

// What the command line gives before it is checked: the options' values, and the raw ones that
// become Options once they are.
struct Parsed {
    CommandLine line;
    std::array<std::string, protocol::kUpdateKinds.size()> kindPaths;
    std::string receive;
    double timeoutSeconds = 0;
    double connectSeconds = 0;
    double rearmSeconds = 3;
    double silenceSeconds = 60;
    double bootCheckS = 60;
    int beaconMs = static_cast<int>(kDefaultBeacon.count());
    std::string com1;
    std::string com2;
    std::string http;
    bool listPorts = false;
    bool doctor = false;
    CLI::Option* port = nullptr;
    CLI::Option* receiveOption = nullptr;
    CLI::Option* bootCheckSeconds = nullptr;
    std::vector<CLI::Option*> stationOnly;
};

void AddPortOptions(CLI::App& app, Parsed& p) {
    Options& options = p.line.options;
    p.port = app.add_option("--port", options.ports,
                            "Serial device path, COM<n>, rfc2217://HOST:PORT or "
                            "tcp://HOST:PORT; repeat to update several boxes at once");
    app.add_option("--com1", p.com1,
                   "Device or network port that COM1 names (else $VANDRELUX_COM1, USB "
                   "adapters, /dev/ttyS0)");
    app.add_option("--com2", p.com2, "Device that COM2 names");
    app.add_option("--baud", options.baudRate, "Line speed")
        ->capture_default_str()
        ->check(CLI::Range(1, 4'000'000));
}

void AddFileOptions(CLI::App& app, Parsed& p) {
    auto* down = app.add_option_group("download");
    for (std::size_t i = 0; i < p.kindPaths.size(); ++i) {
        down->add_option("--" + std::string(protocol::kUpdateKinds[i].name), p.kindPaths[i],
                         std::string(protocol::kUpdateKinds[i].description));
    }
    down->add_flag("--ram", p.line.options.ram, "Load the software to RAM for debugging");
    p.receiveOption =
        app.add_option("--receive", p.receive, "Receive the box's programme code into this file");
    down->excludes(p.receiveOption);
}

void AddRunOptions(CLI::App& app, Parsed& p) {
    app.add_option("--timeout", p.timeoutSeconds,
                   "Give up on a port this many seconds after opening it, power-on wait "
                   "included (default: wait as long as it takes)")
        ->check(CLI::Range(0.001, 1e7));
    app.add_option("--connect-timeout", p.connectSeconds,
                   "Network ports: seconds a connect, and each answer of the server, may take "
                   "(default 5)")
        ->check(CLI::Range(0.001, 3600.0));
    app.add_option("--retries", p.line.options.retries,
                   "Times an image is sent again after the box refused its whole-image check, "
                   "before that port fails")
        ->capture_default_str()
        ->check(CLI::Range(0, 1'000'000));
    app.add_option("--beacon-ms", p.beaconMs,
                   "Milliseconds between the handshake bytes sent while waiting for a box")
        ->capture_default_str()
        ->check(CLI::Range(1, 1000));
}

// A regular expression as the station takes it, or why not.
const CLI::Validator kRegex(
    [](const std::string& text) {
        try {
            static_cast<void>(std::regex(text));
            return std::string();
        } catch (const std::regex_error& e) {
            return "not a regular expression: " + std::string(e.what());
        }
    },
    "REGEX");

// What the station's records say of each box: who it is, and that its new software starts.
void AddTraceOptions(CLI::App& app, Parsed& p) {
    Options& options = p.line.options;
    p.stationOnly.push_back(
        app.add_option("--station-id", options.stationId,
                       "Station: its name in the records of its units (default: the host name)"));
    p.stationOnly.push_back(
        app.add_option("--box-id", options.boxId,
                       "Station: where the box's identity is in the text it sends before it is "
                       "ready: a regular expression whose first group (or whole match) becomes "
                       "the unit's box_id, such as 'S/N: (\\w+)'")
            ->check(kRegex));
    p.stationOnly.push_back(
        app.add_flag("--require-box-id", options.requireBoxId,
                     "Station: a box whose text gives no identity is not updated; its unit fails"));
    p.stationOnly.push_back(
        app.add_option("--boot-check", options.bootCheck,
                       "Station: after the last file the unit waits for the box's text to match "
                       "this regular expression (its new software announcing itself); no match "
                       "in time ends it as boot-failed")
            ->check(kRegex));
    p.bootCheckSeconds =
        app.add_option("--boot-check-seconds", p.bootCheckS, "Station: how long --boot-check waits")
            ->capture_default_str()
            ->check(CLI::Range(0.1, 3600.0));
    p.stationOnly.push_back(p.bootCheckSeconds);
}

void AddStationOptions(CLI::App& app, Parsed& p) {
    Options& options = p.line.options;
    app.add_flag("--station", options.station,
                 "Update box after box on every slot until a signal ends it");
    p.stationOnly.push_back(
        app.add_option("--watch", options.watch,
                       "Station: devices matching this glob become slots as they appear, such as "
                       "'/dev/serial/by-path/*' (on Windows 'COM*' or 'USB Serial Port*'); "
                       "repeatable"));
    p.stationOnly.push_back(app.add_option("--rearm-quiet", p.rearmSeconds,
                                           "Station: seconds the line must be quiet after a unit "
                                           "before the slot takes the next box")
                                ->capture_default_str()
                                ->check(CLI::Range(0.0, 3600.0)));
    p.stationOnly.push_back(
        app.add_option("--unit-silence", p.silenceSeconds,
                       "Station: seconds without progress (a frame acknowledged, an image "
                       "judged) after which a unit under way ends as timed out, whatever else "
                       "the box sends")
            ->capture_default_str()
            ->check(CLI::Range(1.0, 86400.0)));
    p.stationOnly.push_back(
        app.add_option("--units-log", options.unitsLog,
                       "Station: append every finished unit to this file as a JSON line"));
    p.stationOnly.push_back(
        app.add_option("--http", p.http,
                       "Station: serve its web page, API and metrics on [ADDR:]PORT (ADDR "
                       "127.0.0.1 unless named; another needs --http-token-file)"));
    p.stationOnly.push_back(
        app.add_option("--http-token-file", options.httpTokenFile,
                       "Station: the token the API's commands need, and every request when "
                       "--http names an address beyond this computer"));
    AddTraceOptions(app, p);
}

void AddOutputOptions(CLI::App& app, Parsed& p) {
    app.add_flag("--json", p.line.json,
                 "JSON-lines events on standard output instead of the message log");
    app.add_option("--report", p.line.reportPath, "Write a JSON report of the run to this file");
    auto* listOption = app.add_flag("--list-ports", p.listPorts,
                                    "List the serial devices, their drivers, USB adapters and "
                                    "COM<n> names, then exit");
    auto* doctorOption = app.add_flag("--doctor", p.doctor,
                                      "Check permissions, other users and USB latency of the "
                                      "--port devices (default: every serial device), then exit");
    listOption->excludes(doctorOption);
    app.set_config("--config", "",
                   "Read options from this file: one `name = value` per line, as the long "
                   "options are named (a list in brackets for a repeated one, true for a flag); "
                   "the command line wins");
    // Roots of the system trees, for tests that lay out their own.
    Options& options = p.line.options;
    app.add_option("--sys-root", options.roots.sys)->group("");
    app.add_option("--dev-root", options.roots.dev)->group("");
    app.add_option("--proc-root", options.roots.proc)->group("");
}

std::chrono::milliseconds Milliseconds(double seconds) {
    return std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
}

// The numbers and COM names: what every command needs, checked.
std::optional<std::string> TakeCommon(Parsed& p) {
    // "nan" reads as a number and passes every range check.
    for (const double seconds :
         {p.timeoutSeconds, p.connectSeconds, p.rearmSeconds, p.silenceSeconds}) {
        if (!std::isfinite(seconds)) {
            return "a number of seconds must be a finite number; see --help";
        }
    }
    Options& options = p.line.options;
    options.beacon = std::chrono::milliseconds(p.beaconMs);
    if (!p.com1.empty()) {
        options.comMap[1] = p.com1;
    }
    if (!p.com2.empty()) {
        options.comMap[2] = p.com2;
    }
    if (p.connectSeconds > 0) {
        options.connectTimeout = Milliseconds(p.connectSeconds);
    }
    for (const auto& [n, named] : options.comMap) {
        if (platform::IsNetworkPortName(named) && !platform::ParsePortUrl(named)) {
            return NotANetworkPort("--com" + std::to_string(n), named);
        }
    }
    return std::nullopt;
}

// The web server's address, and a token wherever it can be reached from other computers.
std::optional<std::string> TakeHttp(Parsed& p) {
    Options& options = p.line.options;
    if (p.http.empty()) {
        return options.httpTokenFile.empty()
                   ? std::nullopt
                   : std::optional<std::string>("--http-token-file goes with --http");
    }
    options.http = web::ParseEndpoint(p.http);
    if (!options.http) {
        return "--http " + p.http +
               ": write PORT or ADDR:PORT, ADDR an IPv4 address, an IPv6 address in brackets or "
               "localhost";
    }
    if (!options.http->loopback && options.httpTokenFile.empty()) {
        return "--http " + p.http +
               " can be reached from other computers: name the token they need with "
               "--http-token-file";
    }
    return std::nullopt;
}

// The station's options with the station, and the ordinary run's without it.
std::optional<std::string> TakeStation(Parsed& p) {
    Options& options = p.line.options;
    for (const CLI::Option* option : p.stationOnly) {
        if (option->count() > 0 && !options.station) {
            return option->get_name() + " goes with --station";
        }
    }
    options.rearmQuiet = Milliseconds(p.rearmSeconds);
    options.unitSilence = Milliseconds(p.silenceSeconds);
    options.bootCheckTime = Milliseconds(p.bootCheckS);
    if (options.requireBoxId && options.boxId.empty()) {
        return "--require-box-id needs --box-id REGEX: where the identity is in the box's text";
    }
    if (options.bootCheck.empty() && p.bootCheckSeconds->count() > 0) {
        return "--boot-check-seconds goes with --boot-check REGEX";
    }
    if (std::optional<std::string> problem = TakeHttp(p)) {
        return problem;
    }
    if (!options.station) {
        return p.port->count() == 0
                   ? std::optional<std::string>("name the box's line with --port PORT")
                   : std::nullopt;
    }
    if (p.port->count() == 0 && options.watch.empty()) {
        return "name the station's slots with --port PORT or --watch GLOB";
    }
    if (p.receiveOption->count() > 0) {
        return "--station sends files; --receive takes one box";
    }
    if (p.timeoutSeconds > 0 || !p.line.reportPath.empty()) {
        return "--timeout and --report do not go with --station; see --units-log";
    }
    return std::nullopt;
}

// What to send, or where to receive to.
std::optional<std::string> TakeFiles(Parsed& p) {
    Options& options = p.line.options;
    for (std::size_t i = 0; i < p.kindPaths.size(); ++i) {
        if (!p.kindPaths[i].empty()) {
            options.files.push_back({protocol::kUpdateKinds[i].kind, p.kindPaths[i]});
        }
    }
    if (p.receiveOption->count() > 0) {
        options.receiveTo = p.receive;
        if (options.ports.size() > 1) {
            return "--receive takes one --port: every receive collects into rv.bin here";
        }
    } else if (options.files.empty()) {
        return "name at least one file to send, or --receive OUT";
    }
    const bool software = std::any_of(
        options.files.begin(), options.files.end(),
        [](const UpdateFile& file) { return file.kind == protocol::UpdateKind::Software; });
    if (options.ram && !software) {
        return "--ram goes with --software";
    }
    return std::nullopt;
}

// Every port names a device of its own.
std::optional<std::string> CheckPorts(const Options& options) {
    std::set<std::filesystem::path> devices;
    for (const std::string& port : options.ports) {
        // Two names of one device, such as a /dev/serial/by-id link, count as one.
        const std::string named = ResolvePort(port, options);
        if (platform::IsNetworkPortName(named)) {
            const std::optional<platform::PortUrl> url = platform::ParsePortUrl(named);
            if (!url) {
                return NotANetworkPort("--port", named);
            }
            if (!devices.insert(platform::CanonicalPortName(*url)).second) {
                return "--port " + port + " names a port already given";
            }
            continue;
        }
        std::error_code ec;
        const std::filesystem::path device = std::filesystem::weakly_canonical(named, ec);
        if (!devices.insert(ec ? std::filesystem::path(named) : device).second) {
            return "--port " + port + " names a device already given";
        }
    }
    return std::nullopt;
}

}  // namespace

ParseResult ParseCommandLine(int argc, const char* const* argv) {
    CLI::App app{kDescription, "vandrelux-cli"};
    app.get_formatter()->column_width(30);
    app.set_version_flag("--version", "vandrelux-cli " + std::string(kVersion) + "\n",
                         "Show the version and exit");
    Parsed p;
    AddPortOptions(app, p);
    AddFileOptions(app, p);
    AddRunOptions(app, p);
    AddStationOptions(app, p);
    AddOutputOptions(app, p);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        ParseResult help;
        help.text = app.help();
        return help;
    } catch (const CLI::CallForVersion& e) {
        ParseResult version;
        version.text = e.what();
        return version;
    } catch (const CLI::ParseError& e) {
        return Refuse(std::string(e.what()) + "; see --help");
    }
    if (std::optional<std::string> problem = TakeCommon(p)) {
        return Refuse(std::move(*problem));
    }
    ParseResult result;
    if (p.listPorts || p.doctor) {
        p.line.command = p.listPorts ? Command::ListPorts : Command::Doctor;
        result.commandLine = std::move(p.line);
        return result;
    }
    for (const auto step : {TakeStation, TakeFiles}) {
        if (std::optional<std::string> problem = step(p)) {
            return Refuse(std::move(*problem));
        }
    }
    if (std::optional<std::string> problem = CheckPorts(p.line.options)) {
        return Refuse(std::move(*problem));
    }
    if (p.timeoutSeconds > 0) {
        p.line.options.timeout = Milliseconds(p.timeoutSeconds);
    }
    result.commandLine = std::move(p.line);
    return result;
}

std::string ResolvePort(const std::string& port, const Options& options) {
    const std::optional<int> com = platform::ParseComName(port);
    if (!com) {
        return port;
    }
    platform::ComMapping mapping;
    mapping.explicitPaths = options.comMap;
    return platform::ResolveComPort(*com, mapping);
}

}  // namespace vandrelux::cli
