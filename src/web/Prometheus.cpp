#include "web/Prometheus.h"

#include <nlohmann/json.hpp>

namespace vandrelux::web {

std::string PrometheusLabel(std::string_view value) {
    using nlohmann::json;
    const std::string utf8 =
        json::parse(json(std::string(value)).dump(-1, ' ', false, json::error_handler_t::replace))
            .get<std::string>();
    std::string escaped;
    for (const char ch : utf8) {
        switch (ch) {
            case '\\':
                escaped += "\\\\";
                break;
            case '"':
                escaped += "\\\"";
                break;
            case '\n':
                escaped += "\\n";
                break;
            default:
                escaped += ch;
        }
    }
    return escaped;
}

}  // namespace vandrelux::web
