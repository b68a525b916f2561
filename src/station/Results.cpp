#include "station/Results.h"

#include <array>
#include <ctime>

#include "os/Format.h"
#include "os/Process.h"

namespace vandrelux::station {

const char* OutcomeName(Outcome outcome) {
    switch (outcome) {
        case Outcome::Success:
            return "ok";
        case Outcome::BoxFailure:
            return "box-failure";
        case Outcome::Usage:
            return "usage";
        case Outcome::PortNotOpenable:
            return "port-not-openable";
        case Outcome::FileNotOpenable:
            return "file-not-openable";
        case Outcome::TimedOut:
            return "timed-out";
        case Outcome::LineLost:
            return "line-lost";
        case Outcome::Abandoned:
            return "abandoned";
        case Outcome::BootFailed:
            return "boot-failed";
    }
    return "unknown";
}

double BytesPerSecond(const PortResult& result) {
    double bytes = 0;
    double seconds = 0;
    for (const ImageResult& image : result.images) {
        if (image.accepted) {
            bytes += static_cast<double>(image.size);
            seconds += image.seconds;
        }
    }
    return seconds > 0 ? bytes / seconds : 0;
}

nlohmann::json ToJson(const ImageResult& image) {
    nlohmann::json json = {
        {"kind", image.kind},
        {"path", image.path},
        {"size", image.size},
        {"checksum", platform::Format("%08x", image.checksum)},
        {"naks", image.naks},
        {"resends", image.resends},
        {"seconds", image.seconds},
        {"bytes_per_second",
         image.seconds > 0 ? static_cast<double>(image.size) / image.seconds : 0.0},
        {"accepted", image.accepted},
        {"done", image.done},
        {"empty", image.size == 0}};
    if (image.fileSize) {
        json["file_size"] = *image.fileSize;
        json["modified"] = image.modified;
    }
    if (!image.sha256.empty()) {
        json["sha256"] = image.sha256;
    }
    return json;
}

std::string UtcText(std::chrono::system_clock::time_point when) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count() %
        1000;
    std::tm utc{};
    platform::UtcTime(seconds, utc);
    std::array<char, 32> text{};
    static_cast<void>(std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%S", &utc));
    return platform::Format("%s.%03dZ", text.data(), static_cast<int>(ms));
}

nlohmann::json ToJson(const PortResult& result) {
    nlohmann::json images = nlohmann::json::array();
    int naks = 0;
    int resends = 0;
    for (const ImageResult& image : result.images) {
        images.push_back(ToJson(image));
        naks += image.naks;
        resends += image.resends;
    }
    return {{"port", result.port},
            {"device", result.device},
            {"outcome", OutcomeName(result.outcome)},
            {"status", static_cast<int>(result.outcome)},
            {"reason", result.reason},
            {"images", images},
            {"naks", naks},
            {"resends", resends},
            {"seconds", result.seconds},
            {"bytes_per_second", BytesPerSecond(result)}};
}

Outcome ReportFailure(IPortEvents& events, PortResult& result, Outcome outcome,
                      const std::string& reason) {
    events.Note(reason);
    events.Emit("error", {{"status", static_cast<int>(outcome)},
                          {"outcome", OutcomeName(outcome)},
                          {"reason", reason}});
    if (result.reason.empty()) {
        result.reason = reason;
    }
    return outcome;
}

}  // namespace vandrelux::station
