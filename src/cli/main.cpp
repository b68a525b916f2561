// vandrelux-cli: updates set-top boxes, or reads a box's programme code back, without a window.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <thread>

#include "cli/Console.h"
#include "cli/Doctor.h"
#include "cli/PortList.h"
#include "cli/Report.h"
#include "cli/Text.h"
#include "cli/Updater.h"
#include "platform/Process.h"

namespace {

using vandrelux::cli::CConsole;
using vandrelux::cli::Options;
using vandrelux::cli::Outcome;
using vandrelux::cli::OutcomeName;
using vandrelux::cli::PortResult;
using vandrelux::protocol::UpdateKind;

constexpr const char* kDescription =
    "Sends update files to set-top boxes over serial lines, or receives one box's whole "
    "programme code into a file.\n\n"
    "Download: vandrelux-cli --port PORT [--port PORT...] [--bootstrap F] [--ucode F] [--logo F]\n"
    "                        [--tvprogram F] [--software F [--ram]]\n"
    "  then power on the boxes. Files go out in the order bootstrap, ucode, logo, TV programme,\n"
    "  software. Every --port gets its own worker: the boxes are updated at the same time.\n"
    "Receive:  vandrelux-cli --port PORT --receive OUT\n"
    "  then start the sending side on the box. The image is collected in rv.bin in the\n"
    "  current folder and written to OUT with the bytes of every 16-bit word swapped; one\n"
    "  port only, as every receive collects into the same rv.bin.\n"
    "Set-up:   vandrelux-cli --list-ports | --doctor [--port PORT...]\n\n"
    "The message log goes to standard output (each line led by [PORT] when there are several\n"
    "ports), the box's own text, progress and a summary table to standard error. Progress is a\n"
    "bar redrawn in place on a terminal, and a line per tenth of each file otherwise.\n\n"
    "Defaults: wait for the boxes as long as it takes (no --timeout); frames the box refuses\n"
    "are sent again without limit; an image whose whole-image check the box refuses is sent\n"
    "again up to 3 times (--retries).\n\n"
    "Exit status: 0 success on every port, 1 the box refused or the image failed its check\n"
    "(or was refused more often than --retries allows), 2 bad arguments, 3 port not openable\n"
    "(--doctor: a check found a problem), 4 file not openable (or --report not writable),\n"
    "5 time-out, 6 line lost. With several ports: the status of the first port, in the order\n"
    "given, that failed; the summary table names every port's outcome.";

int Status(Outcome outcome) {
    return static_cast<int>(outcome);
}

std::optional<std::string> Environment(const std::string& key) {
    const char* value = std::getenv(key.c_str());
    return value == nullptr ? std::nullopt : std::optional<std::string>(value);
}

int ListPorts(const Options& options, bool json) {
    vandrelux::platform::ComMapping mapping;
    mapping.explicitPaths = options.comMap;
    const auto ports = vandrelux::cli::ListPorts(options.roots, mapping, Environment);
    if (json) {
        for (const nlohmann::json& port : vandrelux::cli::PortListJson(ports)) {
            std::printf("%s\n", vandrelux::cli::Dump(port).c_str());
        }
    } else {
        std::fputs(vandrelux::cli::FormatPortTable(ports).c_str(), stdout);
    }
    return Status(Outcome::Success);
}

int Doctor(const Options& options, bool json) {
    std::vector<std::pair<std::string, std::string>> devices;  // as named, resolved
    for (const std::string& port : options.ports) {
        devices.emplace_back(port, vandrelux::cli::ResolvePort(port, options));
    }
    if (devices.empty()) {
        for (const auto& info : vandrelux::platform::ListSerialPorts(options.roots)) {
            devices.emplace_back(info.device, info.device);
        }
    }
    if (devices.empty()) {
        const std::string reason = "no serial devices found; name one with --port";
        if (json) {
            const nlohmann::json event = {{"event", "error"},
                                          {"port", nullptr},
                                          {"status", Status(Outcome::PortNotOpenable)},
                                          {"outcome", OutcomeName(Outcome::PortNotOpenable)},
                                          {"reason", reason}};
            std::printf("%s\n", vandrelux::cli::Dump(event).c_str());
        } else {
            std::printf("%s\n", reason.c_str());
        }
        return Status(Outcome::PortNotOpenable);
    }
    const vandrelux::platform::UserIdentity user = vandrelux::platform::CurrentUser();
    bool allOk = true;
    for (const auto& [port, device] : devices) {
        if (!json) {
            const std::string named = port == device ? device : device + " (" + port + ")";
            std::printf("%s\n", vandrelux::cli::Printable(named).c_str());
        }
        for (const auto& finding :
             vandrelux::cli::CheckSerialSetup(device, options.roots, user, options.baudRate)) {
            allOk = allOk && finding.ok;
            if (json) {
                const nlohmann::json event = {{"event", "check"},     {"port", port},
                                              {"device", device},     {"ok", finding.ok},
                                              {"what", finding.what}, {"fix", finding.fix}};
                std::printf("%s\n", vandrelux::cli::Dump(event).c_str());
            } else {
                std::printf("  %s\n", vandrelux::cli::FormatFinding(finding).c_str());
            }
        }
    }
    return Status(allOk ? Outcome::Success : Outcome::PortNotOpenable);
}

int Update(const Options& options, bool json, const std::string& reportPath) {
    CConsole console({json, vandrelux::platform::StandardErrorIsTerminal()}, options.ports, stdout,
                     stderr);
    std::vector<PortResult> results(options.ports.size());
    {
        std::vector<std::jthread> workers;
        for (std::size_t i = 0; i < options.ports.size(); ++i) {
            workers.emplace_back([&options, &console, &results, i] {
                vandrelux::cli::CUpdater updater(options, i, console);
                results[i] = updater.Run();
            });
        }
    }
    console.PrintAtEnd(vandrelux::cli::SummaryTable(results));
    int status = Status(vandrelux::cli::RunOutcome(results));
    if (!reportPath.empty()) {
        if (!vandrelux::cli::WriteJsonFile(reportPath,
                                           vandrelux::cli::MakeReport(results, status))) {
            console.Note("cannot write the report " + reportPath);
            status = status == 0 ? Status(Outcome::FileNotOpenable) : status;
        }
    }
    nlohmann::json failed = nlohmann::json::array();
    for (const PortResult& result : results) {
        if (result.outcome != Outcome::Success) {
            failed.push_back(result.port);
        }
    }
    console.EmitRun("run_complete", {{"status", status}, {"failed", failed}});
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{kDescription, "vandrelux-cli"};
    app.get_formatter()->column_width(30);

    Options options;
    std::string bootstrap, ucode, logo, tvprogram, software, receive, reportPath;
    double timeoutSeconds = 0;
    std::string com1, com2;
    bool listPorts = false;
    bool doctor = false;
    bool json = false;
    auto* portOption = app.add_option("--port", options.ports,
                                      "Serial device path, or COM<n>; repeat to update several "
                                      "boxes at once");
    app.add_option("--com1", com1,
                   "Device that COM1 names (else $VANDRELUX_COM1, USB adapters, "
                   "/dev/ttyS0)");
    app.add_option("--com2", com2, "Device that COM2 names");
    app.add_option("--baud", options.baudRate, "Line speed")
        ->capture_default_str()
        ->check(CLI::Range(1, 4'000'000));
    auto* down = app.add_option_group("download");
    down->add_option("--bootstrap", bootstrap, "Bootstrap image");
    down->add_option("--ucode", ucode, "Microcode image");
    down->add_option("--logo", logo, "I-frame logo image");
    down->add_option("--tvprogram", tvprogram, "TV programme list");
    down->add_option("--software", software, "Software image");
    down->add_flag("--ram", options.ram, "Load the software to RAM for debugging");
    auto* receiveOption =
        app.add_option("--receive", receive, "Receive the box's programme code into this file");
    down->excludes(receiveOption);
    app.add_option("--timeout", timeoutSeconds,
                   "Give up on a port this many seconds after opening it, power-on wait "
                   "included (default: wait as long as it takes)")
        ->check(CLI::Range(0.001, 1e7));
    app.add_option("--retries", options.retries,
                   "Times an image is sent again after the box refused its whole-image check, "
                   "before that port fails")
        ->capture_default_str()
        ->check(CLI::Range(0, 1'000'000));
    app.add_flag("--json", json, "JSON-lines events on standard output instead of the message log");
    app.add_option("--report", reportPath, "Write a JSON report of the run to this file");
    auto* listOption = app.add_flag("--list-ports", listPorts,
                                    "List the serial devices, their drivers, USB adapters and "
                                    "COM<n> names, then exit");
    auto* doctorOption = app.add_flag("--doctor", doctor,
                                      "Check permissions, other users and USB latency of the "
                                      "--port devices (default: every serial device), then exit");
    listOption->excludes(doctorOption);
    // Roots of the system trees, for tests that lay out their own.
    app.add_option("--sys-root", options.roots.sys)->group("");
    app.add_option("--dev-root", options.roots.dev)->group("");
    app.add_option("--proc-root", options.roots.proc)->group("");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // Help and version are not errors; every mistake in the arguments is status 2.
        return app.exit(e) == 0 ? 0 : Status(Outcome::Usage);
    }
    if (!com1.empty()) {
        options.comMap[1] = com1;
    }
    if (!com2.empty()) {
        options.comMap[2] = com2;
    }
    if (listPorts) {
        return ListPorts(options, json);
    }
    if (doctor) {
        return Doctor(options, json);
    }

    const auto usage = [](const char* text) {
        std::fprintf(stderr, "vandrelux-cli: %s\n", text);
        return Status(Outcome::Usage);
    };
    if (portOption->count() == 0) {
        return usage("name the box's line with --port PORT");
    }
    const std::pair<UpdateKind, const std::string*> kinds[] = {{UpdateKind::Bootstrap, &bootstrap},
                                                               {UpdateKind::Ucode, &ucode},
                                                               {UpdateKind::Logo, &logo},
                                                               {UpdateKind::TvProgram, &tvprogram},
                                                               {UpdateKind::Software, &software}};
    for (const auto& [kind, path] : kinds) {
        if (!path->empty()) {
            options.files.push_back({kind, *path});
        }
    }
    if (receiveOption->count() > 0) {
        options.receiveTo = receive;
        if (options.ports.size() > 1) {
            return usage("--receive takes one --port: every receive collects into rv.bin here");
        }
    } else if (options.files.empty()) {
        return usage("name at least one file to send, or --receive OUT");
    }
    if (options.ram && software.empty()) {
        return usage("--ram goes with --software");
    }
    std::set<std::filesystem::path> devices;
    for (const std::string& port : options.ports) {
        // Two names of one device, such as a /dev/serial/by-id link, count as one.
        const std::string named = vandrelux::cli::ResolvePort(port, options);
        std::error_code ec;
        const std::filesystem::path device = std::filesystem::weakly_canonical(named, ec);
        if (!devices.insert(ec ? std::filesystem::path(named) : device).second) {
            return usage(("--port " + port + " names a device already given").c_str());
        }
    }
    if (timeoutSeconds > 0) {
        options.timeout = std::chrono::milliseconds(static_cast<long long>(timeoutSeconds * 1000));
    }
    std::optional<std::string> problem = vandrelux::cli::CheckFiles(options);
    if (!problem && !reportPath.empty()) {
        problem = vandrelux::cli::CheckWritable(reportPath);
    }
    if (problem) {
        std::fprintf(stderr, "vandrelux-cli: %s\n", problem->c_str());
        return Status(Outcome::FileNotOpenable);
    }
    return Update(options, json, reportPath);
}
