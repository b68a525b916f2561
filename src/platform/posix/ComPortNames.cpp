#include "platform/ComPortNames.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <tuple>

namespace vandrelux::platform {
namespace {

bool AllDigits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char ch) {
        return std::isdigit(static_cast<unsigned char>(ch)) != 0;
    });
}

struct Adapter {
    int family;          // ttyUSB before ttyACM
    std::string number;  // the digits, compared as a number of any length
    std::string path;
};

bool ComesBefore(const Adapter& a, const Adapter& b) {
    const auto key = [](const Adapter& x) {
        const std::size_t start = std::min(x.number.find_first_not_of('0'), x.number.size());
        const std::string_view digits = std::string_view(x.number).substr(start);
        return std::tuple(x.family, digits.size(), digits, x.number);
    };
    return key(a) < key(b);
}

}  // namespace

std::optional<int> ParseComName(std::string_view name) {
    if (name.size() < 4 || name.size() > 6) {
        return std::nullopt;
    }
    const std::string_view prefix = name.substr(0, 3);
    const std::string_view digits = name.substr(3);
    const bool isCom = std::equal(prefix.begin(), prefix.end(), "COM", [](char ch, char want) {
        return std::toupper(static_cast<unsigned char>(ch)) == want;
    });
    if (!isCom || !AllDigits(digits) || digits.front() == '0') {
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
    return "/dev/ttyS" + std::to_string(n - 1);
}

std::vector<std::string> ListUsbSerialAdapters(const std::string& devDir) {
    std::vector<Adapter> found;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(devDir, ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        for (const auto& [family, prefix] :
             {std::pair{0, std::string_view("ttyUSB")}, std::pair{1, std::string_view("ttyACM")}}) {
            const std::string_view rest =
                std::string_view(name).substr(std::min(prefix.size(), name.size()));
            if (name.starts_with(prefix) && AllDigits(rest)) {
                found.push_back({family, std::string(rest), it->path().string()});
            }
        }
    }
    std::sort(found.begin(), found.end(), ComesBefore);
    std::vector<std::string> paths;
    paths.reserve(found.size());
    for (auto& adapter : found) {
        paths.push_back(std::move(adapter.path));
    }
    return paths;
}

std::string ResolveComPort(int n, const ComMapping& mapping) {
    const EnvironmentLookup environment = [](const std::string& key) -> std::optional<std::string> {
        const char* value = std::getenv(key.c_str());
        return value == nullptr ? std::nullopt : std::optional<std::string>(value);
    };
    return ResolveComPort(n, mapping, environment, ListUsbSerialAdapters());
}

}  // namespace vandrelux::platform
