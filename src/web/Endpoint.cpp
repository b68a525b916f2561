#include "web/Endpoint.h"

#include <boost/asio/ip/address.hpp>
#include <charconv>

namespace vandrelux::web {

std::optional<Endpoint> ParseEndpoint(std::string_view text) {
    Endpoint endpoint;
    std::string_view port = text;
    if (const std::size_t colon = text.rfind(':'); colon != std::string_view::npos) {
        std::string_view host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
            host = host.substr(1, host.size() - 2);
            if (host.find(':') == std::string_view::npos) {
                return std::nullopt;  // brackets are for IPv6 only
            }
        } else if (host.find(':') != std::string_view::npos) {
            return std::nullopt;  // an IPv6 address needs its brackets
        }
        endpoint.address = host == "localhost" ? "127.0.0.1" : std::string(host);
    }
    unsigned number = 0;
    const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), number);
    if (port.empty() || error != std::errc() || end != port.data() + port.size() ||
        number > 65535) {
        return std::nullopt;
    }
    endpoint.port = static_cast<std::uint16_t>(number);
    boost::system::error_code ec;
    const boost::asio::ip::address address = boost::asio::ip::make_address(endpoint.address, ec);
    if (ec) {
        return std::nullopt;
    }
    // As the system writes it, so that ::0001 reads ::1 in what the station prints.
    endpoint.address = address.to_string();
    endpoint.loopback = address.is_loopback();
    return endpoint;
}

std::string PageUrl(const std::string& address, std::uint16_t port) {
    const bool v6 = address.find(':') != std::string::npos;
    return "http://" + (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port) + "/";
}

}  // namespace vandrelux::web
