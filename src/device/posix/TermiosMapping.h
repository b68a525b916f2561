// How a LineState maps onto termios, kept apart from the device so the whole table can be tested
// without a port that honours every format (a pseudo-terminal forces 8 bits without parity).
#pragma once

#include <termios.h>

#include <optional>

#include "device/SerialDevice.h"

namespace vandrelux::platform::posix {

// The termios speed constant for a baud rate; nothing for a rate the system has no constant for.
[[nodiscard]] std::optional<speed_t> SpeedConstant(int baudRate);
// The baud rate of a speed constant; 0 for a speed outside the table.
[[nodiscard]] int BaudRateOf(speed_t speed);

// Turns `settings` into raw 8-bit-clean settings with the speed and framing of `state`, without
// flow control. False, with `settings` untouched, when the speed or framing is unsupported. RTS
// is not part of termios and is ignored.
[[nodiscard]] bool ApplyLineFormat(const LineState& state, termios& settings);
// Speed and framing of `settings`; rtsEnabled is false.
[[nodiscard]] LineState LineFormatOf(const termios& settings);

}  // namespace vandrelux::platform::posix
