// What Windows says about its serial ports. The system names COM ports itself, so the list is
// the COM names that lead somewhere; there is no latency timer to read and no group to join.
#include "device/SerialPortInfo.h"

#include <windows.h>

#include <array>
#include <string>

namespace vandrelux::platform {

std::vector<SerialPortInfo> ListSerialPorts(const SystemRoots& /*roots*/) {
    std::vector<SerialPortInfo> ports;
    std::array<char, 1024> target{};
    for (int n = 1; n <= 255; ++n) {
        const std::string name = "COM" + std::to_string(n);
        if (::QueryDosDeviceA(name.c_str(), target.data(), static_cast<DWORD>(target.size())) !=
            0) {
            // The driver's own device, such as \Device\Serial0 or \Device\VCP0.
            ports.push_back(SerialPortInfo{name, "\\\\.\\" + name, target.data(), std::nullopt});
        }
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
