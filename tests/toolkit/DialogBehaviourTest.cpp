#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "toolkit/DialogBehaviour.h"
#include "toolkit/fake/FakeToolkit.h"

namespace vandrelux::platform {
namespace {

class Handler final : public IDialogHandler {
public:
    void OnInitDialog() override {
        if (onInit) {
            onInit();
        }
    }
    bool OnCommand(int id) override {
        commands.push_back(id);
        return handled.contains(id);
    }
    void OnTimer(unsigned timerId) override { ticks.push_back(timerId); }
    bool OnClose() override {
        ++closes;
        return closeHandled;
    }
    bool OnSysCommand(unsigned command) override { return command == 0x0010; }

    std::function<void()> onInit;
    std::set<int> handled;
    bool closeHandled = false;
    std::vector<int> commands;
    std::vector<unsigned> ticks;
    int closes = 0;
};

ControlTemplate Control(ControlId id, ControlKind kind) {
    ControlTemplate c;
    c.id = id;
    c.kind = kind;
    return c;
}

DialogTemplate Buttons(std::vector<ControlTemplate> controls) {
    DialogTemplate t;
    t.title = "Port Settings";
    t.controls = std::move(controls);
    return t;
}

// A dialog whose modal loop is the script: `finish` counts the loop's exits it was asked for.
class Behaviour : public ::testing::Test {
protected:
    int m_finishes = 0;
    DialogBehaviour m_dialog{Buttons({}), [this](int) { ++m_finishes; }};
    Handler m_handler;
};

TEST_F(Behaviour, Commands_UnhandledOkAndCancelEndTheRun_OthersAndHandledOnesDoNot) {
    m_handler.handled = {IDOK};
    const int result = m_dialog.RunModal(m_handler, [&] {
        m_dialog.Command(IDOK);  // Enter swallowed by the handler
        m_dialog.Command(1015);  // a tick box nobody handles
        EXPECT_FALSE(m_dialog.Ended());
        m_dialog.Command(IDCANCEL);
    });
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_EQ(m_handler.commands, (std::vector<int>{IDOK, 1015, IDCANCEL}));
    EXPECT_EQ(m_finishes, 1);

    m_handler.handled.clear();
    EXPECT_EQ(m_dialog.RunModal(m_handler, [&] { m_dialog.Command(IDOK); }), IDOK);
}

TEST_F(Behaviour, CloseBox_HandledKeepsTheRun_UnhandledEndsItWithCancel) {
    const int result = m_dialog.RunModal(m_handler, [&] {
        m_handler.closeHandled = true;
        m_dialog.Close();
        EXPECT_FALSE(m_dialog.Ended());
        m_handler.closeHandled = false;
        m_dialog.Close();
    });
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_EQ(m_handler.closes, 2);
}

TEST_F(Behaviour, RunModal_EndedDuringInit_NeverRunsTheLoopNorAsksItToFinish) {
    m_handler.onInit = [&] { m_dialog.End(IDOK); };
    bool looped = false;
    EXPECT_EQ(m_dialog.RunModal(m_handler, [&] { looped = true; }), IDOK);
    EXPECT_FALSE(looped);
    EXPECT_EQ(m_finishes, 0);

    // Nothing ended the next run: Cancel, not the result of the one before.
    m_handler.onInit = nullptr;
    EXPECT_EQ(m_dialog.RunModal(m_handler, [] {}), IDCANCEL);
}

TEST_F(Behaviour, RunModal_RoutesToThisRunsHandler_AndGivesTheOuterOneBack) {
    Handler inner;
    m_dialog.RunModal(m_handler, [&] {
        m_dialog.RunModal(inner, [&] {
            m_dialog.Timer(1);
            m_dialog.End(IDOK);
        });
        m_dialog.Timer(2);
        EXPECT_TRUE(m_dialog.SysCommand(0x0010));
        EXPECT_FALSE(m_dialog.SysCommand(0xF060));
    });
    EXPECT_EQ(inner.ticks, (std::vector<unsigned>{1}));
    EXPECT_EQ(m_handler.ticks, (std::vector<unsigned>{2}));
    EXPECT_EQ(m_dialog.Handler(), nullptr);
    // Outside a run nothing is routed and nothing fails.
    m_dialog.Timer(1);
    m_dialog.Command(1050);
    EXPECT_FALSE(m_dialog.SysCommand(0x0010));
}

TEST(BehaviourEnter, FocusedButtonWins_ElseTheDefaultButton_ElseOk) {
    const DialogTemplate t = Buttons({
        Control(1015, ControlKind::CheckBox),
        Control(kNoId, ControlKind::PushButton),
        Control(1050, ControlKind::PushButton),
        Control(kNoId, ControlKind::DefaultButton),
        Control(IDCANCEL, ControlKind::DefaultButton),
    });
    const DialogBehaviour dialog(t, [](int) {});
    EXPECT_EQ(dialog.EnterCommand(2), 1050);
    EXPECT_EQ(dialog.EnterCommand(0), IDCANCEL);  // a tick box is not clicked by Enter
    EXPECT_EQ(dialog.EnterCommand(1), IDCANCEL);  // nor is a button without an id
    EXPECT_EQ(dialog.EnterCommand(std::nullopt), IDCANCEL);
    EXPECT_EQ(dialog.EnterCommand(99), IDCANCEL);

    const DialogBehaviour noDefault(Buttons({Control(1050, ControlKind::PushButton)}), [](int) {});
    EXPECT_EQ(noDefault.EnterCommand(std::nullopt), IDOK);
}

TEST_F(Behaviour, Title_CarriesTheNoteAfterADash_AndLosesItWhenTheNoteIsEmpty) {
    EXPECT_EQ(m_dialog.Title(), "Port Settings");
    m_dialog.SetStatusNote("COM1 = /dev/pts/3");
    EXPECT_EQ(m_dialog.Title(), "Port Settings \u2014 COM1 = /dev/pts/3");
    m_dialog.SetStatusNote("");
    EXPECT_EQ(m_dialog.Title(), "Port Settings");
}

std::string Contents(std::FILE* file) {
    std::rewind(file);
    std::string text;
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) {
        text.push_back(static_cast<char>(c));
    }
    return text;
}

TEST(BehaviourUnattended, BoxesBecomeLinesOnlyWithoutAnOperator) {
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(std::tmpfile(), &std::fclose);
    ASSERT_NE(out, nullptr);
    DialogBehaviour dialog(
        Buttons({}), [](int) {}, out.get());
    EXPECT_FALSE(dialog.PrintInsteadOfBox({}, "Can't init COM2"));
    dialog.SetUnattended(true);
    EXPECT_TRUE(dialog.PrintInsteadOfBox({}, "Can't init COM2"));
    EXPECT_TRUE(dialog.PrintInsteadOfBox("Application Error", "WARNING:  SetCommMask() Failed"));
    EXPECT_EQ(Contents(out.get()),
              "vandrelux: Can't init COM2\n"
              "vandrelux: Application Error: WARNING:  SetCommMask() Failed\n");
}

TEST(InsertionCaretsTest, NeverPastTheEnd_AndATextCutShorterPullsTheCaretBack) {
    InsertionCarets carets;
    EXPECT_EQ(carets.InsertionPoint(1053, 10), 0);  // a control never written to: the start
    carets.MoveTo(1053, 40);
    EXPECT_EQ(carets.InsertionPoint(1053, 25), 25);
    EXPECT_EQ(carets.InsertionPoint(1052, 25), 0);  // each control has its own
    carets.TextReplaced(1053, 12);
    EXPECT_EQ(carets.InsertionPoint(1053, 100), 12);
    carets.TextReplaced(1053, 30);  // a longer text leaves the caret where it was
    EXPECT_EQ(carets.InsertionPoint(1053, 100), 12);
}

// The port-opened line goes in at the caret, not at the end: after the last append, or at the
// start of a pane never appended to.
TEST(InsertionCaretsTest, PortOpenedLine_LandsAfterTheLastAppend_OrAtTheStart) {
    FakeToolkit window;
    window.SetText(1053, "Restart!\r\n");
    window.ReplaceSelection(1053, "COM1:115200 8-N-1\r\n");
    EXPECT_EQ(window.GetText(1053), "COM1:115200 8-N-1\r\nRestart!\r\n");

    window.SetCaretToEnd(1053);
    window.ReplaceSelection(1053, "Send a complete!\r\n");
    window.SetText(1053, "Send");  // trimmed from the front, shorter than the caret
    window.ReplaceSelection(1053, "COM2:115200 8-N-1\r\n");
    EXPECT_EQ(window.GetText(1053), "SendCOM2:115200 8-N-1\r\n");
}

}  // namespace
}  // namespace vandrelux::platform
