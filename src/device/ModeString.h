// The mode-string reader behind BuildLineState, shared by every OS so that a mode string means
// the same everywhere; each OS's BuildLineState only adds its own way of saying "invalid".
#pragma once

#include <string_view>

#include "device/LineState.h"

namespace vandrelux::platform {

// Fills `state` from a mode string; fields the string does not name keep their value. False,
// with `state` untouched, for a string it cannot read.
[[nodiscard]] bool ParseModeString(std::string_view mode, LineState& state);

}  // namespace vandrelux::platform
