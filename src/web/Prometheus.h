// What both programs' /metrics share of Prometheus's text format.
#pragma once

#include <string>
#include <string_view>

namespace vandrelux::web {

// A label's value: UTF-8 (a device name or a path need not be; what is not becomes U+FFFD),
// with \, " and line breaks escaped.
[[nodiscard]] std::string PrometheusLabel(std::string_view value);

}  // namespace vandrelux::web
