// What one run did on each port, for the summary table, the summary events and --report.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
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
};

[[nodiscard]] const char* OutcomeName(Outcome outcome);

struct ImageResult {
    std::string kind;  // bootstrap, ucode, logo, tvprogram, software, or programme (receive)
    std::string path;
    std::uint64_t size = 0;
    std::uint32_t checksum = 0;  // the byte sum the header frame carried
    int naks = 0;                // frames the box refused (download) or we refused (receive)
    int resends = 0;             // whole-image resends after a refused verdict
    double seconds = 0;
    bool accepted = false;
};

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
[[nodiscard]] nlohmann::json MakeReport(const std::vector<PortResult>& results, int status);
// The table printed at the end of a run.
[[nodiscard]] std::string SummaryTable(const std::vector<PortResult>& results);
// The run's exit status: that of the first port, in command-line order, that failed.
[[nodiscard]] Outcome RunOutcome(const std::vector<PortResult>& results);

}  // namespace vandrelux::cli
