// Waiting for bytes from the far end of a line to reach a serial device's input queue: they
// pass through the system's buffers (a kernel's, a relay's) and do not arrive at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <thread>

#include "device/SerialDevice.h"

namespace vandrelux::platform {

inline bool WaitForInQueue(SerialDevice& device, std::uint32_t count,
                           std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    QueueStatus status;
    while (std::chrono::steady_clock::now() < deadline) {
        if (device.GetStatus(status) && status.inQueue >= count) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

}  // namespace vandrelux::platform
