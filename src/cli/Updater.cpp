#include "cli/Updater.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "cli/Doctor.h"
#include "platform/Files.h"
#include "platform/PortUrl.h"
#include "protocol/Frames.h"

namespace vandrelux::cli {

std::optional<std::string> CheckUpdateFile(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (!fs::exists(status)) {
        return "cannot read " + path + ": no such file";
    }
    if (fs::is_directory(status)) {
        return "cannot read " + path + ": it is a folder";
    }
    if (!fs::is_regular_file(status)) {
        return "cannot read " + path + ": not a file";
    }
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return "cannot read " + path + ": " + platform::LastSystemError().message;
    }
    std::fclose(f);
    const std::uintmax_t size = fs::file_size(path, ec);
    if (ec || !protocol::ImageLengthFits(size)) {
        return "cannot send " + path + ": an image must be smaller than 2 GiB";
    }
    return std::nullopt;
}

std::optional<std::string> CheckFiles(const Options& options) {
    namespace fs = std::filesystem;
    for (const UpdateFile& file : options.files) {
        if (std::optional<std::string> problem = CheckUpdateFile(file.path)) {
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

std::string ErrorBoxLine(std::string_view title, std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    return std::string(title) + ": " + std::string(text);
}

std::string PortFailure(const std::string& device, platform::PortStep step,
                        const platform::SystemError& error, int baudRate) {
    using platform::PortStep;
    const std::string why = ": " + error.message;
    switch (step) {
        case PortStep::Open:
            return "cannot open it" + why;
        case PortStep::BuildLineState:
        case PortStep::SetLineState:
            // A network server's refusal says in its own words what it would not take.
            if (!platform::IsNetworkPortName(device) &&
                std::error_code(error.code, std::system_category()) ==
                    std::errc::invalid_argument) {
                return std::to_string(baudRate) + " baud is not a speed this device takes";
            }
            return "cannot configure the line for " + std::to_string(baudRate) + " 8N1" + why;
        case PortStep::SetTimeouts:
        case PortStep::SetEventMask:
        case PortStep::GetLineState:
            return "cannot configure the line" + why;
        case PortStep::Purge:
            return "cannot clear the line's queues" + why;
        case PortStep::Wait:
        case PortStep::Watch:
            return "line lost: cannot wait for its input" + why;
        case PortStep::Read:
        case PortStep::ReadCompletion:
            return "line lost: read failed" + why;
        case PortStep::Write:
        case PortStep::WriteCompletion:
            return "line lost: write failed" + why;
    }
    return "failed" + why;
}

Outcome ReportFailure(CConsole& console, std::size_t index, PortResult& result, Outcome outcome,
                      const std::string& reason) {
    console.Note(index, reason);
    console.Emit(index, "error",
                 {{"status", static_cast<int>(outcome)},
                  {"outcome", OutcomeName(outcome)},
                  {"reason", reason}});
    if (result.reason.empty()) {
        result.reason = reason;
    }
    return outcome;
}

}  // namespace vandrelux::cli
