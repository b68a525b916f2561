#include <gtest/gtest.h>

#include "station/http/Api.h"
#include "station/http/FileFacts.h"
#include "station/http/StationModel.h"
#include "web/Endpoint.h"
#include "web/EventHub.h"

namespace vandrelux::station::http {
namespace {

using web::CEventHub;
using web::Endpoint;
using web::ParseEndpoint;

TEST(Web, ParseEndpoint_AddressPortAndLoopback) {
    const struct {
        const char* text;
        const char* address;  // null: refused
        std::uint16_t port;
        bool loopback;
    } cases[] = {
        {"8080", "127.0.0.1", 8080, true},
        {"localhost:0", "127.0.0.1", 0, true},
        {"127.0.0.2:80", "127.0.0.2", 80, true},
        {"[::1]:80", "::1", 80, true},
        {"[::0001]:80", "::1", 80, true},
        {"0.0.0.0:80", "0.0.0.0", 80, false},
        {"192.168.1.5:8080", "192.168.1.5", 8080, false},
        {"[::]:80", "::", 80, false},
        {"::1:80", nullptr, 0, false},
        {"[127.0.0.1]:80", nullptr, 0, false},
        {"host.example:80", nullptr, 0, false},
        {"65536", nullptr, 0, false},
        {"80x", nullptr, 0, false},
        {":80", nullptr, 0, false},
        {"", nullptr, 0, false},
    };
    for (const auto& c : cases) {
        const std::optional<Endpoint> endpoint = ParseEndpoint(c.text);
        ASSERT_EQ(endpoint.has_value(), c.address != nullptr) << c.text;
        if (endpoint) {
            EXPECT_EQ(endpoint->address, c.address) << c.text;
            EXPECT_EQ(endpoint->port, c.port) << c.text;
            EXPECT_EQ(endpoint->loopback, c.loopback) << c.text;
        }
    }
}

TEST(Web, EventHub_StreamThatFallsBehind_LosesItsPlace) {
    CEventHub hub(2);
    int wakes = 0;
    hub.SetWake([&wakes] { ++wakes; });
    hub.Publish("1");
    hub.Publish("2");
    EXPECT_EQ(wakes, 1);  // once until the server looks
    std::string out;
    EXPECT_EQ(hub.Since(0, out), 2U);
    EXPECT_EQ(out, "data: 1\n\ndata: 2\n\n");
    hub.Publish("3");
    hub.Publish("4");
    EXPECT_EQ(wakes, 2);
    out.clear();
    EXPECT_EQ(hub.Since(1, out), std::nullopt);  // "2" is gone
    EXPECT_EQ(hub.Since(2, out), 4U);
    EXPECT_EQ(out, "data: 3\n\ndata: 4\n\n");
}

nlohmann::json Unit(const char* outcome, double seconds, int naks, int resends) {
    return {{"outcome", outcome},
            {"seconds", seconds},
            {"images", {{{"done", 10}, {"naks", naks}, {"resends", resends}}}}};
}

TEST(Web, StationModel_FirstPassYieldAndDurations) {
    CStationModel model({});
    const std::size_t slot = model.AddSlot("/dev/ttyUSB0");
    model.UnitEnded(slot, Unit("ok", 1.0, 0, 0), "r1");
    model.UnitEnded(slot, Unit("ok", 1.5, 2, 0), "r2");
    model.UnitEnded(slot, Unit("ok", 2.0, 0, 1), "r3");
    model.UnitEnded(slot, Unit("timed-out", 5000, 0, 0), "r4");
    const StationView view = model.View();
    EXPECT_EQ(view.units, 4U);
    EXPECT_EQ(view.firstPass, 1U);          // a failed unit is no first pass, refusals or not
    EXPECT_EQ(view.durationCounts[0], 1U);  // 1 s falls in "le 1"
    EXPECT_EQ(view.durationCounts[1], 2U);
    EXPECT_EQ(view.durationsAbove, 1U);
    EXPECT_EQ(view.slots[0].failed, 1);
    EXPECT_EQ(view.slots[0].refusedFrames, 2U);
    EXPECT_EQ(model.RecentUnits(), (std::vector<std::string>{"r4", "r3", "r2", "r1"}));
}

// Who may read and who may steer: by where the station listens, the Host named and the token.
TEST(Web, Api_TokenAndHostRules) {
    const std::string token = "0123456789abcdef";
    const struct {
        bool loopback;
        const char* method;
        const char* path;
        const char* host;
        const char* authorization;
        int status;
    } cases[] = {
        {true, "GET", "/api/v1/slots", "127.0.0.1:8080", "", 200},
        {true, "GET", "/api/v1/slots", "localhost:8080", "", 200},
        {true, "GET", "/api/v1/slots", "[::1]:8080", "", 200},
        {true, "GET", "/api/v1/slots", "rebound.example:8080", "", 421},
        {true, "POST", "/api/v1/station/drain", "127.0.0.1", "", 401},
        {true, "POST", "/api/v1/station/drain", "127.0.0.1", "Bearer 0123456789abcdeF", 403},
        {true, "POST", "/api/v1/station/drain", "127.0.0.1", "Bearer 0123456789abcde", 403},
        {true, "POST", "/api/v1/station/drain", "127.0.0.1", "Basic 0123456789abcdef", 401},
        {true, "POST", "/api/v1/station/drain", "127.0.0.1", "bearer 0123456789abcdef", 202},
        {false, "GET", "/", "station.example", "", 200},
        {false, "GET", "/api/v1/slots", "station.example", "", 401},
        {false, "GET", "/metrics", "station.example", "Bearer wrong", 403},
        {false, "GET", "/metrics", "station.example", "Bearer 0123456789abcdef", 200},
    };
    CStationModel model({});
    int commands = 0;
    for (const auto& c : cases) {
        CApi api(model, {token, c.loopback, ""}, [&commands](const Command&) { ++commands; });
        const Response response =
            api.Handle({c.method, c.path, c.host, c.authorization, c.method[0] == 'P' ? "{}" : ""});
        EXPECT_EQ(response.status, c.status)
            << c.method << " " << c.path << " " << c.host << " " << c.authorization;
    }
    EXPECT_EQ(commands, 1);  // none but the one with the token got through
}

}  // namespace
}  // namespace vandrelux::station::http
