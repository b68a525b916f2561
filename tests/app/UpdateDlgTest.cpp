// The main dialog's start-up, commands and closing, on fake dialog windows and a real
// pseudo-terminal as COM1.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "DialogFixture.h"
#include "TransferInternals.h"
#include "app/UpdateDlg.h"
#include "platform/fake/FakeDialog.h"
#include "protocol/ControlIds.h"
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
        window = factory.made.front();
        dlg->OnInitDialog();
        return *dlg;
    }

    platform::FakeDialogFactory factory;
    std::unique_ptr<CUpdateDlg> dlg;
    FakeDialogWindow* window = nullptr;
};

TEST_F(UpdateDlgTest, StartUp_LoadsSettingsArmsAndOpensThePort) {
    WriteIni("[Setting]\r\nUpdateSoftware=1\r\nSoftwarePath=/tmp/sw.bin\r\nPortNum=1\r\n");
    CUpdateDlg& d = Start();
    EXPECT_TRUE(window->IsChecked(ids::kIncludeSoftware));
    EXPECT_EQ(window->GetText(ids::kSoftwarePath), "/tmp/sw.bin");
    EXPECT_EQ(d.Transfer().m_nMode, protocol::Mode::Download);
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

TEST_F(UpdateDlgTest, TickBoxesAndToReceive_ReachThePanelAndTheTransfer) {
    CUpdateDlg& d = Start();
    window->SetChecked(ids::kReceiveAll, true);
    EXPECT_TRUE(d.OnCommand(ids::kReceiveAll));
    EXPECT_EQ(d.Transfer().m_nMode, protocol::Mode::Receive);
    EXPECT_TRUE(window->IsEnabled(ids::kToReceive));
    EXPECT_TRUE(d.OnCommand(ids::kToReceive));
    EXPECT_EQ(test::Internals(d.Transfer()).m_nState, protocol::ReceiveState::Handshake);
}

}  // namespace
}  // namespace vandrelux::app
