#include "web/Access.h"

#include <algorithm>
#include <boost/asio/ip/address.hpp>
#include <cctype>
#include <fstream>
#include <nlohmann/json.hpp>

namespace vandrelux::web {

namespace {

// The host part of a Host header: "[::1]:8080" is "::1", "localhost:8080" is "localhost".
std::string_view HostName(std::string_view host) {
    if (!host.empty() && host.front() == '[') {
        const std::size_t end = host.find(']');
        return end == std::string_view::npos ? host : host.substr(1, end - 1);
    }
    return host.substr(0, host.find(':'));
}

}  // namespace

bool IsLoopbackName(std::string_view host) {
    const std::string_view name = HostName(host);
    if (name == "localhost") {
        return true;
    }
    boost::system::error_code ec;
    const boost::asio::ip::address address = boost::asio::ip::make_address(std::string(name), ec);
    return !ec && address.is_loopback();
}

std::string_view BearerToken(std::string_view header) {
    constexpr std::string_view kScheme = "bearer ";
    if (header.size() <= kScheme.size() ||
        !std::equal(kScheme.begin(), kScheme.end(), header.begin(), [](char a, char b) {
            return a == std::tolower(static_cast<unsigned char>(b));
        })) {
        return {};
    }
    std::string_view token = header.substr(kScheme.size());
    token.remove_prefix(std::min(token.find_first_not_of(' '), token.size()));
    return token;
}

bool SameSecret(std::string_view given, std::string_view secret) {
    unsigned difference = given.size() == secret.size() ? 0U : 1U;
    for (std::size_t i = 0; i < secret.size(); ++i) {
        const char ch = i < given.size() ? given[i] : '\0';
        difference |= static_cast<unsigned char>(ch ^ secret[i]);
    }
    return difference == 0;
}

std::optional<std::string> ReadToken(const std::string& path, std::string& token) {
    // Long enough that trying tokens over the network gets nowhere.
    constexpr std::size_t kShortest = 16;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    if (!in || !std::getline(in, line)) {
        return "cannot read the token file " + path;
    }
    const std::size_t first = line.find_first_not_of(" \t\r");
    const std::size_t last = line.find_last_not_of(" \t\r");
    token = first == std::string::npos ? "" : line.substr(first, last - first + 1);
    if (token.size() < kShortest) {
        return "the token in " + path +
               " has fewer than 16 characters; make one with "
               "`openssl rand -hex 16 > " +
               path + "`";
    }
    return std::nullopt;
}

Response ErrorResponse(int status, const std::string& why) {
    Response response;
    response.status = status;
    response.body = nlohmann::json({{"error", why}})
                        .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return response;
}

std::optional<Response> WrongToken(const Request& request, const std::string& token) {
    const std::string_view given = BearerToken(request.authorization);
    if (given.empty()) {
        Response response = ErrorResponse(401, "send the token: Authorization: Bearer TOKEN");
        response.headers.emplace_back("WWW-Authenticate", "Bearer realm=\"vandrelux\"");
        return response;
    }
    if (!SameSecret(given, token)) {
        return ErrorResponse(403, "wrong token");
    }
    return std::nullopt;
}

}  // namespace vandrelux::web
