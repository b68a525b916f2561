#include "cli/Report.h"

#include <algorithm>
#include <array>
#include <ctime>

#include "Version.h"
#include "os/Format.h"
#include "os/Process.h"

namespace vandrelux::cli {

nlohmann::json MakeReport(const std::vector<PortResult>& results, int status,
                          const RunStamp& stamp) {
    nlohmann::json ports = nlohmann::json::array();
    for (const PortResult& result : results) {
        ports.push_back(ToJson(result));
    }
    return {{"program", "vandrelux-cli"},
            {"version", kVersion},
            {"host", stamp.host},
            {"start", stamp.start},
            {"end", stamp.end},
            {"status", status},
            {"ports", ports}};
}

std::string SummaryTable(const std::vector<PortResult>& results) {
    std::size_t width = 4;
    for (const PortResult& result : results) {
        width = std::max(width, result.port.size());
    }
    const int w = static_cast<int>(width);
    std::string table =
        platform::Format("%-*s  %-17s  %6s  %12s  %5s  %7s  %8s  %10s\n", w, "PORT", "OUTCOME",
                         "IMAGES", "BYTES", "NAKS", "RESENDS", "SECONDS", "BYTES/S");
    for (const PortResult& result : results) {
        std::uint64_t bytes = 0;
        int naks = 0;
        int resends = 0;
        int accepted = 0;
        for (const ImageResult& image : result.images) {
            bytes += image.accepted ? image.size : 0;
            naks += image.naks;
            resends += image.resends;
            accepted += image.accepted ? 1 : 0;
        }
        table += platform::Format("%-*s  %-17s  %6d  %12llu  %5d  %7d  %8.1f  %10.0f", w,
                                  result.port.c_str(), OutcomeName(result.outcome), accepted,
                                  static_cast<unsigned long long>(bytes), naks, resends,
                                  result.seconds, BytesPerSecond(result));
        if (!result.reason.empty()) {
            table += "  " + result.reason;
        }
        table += "\n";
    }
    return table;
}

Outcome RunOutcome(const std::vector<PortResult>& results) {
    for (const PortResult& result : results) {
        if (result.outcome != Outcome::Success) {
            return result.outcome;
        }
    }
    return Outcome::Success;
}

}  // namespace vandrelux::cli
