// The station's web server: the page, the API and the metrics over HTTP/1.1 on a thread of its
// own beside the engine's. It takes the station's state from the model as copies and hands
// commands on through the API, so the engine never waits for it. Whatever a client does, the
// server stays open to the others: connections are bounded in all and per address, a request's
// headers and body in size, and every request and every write in time.
//
// Threading: Start and Stop from one thread (the station's); everything else runs on the
// server's thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "station/http/Api.h"
#include "station/http/Endpoint.h"
#include "station/http/EventHub.h"

namespace vandrelux::station::http {

struct ServerCore;  // the sockets and their thread, in Server.cpp

class CWebServer {
public:
    CWebServer(Endpoint endpoint, CApi& api, CEventHub& hub);
    ~CWebServer();
    CWebServer(const CWebServer&) = delete;
    CWebServer& operator=(const CWebServer&) = delete;

    // Listens and starts the server's thread; why it cannot, when it cannot.
    [[nodiscard]] std::optional<std::string> Start();
    // The port it listens on: the one the system picked when the endpoint named 0.
    [[nodiscard]] std::uint16_t Port() const;
    // Ends every connection, an event stream once it has the events published so far, and
    // joins the thread, within a few seconds whatever the clients do.
    void Stop();

private:
    std::unique_ptr<ServerCore> m_core;
};

}  // namespace vandrelux::station::http
