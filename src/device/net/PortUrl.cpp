#include "device/net/PortUrl.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <utility>

namespace vandrelux::platform {

namespace {

constexpr std::array<std::pair<std::string_view, PortScheme>, 3> kSchemes = {{
    {"rfc2217://", PortScheme::Rfc2217},
    {"tcp://", PortScheme::RawTcp},
    {"socket://", PortScheme::RawTcp},
}};

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](char want, char ch) {
               return std::tolower(static_cast<unsigned char>(ch)) == want;
           });
}

bool HostNameChar(char ch) {
    return std::isalnum(static_cast<unsigned char>(ch)) != 0 || ch == '.' || ch == '-' || ch == '_';
}

// Hex digits, colons and dots (an IPv4 tail), and a zone after '%'.
bool Ipv6Char(char ch) {
    return std::isxdigit(static_cast<unsigned char>(ch)) != 0 || ch == ':' || ch == '.';
}

std::string Lower(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](char ch) {
        return static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    });
    return lower;
}

}  // namespace

bool IsNetworkPortName(std::string_view name) {
    return std::any_of(kSchemes.begin(), kSchemes.end(), [&](const auto& scheme) {
        return StartsWithIgnoringCase(name, scheme.first);
    });
}

std::optional<PortUrl> ParsePortUrl(std::string_view name) {
    const auto* known = std::find_if(kSchemes.begin(), kSchemes.end(), [&](const auto& scheme) {
        return StartsWithIgnoringCase(name, scheme.first);
    });
    if (known == kSchemes.end()) {
        return std::nullopt;
    }
    PortUrl url;
    url.scheme = known->second;
    const std::string_view rest = name.substr(known->first.size());
    std::string_view host;
    std::string_view port;
    if (rest.starts_with('[')) {
        const std::size_t close = rest.find(']');
        if (close == std::string_view::npos || rest.substr(close + 1, 1) != ":") {
            return std::nullopt;
        }
        host = rest.substr(1, close - 1);
        port = rest.substr(close + 2);
        const std::string_view address = host.substr(0, host.find('%'));
        const std::string_view zone =
            host.find('%') == std::string_view::npos ? "" : host.substr(host.find('%') + 1);
        if (address.find(':') == std::string_view::npos ||
            !std::all_of(address.begin(), address.end(), Ipv6Char) ||
            !std::all_of(zone.begin(), zone.end(), HostNameChar) ||
            (host.find('%') != std::string_view::npos && zone.empty())) {
            return std::nullopt;
        }
    } else {
        const std::size_t colon = rest.rfind(':');
        if (colon == std::string_view::npos) {
            return std::nullopt;
        }
        host = rest.substr(0, colon);
        port = rest.substr(colon + 1);
        if (!std::all_of(host.begin(), host.end(), HostNameChar)) {
            return std::nullopt;
        }
    }
    unsigned number = 0;
    const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), number);
    if (host.empty() || port.empty() || error != std::errc{} || end != port.data() + port.size() ||
        number == 0 || number > 65535 || port.front() == '+') {
        return std::nullopt;
    }
    url.host = std::string(host);
    url.port = std::to_string(number);
    return url;
}

std::string CanonicalPortName(const PortUrl& url) {
    const std::string host = Lower(url.host);
    const bool bracket = host.find(':') != std::string::npos;
    return std::string(url.scheme == PortScheme::Rfc2217 ? "rfc2217://" : "tcp://") +
           (bracket ? "[" + host + "]" : host) + ":" + url.port;
}

}  // namespace vandrelux::platform
