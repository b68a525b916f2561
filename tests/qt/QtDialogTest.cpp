#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QToolBar>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <thread>

#include "toolkit/qt/QtDialog.h"
#include "toolkit/qt/QtDriver.h"
#include "ui/CollapsibleDlg.h"
#include "ui/Templates.h"

namespace vandrelux::platform {
namespace {

using namespace std::chrono_literals;
namespace drv = qtdriver;

class Handler final : public IDialogHandler {
public:
    explicit Handler(const IToolkit& window) : m_window(window) {}

    void OnInitDialog() override {
        if (onInit) {
            onInit();
        }
    }
    bool OnCommand(int id) override {
        commands.push_back(id);
        checkedWhenTold.push_back(m_window.IsChecked(id));
        return onCommand && onCommand(id);
    }
    void OnTimer(unsigned timerId) override { ++ticks[timerId]; }
    bool OnClose() override {
        ++closes;
        return closeHandled;
    }
    bool OnSysCommand(unsigned command) override {
        sysCommands.push_back(command);
        return true;
    }

    std::function<void()> onInit;
    std::function<bool(int)> onCommand;
    bool closeHandled = false;
    std::vector<int> commands;
    std::vector<bool> checkedWhenTold;
    std::map<unsigned, int> ticks;
    int closes = 0;
    std::vector<unsigned> sysCommands;

private:
    const IToolkit& m_window;
};

bool Intersects(const Rect& a, const Rect& b) {
    return a.left < b.right && b.left < a.right && a.top < b.bottom && b.top < a.bottom;
}

bool Contains(const Rect& outer, const Rect& inner) {
    return inner.left >= outer.left && inner.top >= outer.top && inner.right <= outer.right &&
           inner.bottom <= outer.bottom;
}

// Lets the window thread run until `done` holds or two seconds pass.
template <class Done>
bool PumpUntil(Done done) {
    for (int i = 0; i < 400 && !done(); ++i) {
        drv::ProcessEvents(5ms);
    }
    return done();
}

class QtMainDialog : public ::testing::Test {
protected:
    const DialogTemplate m_template = ui::MainDialogTemplate();
    QtDialogWindow m_window{m_template};
    Handler m_handler{m_window};

    int Run(const std::function<void()>& script) {
        return drv::RunScripted(m_window, m_handler, script);
    }
};

TEST_F(QtMainDialog, Controls_OneWindowPerTemplateEntry_InTabOrderInsideTheDialog) {
    const std::vector<ChildWindow> children = m_window.ChildWindowsInZOrder();
    ASSERT_EQ(children.size(), m_template.controls.size());
    const Rect dialog = m_window.WindowRect();
    Rect frame;
    for (std::size_t i = 0; i < children.size(); ++i) {
        EXPECT_EQ(children[i].id, m_template.controls[i].id) << i;
        EXPECT_GT(children[i].screenRect.Width(), 0) << children[i].id;
        EXPECT_TRUE(Contains(dialog, children[i].screenRect)) << children[i].id;
        if (children[i].id == 1055) {
            frame = children[i].screenRect;
        }
    }
    // In pixels, as in dialog units, only the right-hand panel lies apart from the frame.
    for (std::size_t i = 0; i < children.size(); ++i) {
        EXPECT_EQ(Intersects(children[i].screenRect, frame), m_template.controls[i].x < 245)
            << m_template.controls[i].id << " " << m_template.controls[i].text;
    }
}

TEST_F(QtMainDialog, ControlState_RoundTripsById_AndUnknownIdsAreHarmless) {
    m_window.SetText(1054, "Hide <<");
    m_window.SetText(1013, "/tmp/r\xC3\xA9\x63v.bin");  // UTF-8 survives
    m_window.SetText(1004, "12345");
    m_window.SetText(1019, "Files");
    EXPECT_EQ(m_window.GetText(1054), "Hide <<");
    EXPECT_EQ(m_window.GetText(1013), "/tmp/r\xC3\xA9\x63v.bin");
    EXPECT_EQ(m_window.GetText(1004), "12345");
    EXPECT_EQ(m_window.GetText(1019), "Files");
    EXPECT_EQ(m_window.GetText(1021), "to send");

    m_window.Enable(1050, false);
    EXPECT_FALSE(m_window.IsEnabled(1050));
    EXPECT_TRUE(m_window.IsEnabled(1018));
    m_window.Enable(1050, true);
    EXPECT_TRUE(m_window.IsEnabled(1050));

    m_window.SetChecked(1009, true);
    EXPECT_TRUE(m_window.IsChecked(1009));
    EXPECT_FALSE(m_window.IsChecked(1008));
    EXPECT_TRUE(m_handler.commands.empty());  // setting a tick is no click

    m_window.SetText(9999, "x");
    m_window.Enable(9999, true);
    EXPECT_EQ(m_window.GetText(9999), "");
    EXPECT_FALSE(m_window.IsEnabled(9999));
    EXPECT_EQ(m_window.TextLength(kNoId), 0);
}

TEST_F(QtMainDialog, TickBoxClick_ReachesOnCommandWithTheNewStateAlreadySet) {
    Run([&] {
        drv::Click(m_window, 1015);
        drv::Click(m_window, 1015);
        m_window.SetChecked(1009, true);
    });
    EXPECT_EQ(m_handler.commands, (std::vector<int>{1015, 1015}));
    EXPECT_EQ(m_handler.checkedWhenTold, (std::vector<bool>{true, false}));
}

TEST_F(QtMainDialog, Keys_SwallowedEnterKeepsItOpen_EnterOnAButtonClicksIt_EscEndsWithCancel) {
    m_handler.onCommand = [](int id) { return id == IDOK; };
    bool openAfterEnter = false;
    const int result = Run([&] {
        drv::Click(m_window, 1015);  // the focus on a tick box, not a button
        drv::PressKey(m_window, drv::Key::Enter);
        openAfterEnter = drv::IsOpen(m_window);
        drv::Click(m_window, 1050);
        drv::PressKey(m_window, drv::Key::Enter);
        drv::PressKey(m_window, drv::Key::Escape);
    });
    EXPECT_TRUE(openAfterEnter);
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_EQ(m_handler.commands, (std::vector<int>{1015, IDOK, 1050, 1050, IDCANCEL}));
}

TEST_F(QtMainDialog, CloseBox_AsksOnClose_EndsWithCancelOnlyWhenUnhandled) {
    bool stillOpen = false;
    const int result = Run([&] {
        m_handler.closeHandled = true;
        drv::RequestClose(m_window);
        stillOpen = drv::IsOpen(m_window) && m_handler.closes == 1;
        m_handler.closeHandled = false;
        drv::RequestClose(m_window);
    });
    EXPECT_TRUE(stillOpen);
    EXPECT_EQ(m_handler.closes, 2);
    EXPECT_EQ(result, IDCANCEL);
}

TEST(QtPortSettingsDialog, UnhandledOkAndCancelEndTheDialog_AndItRunsAgain) {
    QtDialogWindow window(ui::PortSettingsTemplate());
    Handler handler(window);
    EXPECT_EQ(drv::RunScripted(window, handler, [&] { drv::PressKey(window, drv::Key::Enter); }),
              IDOK);
    EXPECT_EQ(drv::RunScripted(window, handler, [&] { drv::Click(window, IDCANCEL); }), IDCANCEL);
    EXPECT_EQ(handler.commands, (std::vector<int>{IDOK, IDCANCEL}));
}

TEST_F(QtMainDialog, Timers_TickOften_RestartReplaces_StopAndEndOfRunStopThem) {
    int ticksAtRestart = 0;
    int ticksAfterQuietSpell = 0;
    Run([&] {
        m_window.StartTimer(1, 1);
        drv::ProcessEvents(100ms);
        m_window.StartTimer(1, 10'000);
        ticksAtRestart = m_handler.ticks[1];
        drv::ProcessEvents(50ms);
        ticksAfterQuietSpell = m_handler.ticks[1];
        m_window.StartTimer(2, 1);
    });
    EXPECT_GE(ticksAtRestart, 5);
    EXPECT_EQ(ticksAfterQuietSpell, ticksAtRestart);
    const int ticksOfTwo = m_handler.ticks[2];
    drv::ProcessEvents(30ms);
    EXPECT_EQ(m_handler.ticks[2], ticksOfTwo);
}

TEST_F(QtMainDialog, MessageBox_KeepsTimersTickingWhileItWaits) {
    drv::ModalSeen seen;
    int ticksWhileOpen = 0;
    Run([&] {
        m_window.StartTimer(1, 1);
        drv::DismissNextModal([&](const drv::ModalSeen& box) {
            seen = box;
            const int before = m_handler.ticks[1];
            drv::ProcessEvents(30ms);
            ticksWhileOpen = m_handler.ticks[1] - before;
        });
        m_window.MessageBox("Can't init COM2");
    });
    EXPECT_EQ(seen.text, "Can't init COM2");
    EXPECT_EQ(seen.title, "Vandrelux");
    EXPECT_FALSE(seen.critical);
    EXPECT_GE(ticksWhileOpen, 3);
}

TEST_F(QtMainDialog, SendToWindow_RunsOnTheWindowThread_DirectlyWhenCalledThere) {
    const std::thread::id windowThread = std::this_thread::get_id();
    std::thread::id ranOn;
    std::atomic<bool> finished = false;
    bool sent = false;
    std::jthread worker([&] {
        sent = m_window.SendToWindow([&] { ranOn = std::this_thread::get_id(); }, {});
        finished = true;
    });
    ASSERT_TRUE(PumpUntil([&] { return finished.load(); }));
    worker.join();
    EXPECT_TRUE(sent);
    EXPECT_EQ(ranOn, windowThread);

    bool ranHere = false;
    EXPECT_TRUE(m_window.SendToWindow([&] { ranHere = true; }, {}));
    EXPECT_TRUE(ranHere);
    std::stop_source stopped;
    stopped.request_stop();
    EXPECT_FALSE(m_window.SendToWindow([&] { ranHere = false; }, stopped.get_token()));
    EXPECT_TRUE(ranHere);
}

// The window thread may itself be waiting for the sender (closing the port joins the monitor).
TEST_F(QtMainDialog, SendToWindow_StopBeforeTheWindowTookItUp_ReturnsFalseAndNeverRuns) {
    std::stop_source stop;
    std::atomic<bool> ran = false;
    auto sent = std::async(std::launch::async, [&] {
        return m_window.SendToWindow([&] { ran = true; }, stop.get_token());
    });
    EXPECT_EQ(sent.wait_for(50ms), std::future_status::timeout);  // no events handled yet
    stop.request_stop();
    ASSERT_EQ(sent.wait_for(2s), std::future_status::ready);
    EXPECT_FALSE(sent.get());
    drv::ProcessEvents(20ms);
    EXPECT_FALSE(ran);
}

TEST_F(QtMainDialog, ShowErrorBox_FromAWorker_IsCritical_AndAStopReleasesTheSenderWhileItIsUp) {
    drv::ModalSeen seen;
    std::atomic<bool> returned = false;
    bool returnedWhileUp = false;
    std::stop_source stop;
    drv::DismissNextModal([&](const drv::ModalSeen& box) {
        seen = box;
        stop.request_stop();
        for (int i = 0; i < 200 && !returned; ++i) {
            std::this_thread::sleep_for(10ms);
        }
        returnedWhileUp = returned;
    });
    std::jthread worker([&] {
        m_window.ShowErrorBox("COM1", "Open failed", stop.get_token());
        returned = true;
    });
    ASSERT_TRUE(PumpUntil([&] { return returned.load(); }));
    EXPECT_TRUE(returnedWhileUp);
    EXPECT_EQ(seen.title, "COM1");
    EXPECT_EQ(seen.text, "Open failed");
    EXPECT_TRUE(seen.critical);
    drv::ProcessEvents(20ms);  // let the dismissal finish
}

TEST_F(QtMainDialog, RichEdit_AppendsAtTheCaret_CountsLines_ScrollsOnlyWhenTold) {
    Run([&] {
        const ControlId log = 1053;
        m_window.SetCaretToEnd(log);
        for (const char* line : {"one\r\n", "two\r\n", "three\r\n"}) {
            m_window.ReplaceSelection(log, line);
        }
        EXPECT_EQ(m_window.GetText(log), "one\ntwo\nthree\n");
        EXPECT_EQ(m_window.TextLength(log), 14);  // CR LF is one character in a pane
        EXPECT_EQ(m_window.LineCount(log), 4);

        const ControlId terminal = 1052;
        for (int i = 0; i < 30; ++i) {
            m_window.SetCaretToEnd(terminal);
            m_window.ReplaceSelection(terminal, "line " + std::to_string(i) + "\n");
        }
        EXPECT_EQ(m_window.LineCount(terminal), 31);
        EXPECT_EQ(m_window.FirstVisibleLine(terminal), 0);  // appending does not scroll
        m_window.ScrollLines(terminal, 31 - 0 - 20);
        EXPECT_EQ(m_window.FirstVisibleLine(terminal), 11);
        m_window.ScrollLines(terminal, -100);
        EXPECT_EQ(m_window.FirstVisibleLine(terminal), 0);

        // Trimming the front keeps appending at the end.
        const std::string text = m_window.GetText(terminal);
        m_window.SetText(terminal, text.substr(100));
        m_window.SetCaretToEnd(terminal);
        m_window.ReplaceSelection(terminal, "X");
        EXPECT_EQ(m_window.GetText(terminal), text.substr(100) + "X");
        EXPECT_EQ(m_window.TextLength(terminal), static_cast<int>(text.size()) - 100 + 1);

        // The operator cannot type into a pane.
        drv::Click(m_window, terminal);
        drv::PressKey(m_window, drv::Key::Space);
        EXPECT_EQ(m_window.GetText(terminal), text.substr(100) + "X");
    });
}

TEST_F(QtMainDialog, ProgressBar_TakesTheFull16BitRange_AndPinsPositionsToIt) {
    m_window.SetProgressRange(1012, 0, 65535);
    m_window.SetProgressPos(1012, 40000);
    EXPECT_EQ(drv::Progress(m_window, 1012).upper, 65535);
    EXPECT_EQ(drv::Progress(m_window, 1012).pos, 40000);
    m_window.SetProgressPos(1012, 70000);
    EXPECT_EQ(drv::Progress(m_window, 1012).pos, 65535);
    m_window.StepProgress(1012);
    EXPECT_EQ(drv::Progress(m_window, 1012).pos, 65535);
    m_window.SetProgressRange(1012, 0, 10);
    EXPECT_EQ(drv::Progress(m_window, 1012).pos, 10);
    m_window.SetProgressPos(1012, 4);
    m_window.StepProgress(1012);
    EXPECT_EQ(drv::Progress(m_window, 1012).pos, 5);
}

TEST(QtPortSettingsDialog, Combos_SelectByPrefix_KeepStyles_TypedTextSelectsNothing) {
    QtDialogWindow w(ui::PortSettingsTemplate());
    EXPECT_EQ(w.ComboIndex(1003), -1);  // filled, nothing chosen yet
    w.SelectComboPrefix(1003, "com2");
    EXPECT_EQ(w.ComboIndex(1003), 1);
    EXPECT_EQ(w.GetText(1003), "COM2");
    w.SelectComboPrefix(1003, "COM9");
    EXPECT_EQ(w.ComboIndex(1003), -1);

    w.SelectComboIndex(1027, 0);
    EXPECT_EQ(w.GetText(1027), "NONE");  // the uppercase style
    w.SelectComboIndex(1027, 3);
    EXPECT_EQ(w.ComboIndex(1027), -1);

    w.SetComboItems(1029, {"2", "1.5", "1"});  // the sorted style
    EXPECT_EQ(w.ComboIndex(1029), -1);
    w.SelectComboIndex(1029, 0);
    EXPECT_EQ(w.GetText(1029), "1");

    w.SelectComboPrefix(1043, "4096");
    EXPECT_EQ(w.ComboIndex(1043), 3);
    w.SetText(1043, "4106");
    EXPECT_EQ(w.GetText(1043), "4106");
    EXPECT_EQ(w.ComboIndex(1043), -1);
}

TEST_F(QtMainDialog, Geometry_ResizeKeepsThePosition_FrameStaysHidden) {
    Run([&] {
        const Rect full = m_window.WindowRect();
        m_window.ResizeWindow(200, 150);
        drv::ProcessEvents(20ms);
        const Rect small = m_window.WindowRect();
        EXPECT_EQ(small.left, full.left);
        EXPECT_EQ(small.top, full.top);
        EXPECT_EQ(small.Width(), 200);
        EXPECT_EQ(small.Height(), 150);
        m_window.ResizeWindow(full.Width(), full.Height());
        EXPECT_EQ(m_window.WindowRect(), full);

        EXPECT_FALSE(drv::IsShown(m_window, 1055));
        m_window.ShowControl(1055, true);
        EXPECT_FALSE(drv::IsShown(m_window, 1055));
        m_window.ShowControl(1013, false);
        EXPECT_FALSE(drv::IsShown(m_window, 1013));
        m_window.ShowControl(1013, true);
        EXPECT_TRUE(drv::IsShown(m_window, 1013));
    });
}

TEST_F(QtMainDialog, FocusNextTabStop_MovesPastTheClickedButton) {
    ControlId clicked = kNoId;
    ControlId next = kNoId;
    Run([&] {
        drv::Click(m_window, 1054);
        clicked = drv::FocusedControl(m_window);
        m_window.FocusNextTabStop();
        next = drv::FocusedControl(m_window);
    });
    EXPECT_EQ(clicked, 1054);
    EXPECT_EQ(next, 1050);
}

// The full size is measured during initialisation, before the window is shown, and restored
// after it is: the two must agree.
TEST_F(QtMainDialog, CollapseLogic_OnTheRealWindow_ShrinksToTheFrameAndGrowsBackWhole) {
    ui::CCollapsibleDlg collapse(m_window, 1055, 1054, "Show >>", "Hide <<", true);
    m_handler.onInit = [&] { collapse.InitCollapsible(); };
    m_handler.onCommand = [&](int id) { return collapse.FilterCommand(id); };
    Rect full, collapsed, expanded, frame;
    std::string collapsedText;
    bool panelDisabled = false;
    ControlId focusAfterToggle = kNoId;
    Run([&] {
        full = m_window.WindowRect();
        for (const ChildWindow& child : m_window.ChildWindowsInZOrder()) {
            frame = child.id == 1055 ? child.screenRect : frame;
        }
        drv::Click(m_window, 1054);
        collapsed = m_window.WindowRect();
        collapsedText = m_window.GetText(1054);
        panelDisabled = !m_window.IsEnabled(1015) && !m_window.IsEnabled(1031) &&
                        m_window.IsEnabled(1050) && m_window.IsEnabled(1052);
        focusAfterToggle = drv::FocusedControl(m_window);
        drv::Click(m_window, 1054);
        expanded = m_window.WindowRect();
    });
    EXPECT_EQ(collapsed.left, full.left);
    EXPECT_EQ(collapsed.right, frame.right);
    EXPECT_EQ(collapsed.bottom, frame.bottom);
    EXPECT_LT(collapsed.Width(), full.Width() * 2 / 3);
    EXPECT_EQ(collapsedText, "Show >>");
    EXPECT_TRUE(panelDisabled);
    EXPECT_EQ(focusAfterToggle, 1050);
    EXPECT_EQ(expanded, full);
    EXPECT_EQ(m_window.GetText(1054), "Hide <<");
    EXPECT_TRUE(m_window.IsEnabled(1015));
    EXPECT_FALSE(drv::IsShown(m_window, 1055));
}

TEST_F(QtMainDialog, Toolbar_CommandsAndTips_ClearOfTheButtonsBesideIt) {
    ASSERT_TRUE(m_window.CreateToolbar(ui::MainToolbarTemplate(), 6, 4, 385, 50));
    m_window.AppendSystemMenuItem(ui::ID_SYS_ABOUT, ui::kAboutMenuText);
    Run([&] {
        EXPECT_TRUE(drv::ClickToolbarButton(m_window, ui::ID_OPEN_PORT));
        EXPECT_TRUE(drv::ClickToolbarButton(m_window, ui::ID_CONFIG_PORT));
        EXPECT_TRUE(drv::ChooseSystemMenuItem(m_window, ui::ID_SYS_ABOUT));
    });
    EXPECT_EQ(m_handler.commands, (std::vector<int>{ui::ID_OPEN_PORT, ui::ID_CONFIG_PORT}));
    EXPECT_EQ(m_handler.sysCommands, (std::vector<unsigned>{ui::ID_SYS_ABOUT}));
    EXPECT_EQ(drv::ToolbarTips(m_window, ui::ID_CLOSE_PORT),
              (std::pair<std::string, std::string>{"Close", "Close Serial Port"}));

    const std::vector<ChildWindow> children = m_window.ChildWindowsInZOrder();
    ASSERT_EQ(children.size(), m_template.controls.size() + 1);
    const Rect bar = children.back().screenRect;
    EXPECT_GE(bar.Width(), 3 * 34);
    for (const ChildWindow& child : children) {
        if (child.id == 1021 || child.id == 1028 || child.id == 1054 || child.id == 1052) {
            EXPECT_FALSE(Intersects(bar, child.screenRect)) << child.id;
        }
    }
}

// Each command shows its own picture from the strip, no word, and keeps its tips.
TEST_F(QtMainDialog, Toolbar_APicturePerCommand_NoTwoAlike) {
    const ToolbarTemplate toolbar = ui::MainToolbarTemplate();
    ASSERT_TRUE(m_window.CreateToolbar(toolbar, 6, 4, 385, 50));
    std::vector<QImage> pictures;
    for (QAction* action : m_window.Toolbar()->actions()) {
        if (action->isSeparator()) {
            continue;
        }
        const QPixmap picture =
            action->icon().pixmap(QSize(toolbar.imageWidth, toolbar.imageHeight));
        ASSERT_FALSE(picture.isNull()) << action->toolTip().toStdString();
        EXPECT_EQ(picture.size(), QSize(toolbar.imageWidth, toolbar.imageHeight));
        EXPECT_FALSE(action->toolTip().isEmpty());
        pictures.push_back(picture.toImage());
    }
    ASSERT_EQ(pictures.size(), 3U);
    EXPECT_NE(pictures[0], pictures[1]);
    EXPECT_NE(pictures[1], pictures[2]);
    EXPECT_EQ(m_window.Toolbar()->toolButtonStyle(), Qt::ToolButtonIconOnly);
}

TEST_F(QtMainDialog, RunModal_EndedDuringInit_ReturnsAtOnce_StatusNoteFollowsTheTitle) {
    m_handler.onInit = [&] { m_window.EndDialog(IDOK); };
    EXPECT_EQ(m_window.RunModal(m_handler), IDOK);
    m_window.SetStatusNote("COM1 = /dev/pts/3");
    EXPECT_EQ(drv::Title(m_window), "Vandrelux2.5 \u2014 COM1 = /dev/pts/3");
    m_window.SetStatusNote("");
    EXPECT_EQ(drv::Title(m_window), "Vandrelux2.5");
}

TEST_F(QtMainDialog, OpenFileDialog_AcceptsANameNotYetThere_CancelGivesNothing) {
    const std::filesystem::path target =
        std::filesystem::temp_directory_path() / "vandrelux-qt-test-absent.bin";
    std::filesystem::remove(target);
    std::optional<std::string> chosen;
    std::optional<std::string> cancelled = "unset";
    Run([&] {
        drv::DismissNextModal({}, target.string());
        chosen = m_window.OpenFileDialog();
        drv::DismissNextModal({});
        cancelled = m_window.OpenFileDialog();
    });
    EXPECT_EQ(chosen, target.string());
    EXPECT_EQ(cancelled, std::nullopt);
}

TEST_F(QtMainDialog, SaveScreenshot_WritesAPng) {
    const std::filesystem::path png =
        std::filesystem::temp_directory_path() / "vandrelux-qt-test-window.png";
    std::filesystem::remove(png);
    Run([&] { EXPECT_TRUE(m_window.SaveScreenshot(png.string())); });
    std::ifstream in(png, std::ios::binary);
    char magic[8] = {};
    in.read(magic, sizeof magic);
    EXPECT_EQ(std::string(magic + 1, 3), "PNG");
    std::filesystem::remove(png);
}

// "This COM port is not usable，please use other port" showed an empty box for its comma: no font
// had the glyph. A character no font has draws as that same box.
TEST(QtGlyphs, FullWidthCommaOfTheMessageBox_HasAGlyph) {
    const auto picture = [](char32_t character) {
        QLabel label(QString::fromUcs4(&character, 1));
        label.setFont(QApplication::font("QMessageBox"));
        label.adjustSize();
        return label.grab().toImage();
    };
    EXPECT_FALSE(picture(U'\uFF0C') == picture(U'\u0378')) << "the comma draws as the empty box";
}

}  // namespace
}  // namespace vandrelux::platform
