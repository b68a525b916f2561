// The window toolkit of the platform the program is built for, so that the program's main needs
// none of its headers.
#pragma once

#include <functional>

#include "toolkit/Dialog.h"

namespace vandrelux::platform {

// Gives the program standard streams to print to before anything is printed: a Windows program
// of the window subsystem started from a console has none of its own (--help, --version and
// unattended runs then print to that console). Nothing to do elsewhere.
void PrepareStandardStreams();

// Prepares the toolkit (application name, icon, the controls it needs) and runs `body` with a
// factory for its dialogs; returns what `body` returns, or 1 without running it when the toolkit
// cannot be prepared. `body` runs its dialogs modally: there is no main loop besides.
int RunWindowApplication(int argc, char** argv, const std::function<int(IDialogFactory&)>& body);

}  // namespace vandrelux::platform
