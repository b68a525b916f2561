#include "cli/Doctor.h"

#include <unistd.h>

#include <filesystem>
#include <optional>
#include <set>

#include "device/net/NetworkDevice.h"
#include "device/net/PortUrl.h"
#include "device/net/Socket.h"
#include "os/Format.h"
#include "protocol/Frames.h"
#include "station/Text.h"

namespace vandrelux::cli {

using station::Dump;
using station::Printable;

namespace {

constexpr double kBitsPerByte = 10;  // start, 8 data, stop
constexpr std::uint64_t kLargeImage = 16ULL * 1024 * 1024;

std::string UserName(const platform::UserIdentity& user) {
    return user.name.empty() ? "$USER" : user.name;
}

Finding AccessFinding(const std::string& device, const platform::UserIdentity& user,
                      const platform::DeviceAccess& access) {
    switch (access.verdict) {
        case platform::AccessVerdict::Granted:
            return {true, "you may read and write " + device, {}};
        case platform::AccessVerdict::NoDevice:
            return {false,
                    device + " does not exist",
                    {"plug the adapter in, or name another port (vandrelux-cli --list-ports)"}};
        case platform::AccessVerdict::JoinGroup:
            return {false,
                    UserName(user) + " may not open " + device + ": it is for members of group " +
                        access.group + ", and " + UserName(user) + " is not one",
                    {"sudo usermod -aG " + access.group + " " + UserName(user),
                     "then log out and back in (or run: newgrp " + access.group + ")"}};
        case platform::AccessVerdict::StartNewSession:
            return {false,
                    UserName(user) + " is in group " + access.group +
                        ", but this login session started before joining it",
                    {"log out and back in (or run: newgrp " + access.group + ")"}};
        case platform::AccessVerdict::Denied:
            break;
    }
    return {
        false,
        "only the owner of " + device + " may open it",
        {"sudo chmod 660 " + device + " && sudo chgrp dialout " + device + " (for this session)",
         "to keep it: a udev rule such as KERNEL==\"" +
             std::filesystem::path(device).filename().string() +
             "\", GROUP=\"dialout\", MODE=\"0660\""}};
}

// This program's parents and its process group. The shell that started it may well have the
// device open too (a redirection, or /dev/null everywhere), and ending one's own shell is no
// advice to give.
struct Lineage {
    std::set<int> parents;
    std::optional<int> group;
};

Lineage LineageOf(const platform::SystemRoots& roots, int selfPid) {
    Lineage lineage;
    std::optional<platform::ProcessLink> link = platform::ReadProcessLink(roots, selfPid);
    if (link) {
        lineage.group = link->group;
    }
    while (link && link->parent > 0 && lineage.parents.insert(link->parent).second) {
        link = platform::ReadProcessLink(roots, link->parent);
    }
    return lineage;
}

std::string UncheckedNote(int unchecked) {
    return platform::Format("%d processes of other users could not be checked", unchecked);
}

Finding HolderFinding(const std::string& device, const platform::SystemRoots& roots, int selfPid) {
    const platform::PortHolders found = platform::FindPortHolders(roots, device, selfPid);
    const std::string checkAll =
        "to check every process: sudo vandrelux-cli --doctor --port " + device;
    std::string farEnds;
    for (const platform::PortHolder& holder : found.farEnds) {
        farEnds +=
            platform::Format("%s %s process %d", farEnds.empty() ? "; its other end:" : ",",
                             holder.command.empty() ? "a" : holder.command.c_str(), holder.pid);
    }
    if (found.holders.empty()) {
        if (found.unchecked == 0) {
            return {true, "no other process has " + device + " open" + farEnds, {}};
        }
        return {true,
                "none of the processes that could be checked has " + device + " open; " +
                    UncheckedNote(found.unchecked),
                {checkAll}};
    }
    const Lineage own = LineageOf(roots, selfPid);
    Finding finding{false, device + " is held by", {}};
    std::string pids;
    bool heldByOwn = false;
    for (const platform::PortHolder& holder : found.holders) {
        std::string role;
        if (own.parents.contains(holder.pid)) {
            role = " (a parent of this vandrelux-cli)";
        } else if (const auto link = platform::ReadProcessLink(roots, holder.pid);
                   own.group && link && link->group == *own.group) {
            role = " (in this vandrelux-cli's job)";
        } else {
            pids += " " + std::to_string(holder.pid);
        }
        heldByOwn = heldByOwn || !role.empty();
        finding.what += platform::Format(" %s process %d%s",
                                         holder.command.empty() ? "a" : holder.command.c_str(),
                                         holder.pid, role.c_str());
        finding.what += &holder == &found.holders.back() ? "" : ",";
    }
    if (!pids.empty()) {
        finding.fix.push_back("close that program, or end it: kill" + pids);
    }
    if (heldByOwn) {
        finding.fix.push_back("close " + device +
                              " in the shell or program that started "
                              "vandrelux-cli");
    }
    if (found.unchecked > 0) {
        finding.what += "; " + UncheckedNote(found.unchecked);
        finding.fix.push_back(checkAll);
    }
    return finding;
}

// The time one full data frame spends on the line at `baudRate` (8N1), in milliseconds.
double FrameLineMs(int baudRate) {
    return static_cast<double>(protocol::kMaxFrameSize) * kBitsPerByte * 1000.0 /
           static_cast<double>(baudRate);
}

std::vector<std::string> NetworkFix(const std::string& name, int errorCode) {
    using platform::SocketFailure;
    const std::optional<platform::PortUrl> url = platform::ParsePortUrl(name);
    const std::string host = url ? url->host : "the host";
    const std::string port = url ? url->port : "PORT";
    switch (platform::FailureOf(errorCode).value_or(SocketFailure::Invalid)) {
        case SocketFailure::Unresolved:
            return {"check the name " + host + ", or give the server's address"};
        case SocketFailure::Refused:
            return {"start the server on " + host + " (for ser2net: systemctl start ser2net)",
                    "and check that it accepts on port " + port +
                        " (for ser2net: accepter: telnet(rfc2217),tcp," + port + ")"};
        case SocketFailure::TimedOut:
            return {"check that " + host + " is on and reachable from here",
                    "a slow network may need a longer --connect-timeout"};
        case SocketFailure::Busy:
            return {"end the other client's connection first",
                    "or let a new client take over (for ser2net: kickolduser: true)"};
        default:
            return {"name the port as rfc2217://HOST:PORT or tcp://HOST:PORT"};
    }
}

std::string OnOff(bool out, bool in) {
    return out && in ? "both ways"
           : out     ? "only from us"
           : in      ? "only from the server"
                     : "neither way";
}

// A network port: does the server answer, what does it agree to, does it take the line settings.
std::vector<Finding> CheckNetworkPort(const std::string& name, int baudRate) {
    platform::NetworkDevice device;
    if (!device.Open(name)) {
        return {NetworkOpenFailure(name, platform::LastSystemError())};
    }
    const platform::NetworkReport report = device.Report();
    std::vector<Finding> findings{{true, "the server at " + report.peer + " answers", {}}};
    const char* unseen =
        "USB ids, other holders and latency timers of the server's serial device cannot be "
        "seen from here; run vandrelux-cli --doctor on the server for them";
    if (!report.telnet) {
        findings.push_back({true,
                            "raw TCP: bytes pass as they are, at the line settings of the "
                            "server's own configuration (for ser2net: the connector's, such as "
                            "115200n81)",
                            {}});
        findings.push_back({true, unseen, {}});
        return findings;
    }
    if (!report.comPort) {
        findings.push_back(
            {false,
             "the server did not agree to COM-port control (RFC 2217): line settings cannot "
             "reach its serial port",
             {"use an accepter with it (for ser2net: accepter: telnet(rfc2217),tcp,PORT)",
              "or name the port tcp://HOST:PORT to pass raw bytes"}});
    } else {
        std::string what = "RFC 2217 agreed: binary " + OnOff(report.binaryOut, report.binaryIn) +
                           ", suppress-go-ahead " +
                           OnOff(report.suppressGoAheadOut, report.suppressGoAheadIn);
        if (!report.signature.empty()) {
            what += "; it calls itself \"" + report.signature + "\"";
        }
        if (report.serverLine) {
            const platform::LineState& line = *report.serverLine;
            what += platform::Format("; its line was %d %d-%c-%d", line.baudRate, line.dataBits,
                                     line.parity, line.stopBits);
        }
        findings.push_back({report.binaryOut && report.binaryIn, what,
                            report.binaryOut && report.binaryIn
                                ? std::vector<std::string>{}
                                : std::vector<std::string>{"a server that will not send binary "
                                                           "alters CR and 0xFF in the images"}});
        const platform::LineState wanted{baudRate, 'N', 8, 1, true};
        if (device.SetLineState(wanted)) {
            findings.push_back(
                {true, platform::Format("it takes %d 8-N-1 without flow control", baudRate), {}});
        } else {
            findings.push_back({false,
                                platform::LastSystemError().message,
                                {"check the speeds the server's serial device supports"}});
        }
    }
    findings.push_back({true, unseen, {}});
    return findings;
}

}  // namespace

Finding NetworkOpenFailure(const std::string& name, const platform::SystemError& error) {
    return {false, "cannot open " + name + ": " + error.message, NetworkFix(name, error.code)};
}

std::vector<Finding> CheckSerialSetup(const std::string& device, const platform::SystemRoots& roots,
                                      const platform::UserIdentity& user, int baudRate,
                                      int selfPid) {
    if (platform::IsNetworkPortName(device)) {
        return CheckNetworkPort(device, baudRate);
    }
    const platform::DeviceAccess access = platform::CheckDeviceAccess(device, user);
    std::vector<Finding> findings{AccessFinding(device, user, access)};
    if (access.verdict == platform::AccessVerdict::NoDevice) {
        return findings;
    }
    // Everybody holds /dev/null: naming them all, and how to end them, would only mislead.
    if (const std::optional<std::string> kind = platform::CharacterDeviceClass(roots, device);
        kind && *kind != "tty") {
        findings.push_back({false,
                            device + " is not a serial line (a " + *kind + " device)",
                            {"name a serial device; vandrelux-cli --list-ports lists them"}});
        return findings;
    }
    findings.push_back(HolderFinding(device, roots, selfPid));

    std::error_code ec;
    const std::filesystem::path resolved = std::filesystem::canonical(device, ec);
    const std::string name = (ec ? std::filesystem::path(device) : resolved).filename().string();
    const std::optional<int> latency = platform::ReadLatencyTimer(roots, name);
    if (!latency) {
        return findings;
    }
    const std::string path = platform::LatencyTimerPath(roots, name);
    if (*latency <= 1) {
        findings.push_back(
            {true, platform::Format("the adapter's latency timer is %d ms", *latency), {}});
        return findings;
    }
    const double frameMs = FrameLineMs(baudRate);
    const double frames = static_cast<double>(kLargeImage) / protocol::kMaxPayload;
    findings.push_back(
        {false,
         platform::Format("the adapter's latency timer is %d ms: each answer of the box may wait "
                          "that long in the adapter, up to %d ms on every %.1f ms data frame at "
                          "%d baud (%.0f %% slower), %.0f s more for a 16 MiB image",
                          *latency, *latency, frameMs, baudRate, *latency * 100.0 / frameMs,
                          *latency * frames / 1000.0),
         {"as root: echo 1 > " + path,
          "to keep it: a udev rule in /etc/udev/rules.d/99-usb-serial-latency.rules:",
          "  ACTION==\"add\", SUBSYSTEM==\"usb-serial\", ATTR{latency_timer}=\"1\""}});
    return findings;
}

std::vector<Finding> CheckSerialSetup(const std::string& device, const platform::SystemRoots& roots,
                                      const platform::UserIdentity& user, int baudRate) {
    return CheckSerialSetup(device, roots, user, baudRate, static_cast<int>(::getpid()));
}

std::string FormatFinding(const Finding& finding) {
    // Process names and device paths are anybody's to choose.
    std::string text = (finding.ok ? "ok: " : "problem: ") + Printable(finding.what);
    for (const std::string& step : finding.fix) {
        text += "\n    " + Printable(step);
    }
    return text;
}

}  // namespace vandrelux::cli
