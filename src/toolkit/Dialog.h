// Dialogs built from templates kept as data. A dialog window is a toolkit whose control
// operations address that dialog's own controls, so two dialogs may use the same ids.
//
// Threading: everything on the window thread, except SendToWindow and ShowErrorBox.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "toolkit/Toolkit.h"

namespace vandrelux::platform {

inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr ControlId kNoId = -1;

enum class ControlKind {
    PushButton,
    DefaultButton,
    CheckBox,
    Edit,          // single line, bordered, scrolls horizontally
    ReadOnlyEdit,  // bordered, read-only
    RichEdit,      // multi-line, read-only, bordered, vertical scroll bar
    Frame,         // sunken black frame, never shown
    GroupBox,
    Label,       // static text, left-aligned
    LabelRight,  // static text, right-aligned
    ProgressBar,
    DropList,  // combo box, choose from the list only
    DropDown,  // combo box, the operator may type
    Icon,      // the program icon
};

// Rectangles are in dialog units: x, y, width, height (for combo boxes the height is the height
// of the open list).
struct ControlTemplate {
    ControlId id = kNoId;
    ControlKind kind = ControlKind::Label;
    std::string text;
    int x = 0;
    int y = 0;
    int cx = 0;
    int cy = 0;
    std::vector<std::string> items;  // a combo box's initial list
    bool uppercase = false;          // combo box shows its text in capitals
    bool sorted = false;             // combo box keeps its list sorted
};

struct DialogTemplate {
    int id = 0;
    std::string title;
    int cx = 0;
    int cy = 0;
    std::string fontFace = "Verdana";
    int pointSize = 7;
    bool minimizeBox = false;
    std::vector<ControlTemplate> controls;  // in tab order
};

struct ToolbarButton {
    int commandId = 0;  // 0 is a separator
    std::string statusText;
    std::string toolTip;
    int image = -1;  // its picture in the toolbar's strip; none: the button shows its tip word
};

struct ToolbarTemplate {
    int id = 0;
    int buttonWidth = 34;  // pixels
    int buttonHeight = 19;
    // The buttons' pictures side by side in one PNG, each imageWidth x imageHeight pixels.
    std::span<const std::uint8_t> imageStrip;
    int imageWidth = 0;
    int imageHeight = 0;
    std::vector<ToolbarButton> buttons;
};

// What a dialog's logic answers. Every call comes on the window thread.
class IDialogHandler {
public:
    virtual ~IDialogHandler() = default;

    virtual void OnInitDialog() {}
    // A click on a button or tick box, a toolbar command, Enter (IDOK) or Esc (IDCANCEL).
    // Unhandled, IDOK and IDCANCEL end the dialog with that result.
    [[nodiscard]] virtual bool OnCommand(int /*id*/) { return false; }
    virtual void OnTimer(unsigned /*timerId*/) {}
    // The close box or Alt+F4. Unhandled, it ends the dialog with IDCANCEL.
    [[nodiscard]] virtual bool OnClose() { return false; }
    // A system-menu command. Unhandled, the toolkit does its default.
    [[nodiscard]] virtual bool OnSysCommand(unsigned /*command*/) { return false; }
};

class IDialogWindow : public virtual IToolkit {
public:
    // Shows the dialog modally: the handler's OnInitDialog runs first, then its events until
    // EndDialog. Returns the result EndDialog gave.
    virtual int RunModal(IDialogHandler& handler) = 0;
    virtual void EndDialog(int result) = 0;

    // A toolbar across the dialog at (x, y) with the given pixel size; false if it cannot be
    // made.
    [[nodiscard]] virtual bool CreateToolbar(const ToolbarTemplate& toolbar, int x, int y,
                                             int width, int height) = 0;
    virtual void AppendSystemMenuItem(unsigned commandId, std::string_view text) = 0;
    virtual void CenterWindow() = 0;
    // Shown next to the title, for what the operator must know (the device behind COM1).
    virtual void SetStatusNote(std::string_view note) = 0;
    // With no operator at the window: message boxes become lines on standard error and file
    // dialogs are cancelled, so nothing waits for a click.
    virtual void SetUnattended(bool unattended) = 0;
    // The window as it looks now, as a PNG file.
    [[nodiscard]] virtual bool SaveScreenshot(const std::string& pngPath) = 0;

    // Any thread: runs `task` on the window thread and waits until it ran. Returns false,
    // without running it, when `stop` is requested first.
    virtual bool SendToWindow(std::function<void()> task, std::stop_token stop) = 0;
    // Any thread: the owner-less box with a title and the stop icon; returns once dismissed,
    // or when `stop` is requested first.
    virtual void ShowErrorBox(std::string_view title, std::string_view text,
                              std::stop_token stop) = 0;
};

class IDialogFactory {
public:
    virtual ~IDialogFactory() = default;

    [[nodiscard]] virtual std::unique_ptr<IDialogWindow> CreateDialog(
        const DialogTemplate& dialog) = 0;
};

}  // namespace vandrelux::platform
