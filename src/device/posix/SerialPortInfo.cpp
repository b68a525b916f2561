#include "device/SerialPortInfo.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

namespace vandrelux::platform {
namespace {

namespace fs = std::filesystem;

// The first line of a sysfs attribute, without its newline; empty when unreadable.
std::string ReadAttribute(const fs::path& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())) != 0) {
        line.pop_back();
    }
    return line;
}

bool IsWithin(const fs::path& path, const fs::path& root) {
    const auto [rootEnd, pathAt] =
        std::mismatch(root.begin(), root.end(), path.begin(), path.end());
    return rootEnd == root.end();
}

// The driver bound to a device folder; the serial core's own port devices stand between a
// UART and its real driver, so they are looked through.
std::string DriverOf(const fs::path& device, const fs::path& sysRoot) {
    std::error_code ec;
    for (fs::path dir = device; IsWithin(dir, sysRoot) && dir != sysRoot; dir = dir.parent_path()) {
        const fs::path driver = fs::canonical(dir / "driver", ec);
        if (ec) {
            ec.clear();
            continue;
        }
        if (driver.parent_path().parent_path().filename() != "serial-base") {
            return driver.filename().string();
        }
    }
    return {};
}

std::optional<UsbAdapterInfo> UsbAdapterOf(const fs::path& device, const fs::path& sysRoot) {
    std::error_code ec;
    for (fs::path dir = device; IsWithin(dir, sysRoot) && dir != sysRoot; dir = dir.parent_path()) {
        if (fs::exists(dir / "idVendor", ec)) {
            return UsbAdapterInfo{ReadAttribute(dir / "idVendor"), ReadAttribute(dir / "idProduct"),
                                  ReadAttribute(dir / "serial"),
                                  ReadAttribute(dir / "manufacturer"),
                                  ReadAttribute(dir / "product")};
        }
    }
    return std::nullopt;
}

bool AllDigits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char ch) {
        return std::isdigit(static_cast<unsigned char>(ch)) != 0;
    });
}

bool Contains(const std::vector<unsigned>& values, unsigned value) {
    return std::find(values.begin(), values.end(), value) != values.end();
}

std::string GroupName(unsigned gid) {
    std::array<char, 4096> buffer{};
    group entry{};
    group* found = nullptr;
    if (::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
        return found->gr_name;
    }
    return std::to_string(gid);
}

}  // namespace

std::vector<SerialPortInfo> ListSerialPorts(const SystemRoots& roots) {
    std::error_code ec;
    const fs::path sysRoot = fs::canonical(roots.sys, ec);
    if (ec) {
        return {};
    }
    std::vector<SerialPortInfo> ports;
    for (fs::directory_iterator it(sysRoot / "class" / "tty", ec), end; !ec && it != end;
         it.increment(ec)) {
        const fs::path entry = it->path();
        std::error_code linkError;
        const fs::path device = fs::canonical(entry / "device", linkError);
        if (linkError) {
            continue;  // virtual terminals and pseudo-terminals have no device behind them
        }
        if (fs::exists(entry / "type", linkError) && ReadAttribute(entry / "type") == "0") {
            continue;
        }
        const std::string name = entry.filename().string();
        ports.push_back({name,
                         (fs::path(roots.dev) / name).string(),
                         DriverOf(device, sysRoot),
                         UsbAdapterOf(device, sysRoot),
                         {},
                         {}});
    }
    std::sort(ports.begin(), ports.end(),
              [](const SerialPortInfo& a, const SerialPortInfo& b) { return a.name < b.name; });
    return ports;
}

std::string LatencyTimerPath(const SystemRoots& roots, std::string_view name) {
    return (fs::path(roots.sys) / "bus" / "usb-serial" / "devices" / name / "latency_timer")
        .string();
}

std::optional<int> ReadLatencyTimer(const SystemRoots& roots, std::string_view name) {
    const std::string text = ReadAttribute(LatencyTimerPath(roots, name));
    int ms = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), ms);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return ms;
}

std::optional<std::string> CharacterDeviceClass(const SystemRoots& roots,
                                                const std::string& device) {
    struct stat info {};
    if (::stat(device.c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) {
        return std::nullopt;
    }
    const unsigned major = ::major(info.st_rdev);
    // Unix98 pseudo-terminals have no entry of their own in sysfs.
    constexpr unsigned kFirstPtyMajor = 136;
    constexpr unsigned kLastPtyMajor = 143;
    if (major >= kFirstPtyMajor && major <= kLastPtyMajor) {
        return "tty";
    }
    std::error_code ec;
    const fs::path subsystem = fs::read_symlink(
        fs::path(roots.sys) / "dev" / "char" /
            (std::to_string(major) + ":" + std::to_string(::minor(info.st_rdev))) / "subsystem",
        ec);
    if (ec) {
        return std::nullopt;
    }
    return subsystem.filename().string();
}

namespace {

// The index of a pseudo-terminal such as /dev/pts/7; nothing for any other device.
std::optional<int> PtyIndex(const fs::path& device) {
    const std::string name = device.filename().string();
    int index = 0;
    if (device.parent_path().filename() != "pts" || !AllDigits(name) ||
        std::from_chars(name.data(), name.data() + name.size(), index).ec != std::errc()) {
        return std::nullopt;
    }
    return index;
}

// Whether the open file `fd` of a process is the master side of pseudo-terminal `index`.
bool IsPtyMaster(const fs::path& fd, const fs::path& target, int index) {
    if (target.filename() != "ptmx") {
        return false;
    }
    std::ifstream info(fd.parent_path().parent_path() / "fdinfo" / fd.filename());
    for (std::string line; std::getline(info, line);) {
        if (line.rfind("tty-index:", 0) == 0) {
            return std::stoi(line.substr(line.find(':') + 1)) == index;
        }
    }
    return false;
}

}  // namespace

PortHolders FindPortHolders(const SystemRoots& roots, const std::string& device, int selfPid) {
    std::error_code ec;
    const fs::path wanted = fs::path(device).lexically_normal();
    const fs::path resolved = fs::canonical(device, ec);
    const std::optional<int> ptyIndex = PtyIndex(resolved.empty() ? wanted : resolved);
    PortHolders found;
    for (fs::directory_iterator it(roots.proc, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string pid = it->path().filename().string();
        if (!AllDigits(pid) || pid == std::to_string(selfPid)) {
            continue;
        }
        std::error_code fdError;
        fs::directory_iterator fd(it->path() / "fd", fdError);
        if (fdError == std::errc::permission_denied) {
            ++found.unchecked;
            continue;
        }
        bool holds = false;
        bool farEnd = false;
        for (const fs::directory_iterator fdEnd; !fdError && fd != fdEnd; fd.increment(fdError)) {
            std::error_code linkError;
            const fs::path target = fs::read_symlink(fd->path(), linkError).lexically_normal();
            if (linkError) {
                continue;
            }
            holds = holds || target == wanted || (!resolved.empty() && target == resolved);
            farEnd = farEnd || (ptyIndex && IsPtyMaster(fd->path(), target, *ptyIndex));
        }
        if (holds) {
            int number = 0;
            std::from_chars(pid.data(), pid.data() + pid.size(), number);
            (farEnd ? found.farEnds : found.holders)
                .push_back({number, ReadAttribute(it->path() / "comm")});
        }
    }
    for (std::vector<PortHolder>* list : {&found.holders, &found.farEnds}) {
        std::sort(list->begin(), list->end(),
                  [](const PortHolder& a, const PortHolder& b) { return a.pid < b.pid; });
    }
    return found;
}

std::optional<ProcessLink> ReadProcessLink(const SystemRoots& roots, int pid) {
    // "pid (comm) state ppid pgrp ...": the name may hold spaces and parentheses itself.
    const std::string stat = ReadAttribute(fs::path(roots.proc) / std::to_string(pid) / "stat");
    const std::size_t nameEnd = stat.rfind(')');
    if (nameEnd == std::string::npos) {
        return std::nullopt;
    }
    std::istringstream fields(stat.substr(nameEnd + 1));
    std::string state;
    ProcessLink link;
    if (!(fields >> state >> link.parent >> link.group)) {
        return std::nullopt;
    }
    return link;
}

UserIdentity CurrentUser() {
    UserIdentity user;
    user.uid = ::getuid();
    std::array<char, 4096> buffer{};
    passwd entry{};
    passwd* found = nullptr;
    gid_t primary = ::getgid();
    if (::getpwuid_r(user.uid, &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr) {
        user.name = found->pw_name;
        primary = found->pw_gid;
    }
    const int count = ::getgroups(0, nullptr);
    std::vector<gid_t> groups(static_cast<std::size_t>(std::max(count, 0)));
    if (count > 0 && ::getgroups(count, groups.data()) == count) {
        user.sessionGroups.assign(groups.begin(), groups.end());
    }
    user.sessionGroups.push_back(::getegid());
    if (!user.name.empty()) {
        int configured = 64;
        std::vector<gid_t> list(static_cast<std::size_t>(configured));
        if (::getgrouplist(user.name.c_str(), primary, list.data(), &configured) < 0) {
            list.resize(static_cast<std::size_t>(configured));
            ::getgrouplist(user.name.c_str(), primary, list.data(), &configured);
        }
        list.resize(static_cast<std::size_t>(std::max(configured, 0)));
        user.configuredGroups.assign(list.begin(), list.end());
    }
    return user;
}

DeviceAccess CheckDeviceAccess(const std::string& device, const UserIdentity& user) {
    struct stat info {};
    if (::stat(device.c_str(), &info) != 0) {
        return {AccessVerdict::NoDevice, {}};
    }
    DeviceAccess access{AccessVerdict::Denied, GroupName(info.st_gid)};
    constexpr mode_t kOwnerRw = S_IRUSR | S_IWUSR;
    constexpr mode_t kGroupRw = S_IRGRP | S_IWGRP;
    constexpr mode_t kOtherRw = S_IROTH | S_IWOTH;
    if (user.uid == 0 || (info.st_uid == user.uid && (info.st_mode & kOwnerRw) == kOwnerRw) ||
        (info.st_mode & kOtherRw) == kOtherRw) {
        access.verdict = AccessVerdict::Granted;
    } else if ((info.st_mode & kGroupRw) == kGroupRw) {
        if (Contains(user.sessionGroups, info.st_gid)) {
            access.verdict = AccessVerdict::Granted;
        } else if (Contains(user.configuredGroups, info.st_gid)) {
            access.verdict = AccessVerdict::StartNewSession;
        } else {
            access.verdict = AccessVerdict::JoinGroup;
        }
    }
    return access;
}

}  // namespace vandrelux::platform
