// Our web server: a program's page, API and metrics over HTTP/1.1 on a thread of its own. What
// is answered is the handler's business (the station's API, the line server's); the server does
// the sockets, the event streams from the hub, and the bounds. Whatever a client does, the
// server stays open to the others: connections are bounded in all and per address, a request's
// headers and body in size, and every request and every write in time.
//
// Threading: Start and Stop from one thread (the program's); everything else, the handler's
// Handle too, runs on the server's thread, but for slow requests (IHandler::Slow), which the
// server's worker thread answers one after another.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "web/Endpoint.h"
#include "web/EventHub.h"
#include "web/Handler.h"

namespace vandrelux::web {

struct ServerCore;  // the sockets and their thread, in Server.cpp

class CWebServer {
public:
    CWebServer(Endpoint endpoint, IHandler& handler, CEventHub& hub);
    ~CWebServer();
    CWebServer(const CWebServer&) = delete;
    CWebServer& operator=(const CWebServer&) = delete;

    // Listens and starts the server's thread; why it cannot, when it cannot.
    [[nodiscard]] std::optional<std::string> Start();
    // The port it listens on: the one the system picked when the endpoint named 0.
    [[nodiscard]] std::uint16_t Port() const;
    // Ends every connection, an event stream once it has the events published so far, and
    // joins the threads, within a few seconds whatever the clients do (and once a slow request
    // under way has its answer, which its handler bounds).
    void Stop();

private:
    std::unique_ptr<ServerCore> m_core;
};

}  // namespace vandrelux::web
