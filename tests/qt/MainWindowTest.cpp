// The main dialog on the real Qt window, driven through input events, with a pseudo-terminal
// as COM1.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QMessageBox>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "BoxFrames.h"
#include "DialogFixture.h"
#include "SilentServer.h"
#include "TransferInternals.h"
#include "app/UpdateDlg.h"
#include "device/net/NetworkDevice.h"
#include "protocol/ControlIds.h"
#include "toolkit/qt/QtDriver.h"
#include "ui/Templates.h"

namespace vandrelux::app {
namespace {

namespace fs = std::filesystem;
namespace drive = platform::qtdriver;
using namespace std::chrono_literals;

class QtUpdateDlg : public test::DialogFixture {
protected:
    // The message log; the pane keeps CR LF as one line end.
    static std::string Log(const platform::QtDialogWindow& w) {
        std::string text = w.GetText(ids::kMessageLog);
        std::erase(text, '\r');
        return text;
    }

    // Runs the dialog with `script` inside its loop; returns the dialog's result.
    int Run(const std::function<void(CUpdateDlg&, platform::QtDialogWindow&)>& script) {
        CUpdateDlg dlg(factory, options);
        auto& window = dynamic_cast<platform::QtDialogWindow&>(dlg.Window());
        return drive::RunScripted(window, dlg, [&] { script(dlg, window); });
    }

    // Lets the window work until `done` holds; false if it never does.
    static bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 30s) {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > until) {
                return false;
            }
            drive::ProcessEvents(20ms);
        }
        return true;
    }

    // COM1 as a link that can be pointed at a new terminal once the first one is gone.
    void SetUp() override {
        fs::create_symlink(ptsname(master), link);
        options.comMap[1] = link.string();
    }
    void PullTheDevice();
    void PlugTheDeviceBackIn();

    platform::QtDialogFactory factory;
    fs::path link = dir / "com1";
};

TEST_F(QtUpdateDlg, StartUp_ShowsTheSettingsOpensThePortAndNamesTheDevice) {
    WriteIni("[Setting]\r\nUpdateSoftware=1\r\nSoftwarePath=/tmp/sw.bin\r\nDownloadToRAM=1\r\n");
    const int result = Run([&](CUpdateDlg& dlg, platform::QtDialogWindow& w) {
        EXPECT_TRUE(w.IsChecked(ids::kIncludeSoftware));
        EXPECT_TRUE(w.IsChecked(ids::kDownloadToRam));
        EXPECT_EQ(w.GetText(ids::kSoftwarePath), "/tmp/sw.bin");
        EXPECT_FALSE(w.IsEnabled(ids::kReceiveAll));
        EXPECT_TRUE(w.IsEnabled(ids::kToSend));
        EXPECT_EQ(Log(w), "COM1:115200 8-N-1\n");
        EXPECT_TRUE(dlg.Port().IsMonitorRunning());
        EXPECT_NE(drive::Title(w).find(link.string()), std::string::npos);
        EXPECT_EQ(w.GetText(ids::kToggle), "Hide <<");
        drive::Click(w, ids::kExit);
    });
    EXPECT_EQ(result, platform::IDOK);
    EXPECT_NE(ReadIni().find("UpdateSoftware=1"), std::string::npos);
}

TEST_F(QtUpdateDlg, EnterNeverCloses_EscClosesWithoutSaving) {
    const int result = Run([&](CUpdateDlg&, platform::QtDialogWindow& w) {
        w.SetChecked(ids::kIncludeLogo, true);
        drive::PressKey(w, drive::Key::Tab);  // off the toggle button, which Enter would click
        drive::PressKey(w, drive::Key::Enter);
        EXPECT_TRUE(drive::IsOpen(w));
        drive::PressKey(w, drive::Key::Escape);
    });
    EXPECT_EQ(result, platform::IDCANCEL);
    EXPECT_FALSE(fs::exists(*options.settingsPath));
}

TEST_F(QtUpdateDlg, CloseBox_SavesTheSettings) {
    const int result = Run([&](CUpdateDlg&, platform::QtDialogWindow& w) {
        drive::Click(w, ids::kIncludeUcode);
        drive::RequestClose(w);
    });
    EXPECT_EQ(result, platform::IDCANCEL);
    EXPECT_NE(ReadIni().find("UpdateUcode=1"), std::string::npos);
}

TEST_F(QtUpdateDlg, Toggle_FoldsThePanelAwayAndBack) {
    Run([&](CUpdateDlg&, platform::QtDialogWindow& w) {
        const platform::Rect full = w.WindowRect();
        drive::Click(w, ids::kToggle);
        EXPECT_EQ(w.GetText(ids::kToggle), "Show >>");
        EXPECT_FALSE(w.IsEnabled(ids::kIncludeBootstrap));
        EXPECT_LT(w.WindowRect().Width(), full.Width());
        drive::Click(w, ids::kToggle);
        EXPECT_EQ(w.GetText(ids::kToggle), "Hide <<");
        EXPECT_TRUE(w.IsEnabled(ids::kIncludeBootstrap));
        EXPECT_EQ(w.WindowRect().Width(), full.Width());
        drive::RequestClose(w);
    });
}

TEST_F(QtUpdateDlg, PortCommands_OpenTwiceDoesNothing_CloseThenOpenLogsAgain) {
    Run([&](CUpdateDlg& dlg, platform::QtDialogWindow& w) {
        EXPECT_TRUE(drive::ClickToolbarButton(w, ui::ID_OPEN_PORT));
        EXPECT_EQ(Log(w), "COM1:115200 8-N-1\n");
        EXPECT_TRUE(drive::ClickToolbarButton(w, ui::ID_CLOSE_PORT));
        EXPECT_FALSE(dlg.Port().IsMonitorRunning());
        EXPECT_TRUE(drive::ClickToolbarButton(w, ui::ID_OPEN_PORT));
        EXPECT_TRUE(dlg.Port().IsMonitorRunning());
        EXPECT_EQ(Log(w), "COM1:115200 8-N-1\nCOM1:115200 8-N-1\n");
        drive::RequestClose(w);
    });
}

TEST_F(QtUpdateDlg, PortNotOpenable_SaysSoAndTheDialogStaysUsable) {
    WriteIni("[Setting]\nPortNum=2\n");
    std::vector<std::string> seen;
    drive::DismissNextModal([&](const drive::ModalSeen& m) { seen.push_back(m.text); });
    const int result = Run([&](CUpdateDlg& dlg, platform::QtDialogWindow& w) {
        EXPECT_FALSE(dlg.Port().IsMonitorRunning());
        drive::Click(w, ids::kIncludeLogo);
        EXPECT_EQ(test::Internals(dlg.Transfer()).m_nDownState,
                  protocol::DownloadState::AwaitReady);
        drive::Click(w, ids::kExit);
    });
    EXPECT_EQ(result, platform::IDOK);
    EXPECT_EQ(seen, std::vector<std::string>{"Can't init COM2"});
}

TEST_F(QtUpdateDlg, Browse_FillsThePathFieldWithTheChosenName) {
    const std::string chosen = (dir / "new-target.bin").string();
    Run([&](CUpdateDlg&, platform::QtDialogWindow& w) {
        drive::DismissNextModal([](const drive::ModalSeen& m) { EXPECT_TRUE(m.fileDialog); },
                                chosen);
        drive::Click(w, ids::kReceiveBrowse);
        EXPECT_EQ(w.GetText(ids::kReceivePath), chosen);
        EXPECT_FALSE(w.IsChecked(ids::kReceiveAll));  // browsing ticks nothing
        drive::RequestClose(w);
    });
}

// The box waits for the PC after these and sends nothing more.
TEST_F(QtUpdateDlg, OwnFileFails_RestartAndExitAtOnceAndTheReasonInTheLog) {
    const std::string logo = (dir / "missing-logo.bin").string();
    const std::string target = (dir / "no-such-folder" / "target.bin").string();
    const struct {
        std::string settings;
        test::Bytes box;
        std::string file;
    } cases[] = {{"UpdateLogo=1\nLogoPath=" + logo, {0x19, 0x06}, logo},
                 {"DownloadFlashLoader=1\nFlashloaderPath=" + target,
                  test::WholeReceive({1, 2, 3, 4}), target}};
    options.startReceive = true;
    for (const auto& c : cases) {
        WriteIni("[Setting]\n" + c.settings + "\n");
        std::vector<std::string> seen;
        Run([&](CUpdateDlg&, platform::QtDialogWindow& w) {
            drive::DismissNextModal([&](const drive::ModalSeen& m) { seen.push_back(m.text); });
            ASSERT_EQ(::write(master, c.box.data(), c.box.size()),
                      static_cast<ssize_t>(c.box.size()));
            ASSERT_TRUE(WaitFor([&] { return !seen.empty(); })) << c.file;
            EXPECT_TRUE(w.IsEnabled(ids::kRestart)) << c.file;
            EXPECT_TRUE(w.IsEnabled(ids::kExit)) << c.file;
            EXPECT_NE(Log(w).find("Can not open file " + c.file + ": No such file or directory\n"),
                      std::string::npos)
                << Log(w);
            drive::RequestClose(w);
        });
        EXPECT_EQ(seen, std::vector<std::string>{"Can not open file"}) << c.file;
    }
}

// The adapter behind COM1 is pulled: its terminal closes under the open port.
void QtUpdateDlg::PullTheDevice() {
    ::close(master);
    master = -1;
}

// The adapter is back under the same name, on a new terminal.
void QtUpdateDlg::PlugTheDeviceBackIn() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    fs::remove(link);
    fs::create_symlink(ptsname(master), link);
}

TEST_F(QtUpdateDlg, DeviceLost_ReportedOnce_WindowResponsive_OpenWorksOnceItIsBack) {
    std::vector<drive::ModalSeen> seen;
    Run([&](CUpdateDlg& dlg, platform::QtDialogWindow& w) {
        ASSERT_TRUE(dlg.Port().IsMonitorRunning());
        drive::DismissNextModal([&](const drive::ModalSeen& m) { seen.push_back(m); });
        PullTheDevice();
        ASSERT_TRUE(WaitFor([&] { return !seen.empty(); }));
        EXPECT_TRUE(seen[0].critical);
        EXPECT_NE(seen[0].text.find("ReadFile()"), std::string::npos) << seen[0].text;
        EXPECT_TRUE(dlg.Port().IsLineLost());

        // No second box while the window goes on, and the window still answers.
        for (int i = 0; i < 50; ++i) {
            drive::ProcessEvents(20ms);
            ASSERT_FALSE(drive::MessageBoxIsUp());
        }
        drive::Click(w, ids::kIncludeLogo);
        EXPECT_TRUE(w.IsChecked(ids::kIncludeLogo));

        PlugTheDeviceBackIn();
        EXPECT_TRUE(drive::ClickToolbarButton(w, ui::ID_OPEN_PORT));
        EXPECT_FALSE(dlg.Port().IsLineLost());
        EXPECT_TRUE(dlg.Port().IsMonitorRunning());
        EXPECT_EQ(Log(w).rfind("COM1:115200 8-N-1\nCOM1:115200 8-N-1\n", 0), 0U) << Log(w);
        const std::uint8_t chatter[] = {'o', 'k', '\n'};
        ASSERT_EQ(::write(master, chatter, sizeof chatter), 3);
        EXPECT_TRUE(
            WaitFor([&] { return w.GetText(ids::kTerminalLog).find("ok") != std::string::npos; }));
        drive::RequestClose(w);
    });
    EXPECT_EQ(seen.size(), 1U);
}

TEST_F(QtUpdateDlg, DeviceLostMidDownload_ButtonsComeBack_ReopenArmsTheDownloadAgain) {
    const fs::path image = dir / "sw.bin";
    std::ofstream(image, std::ios::binary) << std::string(100000, 'x');
    WriteIni("[Setting]\nUpdateSoftware=1\nSoftwarePath=" + image.string() + "\n");
    std::vector<drive::ModalSeen> seen;
    Run([&](CUpdateDlg& dlg, platform::QtDialogWindow& w) {
        const std::uint8_t ready = 0x19;
        ASSERT_EQ(::write(master, &ready, 1), 1);
        ASSERT_TRUE(WaitFor([&] { return !w.IsEnabled(ids::kExit); }));  // the download is on

        drive::DismissNextModal([&](const drive::ModalSeen& m) { seen.push_back(m); });
        PullTheDevice();
        ASSERT_TRUE(WaitFor([&] { return !seen.empty() && w.IsEnabled(ids::kExit); }));
        EXPECT_TRUE(w.IsEnabled(ids::kRestart));

        PlugTheDeviceBackIn();
        EXPECT_TRUE(drive::ClickToolbarButton(w, ui::ID_OPEN_PORT));
        EXPECT_EQ(test::Internals(dlg.Transfer()).m_nDownState,
                  protocol::DownloadState::AwaitReady);
        EXPECT_NE(Log(w).find("Restart! please power on platform to download files again"),
                  std::string::npos);
        // Armed again: the PC calls the box on the new line.
        EXPECT_TRUE(WaitFor([&] {
            std::uint8_t b = 0;
            return ::read(master, &b, 1) == 1;
        }));
        drive::RequestClose(w);
    });
    EXPECT_EQ(seen.size(), 1U);
}

// A server that takes the connection and never answers froze the window for the network
// time-out, twice at start-up before the window was shown, with a box after each.
class QtRemotePort : public QtUpdateDlg {
protected:
    void SetUp() override { options.comMap[1] = server.Url(); }
    void TearDown() override { platform::SetNetworkTimeout(timeout); }

    // Watches the window thread from a timer of its own while the start-up connects: the text
    // of the window that waits and how often the timer came round while it was up, and every
    // message box, dismissed. With `cancel`, the wait's Cancel is clicked on the 20th round.
    void Watch(bool cancel) {
        QObject::connect(&watch, &QTimer::timeout, [this, cancel] {
            QWidget* modal = QApplication::activeModalWidget();
            if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                boxes.push_back(box->text().toStdString());
                box->reject();
                return;
            }
            const auto* text = modal != nullptr ? modal->findChild<QLabel*>() : nullptr;
            if (text == nullptr || !text->text().startsWith(QStringLiteral("Connecting"))) {
                return;
            }
            shown = text->text().toStdString();
            if (++ticks == 20 && cancel) {
                modal->findChild<QAbstractButton*>()->click();
            }
        });
        watch.start(10);
    }

    const test::SilentServer server;
    const std::chrono::milliseconds timeout = platform::NetworkTimeout();
    QTimer watch;
    std::string shown;
    int ticks = 0;
    std::vector<std::string> boxes;
};

TEST_F(QtRemotePort, NeverAnswers_TheWindowWaitsWithoutFreezing_CancelEndsTheWait) {
    Watch(true);
    const auto started = std::chrono::steady_clock::now();
    Run([&](CUpdateDlg& dlg, platform::QtDialogWindow& w) {
        EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);  // not the 5 s time-out
        EXPECT_EQ(shown, "Connecting to 127.0.0.1:" + server.Port() + "\u2026");
        EXPECT_GE(ticks, 20);
        EXPECT_FALSE(dlg.Port().IsMonitorRunning());
        EXPECT_EQ(Log(w), "");  // no settings line for a port that is not open
        drive::ProcessEvents(200ms);
        drive::RequestClose(w);
    });
    EXPECT_TRUE(boxes.empty());
}

TEST_F(QtRemotePort, NeverAnswers_OneConnectionOneBox_TheSettingsLineOnceTheLineIsOpen) {
    platform::SetNetworkTimeout(500ms);
    Watch(false);
    Run([&](CUpdateDlg& dlg, platform::QtDialogWindow& w) {
        EXPECT_GT(ticks, 20);
        ASSERT_EQ(boxes.size(), 1U);
        EXPECT_NE(boxes[0].find("SetCommState()"), std::string::npos) << boxes[0];
        EXPECT_TRUE(dlg.Port().IsMonitorRunning());
        EXPECT_EQ(Log(w), "COM1:115200 8-N-1\n");
        drive::ProcessEvents(600ms);  // a second connection would fail by now
        drive::RequestClose(w);
    });
    EXPECT_EQ(boxes.size(), 1U);
}

}  // namespace
}  // namespace vandrelux::app
