// Where our web server listens, as --http names it: [ADDR:]PORT, ADDR an IPv4 address,
// an IPv6 address in brackets or localhost; 127.0.0.1 when left out.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vandrelux::web {

struct Endpoint {
    std::string address = "127.0.0.1";
    std::uint16_t port = 0;  // 0: any free port, as the system picks it
    // Only this computer can reach it: reads need no token.
    bool loopback = true;
};

// The endpoint `text` names; nothing when it names none.
[[nodiscard]] std::optional<Endpoint> ParseEndpoint(std::string_view text);

// "http://127.0.0.1:8080/", "http://[::1]:8080/": where a browser finds the page.
[[nodiscard]] std::string PageUrl(const std::string& address, std::uint16_t port);

}  // namespace vandrelux::web
