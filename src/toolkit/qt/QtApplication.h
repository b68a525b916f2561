// The application object of the Qt window toolkit, so that no caller needs Qt headers.
#pragma once

#include <functional>

namespace vandrelux::platform {

// Runs `body` with the application object in place (name "Vandrelux", the program icon) and
// returns what it returns. The program has no main loop of its own: `body` runs its dialogs
// modally, so closing the last window does not end anything.
int RunQtApplication(int argc, char** argv, const std::function<int()>& body);

}  // namespace vandrelux::platform
