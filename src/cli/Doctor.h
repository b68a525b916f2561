// Checks of this machine's serial set-up for one device: may this user open it, does another
// process hold it, and does a USB-serial adapter hold back the box's answers. For a network port:
// does its server answer, what does it agree to, and does it take the line settings. Each
// problem comes with the command that fixes it.
#pragma once

#include <string>
#include <vector>

#include "device/SerialDevice.h"
#include "device/SerialPortInfo.h"

namespace vandrelux::cli {

struct Finding {
    bool ok = true;
    std::string what;              // one sentence about the device
    std::vector<std::string> fix;  // what to do about it, one step a line
};

[[nodiscard]] std::vector<Finding> CheckSerialSetup(const std::string& device,
                                                    const platform::SystemRoots& roots,
                                                    const platform::UserIdentity& user,
                                                    int baudRate, int selfPid);
// As above, for this process.
[[nodiscard]] std::vector<Finding> CheckSerialSetup(const std::string& device,
                                                    const platform::SystemRoots& roots,
                                                    const platform::UserIdentity& user,
                                                    int baudRate);

// What a failed open of the network port `name` says, and what to do about it, without connecting
// a second time.
[[nodiscard]] Finding NetworkOpenFailure(const std::string& name,
                                         const platform::SystemError& error);

// "ok: ..." or "problem: ..." with the fix indented below it.
[[nodiscard]] std::string FormatFinding(const Finding& finding);

}  // namespace vandrelux::cli
