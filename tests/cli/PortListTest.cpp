#include <gtest/gtest.h>

#include "TempTree.h"
#include "cli/PortList.h"

namespace vandrelux::cli {
namespace {

using test::TempTree;

// Two FTDI adapters and a UART; COM<n> resolution sees the adapters in the fake /dev.
class PortList : public ::testing::Test {
protected:
    PortList() {
        roots = {tree.Path("sys"), tree.Path("dev"), tree.Path("proc")};
        tree.Folder("sys/bus/usb-serial/drivers/ftdi_sio");
        tree.Folder("sys/bus/pnp/drivers/serial");
        Adapter("ttyUSB0", "1-1", "A1");
        Adapter("ttyUSB1", "1-2", "B2");
        tree.Folder("sys/devices/pnp0/00:01");
        tree.Link("sys/devices/pnp0/00:01/driver", tree.Path("sys/bus/pnp/drivers/serial"));
        tree.Link("sys/class/tty/ttyS2/device", tree.Path("sys/devices/pnp0/00:01"));
        tree.File("sys/class/tty/ttyS2/type", "4\n");
        tree.File("dev/ttyUSB0");
        tree.File("dev/ttyUSB1");
    }

    void Adapter(const std::string& name, const std::string& usb, const std::string& serial) {
        const std::string dir = "sys/devices/usb1/" + usb;
        tree.File(dir + "/idVendor", "0403\n");
        tree.File(dir + "/idProduct", "6015\n");
        tree.File(dir + "/serial", serial + "\n");
        tree.Folder(dir + "/" + usb + ":1.0/" + name);
        tree.Link(dir + "/" + usb + ":1.0/" + name + "/driver",
                  tree.Path("sys/bus/usb-serial/drivers/ftdi_sio"));
        tree.Link("sys/class/tty/" + name + "/device", tree.Path(dir + "/" + usb + ":1.0/" + name));
    }

    TempTree tree;
    platform::SystemRoots roots;
};

TEST_F(PortList, ComNames_AsTheResolverWouldPickThem) {
    platform::ComMapping mapping;
    mapping.explicitPaths[5] = tree.Path("dev/ttyUSB0");
    const auto env = [&](const std::string& key) -> std::optional<std::string> {
        if (key == "VANDRELUX_COM4") {
            return tree.Path("dev/ttyUSB1");
        }
        return std::nullopt;
    };
    const std::vector<ListedPort> ports = ListPorts(roots, mapping, env);

    ASSERT_EQ(ports.size(), 3U);
    EXPECT_EQ(ports[0].info.name, "ttyS2");
    EXPECT_EQ(ports[0].comNumbers, std::vector<int>{3});  // /dev/ttyS<n-1> once past the adapters
    EXPECT_EQ(ports[1].comNumbers, (std::vector<int>{1, 5}));
    EXPECT_EQ(ports[2].comNumbers, (std::vector<int>{2, 4}));
}

TEST_F(PortList, NetworkPorts_ListedOnceWithTheirComNamesAfterTheDevices) {
    platform::ComMapping mapping;
    mapping.explicitPaths[1] = "RFC2217://Server:2000";
    const auto env = [](const std::string& key) -> std::optional<std::string> {
        if (key == "VANDRELUX_COM7") {
            return "rfc2217://server:2000";
        }
        return std::nullopt;
    };
    const std::vector<ListedPort> ports = ListPorts(
        roots, mapping, env, {"socket://[::1]:9", "tcp://[::1]:9", "/dev/ttyUSB0", "tcp://"});

    ASSERT_EQ(ports.size(), 5U);
    EXPECT_EQ(ports[3].info.device, "tcp://[::1]:9");
    EXPECT_EQ(ports[3].info.driver, "tcp");
    EXPECT_TRUE(ports[3].comNumbers.empty());
    EXPECT_EQ(ports[4].info.device, "rfc2217://server:2000");
    EXPECT_EQ(ports[4].info.driver, "rfc2217");
    EXPECT_EQ(ports[4].comNumbers, (std::vector<int>{1, 7}));
    // COM1 names the server now; the second adapter is COM2 as before.
    EXPECT_TRUE(ports[1].comNumbers.empty());
    EXPECT_EQ(ports[2].comNumbers, std::vector<int>{2});
    EXPECT_NE(FormatPortTable(ports).find("rfc2217://server:2000"), std::string::npos);
}

TEST_F(PortList, TableAndJson_CarryDriverUsbIdsAndSerial) {
    const auto ports = ListPorts(roots, {}, nullptr);
    const std::string table = FormatPortTable(ports);
    EXPECT_NE(table.find("DEVICE"), std::string::npos);
    const std::size_t row = table.find(tree.Path("dev/ttyUSB1"));
    ASSERT_NE(row, std::string::npos);
    const std::string line = table.substr(row, table.find('\n', row) - row);
    EXPECT_NE(line.find("ftdi_sio"), std::string::npos);
    EXPECT_NE(line.find("0403:6015"), std::string::npos);
    EXPECT_NE(line.find("B2"), std::string::npos);
    EXPECT_NE(line.find("COM2"), std::string::npos);

    const nlohmann::json json = PortListJson(ports);
    ASSERT_EQ(json.size(), 3U);
    EXPECT_FALSE(json[0].contains("usb"));
    EXPECT_EQ(json[2]["usb"]["serial"], "B2");
    EXPECT_EQ(json[2]["com"], nlohmann::json::array({2}));
}

TEST_F(PortList, SerialWithEscapesAndNonUtf8_TableDefused) {
    Adapter("ttyUSB2", "1-3", "\x1b]0;pwned\x07\xff");
    tree.File("dev/ttyUSB2");
    const std::string table = FormatPortTable(ListPorts(roots, {}, nullptr));
    EXPECT_EQ(table.find('\x1b'), std::string::npos);
    EXPECT_NE(table.find("?]0;pwned?\xff"), std::string::npos) << table;
}

TEST(PortListEmpty, NoDevices_SaysSo) {
    EXPECT_EQ(FormatPortTable({}), "no serial devices found\n");
}

}  // namespace
}  // namespace vandrelux::cli
