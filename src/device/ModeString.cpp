#include "device/ModeString.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <optional>
#include <system_error>

namespace vandrelux::platform {
namespace {

bool IsBlank(char ch) {
    return ch == ' ' || ch == '\t';
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

std::optional<int> ParseNumber(std::string_view text) {
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

bool ParseModeString(std::string_view mode, LineState& state) {
    LineState result = state;
    std::array<bool, 4> seen{};  // baud, parity, data, stop: a key given twice is ambiguous
    std::size_t pos = 0;
    while (pos < mode.size()) {
        if (IsBlank(mode[pos])) {
            ++pos;
            continue;
        }
        std::size_t end = pos;
        while (end < mode.size() && !IsBlank(mode[end])) {
            ++end;
        }
        const std::string_view token = mode.substr(pos, end - pos);
        pos = end;

        const std::size_t eq = token.find('=');
        if (eq == std::string_view::npos) {
            return false;
        }
        const std::string_view key = token.substr(0, eq);
        const std::string_view value = token.substr(eq + 1);
        std::size_t slot = 0;
        if (EqualsIgnoringCase(key, "baud")) {
            const auto baud = ParseNumber(value);
            if (!baud || *baud <= 0) {
                return false;
            }
            result.baudRate = *baud;
            slot = 0;
        } else if (EqualsIgnoringCase(key, "parity")) {
            if (value.size() != 1) {
                return false;
            }
            const char letter =
                static_cast<char>(std::toupper(static_cast<unsigned char>(value.front())));
            if (std::string_view("NEOMS").find(letter) == std::string_view::npos) {
                return false;
            }
            result.parity = letter;
            slot = 1;
        } else if (EqualsIgnoringCase(key, "data")) {
            const auto bits = ParseNumber(value);
            if (!bits || *bits < 5 || *bits > 8) {
                return false;
            }
            result.dataBits = *bits;
            slot = 2;
        } else if (EqualsIgnoringCase(key, "stop")) {
            const auto bits = ParseNumber(value);  // "1.5" stops at the dot and is refused
            if (!bits || (*bits != 1 && *bits != 2)) {
                return false;
            }
            result.stopBits = *bits;
            slot = 3;
        } else {
            return false;
        }
        if (seen[slot]) {
            return false;
        }
        seen[slot] = true;
    }
    if (std::none_of(seen.begin(), seen.end(), [](bool s) { return s; })) {
        return false;
    }
    state = result;
    return true;
}

}  // namespace vandrelux::platform
