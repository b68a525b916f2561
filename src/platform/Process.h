// Facts about the running program that only the operating system knows.
#pragma once

#include <string>

namespace vandrelux::platform {

// The full path of the program's own executable; empty if the system does not say.
[[nodiscard]] std::string ExecutablePath();

// Whether standard error goes to a terminal (a console on Windows), where redrawn progress
// lines make sense.
[[nodiscard]] bool StandardErrorIsTerminal();

}  // namespace vandrelux::platform
