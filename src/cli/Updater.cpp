#include "cli/Updater.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "cli/Doctor.h"
#include "device/ComPortNames.h"
#include "device/net/PortUrl.h"
#include "os/Files.h"
#include "station/PortUnit.h"

namespace vandrelux::cli {

namespace {

station::UnitSettings UnitSettingsOf(const Options& options) {
    return {options.files, options.ram, options.receiveTo, options.retries, options.baudRate};
}

}  // namespace

station::RunSettings RunSettingsOf(const Options& options) {
    station::RunSettings settings;
    settings.unit = UnitSettingsOf(options);
    for (const std::string& port : options.ports) {
        settings.ports.push_back(
            {port, ResolvePort(port, options), platform::ParseComName(port).value_or(1)});
    }
    settings.beacon = options.beacon;
    settings.timeout = options.timeout;
    return settings;
}

station::StationSettings StationSettingsOf(const Options& options) {
    station::StationSettings settings;
    settings.unit = UnitSettingsOf(options);
    for (const std::string& port : options.ports) {
        settings.ports.push_back(ResolvePort(port, options));
    }
    settings.watch = options.watch;
    settings.beacon = options.beacon;
    settings.rearmQuiet = options.rearmQuiet;
    settings.unitSilence = options.unitSilence;
    settings.unitsLog = options.unitsLog;
    settings.stationId = options.stationId;
    settings.boxId = options.boxId;
    settings.requireBoxId = options.requireBoxId;
    settings.bootCheck = options.bootCheck;
    settings.bootCheckTime = options.bootCheckTime;
    if (options.http) {
        settings.web = station::WebSettings{*options.http, {}};
    }
    return settings;
}

std::optional<std::string> CheckFiles(const Options& options) {
    namespace fs = std::filesystem;
    for (const UpdateFile& file : options.files) {
        if (std::optional<std::string> problem = station::CheckUpdateFile(file.path)) {
            return problem;
        }
    }
    if (!options.receiveTo) {
        return std::nullopt;
    }
    const fs::path target = *options.receiveTo;
    // Made absolute first: a name that does not exist yet stays relative otherwise, and
    // "./rv.bin" would not be taken for "rv.bin".
    const auto resolved = [](const fs::path& path, std::error_code& ec) {
        const fs::path whole = fs::absolute(path, ec);
        return ec ? fs::path() : fs::weakly_canonical(whole, ec);
    };
    std::error_code targetError;
    std::error_code workError;
    const fs::path targetPath = resolved(target, targetError);
    const fs::path workPath = resolved("rv.bin", workError);
    if (!target.empty() && !targetError && !workError && targetPath == workPath) {
        return "the target cannot be rv.bin: that is where the image is collected";
    }
    return CheckWritable(target.string());
}

std::optional<std::string> CheckWritable(const std::string& path) {
    namespace fs = std::filesystem;
    const fs::path target = path;
    std::error_code ec;
    if (target.empty() || fs::is_directory(target, ec)) {
        return "cannot write " + path + ": not a file name";
    }
    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    if (!platform::FolderIsWritable(folder)) {
        return "cannot write " + path + ": no such folder, or not writable";
    }
    return std::nullopt;
}

void ReportOpenFailure(CConsole& console, std::size_t index, const std::string& device,
                       const Options& options, const platform::SystemError& error) {
    const std::vector<Finding> findings =
        platform::IsNetworkPortName(device)
            ? std::vector<Finding>{NetworkOpenFailure(device, error)}
            : CheckSerialSetup(device, options.roots, platform::CurrentUser(), options.baudRate);
    for (const Finding& finding : findings) {
        if (!finding.ok) {
            console.Note(index, FormatFinding(finding));
            console.Emit(
                index, "check",
                {{"device", device}, {"ok", false}, {"what", finding.what}, {"fix", finding.fix}});
        }
    }
}

}  // namespace vandrelux::cli
