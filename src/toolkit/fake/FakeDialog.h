// Dialog windows for tests: a fake toolkit per dialog, built from the template's lists, whose
// modal run initialises the dialog and returns at once unless the test scripted its steps.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "toolkit/Dialog.h"
#include "toolkit/fake/FakeToolkit.h"

namespace vandrelux::platform {

class FakeDialogWindow final : public FakeToolkit, public IDialogWindow {
public:
    explicit FakeDialogWindow(DialogTemplate dialog);

    // Runs OnInitDialog, then `whileModal` (if set), and returns what EndDialog gave
    // (IDCANCEL when nothing ended it).
    int RunModal(IDialogHandler& handler) override;
    void EndDialog(int result) override { m_result = result; }
    [[nodiscard]] bool CreateToolbar(const ToolbarTemplate& toolbar, int, int, int, int) override;
    void AppendSystemMenuItem(unsigned commandId, std::string_view text) override;
    void CenterWindow() override { centred = true; }
    void SetStatusNote(std::string_view note) override { statusNote = note; }
    void SetUnattended(bool value) override { unattended = value; }
    [[nodiscard]] bool SaveScreenshot(const std::string& pngPath) override {
        screenshots.push_back(pngPath);
        return true;
    }
    bool SendToWindow(std::function<void()> task, std::stop_token stop) override;
    void ShowErrorBox(std::string_view title, std::string_view text, std::stop_token stop) override;

    const DialogTemplate dialogTemplate;
    std::function<void(IDialogHandler&, FakeDialogWindow&)> whileModal;
    std::vector<int> toolbarCommands;
    bool toolbarFails = false;
    std::vector<std::pair<unsigned, std::string>> systemMenu;
    bool centred = false;
    std::string statusNote;
    bool unattended = false;
    std::vector<std::string> screenshots;

private:
    std::optional<int> m_result;
};

class FakeDialogFactory final : public IDialogFactory {
public:
    [[nodiscard]] std::unique_ptr<IDialogWindow> CreateDialog(
        const DialogTemplate& dialog) override;

    // Called with every window made, before it is used; lets a test script it.
    std::function<void(FakeDialogWindow&)> onCreate;
    // Every window made, in order; valid only while its owner keeps it.
    std::vector<FakeDialogWindow*> made;
};

}  // namespace vandrelux::platform
