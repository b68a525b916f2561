#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "TempTree.h"
#include "device/SerialPortInfo.h"

namespace vandrelux::platform {
namespace {

using test::TempTree;

// A sysfs tree with the kinds of serial device a line PC has: an FTDI adapter, a CDC-ACM
// device, a UART behind the serial core's port device, a UART slot with no chip and a
// virtual terminal.
class SysfsTree : public ::testing::Test {
protected:
    SysfsTree() {
        roots = {tree.Path("sys"), tree.Path("dev"), tree.Path("proc")};
        tree.Folder("sys/bus/usb-serial/drivers/ftdi_sio");
        tree.Folder("sys/bus/usb/drivers/cdc_acm");
        tree.Folder("sys/bus/serial-base/drivers/port");
        tree.Folder("sys/bus/pnp/drivers/serial");

        const std::string ftdi = "sys/devices/pci0000:00/usb1/1-2";
        tree.File(ftdi + "/idVendor", "0403\n");
        tree.File(ftdi + "/idProduct", "6001\n");
        tree.File(ftdi + "/serial", "A50285BI\n");
        tree.File(ftdi + "/manufacturer", "FTDI\n");
        tree.File(ftdi + "/product", "FT232R USB UART\n");
        Device("ttyUSB0", ftdi + "/1-2:1.0/ttyUSB0", "sys/bus/usb-serial/drivers/ftdi_sio");

        const std::string acm = "sys/devices/pci0000:00/usb1/1-3";
        tree.File(acm + "/idVendor", "2341\n");
        tree.File(acm + "/idProduct", "0043\n");
        Device("ttyACM0", acm + "/1-3:1.0", "sys/bus/usb/drivers/cdc_acm");

        const std::string uart = "sys/devices/pnp0/00:00";
        tree.Link(uart + "/driver", tree.Path("sys/bus/pnp/drivers/serial"));
        Device("ttyS0", uart + "/00:00:0/00:00:0.0", "sys/bus/serial-base/drivers/port");
        tree.File("sys/class/tty/ttyS0/type", "4\n");
        Device("ttyS1", "sys/devices/platform/serial8250/ttyS1", "sys/bus/pnp/drivers/serial");
        tree.File("sys/class/tty/ttyS1/type", "0\n");
        tree.Folder("sys/class/tty/tty0");
    }

    void Device(const std::string& name, const std::string& device, const std::string& driver) {
        tree.Folder(device);
        tree.Link(device + "/driver", tree.Path(driver));
        tree.Link("sys/class/tty/" + name + "/device", tree.Path(device));
    }

    TempTree tree;
    SystemRoots roots;
};

TEST_F(SysfsTree, ListSerialPorts_EveryKindOfDevice_DriversAndAdaptersFound) {
    const std::vector<SerialPortInfo> ports = ListSerialPorts(roots);

    ASSERT_EQ(ports.size(), 3U);  // no chip in ttyS1, no device behind tty0
    EXPECT_EQ(ports[0].name, "ttyACM0");
    EXPECT_EQ(ports[0].driver, "cdc_acm");
    ASSERT_TRUE(ports[0].usb.has_value());
    EXPECT_EQ(ports[0].usb->vendorId, "2341");
    EXPECT_EQ(ports[0].usb->serial, "");

    EXPECT_EQ(ports[1].name, "ttyS0");
    EXPECT_EQ(ports[1].driver, "serial");  // the serial core's own port driver is looked through
    EXPECT_FALSE(ports[1].usb.has_value());

    EXPECT_EQ(ports[2].name, "ttyUSB0");
    EXPECT_EQ(ports[2].device, tree.Path("dev/ttyUSB0"));
    EXPECT_EQ(ports[2].driver, "ftdi_sio");
    ASSERT_TRUE(ports[2].usb.has_value());
    EXPECT_EQ(ports[2].usb->vendorId, "0403");
    EXPECT_EQ(ports[2].usb->productId, "6001");
    EXPECT_EQ(ports[2].usb->serial, "A50285BI");
    EXPECT_EQ(ports[2].usb->product, "FT232R USB UART");
}

TEST_F(SysfsTree, ListSerialPorts_NoSysfs_NothingAndNoThrow) {
    EXPECT_TRUE(ListSerialPorts({tree.Path("absent"), "/dev", "/proc"}).empty());
}

TEST_F(SysfsTree, ReadLatencyTimer_OnlyWholeNumbers) {
    const std::string attribute = "sys/bus/usb-serial/devices/ttyUSB0/latency_timer";
    EXPECT_EQ(ReadLatencyTimer(roots, "ttyUSB0"), std::nullopt);
    tree.File(attribute, "16\n");
    EXPECT_EQ(ReadLatencyTimer(roots, "ttyUSB0"), 16);
    EXPECT_EQ(LatencyTimerPath(roots, "ttyUSB0"), tree.Path(attribute));
    tree.File(attribute, "16 ms\n");
    EXPECT_EQ(ReadLatencyTimer(roots, "ttyUSB0"), std::nullopt);
    tree.File(attribute, "");
    EXPECT_EQ(ReadLatencyTimer(roots, "ttyUSB0"), std::nullopt);
}

TEST(FindPortHolders, ProcessesWithTheDeviceOpen_FoundBySymlinkToo_SelfLeftOut) {
    TempTree tree;
    const std::string device = tree.File("dev/ttyUSB0");
    tree.Link("dev/serial/by-id/usb-FTDI-A50285BI", device);
    tree.Link("proc/4242/fd/3", device);
    tree.File("proc/4242/comm", "minicom\n");
    tree.Link("proc/77/fd/0", "/dev/null");
    tree.Link("proc/77/fd/9", "pipe:[1234]");
    tree.Link("proc/99/fd/5", device);  // this process itself
    tree.Link("proc/self/fd/5", device);
    const SystemRoots roots{tree.Path("sys"), tree.Path("dev"), tree.Path("proc")};

    const auto direct = FindPortHolders(roots, device, 99).holders;
    ASSERT_EQ(direct.size(), 1U);
    EXPECT_EQ(direct[0].pid, 4242);
    EXPECT_EQ(direct[0].command, "minicom");

    const auto viaLink =
        FindPortHolders(roots, tree.Path("dev/serial/by-id/usb-FTDI-A50285BI"), 99).holders;
    ASSERT_EQ(viaLink.size(), 1U);
    EXPECT_EQ(viaLink[0].pid, 4242);
    EXPECT_TRUE(FindPortHolders(roots, tree.Path("dev/ttyUSB1"), 99).holders.empty());
}

TEST(FindPortHolders, ProcessesWhoseFilesAreHidden_Counted) {
    if (::geteuid() == 0) {
        GTEST_SKIP() << "root sees every process's files";
    }
    TempTree tree;
    const std::string device = tree.File("dev/ttyUSB0");
    tree.Link("proc/10/fd/3", device);
    tree.Folder("proc/11/fd");
    tree.Folder("proc/12/fd");
    ::chmod(tree.Path("proc/11/fd").c_str(), 0);
    ::chmod(tree.Path("proc/12/fd").c_str(), 0);
    const SystemRoots roots{tree.Path("sys"), tree.Path("dev"), tree.Path("proc")};
    const PortHolders found = FindPortHolders(roots, device, 99);
    ::chmod(tree.Path("proc/11/fd").c_str(), 0700);
    ::chmod(tree.Path("proc/12/fd").c_str(), 0700);
    ASSERT_EQ(found.holders.size(), 1U);
    EXPECT_EQ(found.unchecked, 2);
}

TEST(ReadProcessLink, ParentAndGroup_NameWithSpacesAndParentheses) {
    TempTree tree;
    tree.File("proc/300/stat", "300 (my (odd) name) S 120 300 120 34816 300 4194560\n");
    tree.File("proc/301/stat", "garbage\n");
    const SystemRoots roots{tree.Path("sys"), tree.Path("dev"), tree.Path("proc")};
    const auto link = ReadProcessLink(roots, 300);
    ASSERT_TRUE(link);
    EXPECT_EQ(link->parent, 120);
    EXPECT_EQ(link->group, 300);
    EXPECT_FALSE(ReadProcessLink(roots, 301));
    EXPECT_FALSE(ReadProcessLink(roots, 302));
}

struct AccessCase {
    const char* name;
    mode_t mode;
    UserIdentity user;
    AccessVerdict verdict;
};

TEST(CheckDeviceAccess, OwnerGroupAndOthers) {
    TempTree tree;
    const std::string device = tree.File("ttyUSB0");
    struct stat info {};
    ASSERT_EQ(::stat(device.c_str(), &info), 0);
    const unsigned owner = info.st_uid;
    const unsigned group = info.st_gid;
    const unsigned stranger = owner + 1000;
    const AccessCase cases[] = {
        {"group member", 0660, {stranger, "alice", {group}, {group}}, AccessVerdict::Granted},
        {"not in the group",
         0660,
         {stranger, "alice", {group + 1}, {group + 1}},
         AccessVerdict::JoinGroup},
        {"joined since login",
         0660,
         {stranger, "alice", {group + 1}, {group + 1, group}},
         AccessVerdict::StartNewSession},
        {"owner only", 0600, {stranger, "alice", {group}, {group}}, AccessVerdict::Denied},
        {"group may only read", 0640, {stranger, "alice", {group}, {group}}, AccessVerdict::Denied},
        {"everyone", 0666, {stranger, "alice", {}, {}}, AccessVerdict::Granted},
        {"the owner",
         0600,
         {owner == 0 ? 1U : owner, "bob", {}, {}},
         owner == 0 ? AccessVerdict::Denied : AccessVerdict::Granted},
        {"root", 0600, {0, "root", {}, {}}, AccessVerdict::Granted},
    };
    for (const AccessCase& c : cases) {
        ASSERT_EQ(::chmod(device.c_str(), c.mode), 0);
        const DeviceAccess access = CheckDeviceAccess(device, c.user);
        EXPECT_EQ(access.verdict, c.verdict) << c.name;
        EXPECT_FALSE(access.group.empty()) << c.name;
    }
    EXPECT_EQ(CheckDeviceAccess(tree.Path("absent"), {}).verdict, AccessVerdict::NoDevice);
}

}  // namespace
}  // namespace vandrelux::platform
