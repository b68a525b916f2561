// Drives a Qt dialog as an operator would, through real input events: for tests and for tools
// that take pictures of the window. No Qt headers needed.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "toolkit/qt/QtDialog.h"

namespace vandrelux::platform::qtdriver {

enum class Key { Enter, Escape, Tab, Space, AltSpace };

// A mouse click on the control (on a tick box, on its box).
void Click(QtDialogWindow& window, ControlId id);
// A key pressed on whatever has the focus.
void PressKey(QtDialogWindow& window, Key key);
// The close box.
void RequestClose(QtDialogWindow& window);
// A click on the toolbar button of that command; false if there is none.
bool ClickToolbarButton(QtDialogWindow& window, int commandId);
// Choosing the item of that command from the system-menu stand-in; false if there is none.
bool ChooseSystemMenuItem(QtDialogWindow& window, unsigned commandId);
// The control holding the keyboard focus, kNoId when none of the dialog's own does.
[[nodiscard]] ControlId FocusedControl(const QtDialogWindow& window);
// The tool tip and the status text of a toolbar button.
[[nodiscard]] std::optional<std::pair<std::string, std::string>> ToolbarTips(
    const QtDialogWindow& window, int commandId);

// What the IToolkit interface does not read back.
struct ProgressState {
    int lower = 0;
    int upper = 0;
    int pos = 0;
};
[[nodiscard]] ProgressState Progress(const QtDialogWindow& window, ControlId id);
[[nodiscard]] bool IsShown(const QtDialogWindow& window, ControlId id);
[[nodiscard]] bool IsOpen(const QtDialogWindow& window);
[[nodiscard]] std::string Title(const QtDialogWindow& window);

// A message box is up, over whatever dialog runs.
[[nodiscard]] bool MessageBoxIsUp();

// Lets the window thread handle events for that long.
void ProcessEvents(std::chrono::milliseconds duration);

// Runs the dialog modally and, once it is shown and active, `script` inside its loop. A dialog the
// script leaves open is ended with `resultIfStillOpen`. Returns RunModal's result.
int RunScripted(QtDialogWindow& window, IDialogHandler& handler,
                const std::function<void()>& script, int resultIfStillOpen = -1);

struct ModalSeen {
    std::string title;
    std::string text;
    bool critical = false;
    bool fileDialog = false;
};

// The next message box or file dialog that comes up (within a few seconds) is reported to
// `seen` and dismissed; a file dialog is given `fileName` and accepted when one is set.
void DismissNextModal(std::function<void(const ModalSeen&)> seen,
                      std::optional<std::string> fileName = std::nullopt);

}  // namespace vandrelux::platform::qtdriver
