#include "device/ComPortNames.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>

namespace vandrelux::platform {

std::optional<int> ParseComName(std::string_view name) {
    if (name.size() < 4 || name.size() > 6) {
        return std::nullopt;
    }
    const std::string_view prefix = name.substr(0, 3);
    const std::string_view digits = name.substr(3);
    const bool isCom = std::equal(prefix.begin(), prefix.end(), "COM", [](char ch, char want) {
        return std::toupper(static_cast<unsigned char>(ch)) == want;
    });
    const bool allDigits = std::all_of(digits.begin(), digits.end(), [](char ch) {
        return std::isdigit(static_cast<unsigned char>(ch)) != 0;
    });
    if (!isCom || !allDigits || digits.front() == '0') {
        return std::nullopt;
    }
    int number = 0;
    std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (number > 255) {
        return std::nullopt;
    }
    return number;
}

std::string ResolveComPort(int n, const ComMapping& mapping, const EnvironmentLookup& getEnv,
                           const std::vector<std::string>& usbAdapters) {
    if (n < 1) {
        return {};
    }
    if (const auto it = mapping.explicitPaths.find(n);
        it != mapping.explicitPaths.end() && !it->second.empty()) {
        return it->second;
    }
    if (getEnv) {
        if (auto path = getEnv("VANDRELUX_COM" + std::to_string(n)); path && !path->empty()) {
            return *path;
        }
    }
    if (static_cast<std::size_t>(n) <= usbAdapters.size()) {
        return usbAdapters[static_cast<std::size_t>(n) - 1];
    }
    return SystemComDevice(n);
}

std::string ResolveComPort(int n, const ComMapping& mapping) {
    const EnvironmentLookup environment = [](const std::string& key) -> std::optional<std::string> {
        const char* value = std::getenv(key.c_str());
        return value == nullptr ? std::nullopt : std::optional<std::string>(value);
    };
    return ResolveComPort(n, mapping, environment, ListUsbSerialAdapters());
}

}  // namespace vandrelux::platform
