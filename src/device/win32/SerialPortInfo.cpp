// What Windows says about its serial ports. The system names COM ports itself, so the list is
// the COM names that lead somewhere, with the name and place the device manager shows for each
// where it has one; there is no latency timer to read and no group to join.
#include "device/SerialPortInfo.h"

// clang-format off
#include <windows.h>
#include <devguid.h>
#include <setupapi.h>
// clang-format on

#include <array>
#include <map>
#include <string>

namespace vandrelux::platform {

namespace {

struct PortDescription {
    std::string friendlyName;
    std::string location;
};

std::string RegistryText(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property) {
    std::array<char, 512> text{};
    DWORD type = 0;
    if (!::SetupDiGetDeviceRegistryPropertyA(set, &device, property, &type,
                                             reinterpret_cast<BYTE*>(text.data()),
                                             static_cast<DWORD>(text.size() - 1), nullptr) ||
        type != REG_SZ) {
        return {};
    }
    return text.data();
}

// The device manager's entries of the Ports class, by the COM name each was given.
std::map<std::string, PortDescription> DescribePorts() {
    std::map<std::string, PortDescription> described;
    const HDEVINFO set =
        ::SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) {
        return described;
    }
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; ::SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        const HKEY key =
            ::SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) {
            continue;
        }
        std::array<char, 64> portName{};
        DWORD size = static_cast<DWORD>(portName.size() - 1);
        DWORD type = 0;
        const LSTATUS read = ::RegQueryValueExA(key, "PortName", nullptr, &type,
                                                reinterpret_cast<BYTE*>(portName.data()), &size);
        ::RegCloseKey(key);
        if (read == ERROR_SUCCESS && type == REG_SZ) {
            described[portName.data()] = {RegistryText(set, device, SPDRP_FRIENDLYNAME),
                                          RegistryText(set, device, SPDRP_LOCATION_INFORMATION)};
        }
    }
    ::SetupDiDestroyDeviceInfoList(set);
    return described;
}

}  // namespace

std::vector<SerialPortInfo> ListSerialPorts(const SystemRoots& /*roots*/) {
    const std::map<std::string, PortDescription> described = DescribePorts();
    std::vector<SerialPortInfo> ports;
    std::array<char, 1024> target{};
    for (int n = 1; n <= 255; ++n) {
        const std::string name = "COM" + std::to_string(n);
        if (::QueryDosDeviceA(name.c_str(), target.data(), static_cast<DWORD>(target.size())) ==
            0) {
            continue;
        }
        SerialPortInfo info;
        info.name = name;
        info.device = "\\\\.\\" + name;
        info.driver = target.data();  // the driver's own device, such as \Device\Serial0
        if (const auto found = described.find(name); found != described.end()) {
            info.friendlyName = found->second.friendlyName;
            info.location = found->second.location;
        }
        ports.push_back(std::move(info));
    }
    return ports;
}

std::optional<int> ReadLatencyTimer(const SystemRoots& /*roots*/, std::string_view /*name*/) {
    return std::nullopt;
}

std::string LatencyTimerPath(const SystemRoots& /*roots*/, std::string_view /*name*/) {
    return {};
}

PortHolders FindPortHolders(const SystemRoots& /*roots*/, const std::string& /*device*/,
                            int /*selfPid*/) {
    return {};
}

std::optional<std::string> CharacterDeviceClass(const SystemRoots& /*roots*/,
                                                const std::string& /*device*/) {
    return std::nullopt;
}

std::optional<ProcessLink> ReadProcessLink(const SystemRoots& /*roots*/, int /*pid*/) {
    return std::nullopt;
}

UserIdentity CurrentUser() {
    return {};
}

DeviceAccess CheckDeviceAccess(const std::string& device, const UserIdentity& /*user*/) {
    const HANDLE handle = ::CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        ::CloseHandle(handle);
        return {AccessVerdict::Granted, {}};
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        return {AccessVerdict::NoDevice, {}};
    }
    return {AccessVerdict::Denied, {}};
}

}  // namespace vandrelux::platform
