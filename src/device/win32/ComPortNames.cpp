#include "device/ComPortNames.h"

namespace vandrelux::platform {

// The device namespace prefix lets COM10 and above open too.
std::string SystemComDevice(int n) {
    return "\\\\.\\COM" + std::to_string(n);
}

std::vector<std::string> ListUsbSerialAdapters(const std::string&) {
    return {};
}

}  // namespace vandrelux::platform
