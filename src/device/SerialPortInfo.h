// What the system knows about its serial devices beyond their names: the driver behind each,
// the USB adapter it sits on, who holds it open, and who may open it. Every reader takes the
// roots of the system trees so that tests can lay out a tree of their own.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vandrelux::platform {

struct SystemRoots {
    std::string sys = "/sys";
    std::string dev = "/dev";
    std::string proc = "/proc";
};

struct UsbAdapterInfo {
    std::string vendorId;  // four hex digits, as the device reports them
    std::string productId;
    std::string serial;  // empty when the adapter has none
    std::string manufacturer;
    std::string product;
};

struct SerialPortInfo {
    std::string name;    // ttyUSB0
    std::string device;  // the device file under the dev root
    std::string driver;  // ftdi_sio, cdc_acm, serial8250, ...
    std::optional<UsbAdapterInfo> usb;
    // What Windows calls the port in its device list ("USB Serial Port (COM3)") and where the
    // adapter sits ("Port_#0002.Hub_#0001"); empty where the system does not say, and on Linux.
    std::string friendlyName;
    std::string location;
};

// Every serial device with a driver behind it, by name. Platform UARTs the kernel lists but
// found no chip for (type 0) are left out.
[[nodiscard]] std::vector<SerialPortInfo> ListSerialPorts(const SystemRoots& roots = {});

// The USB-serial adapter's latency timer in milliseconds, for a device such as ttyUSB0;
// nothing when the device has none (not a USB-serial adapter, or no such device).
[[nodiscard]] std::optional<int> ReadLatencyTimer(const SystemRoots& roots, std::string_view name);
// Where that timer is set.
[[nodiscard]] std::string LatencyTimerPath(const SystemRoots& roots, std::string_view name);

struct PortHolder {
    int pid = 0;
    std::string command;  // the process's name, empty when unreadable
};

struct PortHolders {
    std::vector<PortHolder> holders;  // by pid
    // Of a pseudo-terminal, the processes that hold its other end too: they are the line's far
    // side (a simulated box, a terminal program), not rivals for it.
    std::vector<PortHolder> farEnds;
    int unchecked = 0;  // processes whose open files this user may not see (other users')
};

// The processes other than `selfPid` with `device` open.
[[nodiscard]] PortHolders FindPortHolders(const SystemRoots& roots, const std::string& device,
                                          int selfPid);

// What kind of device `device` is, when it is a character device: "tty" for a serial line or a
// terminal (pseudo-terminals included), else the kernel's class of it ("mem" for /dev/null).
// Nothing for anything else, or when the system does not say.
[[nodiscard]] std::optional<std::string> CharacterDeviceClass(const SystemRoots& roots,
                                                              const std::string& device);

struct ProcessLink {
    int parent = 0;
    int group = 0;  // process group
};

// A process's parent and process group; nothing when it is gone or unreadable.
[[nodiscard]] std::optional<ProcessLink> ReadProcessLink(const SystemRoots& roots, int pid);

struct UserIdentity {
    unsigned uid = 0;
    std::string name;
    std::vector<unsigned> sessionGroups;     // primary and supplementary groups of this process
    std::vector<unsigned> configuredGroups;  // the user's groups in the group database
};

[[nodiscard]] UserIdentity CurrentUser();

enum class AccessVerdict {
    Granted,
    NoDevice,
    JoinGroup,        // the device's group grants access, the user is not in it
    StartNewSession,  // the user is in that group, but this login predates it
    Denied,           // neither owner nor group nor others may read and write
};

struct DeviceAccess {
    AccessVerdict verdict = AccessVerdict::Denied;
    std::string group;  // the device's group by name (its number when it has no name)
};

// Whether `user` may read and write `device`, judged from its owner, group and mode.
[[nodiscard]] DeviceAccess CheckDeviceAccess(const std::string& device, const UserIdentity& user);

}  // namespace vandrelux::platform
