// vandrelux-cli: updates set-top boxes, or reads a box's programme code back, without a window.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>

#include "cli/Console.h"
#include "cli/ConsoleEvents.h"
#include "cli/Doctor.h"
#include "cli/Options.h"
#include "cli/PortList.h"
#include "cli/Report.h"
#include "cli/Updater.h"
#include "device/net/NetworkDevice.h"
#include "os/Process.h"
#include "station/Run.h"
#include "station/Station.h"
#include "station/Text.h"
#include "web/Access.h"

namespace {

using vandrelux::cli::CConsole;
using vandrelux::cli::Options;
using vandrelux::cli::Outcome;
using vandrelux::cli::OutcomeName;
using vandrelux::cli::PortResult;

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
    const auto ports =
        vandrelux::cli::ListPorts(options.roots, mapping, Environment, options.ports);
    if (json) {
        for (const nlohmann::json& port : vandrelux::cli::PortListJson(ports)) {
            std::printf("%s\n", vandrelux::station::Dump(port).c_str());
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
            std::printf("%s\n", vandrelux::station::Dump(event).c_str());
        } else {
            std::printf("%s\n", reason.c_str());
        }
        return Status(Outcome::PortNotOpenable);
    }
    const vandrelux::platform::UserIdentity user = vandrelux::platform::CurrentUser();
    bool allOk = true;
    for (const auto& [port, device] : devices) {
        if (!json) {
            std::string named = device;
            if (port != device) {
                named.append(" (").append(port).append(")");
            }
            std::printf("%s\n", vandrelux::station::Printable(named).c_str());
        }
        for (const auto& finding :
             vandrelux::cli::CheckSerialSetup(device, options.roots, user, options.baudRate)) {
            allOk = allOk && finding.ok;
            if (json) {
                const nlohmann::json event = {{"event", "check"},     {"port", port},
                                              {"device", device},     {"ok", finding.ok},
                                              {"what", finding.what}, {"fix", finding.fix}};
                std::printf("%s\n", vandrelux::station::Dump(event).c_str());
            } else {
                std::printf("  %s\n", vandrelux::cli::FormatFinding(finding).c_str());
            }
        }
    }
    return Status(allOk ? Outcome::Success : Outcome::PortNotOpenable);
}

int Update(const Options& options, bool json, const std::string& reportPath) {
    CConsole console({json, vandrelux::platform::StandardErrorIsTerminal(),
                      vandrelux::platform::StandardOutputSharesTerminal()},
                     {}, stdout, stderr);
    vandrelux::cli::CConsoleEvents events(console, options);
    const vandrelux::station::RunSettings settings = vandrelux::cli::RunSettingsOf(options);
    vandrelux::cli::RunStamp stamp;
    stamp.host = vandrelux::platform::HostName();
    stamp.start = vandrelux::station::UtcText(std::chrono::system_clock::now());
    const std::vector<PortResult> results = vandrelux::station::RunUnits(settings, events);
    stamp.end = vandrelux::station::UtcText(std::chrono::system_clock::now());
    console.PrintAtEnd(vandrelux::cli::SummaryTable(results));
    int status = Status(vandrelux::cli::RunOutcome(results));
    if (!reportPath.empty()) {
        if (!vandrelux::station::WriteJsonFile(
                reportPath, vandrelux::cli::MakeReport(results, status, stamp))) {
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

int Run(int argc, char** argv) {
    vandrelux::platform::KeepRunningWhenWritesFail();
    vandrelux::cli::ParseResult parsed = vandrelux::cli::ParseCommandLine(argc, argv);
    if (!parsed.commandLine) {
        if (parsed.exitCode != 0) {
            std::fprintf(stderr, "vandrelux-cli: %s\n", parsed.text.c_str());
            return parsed.exitCode;
        }
        std::fputs(parsed.text.c_str(), stdout);
        return 0;
    }
    const vandrelux::cli::CommandLine& line = *parsed.commandLine;
    const Options& options = line.options;
    if (options.connectTimeout) {
        vandrelux::platform::SetNetworkTimeout(*options.connectTimeout);
    }
    switch (line.command) {
        case vandrelux::cli::Command::ListPorts:
            return ListPorts(options, line.json);
        case vandrelux::cli::Command::Doctor:
            return Doctor(options, line.json);
        case vandrelux::cli::Command::Update:
            break;
    }
    std::optional<std::string> problem = vandrelux::cli::CheckFiles(options);
    if (!problem && !line.reportPath.empty()) {
        problem = vandrelux::cli::CheckWritable(line.reportPath);
    }
    if (!problem && !options.unitsLog.empty() &&
        !std::filesystem::is_regular_file(options.unitsLog)) {
        problem = vandrelux::cli::CheckWritable(options.unitsLog);
    }
    std::string token;
    if (!problem && !options.httpTokenFile.empty()) {
        problem = vandrelux::web::ReadToken(options.httpTokenFile, token);
    }
    if (problem) {
        std::fprintf(stderr, "vandrelux-cli: %s\n", problem->c_str());
        return Status(Outcome::FileNotOpenable);
    }
    if (options.station) {
        CConsole console({line.json, vandrelux::platform::StandardErrorIsTerminal(),
                          vandrelux::platform::StandardOutputSharesTerminal()},
                         {}, stdout, stderr);
        vandrelux::cli::CConsoleEvents events(console, options);
        vandrelux::station::StationSettings settings = vandrelux::cli::StationSettingsOf(options);
        if (settings.web) {
            settings.web->token = token;
        }
        return vandrelux::station::RunStation(settings, events);
    }
    return Update(options, line.json, line.reportPath);
}

}  // namespace

int main(int argc, char** argv) {
    // Nothing the run throws may end the program without a word: a line says what stopped it.
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vandrelux-cli: stopped: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "vandrelux-cli: stopped by an unknown error\n");
    }
    return 1;
}
