// The line server's side of a station's API: GET requests over one kept-alive connection, and
// an event stream read piece by piece. Every connect, request and read has a deadline, and
// Cancel, from any thread, ends whatever is under way at once, so no station holds the line
// server up, however it fails.
//
// Threading: one thread uses a client; Cancel may come from any other.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vandrelux::line {

// A station's address as --station names it: http://HOST:PORT, a path after it allowed.
struct StationUrl {
    std::string host;
    std::string port;
    std::string base;  // the path before /api/..., without a trailing slash
};

[[nodiscard]] std::optional<StationUrl> ParseStationUrl(std::string_view text);

struct HttpAnswer {
    int status = 0;
    std::string body;
};

// Why a request got no answer: refused, timed out, cut off, no HTTP.
struct HttpError {
    std::string message;
};

struct ClientCore;

class CHttpClient {
public:
    // `token`: sent as a bearer token when not empty.
    CHttpClient(StationUrl url, std::string token);
    ~CHttpClient();
    CHttpClient(const CHttpClient&) = delete;
    CHttpClient& operator=(const CHttpClient&) = delete;

    // GET base + `target`. Throws HttpError.
    HttpAnswer Get(const std::string& target, std::chrono::milliseconds timeout);
    // GET base + `target` as a stream: the answer's status first, then its body's pieces as
    // they come, until `piece` returns false, the stream ends or nothing comes for `quiet`.
    // Throws HttpError when it ends any other way than by `piece`.
    void Stream(const std::string& target, std::chrono::milliseconds quiet,
                const std::function<bool(int status)>& head,
                const std::function<bool(std::string_view piece)>& piece);
    // Ends what is under way and whatever comes after, for good.
    void Cancel();

private:
    std::unique_ptr<ClientCore> m_core;
};

}  // namespace vandrelux::line
