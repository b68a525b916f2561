#include "toolkit/fake/FakeDialog.h"

#include <utility>

namespace vandrelux::platform {

FakeDialogWindow::FakeDialogWindow(DialogTemplate dialog) : dialogTemplate(std::move(dialog)) {
    // One pixel per dialog unit, the window at the origin.
    std::vector<ChildWindow> children;
    for (const ControlTemplate& control : dialogTemplate.controls) {
        children.push_back({control.id, Rect{control.x, control.y, control.x + control.cx,
                                             control.y + control.cy}});
    }
    SetChildWindows(std::move(children));
    SetWindowRect(Rect{0, 0, dialogTemplate.cx, dialogTemplate.cy});
    for (const ControlTemplate& control : dialogTemplate.controls) {
        if (control.id == kNoId) {
            continue;
        }
        if (!control.items.empty()) {
            SetComboItems(control.id, control.items);
        } else {
            SetText(control.id, control.text);
        }
    }
}

int FakeDialogWindow::RunModal(IDialogHandler& handler) {
    m_result.reset();
    handler.OnInitDialog();
    if (whileModal) {
        whileModal(handler, *this);
    }
    return m_result.value_or(IDCANCEL);
}

bool FakeDialogWindow::CreateToolbar(const ToolbarTemplate& toolbar, int, int, int, int) {
    if (toolbarFails) {
        return false;
    }
    for (const ToolbarButton& b : toolbar.buttons) {
        toolbarCommands.push_back(b.commandId);
    }
    return true;
}

void FakeDialogWindow::AppendSystemMenuItem(unsigned commandId, std::string_view text) {
    systemMenu.emplace_back(commandId, std::string(text));
}

bool FakeDialogWindow::SendToWindow(std::function<void()> task, std::stop_token stop) {
    if (stop.stop_requested()) {
        return false;
    }
    task();
    return true;
}

void FakeDialogWindow::ShowErrorBox(std::string_view title, std::string_view text,
                                    std::stop_token /*stop*/) {
    ErrorBox(title, text);
}

std::unique_ptr<IDialogWindow> FakeDialogFactory::CreateDialog(const DialogTemplate& dialog) {
    auto window = std::make_unique<FakeDialogWindow>(dialog);
    made.push_back(window.get());
    if (onCreate) {
        onCreate(*window);
    }
    return window;
}

}  // namespace vandrelux::platform
