// The main dialog's start-up, commands and closing, on fake dialog windows and a real
// pseudo-terminal as COM1.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "BoxFrames.h"
#include "DialogFixture.h"
#include "TransferInternals.h"
#include "app/UpdateDlg.h"
#include "os/IniFile.h"
#include "protocol/ControlIds.h"
#include "toolkit/fake/FakeDialog.h"
#include "ui/PortSettingsDlg.h"
#include "ui/Templates.h"

namespace vandrelux::app {
namespace {

namespace fs = std::filesystem;
using platform::FakeDialogWindow;

class UpdateDlgTest : public test::DialogFixture {
protected:
    // Makes the dialog and runs its initialisation as the modal run would.
    CUpdateDlg& Start() {
        dlg = std::make_unique<CUpdateDlg>(factory, options);
        window = factory.made.back();
        dlg->OnInitDialog();
        return *dlg;
    }

    platform::FakeDialogFactory factory;
    std::unique_ptr<CUpdateDlg> dlg;
    FakeDialogWindow* window = nullptr;
};

// A pseudo-terminal for the tests that need COM2 to exist.
class SecondLine {
public:
    SecondLine() : m_master(posix_openpt(O_RDWR | O_NOCTTY)) {
        EXPECT_EQ(grantpt(m_master), 0);
        EXPECT_EQ(unlockpt(m_master), 0);
    }
    ~SecondLine() { ::close(m_master); }
    SecondLine(const SecondLine&) = delete;
    SecondLine& operator=(const SecondLine&) = delete;

    [[nodiscard]] std::string Path() const { return ptsname(m_master); }

private:
    int m_master;
};

// The real store, with every key written noted down.
class CountingStore final : public platform::IIniStore {
public:
    CountingStore(const std::string& path, std::vector<std::string>& written)
        : m_file(path), m_written(written) {}

    [[nodiscard]] int GetInt(std::string_view section, std::string_view key,
                             int defaultValue) const override {
        return m_file.GetInt(section, key, defaultValue);
    }
    [[nodiscard]] std::string GetString(std::string_view section, std::string_view key,
                                        std::string_view defaultValue,
                                        std::size_t bufferSize) const override {
        return m_file.GetString(section, key, defaultValue, bufferSize);
    }
    bool WriteString(std::string_view section, std::string_view key,
                     std::string_view value) override {
        m_written.emplace_back(key);
        return m_file.WriteString(section, key, value);
    }

private:
    platform::IniFile m_file;
    std::vector<std::string>& m_written;
};

const std::vector<std::string> kEveryKeyOnce = {
    "DownloadFlashLoader", "FlashloaderPath", "UpdateBootStrap", "BootStrapPath",
    "UpdateSoftware",      "SoftwarePath",    "DownloadToRAM",   "UpdateUcode",
    "UcodePath",           "UpdateLogo",      "LogoPath",        "UpdateTvProgram",
    "TvProgramPath",       "PortNum"};

constexpr platform::ControlId kOtherTickBoxes[] = {ids::kIncludeBootstrap, ids::kIncludeSoftware,
                                                   ids::kIncludeUcode,     ids::kIncludeLogo,
                                                   ids::kDownloadToRam,    ids::kIncludeTvProgram};

TEST_F(UpdateDlgTest, StartUp_LoadsSettingsArmsAndOpensThePort) {
    WriteIni("[Setting]\r\nUpdateSoftware=1\r\nSoftwarePath=/tmp/sw.bin\r\nPortNum=1\r\n");
    CUpdateDlg& d = Start();
    EXPECT_TRUE(window->IsChecked(ids::kIncludeSoftware));
    EXPECT_EQ(window->GetText(ids::kSoftwarePath), "/tmp/sw.bin");
    EXPECT_EQ(d.Transfer().ChosenDirection(), protocol::Mode::Download);
    EXPECT_EQ(test::Internals(d.Transfer()).m_nDownState, protocol::DownloadState::AwaitReady);
    EXPECT_TRUE(d.Port().IsMonitorRunning());
    EXPECT_EQ(window->GetText(ids::kMessageLog), "COM1:115200 8-N-1\r\n");
    EXPECT_EQ(window->runningTimers.at(1), 1U);
    EXPECT_EQ(window->GetText(ids::kToggle), "Hide <<");
    EXPECT_EQ(window->toolbarCommands,
              (std::vector<int>{ui::ID_CONFIG_PORT, 0, ui::ID_OPEN_PORT, ui::ID_CLOSE_PORT}));
    ASSERT_EQ(window->systemMenu.size(), 1U);
    EXPECT_EQ(window->systemMenu[0].first, 0x0010U);
    EXPECT_NE(window->statusNote.find(ptsname(master)), std::string::npos);
    EXPECT_TRUE(window->messageBoxes.empty());
}

TEST_F(UpdateDlgTest, StartUp_PortNotOpenable_SaysCantInitAndStaysUsable) {
    WriteIni("[Setting]\nPortNum=2\n");
    CUpdateDlg& d = Start();
    EXPECT_EQ(window->messageBoxes, std::vector<std::string>{"Can't init COM2"});
    EXPECT_FALSE(d.Port().IsMonitorRunning());
    EXPECT_TRUE(window->runningTimers.empty());

    // "Open Serial Port" on the same missing device says so with its own words.
    d.OnOpenPort();
    EXPECT_EQ(window->messageBoxes.back(),
              "This COM port is not usable\xEF\xBC\x8Cplease use other port");
}

TEST_F(UpdateDlgTest, StartUp_WithoutToolbar_LeavesThePortClosed) {
    factory.onCreate = [](FakeDialogWindow& w) { w.toolbarFails = true; };
    CUpdateDlg& d = Start();
    EXPECT_FALSE(d.Port().IsMonitorRunning());
    EXPECT_TRUE(window->messageBoxes.empty());
}

TEST_F(UpdateDlgTest, EnterNeverCloses_EscClosesWithoutSaving) {
    CUpdateDlg& d = Start();
    EXPECT_TRUE(d.OnCommand(platform::IDOK));
    EXPECT_FALSE(d.OnCommand(platform::IDCANCEL));  // the toolkit ends it with Cancel
    EXPECT_FALSE(fs::exists(*options.settingsPath));
}

TEST_F(UpdateDlgTest, ExitAndCloseBox_EachSaveAllKeysOnce) {
    CUpdateDlg& d = Start();
    window->SetChecked(ids::kIncludeLogo, true);
    EXPECT_TRUE(d.OnCommand(ids::kExit));
    EXPECT_TRUE(window->runningTimers.empty());
    const std::string saved = ReadIni();
    EXPECT_NE(saved.find("UpdateLogo=1"), std::string::npos);
    EXPECT_NE(saved.find("PortNum=1"), std::string::npos);

    fs::remove(*options.settingsPath);
    EXPECT_FALSE(d.OnClose());  // default processing ends the dialog
    EXPECT_NE(ReadIni().find("TvProgramPath="), std::string::npos);
}

TEST_F(UpdateDlgTest, SettingsFile_WrittenOnceByExitAndOnceByTheCloseBox_NeverByEsc) {
    std::vector<std::string> written;
    options.openSettings = [&](const std::string& path) {
        return std::make_unique<CountingStore>(path, written);
    };
    CUpdateDlg& d = Start();
    EXPECT_TRUE(written.empty());
    EXPECT_FALSE(d.OnCommand(platform::IDCANCEL));
    EXPECT_TRUE(written.empty());
    EXPECT_TRUE(d.OnCommand(ids::kExit));
    EXPECT_EQ(written, kEveryKeyOnce);
    written.clear();
    EXPECT_FALSE(d.OnClose());
    EXPECT_EQ(written, kEveryKeyOnce);
    written.clear();
    dlg.reset();
    EXPECT_TRUE(written.empty());
}

TEST_F(UpdateDlgTest, ClosedInReceiveMode_NextStartHasTheReceiveBoxTickedAndTheOthersDisabled) {
    WriteIni("[Setting]\nUpdateSoftware=1\nSoftwarePath=/tmp/sw.bin\n");
    CUpdateDlg& first = Start();
    window->SetChecked(ids::kReceiveAll, true);
    ASSERT_TRUE(first.OnCommand(ids::kReceiveAll));
    EXPECT_FALSE(first.OnClose());
    dlg.reset();  // frees COM1 for the next start

    CUpdateDlg& next = Start();
    EXPECT_TRUE(window->IsChecked(ids::kReceiveAll));
    EXPECT_FALSE(window->IsChecked(ids::kIncludeSoftware));
    EXPECT_EQ(window->GetText(ids::kSoftwarePath), "/tmp/sw.bin");
    for (const platform::ControlId id : kOtherTickBoxes) {
        EXPECT_FALSE(window->IsEnabled(id)) << id;
    }
    EXPECT_TRUE(window->IsEnabled(ids::kToReceive));
    EXPECT_EQ(next.Transfer().ChosenDirection(), protocol::Mode::Receive);
}

// Showing the panel again enables every control in it, whatever the tick-box rule said; the
// receive choice stays armed until a click on another box applies that box's rule.
TEST_F(UpdateDlgTest, ReceiveChosen_HideAndShowEnableTheOtherBoxes_AClickAppliesItsRule) {
    CUpdateDlg& d = Start();
    window->SetChecked(ids::kReceiveAll, true);
    ASSERT_TRUE(d.OnCommand(ids::kReceiveAll));
    ASSERT_FALSE(window->IsEnabled(ids::kIncludeLogo));
    EXPECT_TRUE(d.OnCommand(ids::kToggle));
    EXPECT_TRUE(d.OnCommand(ids::kToggle));
    for (const platform::ControlId id : kOtherTickBoxes) {
        EXPECT_TRUE(window->IsEnabled(id)) << id;
    }
    EXPECT_EQ(d.Transfer().ChosenDirection(), protocol::Mode::Receive);

    window->SetChecked(ids::kIncludeLogo, true);
    EXPECT_TRUE(d.OnCommand(ids::kIncludeLogo));
    EXPECT_EQ(d.Transfer().ChosenDirection(), protocol::Mode::Download);
    EXPECT_EQ(test::Internals(d.Transfer()).m_nDownState, protocol::DownloadState::AwaitReady);
    EXPECT_FALSE(window->IsEnabled(ids::kReceiveAll));
    EXPECT_TRUE(window->IsChecked(ids::kReceiveAll));  // the rule never changes a tick
    EXPECT_TRUE(window->IsEnabled(ids::kToSend));
    EXPECT_FALSE(window->IsEnabled(ids::kToReceive));
}

TEST_F(UpdateDlgTest, PortTwo_ShowsAsTwoInTheLogLine) {
    const SecondLine com2;
    options.comMap[2] = com2.Path();
    WriteIni("[Setting]\nPortNum=2\n");
    CUpdateDlg& d = Start();
    EXPECT_TRUE(d.Port().IsMonitorRunning());
    EXPECT_EQ(window->GetText(ids::kMessageLog), "COM2:115200 8-N-1\r\n");
    EXPECT_EQ(d.Port().DevicePath(), com2.Path());
}

TEST_F(UpdateDlgTest, OpenSerialPortTwice_SecondDoesNothing) {
    CUpdateDlg& d = Start();
    d.OnOpenPort();
    EXPECT_EQ(window->GetText(ids::kMessageLog), "COM1:115200 8-N-1\r\n");
}

TEST_F(UpdateDlgTest, CloseThenOpen_StartsANewMonitorAndLogsAgain) {
    CUpdateDlg& d = Start();
    EXPECT_TRUE(d.OnCommand(ui::ID_CLOSE_PORT));
    EXPECT_FALSE(d.Port().IsMonitorRunning());
    EXPECT_TRUE(window->runningTimers.empty());
    EXPECT_TRUE(d.OnCommand(ui::ID_OPEN_PORT));
    EXPECT_TRUE(d.Port().IsMonitorRunning());
    EXPECT_EQ(window->runningTimers.at(1), 1U);
    EXPECT_EQ(window->GetText(ids::kMessageLog), "COM1:115200 8-N-1\r\nCOM1:115200 8-N-1\r\n");
}

TEST_F(UpdateDlgTest, ConfigPort_CancelChangesNothing_OkReopensWithTheChoice) {
    CUpdateDlg& d = Start();
    d.OnConfigPort();  // the fake ends it with Cancel
    EXPECT_TRUE(d.Port().IsMonitorRunning());

    factory.onCreate = [](FakeDialogWindow& w) {
        w.whileModal = [](platform::IDialogHandler& h, FakeDialogWindow& pw) {
            EXPECT_EQ(pw.GetText(ui::kComPortCombo), "COM1");
            EXPECT_EQ(pw.GetText(ui::kSendBufferCombo), "4096");
            pw.SelectComboIndex(ui::kComPortCombo, 1);
            (void)h.OnCommand(platform::IDOK);
        };
    };
    d.OnConfigPort();
    EXPECT_EQ(d.m_nPortIndex, 1);
    EXPECT_EQ(window->messageBoxes, std::vector<std::string>{"Can not config this COM 2!"});
    EXPECT_FALSE(d.Port().IsMonitorRunning());
}

// OK with the values as they were still re-opens the port, which ends the monitor; the write
// buffer a transfer enlarged is made anew.
TEST_F(UpdateDlgTest, ConfigPort_UnchangedValuesWhileMonitored_ReopenAndLeaveNoMonitor) {
    WriteIni("[Setting]\nUpdateLogo=1\nLogoPath=/tmp/logo.bin\n");
    CUpdateDlg& d = Start();
    d.OnTimer(1);  // the beacon goes out through the transfer's own buffer
    ASSERT_EQ(d.Port().GetWriteCapacity(), 4106);
    factory.onCreate = [](FakeDialogWindow& w) {
        w.whileModal = [](platform::IDialogHandler& h, FakeDialogWindow& pw) {
            EXPECT_EQ(pw.GetText(ui::kSendBufferCombo), "4106");
            (void)h.OnCommand(platform::IDOK);
        };
    };
    d.OnConfigPort();
    EXPECT_FALSE(d.Port().IsMonitorRunning());
    EXPECT_EQ(d.Port().GetWriteCapacity(), 4096);
    EXPECT_TRUE(window->messageBoxes.empty());
    EXPECT_EQ(window->runningTimers.at(1), 1U);
    d.OnOpenPort();
    EXPECT_TRUE(d.Port().IsMonitorRunning());
}

TEST_F(UpdateDlgTest, ConfigPort_Com2Chosen_TheNextShowingSelectsCom2) {
    const SecondLine com2;
    options.comMap[2] = com2.Path();
    CUpdateDlg& d = Start();
    std::vector<std::string> shown;
    factory.onCreate = [&](FakeDialogWindow& w) {
        w.whileModal = [&](platform::IDialogHandler& h, FakeDialogWindow& pw) {
            shown.push_back(pw.GetText(ui::kComPortCombo));
            pw.SelectComboIndex(ui::kComPortCombo, 1);
            (void)h.OnCommand(platform::IDOK);
        };
    };
    d.OnConfigPort();
    d.OnConfigPort();
    EXPECT_EQ(shown, (std::vector<std::string>{"COM1", "COM2"}));
    EXPECT_EQ(d.m_nPortIndex, 1);
    EXPECT_EQ(d.Port().DevicePath(), com2.Path());
    EXPECT_TRUE(window->messageBoxes.empty());
}

TEST_F(UpdateDlgTest, ConfigPort_SendBufferThatIsNoNumber_ChangesNothing) {
    CUpdateDlg& d = Start();
    factory.onCreate = [](FakeDialogWindow& w) {
        w.whileModal = [](platform::IDialogHandler& h, FakeDialogWindow& pw) {
            pw.SetText(ui::kSendBufferCombo, "lots");
            (void)h.OnCommand(platform::IDOK);
        };
    };
    d.OnConfigPort();
    EXPECT_TRUE(window->messageBoxes.empty());
    EXPECT_EQ(d.Port().GetWriteCapacity(), 4096);
    EXPECT_EQ(d.Port().GetLineState().baudRate, 115200);
    EXPECT_EQ(d.m_nPortIndex, 0);
    d.OnOpenPort();
    EXPECT_EQ(window->GetText(ids::kMessageLog), "COM1:115200 8-N-1\r\nCOM1:115200 8-N-1\r\n");
}

TEST_F(UpdateDlgTest, ToggleButton_CollapsesAndExpands) {
    CUpdateDlg& d = Start();
    EXPECT_TRUE(d.OnCommand(ids::kToggle));
    EXPECT_EQ(window->GetText(ids::kToggle), "Show >>");
    EXPECT_TRUE(d.OnCommand(ids::kToggle));
    EXPECT_EQ(window->GetText(ids::kToggle), "Hide <<");
}

TEST_F(UpdateDlgTest, AboutSystemCommand_ShowsTheAboutBox) {
    CUpdateDlg& d = Start();
    EXPECT_FALSE(d.OnSysCommand(0xF060));
    int shown = 0;
    factory.onCreate = [&](FakeDialogWindow& w) { shown = w.dialogTemplate.id; };
    EXPECT_TRUE(d.OnSysCommand(0x0013));
    EXPECT_EQ(shown, ui::kAboutDialogId);
}

// A file on the PC's side that fails leaves the box waiting for the PC, silent: the buttons and
// the reason cannot wait for its next byte.
TEST_F(UpdateDlgTest, OwnFileFails_RestartAndExitAtOnceAndTheReasonInTheLog) {
    const std::string logo = (dir / "missing-logo.bin").string();
    const std::string target = (dir / "no-such-folder" / "target.bin").string();
    const struct {
        std::string settings;
        test::Bytes box;
        std::string file;
    } cases[] = {{"UpdateLogo=1\nLogoPath=" + logo, {0x19, 0x06}, logo},
                 {"DownloadFlashLoader=1\nFlashloaderPath=" + target,
                  test::WholeReceive({1, 2, 3, 4}), target}};
    for (const auto& c : cases) {
        WriteIni("[Setting]\n" + c.settings + "\n");
        CUpdateDlg& d = Start();
        if (d.Transfer().ChosenDirection() == protocol::Mode::Receive) {
            EXPECT_TRUE(d.OnCommand(ids::kToReceive));
        }
        d.SendRxChars(c.box, 1, {});
        EXPECT_EQ(window->messageBoxes, std::vector<std::string>{"Can not open file"}) << c.file;
        EXPECT_TRUE(window->IsEnabled(ids::kRestart)) << c.file;
        EXPECT_TRUE(window->IsEnabled(ids::kExit)) << c.file;
        EXPECT_NE(window->GetText(ids::kMessageLog)
                      .find("Can not open file " + c.file + ": No such file or directory\r\n"),
                  std::string::npos)
            << window->GetText(ids::kMessageLog);
        dlg.reset();
    }
}

TEST_F(UpdateDlgTest, TickBoxesAndToReceive_ReachThePanelAndTheTransfer) {
    CUpdateDlg& d = Start();
    window->SetChecked(ids::kReceiveAll, true);
    EXPECT_TRUE(d.OnCommand(ids::kReceiveAll));
    EXPECT_EQ(d.Transfer().ChosenDirection(), protocol::Mode::Receive);
    EXPECT_TRUE(window->IsEnabled(ids::kToReceive));
    EXPECT_TRUE(d.OnCommand(ids::kToReceive));
    EXPECT_EQ(test::Internals(d.Transfer()).m_nState, protocol::ReceiveState::Handshake);
}

}  // namespace
}  // namespace vandrelux::app
