// What the web server hands a program and takes back: a request in, its response out, apart
// from the sockets. The station's API and the line server's each implement IHandler.
//
// Threading: Handle runs on the web server's thread, one request at a time; a request Slow says
// yes to runs on the server's worker thread instead, one at a time, while the others go on.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace vandrelux::web {

struct Request {
    std::string method;
    std::string target;         // the path, and the query after a '?'
    std::string host;           // the Host header
    std::string authorization;  // the Authorization header
    std::string body;
};

struct Response {
    enum class Kind { Text, EventStream, File };
    Kind kind = Kind::Text;
    int status = 200;
    std::string contentType = "application/json";
    std::string body;  // Text: the body; File: the file's path
    std::vector<std::pair<std::string, std::string>> headers;
    // File: the error a 404 carries when the file is not there.
    std::string fileMissing = "no such file";
};

class IHandler {
public:
    virtual ~IHandler() = default;
    [[nodiscard]] virtual Response Handle(const Request& request) = 0;
    // Whether the answer may wait on something outside the program (a database): such a
    // request must not hold up the page, the event streams and the other requests.
    [[nodiscard]] virtual bool Slow(const Request& /*request*/) const { return false; }

protected:
    IHandler() = default;
    IHandler(const IHandler&) = default;
    IHandler& operator=(const IHandler&) = default;
};

}  // namespace vandrelux::web
