#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "device/ComPortNames.h"

namespace vandrelux::platform {
namespace {

TEST(ParseComName, Names_MapToTheirNumber) {
    const struct {
        const char* name;
        std::optional<int> number;
    } cases[] = {
        {"COM1", 1},
        {"com2", 2},
        {"Com10", 10},
        {"COM255", 255},
        {"COM0", std::nullopt},
        {"COM256", std::nullopt},
        {"COM03", std::nullopt},
        {"COM", std::nullopt},
        {"COM-1", std::nullopt},
        {"COM+1", std::nullopt},
        {"COM1x", std::nullopt},
        {" COM1", std::nullopt},
        {"COM 1", std::nullopt},
        {"LPT1", std::nullopt},
        {"COM99999", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseComName(c.name), c.number) << '"' << c.name << '"';
    }
}

TEST(ResolveComPort, Sources_ExplicitBeatsEnvironmentBeatsUsbBeatsSystemName) {
    const std::vector<std::string> usb = {"/dev/ttyUSB0", "/dev/ttyACM0"};
    const std::map<std::string, std::string> env = {
        {"VANDRELUX_COM1", "/tmp/env1"}, {"VANDRELUX_COM2", "/tmp/env2"}, {"VANDRELUX_COM3", ""}};
    const EnvironmentLookup lookup = [&](const std::string& key) -> std::optional<std::string> {
        const auto it = env.find(key);
        return it == env.end() ? std::nullopt : std::optional(it->second);
    };
    const EnvironmentLookup empty = [](const std::string&) { return std::nullopt; };
    const ComMapping none;
    const ComMapping explicitOne{{{1, "/tmp/cli1"}, {2, ""}}};

    const struct {
        int n;
        const ComMapping& mapping;
        const EnvironmentLookup& getEnv;
        std::vector<std::string> adapters;
        std::string expected;
    } cases[] = {
        {1, explicitOne, lookup, usb, "/tmp/cli1"},
        {2, explicitOne, lookup, usb, "/tmp/env2"},  // an empty explicit path is unset
        {1, none, lookup, usb, "/tmp/env1"},
        {3, none, lookup, {"/a", "/b", "/c"}, "/c"},  // so is an empty variable
        {1, none, empty, usb, "/dev/ttyUSB0"},
        {2, none, empty, usb, "/dev/ttyACM0"},
        {3, none, empty, usb, SystemComDevice(3)},
        {1, none, empty, {}, SystemComDevice(1)},
        {12, none, {}, {}, SystemComDevice(12)},
        {0, explicitOne, lookup, usb, ""},
        {-1, none, empty, usb, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ResolveComPort(c.n, c.mapping, c.getEnv, c.adapters), c.expected) << c.n;
    }
}

#ifdef _WIN32
TEST(SystemComDevice, Windows_UsesTheDeviceNamespaceSoHighNumbersOpenToo) {
    EXPECT_EQ(SystemComDevice(1), "\\\\.\\COM1");
    EXPECT_EQ(SystemComDevice(12), "\\\\.\\COM12");
    EXPECT_TRUE(ListUsbSerialAdapters().empty()) << "Windows numbers its adapters itself";
}
#else
TEST(SystemComDevice, Linux_CountsTheOnBoardPortsFromZero) {
    EXPECT_EQ(SystemComDevice(1), "/dev/ttyS0");
    EXPECT_EQ(SystemComDevice(12), "/dev/ttyS11");
}

TEST(ListUsbSerialAdapters, FakeDevDir_ListsUsbThenAcmInNaturalOrder) {
    const auto dir =
        std::filesystem::temp_directory_path() /
        ("vandrelux-dev-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    for (const char* name : {"ttyUSB10", "ttyACM1", "ttyUSB2", "ttyS0", "ttyUSB", "ttyUSBx",
                             "ttyACM0", "ttyUSB0", "tty0", "xttyUSB3", "ttyUSB9"}) {
        std::ofstream(dir / name).put('x');
    }
    const std::string d = dir.string();
    EXPECT_EQ(ListUsbSerialAdapters(d),
              (std::vector<std::string>{d + "/ttyUSB0", d + "/ttyUSB2", d + "/ttyUSB9",
                                        d + "/ttyUSB10", d + "/ttyACM0", d + "/ttyACM1"}));
    std::filesystem::remove_all(dir);
    EXPECT_TRUE(ListUsbSerialAdapters(d).empty()) << "a missing folder lists nothing";
}
#endif

}  // namespace
}  // namespace vandrelux::platform
