// What a dialog does the same way whatever toolkit draws it: how commands, the close box and the
// end of a modal run reach the handler, which button Enter clicks, how the status note joins the
// title, where text is inserted into a pane, and what becomes of message boxes when no operator
// is at the window. Each toolkit keeps only the native half of these.
//
// Threading: the window thread only.
#pragma once

#include <cstddef>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "toolkit/Dialog.h"

namespace vandrelux::platform {

// Where ReplaceSelection inserts, per control. It is kept apart from the control's own
// selection, so appending neither scrolls a pane nor disturbs what the operator has selected; a
// line inserted without moving it first (the port-opened line) lands after the last insertion.
class InsertionCarets {
public:
    // Where the next insertion goes in a text of `textLength`: never past its end.
    [[nodiscard]] int InsertionPoint(ControlId id, int textLength) const;
    void MoveTo(ControlId id, int position);
    // The whole text was replaced; a caret beyond the new end moves to it.
    void TextReplaced(ControlId id, int textLength);

private:
    std::map<ControlId, int> m_carets;
};

// With no operator at the window a box becomes one line on `out`, so nothing waits for a click;
// the title comes first when there is one.
void PrintBoxLine(std::FILE* out, std::string_view title, std::string_view text);

class DialogBehaviour {
public:
    // `finish` makes the toolkit's modal loop return with the result; it is called only while a
    // loop runs. Unattended boxes are printed on `boxOut`.
    DialogBehaviour(DialogTemplate dialog, std::function<void(int)> finish,
                    std::FILE* boxOut = stderr);

    [[nodiscard]] const DialogTemplate& Template() const noexcept { return m_template; }

    // Runs the handler's OnInitDialog, then `loop` (the toolkit's modal loop) unless the
    // initialisation ended the dialog; a dialog ended before it is shown is never shown. Returns
    // the result it ended with, IDCANCEL when nothing ended it. Runs may nest.
    int RunModal(IDialogHandler& handler, const std::function<void()>& loop);
    void End(int result);
    [[nodiscard]] bool Ended() const noexcept { return m_endResult.has_value(); }
    [[nodiscard]] IDialogHandler* Handler() const noexcept { return m_handler; }

    // A click, Enter or Esc: the handler first; OK and Cancel that it leaves end the dialog.
    void Command(int id);
    // The close box: unhandled, it ends the dialog with IDCANCEL.
    void Close();
    void Timer(unsigned timerId);
    // True when the handler took the command; the toolkit does its default otherwise.
    [[nodiscard]] bool SysCommand(unsigned command);

    // The command Enter gives: the focused control's when it is a button with an id, else the
    // default button's, else IDOK. `focused` indexes the template's controls.
    [[nodiscard]] int EnterCommand(std::optional<std::size_t> focused) const;

    void SetStatusNote(std::string_view note) { m_note = note; }
    // The template's title, with the status note after a dash when there is one.
    [[nodiscard]] std::string Title() const;

    void SetUnattended(bool unattended) noexcept { m_unattended = unattended; }
    [[nodiscard]] bool Unattended() const noexcept { return m_unattended; }
    // Unattended: prints the box and returns true; the toolkit shows it otherwise.
    [[nodiscard]] bool PrintInsteadOfBox(std::string_view title, std::string_view text) const;

private:
    DialogTemplate m_template;
    std::function<void(int)> m_finish;
    std::FILE* m_boxOut;
    IDialogHandler* m_handler = nullptr;
    bool m_running = false;
    std::optional<int> m_endResult;
    std::string m_note;
    bool m_unattended = false;
};

}  // namespace vandrelux::platform
