// Windows tells a console program of no port coming or going without a window to receive the
// news, so the station looks at the system's list of COM ports each time it polls.
#include "station/DeviceWatch.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <set>

#include "station/ComPortMatch.h"

namespace vandrelux::station {

namespace {

constexpr std::string_view kDeviceNamespace = "\\\\.\\";

}  // namespace

struct CDeviceWatch::Impl {
    std::vector<std::string> globs;
    // Every device a glob took: a port matched by its friendly name still counts as watched
    // once its adapter is gone and the name with it.
    std::set<std::string> taken;
};

CDeviceWatch::CDeviceWatch(std::vector<std::string> globs) : m_impl(std::make_unique<Impl>()) {
    m_impl->globs = std::move(globs);
}

CDeviceWatch::~CDeviceWatch() = default;

int CDeviceWatch::Descriptor() const noexcept {
    return -1;
}

bool CDeviceWatch::TakeEvents() {
    return false;
}

bool CDeviceWatch::NeedsPolling() const noexcept {
    return true;
}

void CDeviceWatch::Rewatch() {}

std::vector<std::string> CDeviceWatch::Scan() {
    std::vector<std::string> found = MatchComPorts(m_impl->globs, platform::ListSerialPorts());
    m_impl->taken.insert(found.begin(), found.end());
    return found;
}

bool CDeviceWatch::Matches(const std::string& device) const {
    if (m_impl->taken.count(device) > 0) {
        return true;
    }
    platform::SerialPortInfo port;
    port.device = device;
    port.name =
        device.rfind(kDeviceNamespace, 0) == 0 ? device.substr(kDeviceNamespace.size()) : device;
    return !MatchComPorts(m_impl->globs, {port}).empty();
}

bool CDeviceWatch::IsDevice(const std::string& path) {
    const std::string name =
        path.rfind(kDeviceNamespace, 0) == 0 ? path.substr(kDeviceNamespace.size()) : path;
    std::array<char, 1024> target{};
    return ::QueryDosDeviceA(name.c_str(), target.data(), static_cast<DWORD>(target.size())) != 0;
}

}  // namespace vandrelux::station
