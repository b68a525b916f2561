// Boost.Beast on this side too; only this file of the line server includes it.
#include "line/HttpClient.h"

#include <array>
#include <atomic>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <charconv>

namespace vandrelux::line {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using tcp = asio::ip::tcp;
using boost::system::error_code;

namespace {

// A page of a thousand records is a few MB; a station that sends more is broken.
constexpr std::uint64_t kBodyLimit = std::uint64_t{64} * 1024 * 1024;
constexpr auto kConnectTime = std::chrono::seconds(5);

}  // namespace

std::optional<StationUrl> ParseStationUrl(std::string_view text) {
    constexpr std::string_view kScheme = "http://";
    if (text.substr(0, kScheme.size()) != kScheme) {
        return std::nullopt;
    }
    text.remove_prefix(kScheme.size());
    const std::size_t slash = text.find('/');
    std::string_view authority = text.substr(0, slash);
    std::string_view path = slash == std::string_view::npos ? "" : text.substr(slash);
    while (!path.empty() && path.back() == '/') {
        path.remove_suffix(1);
    }
    StationUrl url;
    url.base = path;
    const std::size_t colon = authority.rfind(':');
    if (colon == std::string_view::npos || colon + 1 == authority.size()) {
        return std::nullopt;  // a station has no port of its own to default to
    }
    std::string_view host = authority.substr(0, colon);
    const std::string_view port = authority.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    unsigned number = 0;
    const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), number);
    if (host.empty() || error != std::errc() || end != port.data() + port.size() || number == 0 ||
        number > 65535 || host.find_first_of("@?#") != std::string_view::npos) {
        return std::nullopt;
    }
    url.host = host;
    url.port = port;
    return url;
}

struct ClientCore {
    ClientCore(StationUrl where, std::string bearer)
        : url(std::move(where)), token(std::move(bearer)) {}

    // Runs the handlers until the operations under way have ended, one way or another.
    void Run() {
        io.restart();
        io.run();
    }

    void Close() {
        error_code ignored;
        stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream.close();
        buffer.clear();
    }

    void Connect() {
        if (cancelled) {
            throw HttpError{"cancelled"};
        }
        if (stream.socket().is_open()) {
            return;
        }
        error_code failed;
        resolver.async_resolve(
            url.host, url.port,
            [this, &failed](const error_code& ec, const tcp::resolver::results_type& r) {
                if (ec) {
                    failed = ec;
                    return;
                }
                stream.expires_after(kConnectTime);
                stream.async_connect(r, [&failed](const error_code& connected,
                                                  const tcp::endpoint&) { failed = connected; });
            });
        Run();
        if (failed || cancelled) {
            Close();
            throw HttpError{cancelled ? "cancelled"
                                      : "cannot connect to " + url.host + ":" + url.port + ": " +
                                            failed.message()};
        }
    }

    bhttp::request<bhttp::empty_body> Request(const std::string& target) const {
        bhttp::request<bhttp::empty_body> request(bhttp::verb::get, url.base + target, 11);
        request.set(bhttp::field::host, url.host.find(':') != std::string::npos
                                            ? "[" + url.host + "]:" + url.port
                                            : url.host + ":" + url.port);
        request.set(bhttp::field::user_agent, "vandrelux-line");
        if (!token.empty()) {
            request.set(bhttp::field::authorization, "Bearer " + token);
        }
        return request;
    }

    HttpAnswer Get(const std::string& target, std::chrono::milliseconds timeout) {
        // A kept connection the station has closed meanwhile fails at once: once more afresh.
        for (int attempt = 0;; ++attempt) {
            const bool reused = stream.socket().is_open();
            Connect();
            bhttp::request<bhttp::empty_body> request = Request(target);
            bhttp::response_parser<bhttp::string_body> parser;
            parser.body_limit(kBodyLimit);
            error_code failed;
            stream.expires_after(timeout);
            bhttp::async_write(
                stream, request, [this, &failed, &parser](const error_code& ec, std::size_t) {
                    if (ec) {
                        failed = ec;
                        return;
                    }
                    bhttp::async_read(
                        stream, buffer, parser,
                        [&failed](const error_code& read, std::size_t) { failed = read; });
                });
            Run();
            if (cancelled) {
                Close();
                throw HttpError{"cancelled"};
            }
            if (failed) {
                Close();
                if (reused && attempt == 0 && failed != beast::error::timeout) {
                    continue;
                }
                throw HttpError{"GET " + target + ": " + failed.message()};
            }
            const auto& response = parser.get();
            if (!response.keep_alive()) {
                Close();
            }
            return {static_cast<int>(response.result_int()), response.body()};
        }
    }

    void Stream(const std::string& target, std::chrono::milliseconds quiet,
                const std::function<bool(int)>& head,
                const std::function<bool(std::string_view)>& piece) {
        Close();  // a stream has a connection of its own, closed after it
        Connect();
        bhttp::request<bhttp::empty_body> request = Request(target);
        bhttp::response_parser<bhttp::buffer_body> parser;
        parser.body_limit(boost::none);
        error_code failed;
        stream.expires_after(quiet);
        bhttp::async_write(stream, request,
                           [&failed](const error_code& ec, std::size_t) { failed = ec; });
        Run();
        if (!failed) {
            stream.expires_after(quiet);
            bhttp::async_read_header(stream, buffer, parser,
                                     [&failed](const error_code& ec, std::size_t) { failed = ec; });
            Run();
        }
        if (failed || cancelled) {
            Close();
            throw HttpError{cancelled ? "cancelled" : "GET " + target + ": " + failed.message()};
        }
        if (!head(static_cast<int>(parser.get().result_int()))) {
            Close();
            return;
        }
        std::array<char, 8192> chunk{};
        while (!parser.is_done()) {
            parser.get().body().data = chunk.data();
            parser.get().body().size = chunk.size();
            stream.expires_after(quiet);
            // Some, not all: an event is wanted as soon as it is here.
            bhttp::async_read_some(stream, buffer, parser,
                                   [&failed](const error_code& ec, std::size_t) { failed = ec; });
            Run();
            if (failed == bhttp::error::need_buffer) {
                failed = {};
            }
            const std::size_t got = chunk.size() - parser.get().body().size;
            if (cancelled) {
                Close();
                throw HttpError{"cancelled"};
            }
            if (got > 0 && !piece(std::string_view(chunk.data(), got))) {
                Close();
                return;
            }
            if (failed) {
                Close();
                throw HttpError{"the event stream " + target + " ended: " + failed.message()};
            }
        }
        Close();
        throw HttpError{"the event stream " + target + " ended"};
    }

    StationUrl url;
    std::string token;
    std::atomic<bool> cancelled{false};
    asio::io_context io{1};
    tcp::resolver resolver{io};
    beast::tcp_stream stream{io};
    beast::flat_buffer buffer;
};

CHttpClient::CHttpClient(StationUrl url, std::string token)
    : m_core(std::make_unique<ClientCore>(std::move(url), std::move(token))) {}

CHttpClient::~CHttpClient() = default;

HttpAnswer CHttpClient::Get(const std::string& target, std::chrono::milliseconds timeout) {
    return m_core->Get(target, timeout);
}

void CHttpClient::Stream(const std::string& target, std::chrono::milliseconds quiet,
                         const std::function<bool(int)>& head,
                         const std::function<bool(std::string_view)>& piece) {
    m_core->Stream(target, quiet, head, piece);
}

void CHttpClient::Cancel() {
    ClientCore& core = *m_core;
    core.cancelled = true;
    asio::post(core.io, [&core] {
        core.resolver.cancel();
        core.stream.cancel();
    });
}

}  // namespace vandrelux::line
