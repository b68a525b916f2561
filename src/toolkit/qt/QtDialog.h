// Dialogs of the Qt Widgets toolkit, built from templates. Only forward declarations of Qt
// types appear here, so callers need no Qt headers.
//
// Threading: a window is made, used and destroyed on the thread that runs the application object
// (the window thread); only SendToWindow and ShowErrorBox may be called from other threads, and
// the window must outlive those calls. Texts are UTF-8.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "toolkit/Dialog.h"

class QDialog;
class QMenu;
class QToolBar;
class QWidget;

namespace vandrelux::platform {

class QtDialogWindow final : public IDialogWindow {
public:
    explicit QtDialogWindow(const DialogTemplate& dialog);
    ~QtDialogWindow() override;
    QtDialogWindow(const QtDialogWindow&) = delete;
    QtDialogWindow& operator=(const QtDialogWindow&) = delete;

    // IToolkit
    [[nodiscard]] std::string GetText(ControlId id) const override;
    void SetText(ControlId id, std::string_view text) override;
    void Enable(ControlId id, bool enable) override;
    [[nodiscard]] bool IsEnabled(ControlId id) const override;
    [[nodiscard]] bool IsChecked(ControlId id) const override;
    void SetChecked(ControlId id, bool checked) override;

    [[nodiscard]] std::vector<ChildWindow> ChildWindowsInZOrder() const override;
    [[nodiscard]] Rect WindowRect() const override;
    void ResizeWindow(int width, int height) override;
    void ShowControl(ControlId id, bool show) override;
    void FocusNextTabStop() override;

    void SetComboItems(ControlId id, const std::vector<std::string>& items) override;
    void SelectComboIndex(ControlId id, int index) override;
    void SelectComboPrefix(ControlId id, std::string_view prefix) override;
    [[nodiscard]] int ComboIndex(ControlId id) const override;

    void SetProgressRange(ControlId id, std::uint16_t lower, std::uint16_t upper) override;
    void SetProgressPos(ControlId id, int pos) override;
    void StepProgress(ControlId id) override;

    void SetReadOnly(ControlId id, bool readOnly) override;
    [[nodiscard]] int TextLength(ControlId id) const override;
    void SetCaretToEnd(ControlId id) override;
    void ReplaceSelection(ControlId id, std::string_view text) override;
    [[nodiscard]] int LineCount(ControlId id) const override;
    [[nodiscard]] int FirstVisibleLine(ControlId id) const override;
    [[nodiscard]] int VisibleLineCount(ControlId id) const override;
    void ScrollLines(ControlId id, int lines) override;

    void StartTimer(unsigned timerId, unsigned periodMs) override;
    void StopTimer(unsigned timerId) override;

    void MessageBox(std::string_view text) override;
    void ErrorBox(std::string_view title, std::string_view text) override;
    [[nodiscard]] std::optional<std::string> OpenFileDialog() override;
    void ConsoleOut(std::string_view text) override;
    [[nodiscard]] std::uint32_t TickCount() const override;
    void Sleep(std::uint32_t ms) override;

    // IDialogWindow
    int RunModal(IDialogHandler& handler) override;
    void EndDialog(int result) override;
    [[nodiscard]] bool CreateToolbar(const ToolbarTemplate& toolbar, int x, int y, int width,
                                     int height) override;
    void AppendSystemMenuItem(unsigned commandId, std::string_view text) override;
    void CenterWindow() override;
    void SetStatusNote(std::string_view note) override;
    void SetUnattended(bool unattended) override;
    [[nodiscard]] bool SaveScreenshot(const std::string& pngPath) override;
    bool SendToWindow(std::function<void()> task, std::stop_token stop) override;
    // A stop releases the sender at once; a box already up stays for the operator.
    void ShowErrorBox(std::string_view title, std::string_view text, std::stop_token stop) override;

    // For tests and tools that drive the window as an operator would.
    [[nodiscard]] QDialog* Widget() const;
    [[nodiscard]] QWidget* ControlWidget(ControlId id) const;
    [[nodiscard]] ControlId ControlIdOf(const QWidget* widget) const;
    [[nodiscard]] QToolBar* Toolbar() const;
    // The stand-in for the system menu (the dialog's context menu); null until an item is added.
    [[nodiscard]] QMenu* SystemMenu() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

class QtDialogFactory final : public IDialogFactory {
public:
    [[nodiscard]] std::unique_ptr<IDialogWindow> CreateDialog(
        const DialogTemplate& dialog) override;
    // The same, with the Qt window's own operations in reach.
    [[nodiscard]] std::unique_ptr<QtDialogWindow> CreateQtDialog(const DialogTemplate& dialog);
};

}  // namespace vandrelux::platform
