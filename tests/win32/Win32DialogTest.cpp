#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "toolkit/win32/Win32Dialog.h"
#include "ui/CollapsibleDlg.h"
#include "ui/ConnectingDlg.h"
#include "ui/LogView.h"
#include "ui/Templates.h"

// The Windows headers last, in this order: their macros would rename the toolkit's own names.
// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

namespace vandrelux::platform {
namespace {

using namespace std::chrono_literals;

constexpr ControlId kToggle = 1054;
constexpr ControlId kExit = 1018;
constexpr ControlId kReceiveAll = 1015;
constexpr ControlId kReceivePath = 1013;
constexpr ControlId kTerminalLog = 1052;
constexpr ControlId kMessageLog = 1053;
constexpr ControlId kFrame = 1055;
constexpr ControlId kProgress = 1012;
constexpr ControlId kUpdateFiles = 1019;
constexpr ControlId kSendBuffer = 1043;
constexpr ControlId kParity = 1027;

class Handler final : public IDialogHandler {
public:
    void OnInitDialog() override {
        if (onInit) {
            onInit();
        }
    }
    bool OnCommand(int id) override {
        commands.push_back(id);
        return onCommand && onCommand(id);
    }
    void OnTimer(unsigned timerId) override {
        ++ticks;
        if (onTimer) {
            onTimer(timerId);
        }
    }
    bool OnClose() override {
        ++closes;
        return closeHandled;
    }

    std::function<void()> onInit;
    std::function<bool(int)> onCommand;
    std::function<void(unsigned)> onTimer;
    bool closeHandled = false;
    std::vector<int> commands;
    int ticks = 0;
    int closes = 0;
};

void Key(HWND target, WPARAM key) {
    PostMessageW(target, WM_KEYDOWN, key, 1);
    PostMessageW(target, WM_KEYUP, key, static_cast<LPARAM>(0xC0000001U));
}

// The first tick of a short timer ends the run with `result` unless something else ended it.
void EndOnFirstTick(IDialogWindow& window, Handler& handler, int result) {
    handler.onTimer = [&window, result](unsigned timerId) {
        if (timerId == 9) {
            window.EndDialog(result);
        }
    };
    window.StartTimer(9, 200);
}

class Win32MainDialog : public ::testing::Test {
protected:
    Win32DialogWindow m_window{ui::MainDialogTemplate()};
};

TEST_F(Win32MainDialog, Controls_AnswerByIdAsTheLogicExpects) {
    m_window.SetText(kReceivePath, "C:\\images\\programme.bin");
    EXPECT_EQ(m_window.GetText(kReceivePath), "C:\\images\\programme.bin");
    EXPECT_EQ(m_window.GetText(kExit), "Exit");
    EXPECT_EQ(m_window.GetText(kUpdateFiles), "Update files");
    EXPECT_FALSE(m_window.IsChecked(kReceiveAll));
    m_window.SetChecked(kReceiveAll, true);
    EXPECT_TRUE(m_window.IsChecked(kReceiveAll));
    EXPECT_FALSE(m_window.IsChecked(kExit)) << "a push button is never ticked";
    m_window.Enable(kExit, false);
    EXPECT_FALSE(m_window.IsEnabled(kExit));
    m_window.Enable(kExit, true);
    EXPECT_TRUE(m_window.IsEnabled(kExit));
    EXPECT_EQ(m_window.GetText(4711), "");
    EXPECT_FALSE(m_window.IsEnabled(4711));
}

TEST_F(Win32MainDialog, ChildWindows_ComeInTemplateOrderWithTheirIds) {
    const std::vector<ChildWindow> children = m_window.ChildWindowsInZOrder();
    const DialogTemplate main = ui::MainDialogTemplate();
    ASSERT_EQ(children.size(), main.controls.size());
    for (std::size_t i = 0; i < children.size(); ++i) {
        EXPECT_EQ(children[i].id, main.controls[i].id) << i;
    }
}

// Collapsing works on screen rectangles in pixels, so the dialog units must have become pixels
// the same way for the dialog and its controls.
TEST_F(Win32MainDialog, Collapse_EndsAtTheFrameAndDisablesThePanelUntilExpanded) {
    ui::CCollapsibleDlg collapsible(m_window, kFrame, kToggle, "Show >>", "Hide <<", true);
    const Rect full = m_window.WindowRect();
    collapsible.InitCollapsible();
    EXPECT_EQ(m_window.WindowRect(), full);
    EXPECT_EQ(m_window.GetText(kToggle), "Hide <<");
    EXPECT_FALSE(IsWindowVisible(m_window.ControlHandle(kFrame)));

    ASSERT_TRUE(collapsible.SetExpanded(false));
    const Rect collapsed = m_window.WindowRect();
    RECT frame;
    GetWindowRect(m_window.ControlHandle(kFrame), &frame);
    EXPECT_EQ(collapsed.right, frame.right);
    EXPECT_EQ(collapsed.bottom, frame.bottom);
    EXPECT_LT(collapsed.Width(), full.Width() * 2 / 3);
    EXPECT_FALSE(m_window.IsEnabled(kReceiveAll));
    EXPECT_FALSE(m_window.IsEnabled(kUpdateFiles));
    EXPECT_TRUE(m_window.IsEnabled(kExit));
    EXPECT_TRUE(m_window.IsEnabled(kTerminalLog));
    EXPECT_EQ(m_window.GetText(kToggle), "Show >>");

    ASSERT_TRUE(collapsible.SetExpanded(true));
    EXPECT_EQ(m_window.WindowRect(), full);
    EXPECT_TRUE(m_window.IsEnabled(kReceiveAll));
}

TEST_F(Win32MainDialog, Pane_CountsOneCharacterPerLineEndAndInsertsAtItsOwnCaret) {
    m_window.SetCaretToEnd(kMessageLog);
    m_window.ReplaceSelection(kMessageLog, "COM1:115200 8-N-1\r\n");
    m_window.ReplaceSelection(kMessageLog, "second\r\n");
    EXPECT_EQ(m_window.GetText(kMessageLog), "COM1:115200 8-N-1\nsecond\n");
    EXPECT_EQ(m_window.TextLength(kMessageLog), 25);
    EXPECT_EQ(m_window.LineCount(kMessageLog), 3);

    // What the operator selected does not move the caret, nor does appending move the selection.
    const HWND pane = m_window.ControlHandle(kMessageLog);
    SendMessageW(pane, EM_SETSEL, 0, 3);
    m_window.ReplaceSelection(kMessageLog, "x");
    EXPECT_EQ(m_window.GetText(kMessageLog), "COM1:115200 8-N-1\nsecond\nx");
    DWORD from = 0;
    DWORD to = 0;
    SendMessageW(pane, EM_GETSEL, reinterpret_cast<WPARAM>(&from), reinterpret_cast<LPARAM>(&to));
    EXPECT_EQ(from, 0U);
    EXPECT_EQ(to, 3U);
}

TEST_F(Win32MainDialog, Logs_TrimAtTheLimitAndKeepTheNewestLinesInView) {
    ui::CLogView terminal(m_window, kTerminalLog);
    terminal.OnCreate();
    std::string full;
    for (int i = 0; i < ui::kLogLimit - 2; ++i) {
        full.push_back(i % 64 == 63 ? '\n' : 'a');
    }
    m_window.SetText(kTerminalLog, full);
    terminal.AppendChar('\n');
    EXPECT_EQ(m_window.TextLength(kTerminalLog), ui::kLogLimit - 1);
    terminal.AppendChar('b');
    EXPECT_EQ(m_window.TextLength(kTerminalLog), ui::kLogLimit - ui::kLogTrim);
    EXPECT_EQ(m_window.GetText(kTerminalLog).back(), 'b');

    ui::CInfoView messages(m_window, kMessageLog);
    for (int i = 0; i < 40; ++i) {
        messages.AppendText("line\r\n");
    }
    // The pane scrolls no further than its last line at the bottom.
    const int first = m_window.FirstVisibleLine(kMessageLog);
    EXPECT_GT(first, 0);
    EXPECT_GE(first + m_window.VisibleLineCount(kMessageLog), m_window.LineCount(kMessageLog));
}

TEST_F(Win32MainDialog, ProgressBar_PinsToItsRangeAndStepsNoFurtherThanItsEnd) {
    const HWND bar = m_window.ControlHandle(kProgress);
    m_window.SetProgressRange(kProgress, 0, 10);
    m_window.SetProgressPos(kProgress, 50);
    EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), 10);
    m_window.StepProgress(kProgress);
    EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), 10);
    m_window.SetProgressRange(kProgress, 0, 65535);
    m_window.SetProgressPos(kProgress, -3);
    EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), 0);
    m_window.StepProgress(kProgress);
    EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), 1);
    m_window.SetProgressPos(kProgress, 65535);
    EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), 65535);
}

TEST(Win32PortSettings, Combos_SelectByPrefixIgnoringCaseAndKeepTypedText) {
    Win32DialogWindow window(ui::PortSettingsTemplate());
    window.SetComboItems(kParity, {"None", "Odd", "Even"});
    window.SelectComboPrefix(kParity, "o");
    EXPECT_EQ(window.ComboIndex(kParity), 1);
    EXPECT_EQ(window.GetText(kParity), "ODD") << "the parity list shows capitals";
    window.SelectComboPrefix(kParity, "Mark");
    EXPECT_EQ(window.ComboIndex(kParity), -1);

    window.SelectComboPrefix(kSendBuffer, "2048");
    EXPECT_EQ(window.ComboIndex(kSendBuffer), 2);
    window.SetText(kSendBuffer, "4106");
    window.SelectComboPrefix(kSendBuffer, "4106");
    EXPECT_EQ(window.ComboIndex(kSendBuffer), -1);
    EXPECT_EQ(window.GetText(kSendBuffer), "4106");
    window.SelectComboIndex(kSendBuffer, 9);
    EXPECT_EQ(window.ComboIndex(kSendBuffer), -1);
}

TEST(Win32Modal, EnterWithoutDefaultButton_IsOkAndEscEndsWithCancel) {
    Win32DialogWindow window(ui::MainDialogTemplate());
    Handler handler;
    handler.onCommand = [](int id) { return id == IDOK; };  // Enter must not end the main dialog
    handler.onInit = [&] {
        PostMessageW(window.Handle(), WM_NEXTDLGCTL,
                     reinterpret_cast<WPARAM>(window.ControlHandle(kReceivePath)), TRUE);
        Key(window.ControlHandle(kReceivePath), VK_RETURN);
        Key(window.ControlHandle(kTerminalLog), VK_ESCAPE);
    };
    EXPECT_EQ(window.RunModal(handler), IDCANCEL);
    EXPECT_EQ(handler.commands, (std::vector<int>{IDOK, IDCANCEL}));
}

TEST(Win32Modal, EnterOnAFocusedButton_ClicksIt) {
    Win32DialogWindow window(ui::AboutTemplate());
    Handler handler;
    handler.onInit = [&] {
        SetFocus(window.ControlHandle(IDOK));
        Key(window.ControlHandle(IDOK), VK_RETURN);
    };
    EndOnFirstTick(window, handler, 7);
    EXPECT_EQ(window.RunModal(handler), IDOK);
    EXPECT_EQ(handler.commands, (std::vector<int>{IDOK}));
}

TEST(Win32Modal, CloseBox_AsksTheHandlerWhichMayKeepTheDialog) {
    Win32DialogWindow window(ui::AboutTemplate());
    Handler handler;
    handler.closeHandled = true;
    handler.onInit = [&] { PostMessageW(window.Handle(), WM_SYSCOMMAND, SC_CLOSE, 0); };
    EndOnFirstTick(window, handler, 42);
    EXPECT_EQ(window.RunModal(handler), 42);
    EXPECT_EQ(handler.closes, 1);

    handler.closeHandled = false;
    handler.onTimer = nullptr;
    handler.onInit = [&] { PostMessageW(window.Handle(), WM_CLOSE, 0, 0); };
    EXPECT_EQ(window.RunModal(handler), IDCANCEL);
    EXPECT_EQ(handler.closes, 2);
}

TEST(Win32Modal, EndedDuringInitialisation_IsNeverShown) {
    Win32DialogWindow window(ui::AboutTemplate());
    Handler handler;
    handler.onInit = [&] { window.EndDialog(5); };
    EXPECT_EQ(window.RunModal(handler), 5);
    EXPECT_FALSE(IsWindowVisible(window.Handle()));
}

// The wait while a network port connects: it ends by itself once the connection has, and its
// Cancel calls the wait off.
TEST(Win32Modal, ConnectingWait_EndsWithTheConnection_CancelCallsItOff) {
    Win32DialogFactory factory;
    int asked = 0;
    ui::CConnectingDlg connects(factory, "box:4000", [&] { return ++asked == 3; });
    EXPECT_EQ(connects.DoModal(), IDOK);
    EXPECT_EQ(asked, 3);

    std::wstring shown;
    ui::CConnectingDlg never(factory, "[fe80::2]:2000", [&] {
        const HWND wait = FindWindowW(nullptr, L"Vandrelux");
        if (wait != nullptr && IsWindowVisible(wait) && shown.empty()) {
            wchar_t text[64] = {};
            GetDlgItemTextW(wait, ui::kConnectingText, text, 64);
            shown = text;
            PostMessageW(wait, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(wait, IDCANCEL)));
        }
        return false;
    });
    EXPECT_EQ(never.DoModal(), IDCANCEL);
    EXPECT_EQ(shown, L"Connecting to [fe80::2]:2000\u2026");
}

TEST(Win32Calls, ATaskFromAnotherThread_RunsOnTheWindowThreadDuringTheRun) {
    Win32DialogWindow window(ui::MainDialogTemplate());
    Handler handler;
    const std::thread::id windowThread = std::this_thread::get_id();
    std::atomic<bool> ranOnWindowThread{false};
    std::future<bool> sent;
    handler.onInit = [&] {
        sent = std::async(std::launch::async, [&] {
            return window.SendToWindow(
                [&] {
                    ranOnWindowThread = std::this_thread::get_id() == windowThread;
                    window.EndDialog(3);
                },
                std::stop_token{});
        });
    };
    EXPECT_EQ(window.RunModal(handler), 3);
    EXPECT_TRUE(sent.get());
    EXPECT_TRUE(ranOnWindowThread);
}

// Closing the port stops its monitor while the window thread waits for it: the monitor's
// delivery must give up instead of waiting for a window that is not pumping.
TEST(Win32Calls, AStopWhileTheWindowIsBusy_ReleasesTheSenderAndTheTaskNeverRuns) {
    Win32DialogWindow window(ui::MainDialogTemplate());
    std::stop_source stop;
    std::atomic<bool> ran{false};
    std::future<bool> sent = std::async(std::launch::async, [&] {
        return window.SendToWindow([&] { ran = true; }, stop.get_token());
    });
    EXPECT_EQ(sent.wait_for(100ms), std::future_status::timeout);
    stop.request_stop();
    EXPECT_FALSE(sent.get());
    // The late wake-up finds the call given up.
    Handler handler;
    EndOnFirstTick(window, handler, 1);
    window.RunModal(handler);
    EXPECT_FALSE(ran);
}

TEST(Win32Calls, ErrorBoxSender_IsReleasedByAStopWhileTheWindowIsBusy) {
    Win32DialogWindow window(ui::MainDialogTemplate());
    window.SetUnattended(true);
    std::stop_source stop;
    std::future<void> shown = std::async(std::launch::async, [&] {
        window.ShowErrorBox("Application Error", "line lost", stop.get_token());
    });
    stop.request_stop();
    EXPECT_EQ(shown.wait_for(10s), std::future_status::ready);
}

TEST(Win32Window, TimerToolbarAndScreenshot_WorkWhileRunning) {
    Win32DialogWindow window(ui::MainDialogTemplate());
    Handler handler;
    const std::string png =
        (std::filesystem::temp_directory_path() / "vandrelux-win32-test-shot.png").string();
    std::remove(png.c_str());
    bool saved = false;
    handler.onInit = [&] {
        ASSERT_TRUE(window.CreateToolbar(ui::MainToolbarTemplate(), 6, 4, 385, 50));
        window.StartTimer(1, 1);
    };
    handler.onTimer = [&](unsigned) {
        if (handler.ticks == 5) {
            saved = window.SaveScreenshot(png);
            window.EndDialog(IDOK);
        }
    };
    EXPECT_EQ(window.RunModal(handler), IDOK);
    EXPECT_GE(handler.ticks, 5);

    const HWND bar = window.Toolbar();
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(SendMessageW(bar, TB_BUTTONCOUNT, 0, 0), 4);
    RECT r;
    GetClientRect(bar, &r);
    EXPECT_LT(r.right, 385) << "no wider than its buttons";
    EXPECT_LE(r.bottom, 50);
    EXPECT_EQ(GetDlgCtrlID(bar), 0xE800);

    EXPECT_TRUE(saved);
    std::ifstream in(png, std::ios::binary);
    char magic[4] = {};
    in.read(magic, 4);
    EXPECT_EQ(std::string(magic + 1, 3), "PNG");
    in.close();
    std::remove(png.c_str());
}

// A picture per command from the strip, on buttons of the template's size, and the tip words kept
// for the tool tips.
TEST(Win32Window, Toolbar_APicturePerCommand_ButtonsOfTheirSize) {
    Win32DialogWindow window(ui::MainDialogTemplate());
    const ToolbarTemplate toolbar = ui::MainToolbarTemplate();
    ASSERT_TRUE(window.CreateToolbar(toolbar, 6, 4, 385, 50));
    const HWND bar = window.Toolbar();
    const auto images = reinterpret_cast<HIMAGELIST>(SendMessageW(bar, TB_GETIMAGELIST, 0, 0));
    ASSERT_NE(images, nullptr);
    EXPECT_EQ(ImageList_GetImageCount(images), 3);
    int cx = 0;
    int cy = 0;
    ImageList_GetIconSize(images, &cx, &cy);
    EXPECT_EQ(cx, toolbar.imageWidth);
    EXPECT_EQ(cy, toolbar.imageHeight);
    for (const ToolbarButton& b : toolbar.buttons) {
        if (b.commandId == 0) {
            continue;
        }
        TBBUTTONINFOW info{};
        info.cbSize = sizeof info;
        info.dwMask = TBIF_IMAGE | TBIF_SIZE;
        ASSERT_GE(SendMessageW(bar, TB_GETBUTTONINFOW, static_cast<WPARAM>(b.commandId),
                               reinterpret_cast<LPARAM>(&info)),
                  0)
            << b.toolTip;
        EXPECT_EQ(info.iImage, b.image) << b.toolTip;
        RECT r{};
        SendMessageW(bar, TB_GETRECT, static_cast<WPARAM>(b.commandId),
                     reinterpret_cast<LPARAM>(&r));
        EXPECT_EQ(r.right - r.left, toolbar.buttonWidth) << b.toolTip;
        EXPECT_EQ(r.bottom - r.top, toolbar.buttonHeight) << b.toolTip;
    }
}

}  // namespace
}  // namespace vandrelux::platform
