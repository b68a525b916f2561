// The station in the Prometheus text format (version 0.0.4), for a scraper's GET /metrics.
#pragma once

#include <string>

#include "station/http/StationModel.h"

namespace vandrelux::station::http {

// Every slot's state is one of these; the metrics give each with 0 or 1.
inline constexpr std::array<const char*, 9> kSlotStates = {
    "opening", "retrying", "waiting", "talking", "unit", "quiet", "paused", "stopped", "gone"};

[[nodiscard]] std::string MetricsText(const StationView& view);

}  // namespace vandrelux::station::http
