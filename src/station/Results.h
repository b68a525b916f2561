// What units did: their outcome, with the exit status each stands for, and each image's record,
// as the units log, the events and the CLI's report give them.
#pragma once

#include <chrono>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "station/Events.h"

namespace vandrelux::station {

// Exit statuses, each with its own reason.
enum class Outcome : int {
    Success = 0,
    BoxFailure = 1,
    Usage = 2,
    PortNotOpenable = 3,
    FileNotOpenable = 4,
    TimedOut = 5,
    LineLost = 6,
    Abandoned = 7,   // a signal stopped the run
    BootFailed = 8,  // station: the box did not say what --boot-check waits for after its update
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
    std::string sha256;  // of the update file as sent; empty where not known
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
// Tells whoever watches port `events` why it failed; the first reason given is the result's.
// Returns `outcome`.
Outcome ReportFailure(IPortEvents& events, PortResult& result, Outcome outcome,
                      const std::string& reason);

}  // namespace vandrelux::station
