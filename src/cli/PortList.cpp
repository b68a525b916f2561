#include "cli/PortList.h"

#include <algorithm>

#include "device/net/PortUrl.h"
#include "os/Format.h"
#include "station/Text.h"

namespace vandrelux::cli {

using station::Dump;
using station::Printable;

namespace {

constexpr int kHighestCom = 255;

std::string ComNames(const std::vector<int>& numbers) {
    std::string names;
    for (const int n : numbers) {
        names += (names.empty() ? "COM" : ",COM") + std::to_string(n);
    }
    return names.empty() ? "-" : names;
}

std::string UsbId(const ListedPort& port) {
    return port.info.usb ? port.info.usb->vendorId + ":" + port.info.usb->productId : "-";
}

std::string OrDash(const std::string& text) {
    return text.empty() ? "-" : Printable(text);
}

// The network port a name gives, added to `ports` once; nothing for a malformed name.
ListedPort* NetworkPort(std::vector<ListedPort>& ports, const std::string& name) {
    const std::optional<platform::PortUrl> url = platform::ParsePortUrl(name);
    if (!url) {
        return nullptr;
    }
    const std::string canonical = platform::CanonicalPortName(*url);
    for (ListedPort& port : ports) {
        if (port.info.device == canonical) {
            return &port;
        }
    }
    platform::SerialPortInfo info;
    info.name = canonical;
    info.device = canonical;
    info.driver = url->scheme == platform::PortScheme::Rfc2217 ? "rfc2217" : "tcp";
    ports.push_back({std::move(info), {}});
    return &ports.back();
}

}  // namespace

std::vector<ListedPort> ListPorts(const platform::SystemRoots& roots,
                                  const platform::ComMapping& mapping,
                                  const platform::EnvironmentLookup& getEnv,
                                  const std::vector<std::string>& named) {
    const std::vector<std::string> adapters = platform::ListUsbSerialAdapters(roots.dev);
    std::vector<ListedPort> ports;
    for (platform::SerialPortInfo& info : platform::ListSerialPorts(roots)) {
        ports.push_back({std::move(info), {}});
    }
    for (const std::string& name : named) {
        if (platform::IsNetworkPortName(name)) {
            static_cast<void>(NetworkPort(ports, name));
        }
    }
    for (int n = 1; n <= kHighestCom; ++n) {
        const std::string device = platform::ResolveComPort(n, mapping, getEnv, adapters);
        if (platform::IsNetworkPortName(device)) {
            if (ListedPort* port = NetworkPort(ports, device)) {
                port->comNumbers.push_back(n);
            }
            continue;
        }
        for (ListedPort& port : ports) {
            // The last resort, /dev/ttyS<n-1>, names the system's own device folder.
            if (port.info.device == device || "/dev/" + port.info.name == device) {
                port.comNumbers.push_back(n);
            }
        }
    }
    return ports;
}

std::string FormatPortTable(const std::vector<ListedPort>& ports) {
    if (ports.empty()) {
        return "no serial devices found\n";
    }
    std::size_t device = 6;
    std::size_t driver = 6;
    for (const ListedPort& port : ports) {
        device = std::max(device, port.info.device.size());
        driver = std::max(driver, port.info.driver.size());
    }
    const int dw = static_cast<int>(device);
    const int rw = static_cast<int>(driver);
    std::string table = platform::Format("%-*s  %-*s  %-9s  %-16s  %-12s  %s\n", dw, "DEVICE", rw,
                                         "DRIVER", "USB ID", "SERIAL", "COM", "ADAPTER");
    for (const ListedPort& port : ports) {
        // What sysfs says is shown as it stands, bar what a terminal would act on.
        std::string adapter = port.info.friendlyName.empty() ? "-" : port.info.friendlyName;
        if (port.info.usb) {
            adapter = port.info.usb->manufacturer + " " + port.info.usb->product;
            adapter = adapter == " " ? "-" : adapter;
        }
        table += platform::Format("%-*s  %-*s  %-9s  %-16s  %-12s  %s\n", dw,
                                  Printable(port.info.device).c_str(), rw,
                                  OrDash(port.info.driver).c_str(), Printable(UsbId(port)).c_str(),
                                  OrDash(port.info.usb ? port.info.usb->serial : "").c_str(),
                                  ComNames(port.comNumbers).c_str(), Printable(adapter).c_str());
    }
    return table;
}

nlohmann::json PortListJson(const std::vector<ListedPort>& ports) {
    nlohmann::json list = nlohmann::json::array();
    for (const ListedPort& port : ports) {
        nlohmann::json entry = {{"device", port.info.device},
                                {"name", port.info.name},
                                {"driver", port.info.driver},
                                {"com", port.comNumbers}};
        if (port.info.usb) {
            entry["usb"] = {{"vendor_id", port.info.usb->vendorId},
                            {"product_id", port.info.usb->productId},
                            {"serial", port.info.usb->serial},
                            {"manufacturer", port.info.usb->manufacturer},
                            {"product", port.info.usb->product}};
        }
        if (!port.info.friendlyName.empty()) {
            entry["friendly_name"] = port.info.friendlyName;
        }
        if (!port.info.location.empty()) {
            entry["location"] = port.info.location;
        }
        list.push_back(std::move(entry));
    }
    return list;
}

}  // namespace vandrelux::cli
