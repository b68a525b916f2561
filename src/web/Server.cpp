// Boost.Beast does the HTTP; this file is the only one that includes it.
#include "web/Server.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <future>
#include <list>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <thread>

namespace vandrelux::web {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using tcp = asio::ip::tcp;
using boost::system::error_code;

constexpr std::size_t kMaxConnections = 64;
// One computer cannot take every connection: the page elsewhere still gets in.
constexpr std::size_t kMaxPerAddress = 16;
constexpr std::uint32_t kHeaderLimit = 8 * 1024;
constexpr std::uint64_t kBodyLimit = std::uint64_t{4} * 1024;
constexpr std::size_t kBufferLimit = std::size_t{16} * 1024;
// From waiting for a request to having all of it, and for any one write (more for a large
// answer: see kSlowestReader).
constexpr auto kRequestTime = std::chrono::seconds(10);
constexpr auto kWriteTime = std::chrono::seconds(10);
constexpr std::uint64_t kSlowestReader = std::uint64_t{64} * 1024;  // bytes a second
// A comment on every event stream this often: a client that went away is found out.
constexpr auto kHeartbeat = std::chrono::seconds(15);
constexpr auto kStopGrace = std::chrono::seconds(2);
constexpr auto kLingerTime = std::chrono::seconds(2);
constexpr auto kAcceptPause = std::chrono::milliseconds(100);
// Slow requests waiting for the worker, beyond which they are turned away.
constexpr std::size_t kMaxSlowWaiting = 16;

// Windows lets another program bind a port taken with SO_REUSEADDR; elsewhere it only lets a
// restarted station listen again at once.
#ifdef _WIN32
constexpr bool kReuseAddress = false;
#else
constexpr bool kReuseAddress = true;
#endif

constexpr std::string_view kBusy =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\n"
    "Content-Length: 40\r\nConnection: close\r\nRetry-After: 1\r\n\r\n"
    "{\"error\":\"too many connections; again\"}";

// Headers every answer carries: nothing is cached or sniffed, the page fetches from nowhere but
// here and cannot be framed by another site.
template <typename Fields>
void CommonHeaders(Fields& head, const Response& response) {
    head.set(bhttp::field::content_type, response.contentType);
    head.set(bhttp::field::cache_control, "no-store");
    head.set("X-Content-Type-Options", "nosniff");
    head.set("Content-Security-Policy",
             "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
             "img-src data:; connect-src 'self'; frame-ancestors 'none'; base-uri 'none'; "
             "form-action 'none'");
    for (const auto& [name, value] : response.headers) {
        head.set(name, value);
    }
}

}  // namespace

class CSession;

struct ServerCore {
    ServerCore(Endpoint where, IHandler& served, CEventHub& events)
        : endpoint(std::move(where)), api(served), hub(events) {}
    ~ServerCore() { destroying = true; }
    ServerCore(const ServerCore&) = delete;
    ServerCore& operator=(const ServerCore&) = delete;

    void Accept();
    void OnAccept(const error_code& ec, tcp::socket socket);
    void PumpAll();
    void Beat();
    void StopAll();
    // A session goes; nothing here throws, as it runs in the session's destructor.
    void Left(std::list<std::weak_ptr<CSession>>::iterator where, const std::string& address,
              bool listening) noexcept;

    Endpoint endpoint;
    std::uint16_t port = 0;  // as bound
    IHandler& api;
    CEventHub& hub;
    std::list<std::weak_ptr<CSession>> sessions;
    std::map<std::string, std::size_t> perAddress;
    bool stopping = false;
    bool destroying = false;  // the handlers go with the context: their sessions tell no one
    std::promise<void> ran;   // the thread's loop has returned
    std::thread thread;
    std::size_t slowWaiting = 0;  // slow requests given to the worker and not answered yet
    std::thread worker;
    // Last: the handlers it destroys reach the members above.
    asio::io_context io{1};
    tcp::acceptor acceptor{io};
    asio::steady_timer heartbeat{io};
    asio::steady_timer acceptPause{io};
    // After io: the requests it still holds at the end hold sessions, whose sockets are io's.
    asio::io_context slowIo{1};
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> slowWork;
};

// One connection: requests one after another, or, once it asked for them, the event stream.
class CSession : public std::enable_shared_from_this<CSession> {
public:
    CSession(ServerCore& server, tcp::socket socket, std::string address)
        : m_server(server),
          m_socket(std::move(socket)),
          m_deadline(m_socket.get_executor()),
          m_address(std::move(address)) {}
    ~CSession() {
        if (!m_server.destroying) {
            m_server.Left(m_where, m_address, m_bListening);
        }
    }
    CSession(const CSession&) = delete;
    CSession& operator=(const CSession&) = delete;

    std::list<std::weak_ptr<CSession>>::iterator m_where;  // in the server's list, once made

    void Read() {
        m_parser.emplace();
        m_parser->header_limit(kHeaderLimit);
        m_parser->body_limit(kBodyLimit);
        Arm(kRequestTime);
        bhttp::async_read(
            m_socket, m_buffer, *m_parser,
            [self = shared_from_this()](const error_code& ec, std::size_t) { self->OnRead(ec); });
    }

    // An event stream sends what came since it last looked.
    void Pump() {
        if (!m_bStreaming || m_bWriting) {
            return;
        }
        const std::optional<std::uint64_t> newest = m_server.hub.Since(m_seen, m_pending);
        if (!newest) {
            Abort();  // it fell behind; its client connects again and starts afresh
            return;
        }
        m_seen = *newest;
        WritePending();
    }

    void Beat() {
        if (m_bStreaming && !m_bWriting) {
            m_pending += ":\n\n";
            WritePending();
        }
    }

    // The server stops: an answer on its way or the events so far go out first.
    void Close() {
        m_bClosing = true;
        if (m_bStreaming) {
            Pump();
        }
        if (!m_bWriting) {
            Abort();
        }
    }

private:
    void Arm(std::chrono::seconds time) {
        m_deadline.expires_after(time);
        m_deadline.async_wait([weak = weak_from_this()](const error_code& ec) {
            if (const auto self = weak.lock(); self && !ec) {
                self->Abort();
            }
        });
    }

    // Closing with unread bytes would reset the connection and could take the answer with it:
    // the client hears the end first, and what it still sends is read away for a while.
    void Linger() {
        error_code ignored;
        m_socket.shutdown(tcp::socket::shutdown_send, ignored);
        Arm(kLingerTime);
        Drain();
    }

    void Drain() {
        m_socket.async_read_some(asio::buffer(m_discard),
                                 [self = shared_from_this()](const error_code& ec, std::size_t) {
                                     if (ec) {
                                         self->Abort();
                                         return;
                                     }
                                     self->Drain();
                                 });
    }

    void Abort() {
        error_code ignored;
        m_deadline.cancel();
        m_socket.shutdown(tcp::socket::shutdown_both, ignored);
        m_socket.close(ignored);
    }

    void OnRead(const error_code& ec) {
        m_deadline.cancel();
        if (ec == bhttp::error::header_limit || ec == bhttp::error::buffer_overflow) {
            Refuse(431, "the request's headers are larger than 8 KiB");
        } else if (ec == bhttp::error::body_limit) {
            Refuse(413, "the request's body is larger than 4 KiB");
        } else if (ec == bhttp::error::end_of_stream || ec == bhttp::error::partial_message ||
                   (ec &&
                    ec.category() != bhttp::make_error_code(bhttp::error::bad_target).category())) {
            Abort();  // gone, cut off, or out of time
        } else if (ec) {
            Refuse(400, "not an HTTP/1.1 request: " + ec.message());
        } else {
            Answer();
        }
    }

    void Refuse(int status, const std::string& why) {
        Response response;
        response.status = status;
        response.body = nlohmann::json({{"error", why}}).dump();
        Send(response, false);
    }

    void Answer() {
        const auto& message = m_parser->get();
        Request request;
        request.method = std::string(message.method_string());
        request.target = std::string(message.target());
        request.host = std::string(message[bhttp::field::host]);
        request.authorization = std::string(message[bhttp::field::authorization]);
        request.body = message.body();
        const bool keepAlive = message.keep_alive() && !m_bClosing;
        if (m_server.api.Slow(request)) {
            AnswerLater(std::move(request), keepAlive);
            return;
        }
        Deliver(m_server.api.Handle(request), keepAlive);
    }

    // On the worker: the server's thread goes on with the others meanwhile, and takes the
    // answer back to send it.
    void AnswerLater(Request request, bool keepAlive) {
        if (m_server.slowWaiting >= kMaxSlowWaiting) {
            Response busy;
            busy.status = 503;
            busy.body = nlohmann::json({{"error", "busy with other such requests; again"}}).dump();
            busy.headers.emplace_back("Retry-After", "1");
            Send(busy, false);
            return;
        }
        ++m_server.slowWaiting;
        asio::post(m_server.slowIo,
                   [self = shared_from_this(), request = std::move(request), keepAlive]() mutable {
                       Response response;
                       try {
                           response = self->m_server.api.Handle(request);
                       } catch (const std::exception& error) {
                           response.status = 500;
                           response.body = nlohmann::json({{"error", error.what()}}).dump();
                       } catch (...) {
                           response.status = 500;
                           response.body = R"({"error":"the answer failed"})";
                       }
                       ServerCore& server = self->m_server;
                       // The session goes with the answer: it is let go of on the server's thread
                       // only.
                       asio::post(server.io, [self = std::move(self),
                                              response = std::move(response), keepAlive] {
                           --self->m_server.slowWaiting;
                           if (self->m_bClosing) {
                               self->Abort();
                               return;
                           }
                           self->Deliver(response, keepAlive);
                       });
                   });
    }

    void Deliver(const Response& response, bool keepAlive) {
        switch (response.kind) {
            case Response::Kind::Text:
                Send(response, keepAlive);
                return;
            case Response::Kind::File:
                SendFile(response, keepAlive);
                return;
            case Response::Kind::EventStream:
                Stream(response);
                return;
        }
    }

    void Send(const Response& response, bool keepAlive) {
        auto message = std::make_shared<bhttp::response<bhttp::string_body>>(
            static_cast<bhttp::status>(response.status), 11);
        CommonHeaders(*message, response);
        message->body() = response.body;
        message->keep_alive(keepAlive);
        message->prepare_payload();
        Write(std::move(message), keepAlive);
    }

    void SendFile(const Response& response, bool keepAlive) {
        bhttp::file_body::value_type file;
        error_code ec;
        file.open(response.body.c_str(), beast::file_mode::scan, ec);
        if (ec) {
            Response missing;
            missing.status = 404;
            missing.body = nlohmann::json({{"error", response.fileMissing}}).dump();
            Send(missing, keepAlive);
            return;
        }
        auto message = std::make_shared<bhttp::response<bhttp::file_body>>(
            std::piecewise_construct, std::make_tuple(std::move(file)),
            std::make_tuple(bhttp::status::ok, 11));
        CommonHeaders(*message, response);
        message->keep_alive(keepAlive);
        message->prepare_payload();
        Write(std::move(message), keepAlive);
    }

    template <typename Message>
    void Write(std::shared_ptr<Message> message, bool keepAlive) {
        m_bWriting = true;
        // A large answer (the units log) gets the time a slow reader needs for it, not more.
        const std::uint64_t bytes = message->payload_size().value_or(0);
        Arm(kWriteTime + std::chrono::seconds(bytes / kSlowestReader));
        bhttp::async_write(
            m_socket, *message,
            [self = shared_from_this(), message, keepAlive](const error_code& ec, std::size_t) {
                self->m_bWriting = false;
                self->m_deadline.cancel();
                if (ec) {
                    self->Abort();
                } else if (!keepAlive || self->m_bClosing) {
                    self->Linger();
                } else {
                    self->Read();
                }
            });
    }

    // The answer's head, then events as they come until the client or the server ends it. The
    // body runs until the connection closes.
    void Stream(const Response& response) {
        auto head = std::make_shared<bhttp::response<bhttp::empty_body>>(bhttp::status::ok, 11);
        CommonHeaders(*head, response);
        head->keep_alive(false);
        auto serializer = std::make_shared<bhttp::response_serializer<bhttp::empty_body>>(*head);
        m_bWriting = true;
        Arm(kWriteTime);
        bhttp::async_write_header(
            m_socket, *serializer,
            [self = shared_from_this(), head, serializer](const error_code& ec, std::size_t) {
                self->m_bWriting = false;
                self->m_deadline.cancel();
                if (ec || self->m_bClosing) {
                    self->Abort();
                    return;
                }
                self->m_server.hub.Listen();
                self->m_bListening = true;
                self->m_bStreaming = true;
                self->m_seen = self->m_server.hub.Newest();
                self->m_pending = "retry: 1000\n\n";
                // A stream's client sends nothing; a read that ends tells it went away.
                self->Drain();
                self->Pump();
            });
    }

    void WritePending() {
        if (m_bWriting || m_pending.empty()) {
            if (m_bClosing && !m_bWriting) {
                Abort();
            }
            return;
        }
        m_bWriting = true;
        m_writing.swap(m_pending);
        m_pending.clear();
        Arm(kWriteTime);
        asio::async_write(m_socket, asio::buffer(m_writing),
                          [self = shared_from_this()](const error_code& ec, std::size_t) {
                              self->m_bWriting = false;
                              self->m_deadline.cancel();
                              self->m_writing.clear();
                              // A stream that closes sends what was published meanwhile
                              // first: the station's last events come just before the stop.
                              if (ec || (self->m_bClosing && !self->m_bStreaming)) {
                                  self->Abort();
                                  return;
                              }
                              self->Pump();
                          });
    }

    ServerCore& m_server;
    tcp::socket m_socket;
    asio::steady_timer m_deadline;  // the request or write under way ends when it fires
    std::string m_address;
    beast::flat_buffer m_buffer{kBufferLimit};
    std::optional<bhttp::request_parser<bhttp::string_body>> m_parser;
    bool m_bWriting = false;
    bool m_bClosing = false;
    bool m_bStreaming = false;
    bool m_bListening = false;  // told the hub, which must hear when it stops
    std::uint64_t m_seen = 0;   // the last event sent
    std::string m_pending;      // events to send next
    std::string m_writing;      // events on their way
    std::array<char, 256> m_discard{};
};

void ServerCore::Accept() {
    acceptor.async_accept(
        [this](const error_code& ec, tcp::socket socket) { OnAccept(ec, std::move(socket)); });
}

void ServerCore::OnAccept(const error_code& ec, tcp::socket socket) {
    if (stopping) {
        return;
    }
    if (ec) {
        // Out of descriptors, say: try again soon rather than at once and for ever.
        acceptPause.expires_after(kAcceptPause);
        acceptPause.async_wait([this](const error_code& waited) {
            if (!waited && !stopping) {
                Accept();
            }
        });
        return;
    }
    error_code peerError;
    const std::string address = socket.remote_endpoint(peerError).address().to_string();
    if (peerError || sessions.size() >= kMaxConnections || perAddress[address] >= kMaxPerAddress) {
        error_code ignored;
        socket.non_blocking(true, ignored);
        socket.write_some(asio::buffer(kBusy), ignored);
        socket.close(ignored);
        Accept();
        return;
    }
    ++perAddress[address];
    auto session = std::make_shared<CSession>(*this, std::move(socket), address);
    session->m_where = sessions.insert(sessions.end(), session);
    session->Read();
    Accept();
}

void ServerCore::Left(std::list<std::weak_ptr<CSession>>::iterator where,
                      const std::string& address, bool listening) noexcept {
    if (listening) {
        hub.Unlisten();
    }
    sessions.erase(where);
    if (const auto count = perAddress.find(address);
        count != perAddress.end() && --count->second == 0) {
        perAddress.erase(count);
    }
}

void ServerCore::PumpAll() {
    for (const auto& weak : sessions) {
        if (const auto session = weak.lock()) {
            session->Pump();
        }
    }
}

void ServerCore::Beat() {
    heartbeat.expires_after(kHeartbeat);
    heartbeat.async_wait([this](const error_code& ec) {
        if (ec || stopping) {
            return;
        }
        for (const auto& weak : sessions) {
            if (const auto session = weak.lock()) {
                session->Beat();
            }
        }
        Beat();
    });
}

void ServerCore::StopAll() {
    stopping = true;
    error_code ignored;
    acceptor.close(ignored);
    heartbeat.cancel();
    acceptPause.cancel();
    // A copy: a session that closes at once leaves the list.
    const std::list<std::weak_ptr<CSession>> open = sessions;
    for (const auto& weak : open) {
        if (const auto session = weak.lock()) {
            session->Close();
        }
    }
}

CWebServer::CWebServer(Endpoint endpoint, IHandler& api, CEventHub& hub)
    : m_core(std::make_unique<ServerCore>(std::move(endpoint), api, hub)) {}

CWebServer::~CWebServer() {
    Stop();
}

std::optional<std::string> CWebServer::Start() {
    ServerCore& core = *m_core;
    error_code ec;
    const tcp::endpoint where(asio::ip::make_address(core.endpoint.address, ec),
                              core.endpoint.port);
    if (!ec) {
        core.acceptor.open(where.protocol(), ec);
    }
    if (!ec && kReuseAddress) {
        core.acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    }
    if (!ec) {
        core.acceptor.bind(where, ec);
    }
    if (!ec) {
        core.acceptor.listen(asio::socket_base::max_listen_connections, ec);
    }
    if (!ec) {
        core.port = core.acceptor.local_endpoint(ec).port();
    }
    if (ec) {
        error_code ignored;
        core.acceptor.close(ignored);
        return ec.message();
    }
    core.hub.SetWake([&core] { asio::post(core.io, [&core] { core.PumpAll(); }); });
    core.Accept();
    core.Beat();
    core.thread = std::thread([&core] {
        core.io.run();
        core.ran.set_value();
    });
    core.slowWork.emplace(core.slowIo.get_executor());
    core.worker = std::thread([&core] { core.slowIo.run(); });
    return std::nullopt;
}

std::uint16_t CWebServer::Port() const {
    return m_core->port;
}

void CWebServer::Stop() {
    ServerCore& core = *m_core;
    if (!core.thread.joinable()) {
        return;
    }
    core.hub.SetWake({});
    std::future<void> ran = core.ran.get_future();
    asio::post(core.io, [&core] { core.StopAll(); });
    // The loop ends once every connection has; a client that holds one up is not waited for.
    if (ran.wait_for(kStopGrace) != std::future_status::ready) {
        core.io.stop();
    }
    core.thread.join();
    // A slow request under way finishes (its handler bounds it); those waiting are dropped.
    core.slowWork.reset();
    core.slowIo.stop();
    core.worker.join();
}

}  // namespace vandrelux::web
