// What one run did on each port, for the summary table, the summary events and --report.
#pragma once

#include <chrono>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace vandrelux::cli {

// Exit statuses, each with its own reason.
enum class Outcome : int {
    Success = 0,
    BoxFailure = 1,
    Usage = 2,
    PortNotOpenable = 3,
    FileNotOpenable = 4,
    TimedOut = 5,
    LineLost = 6,
    Abandoned = 7,  // a signal stopped the run
};

[[nodiscard]] const char* OutcomeName(Outcome outcome);

struct ImageResult {
    std::string kind;  // bootstrap, ucode, logo, tvprogram, software, or programme (receive)
    std::string path;  // absolute, as the program resolved it
    std::uint64_t size = 0;
    std::uint32_t checksum = 0;  // the byte sum the header frame carried
    int naks = 0;                // frames the box refused (download) or we refused (receive)
    int resends = 0;             // whole-image resends after a refused verdict
    double seconds = 0;          // until its verdict, or until the unit ended without one
    bool accepted = false;
    std::uint64_t done = 0;  // bytes the box acknowledged (download) or that arrived (receive)
    // Download: the update file as it was read: its length and its modification time (UTC).
    std::optional<std::uint64_t> fileSize;
    std::string modified;
};

// When a run began and ended, and where: the report's own fields.
struct RunStamp {
    std::string start;  // UTC, 2026-12-08T04:31:44.720Z
    std::string end;
    std::string host;
};

// The time as the records write it: UTC with milliseconds, 2026-12-08T04:31:44.720Z.
[[nodiscard]] std::string UtcText(std::chrono::system_clock::time_point when);

struct PortResult {
    std::string port;    // as named on the command line
    std::string device;  // the device it resolved to
    std::vector<ImageResult> images;
    double seconds = 0;  // from the port's opening to its end
    Outcome outcome = Outcome::Success;
    std::string reason;  // why it failed; empty on success
};

// Bytes of the accepted images per second of the images' own transfer time.
[[nodiscard]] double BytesPerSecond(const PortResult& result);
[[nodiscard]] nlohmann::json ToJson(const ImageResult& image);
[[nodiscard]] nlohmann::json ToJson(const PortResult& result);
// The --report document for the whole run.
[[nodiscard]] nlohmann::json MakeReport(const std::vector<PortResult>& results, int status,
                                        const RunStamp& stamp);
// The table printed at the end of a run.
[[nodiscard]] std::string SummaryTable(const std::vector<PortResult>& results);
// The run's exit status: that of the first port, in command-line order, that failed.
[[nodiscard]] Outcome RunOutcome(const std::vector<PortResult>& results);

}  // namespace vandrelux::cli
