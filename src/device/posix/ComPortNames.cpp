#include "device/ComPortNames.h"

#include <algorithm>
#include <cctype>
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

std::string SystemComDevice(int n) {
    return "/dev/ttyS" + std::to_string(n - 1);
}

}  // namespace vandrelux::platform
