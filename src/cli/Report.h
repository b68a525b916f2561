// What one run did on each port, for the summary table and --report.
#pragma once

#include <chrono>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "station/Results.h"

namespace vandrelux::cli {

using station::ImageResult;
using station::Outcome;
using station::OutcomeName;
using station::PortResult;

// When a run began and ended, and where: the report's own fields.
struct RunStamp {
    std::string start;  // UTC, 2026-12-08T04:31:44.720Z
    std::string end;
    std::string host;
};

// The --report document for the whole run.
[[nodiscard]] nlohmann::json MakeReport(const std::vector<PortResult>& results, int status,
                                        const RunStamp& stamp);
// The table printed at the end of a run.
[[nodiscard]] std::string SummaryTable(const std::vector<PortResult>& results);
// The run's exit status: that of the first port, in command-line order, that failed.
[[nodiscard]] Outcome RunOutcome(const std::vector<PortResult>& results);

}  // namespace vandrelux::cli
