// The COM ports a Windows station's globs take, against a scripted list of ports as Windows
// would give it: adapters plugged in and pulled out between two looks.
#include <gtest/gtest.h>

#include "station/ComPortMatch.h"

namespace vandrelux::station {
namespace {

platform::SerialPortInfo Port(const std::string& com, const std::string& friendly = "",
                              const std::string& location = "") {
    platform::SerialPortInfo port;
    port.name = com;
    port.device = "\\\\.\\" + com;
    port.friendlyName = friendly;
    port.location = location;
    return port;
}

TEST(ComPortMatch, GlobsIgnoreCaseAndKnowSetsAndStars) {
    const struct {
        const char* glob;
        const char* text;
        bool matches;
    } cases[] = {
        {"COM*", "com12", true},      {"COM1?", "COM12", true},
        {"COM1?", "COM1", false},     {"COM[2-4]", "com3", true},
        {"COM[!2-4]", "COM3", false}, {"*(COM*)", "USB Serial Port (COM7)", true},
        {"*a*b", "xaxbxb", true},     {"*a*b", "xaxbx", false},
        {"COM[", "COM[", true},       {"", "", true},
        {"COM3", "COM33", false},     {"Port_#000?.Hub_#*", "port_#0002.hub_#0001", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(GlobMatchesIgnoringCase(c.glob, c.text), c.matches) << c.glob << " " << c.text;
    }
}

TEST(ComPortMatch, PortsComeAndGoBetweenLooks_ByNameFriendlyNameOrLocation) {
    const std::vector<std::string> globs = {"COM1?", "*FT232R*", "Port_#0004.Hub_#0001"};
    std::vector<platform::SerialPortInfo> ports = {
        Port("COM1", "Communications Port (COM1)"),
        Port("COM12", "Prolific USB-to-Serial (COM12)", "Port_#0001.Hub_#0001"),
        Port("COM5", "FT232R USB UART (COM5)", "Port_#0003.Hub_#0001")};
    EXPECT_EQ(MatchComPorts(globs, ports),
              (std::vector<std::string>{"\\\\.\\COM12", "\\\\.\\COM5"}));
    // One adapter pulled out, another plugged in at the watched place.
    ports.erase(ports.begin() + 1);
    ports.push_back(Port("COM9", "USB Serial Device (COM9)", "Port_#0004.Hub_#0001"));
    EXPECT_EQ(MatchComPorts(globs, ports),
              (std::vector<std::string>{"\\\\.\\COM5", "\\\\.\\COM9"}));
    // A port two globs take is taken once; the device name itself matches too.
    EXPECT_EQ(MatchComPorts({"COM5", "\\\\.\\COM5"}, ports),
              (std::vector<std::string>{"\\\\.\\COM5"}));
}

}  // namespace
}  // namespace vandrelux::station
