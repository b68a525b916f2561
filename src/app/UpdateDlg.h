// The main dialog: owns the port, the transfer, the log panes and the update-file panel, and
// routes the operator's commands, the port's bytes and the handshake timer to them.
//
// Threading: everything on the window thread, except the port owner's entry points, which the
// monitor thread calls and which hand their work to the window thread.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "os/IniFile.h"
#include "protocol/ControlsHost.h"
#include "protocol/Transfer.h"
#include "serial/ComPort.h"
#include "store/StandardImageStore.h"
#include "toolkit/Dialog.h"
#include "ui/CollapsibleDlg.h"
#include "ui/LogView.h"
#include "ui/UpdatePanel.h"

namespace vandrelux::app {

struct AppOptions {
    std::map<int, std::string> comMap;        // --com1, --com2
    std::optional<std::string> settingsPath;  // instead of the usual place
    // Ends the dialog (as Exit does) once the direction the settings armed has finished, and
    // prints the message log: for demonstrations and tests without an operator.
    bool exitWhenDone = false;
    std::optional<std::string> screenshot;  // saved just before such an end
    bool startReceive = false;  // press "to receive" once started, if the settings chose it
    // Opens the settings store at a path; the OS's own store when empty.
    std::function<std::unique_ptr<platform::IIniStore>(const std::string& path)> openSettings;
};

namespace detail {
// Made before the dialog's bases, which all work on the window.
struct WindowHolder {
    std::unique_ptr<platform::IDialogWindow> m_window;
};
}  // namespace detail

class CUpdateDlg final : private detail::WindowHolder,
                         public ui::CCollapsibleDlg,
                         public platform::IDialogHandler,
                         public serial::IPortOwner {
public:
    CUpdateDlg(platform::IDialogFactory& factory, AppOptions options);
    ~CUpdateDlg() override;

    int DoModal();

    void OnInitDialog() override;
    [[nodiscard]] bool OnCommand(int id) override;
    void OnTimer(unsigned timerId) override;
    [[nodiscard]] bool OnClose() override;
    [[nodiscard]] bool OnSysCommand(unsigned command) override;

    void OnExit();
    void OnConfigPort();
    void OnOpenPort();
    void OnClosePort();

    void SendRxChars(std::span<const std::uint8_t> bytes, int portNumber,
                     std::stop_token stop) override;
    void SendNotification(unsigned message, int portNumber, std::stop_token stop) override;
    void ShowErrorBox(std::string_view title, std::string_view text, std::stop_token stop) override;
    void ShowMessage(std::string_view text) override;
    [[nodiscard]] bool AwaitConnection(std::string_view device,
                                       const std::shared_future<void>& connected) override;

    // 0 unless an unattended run failed.
    [[nodiscard]] int ExitStatus() const noexcept { return m_nExitStatus; }

    [[nodiscard]] platform::IDialogWindow& Window() { return *m_window; }
    [[nodiscard]] protocol::CTransfer& Transfer() { return m_Transfer; }
    [[nodiscard]] serial::CComPort& Port() { return m_Port; }

    int m_nPortIndex = 0;
    int m_nBaudRate = 115200;
    char m_chParity = 'N';
    int m_nDataBits = 8;
    int m_nStopBits = 1;
    std::string m_szIniPath;

private:
    [[nodiscard]] std::unique_ptr<platform::IIniStore> OpenSettings() const;
    // The open port's monitor, its settings line in the message log and the handshake timer.
    void MonitorPort();
    void SaveSettings();
    // Unattended runs: whether the run is over, and whether it succeeded.
    [[nodiscard]] std::optional<bool> UnattendedOutcome();
    void FinishUnattended(bool succeeded);

    platform::IDialogFactory& m_factory;
    AppOptions m_options;
    ui::CInfoView m_MessageLog;
    ui::CLogView m_TerminalLog;
    ui::CTransferLogs m_logs;
    serial::CComPort m_Port;
    store::CStandardImageStore m_Store;  // "rv.bin" in the current folder
    protocol::CControlsHost m_host;      // the transfer's host on this window's controls
    protocol::CTransfer m_Transfer;
    ui::CUpdatePanel m_panel;
    int m_nExitStatus = 0;
    std::atomic<bool> m_bLineFailed{false};
    std::uint32_t m_dwLastRxTick = 0;  // window thread only
    bool m_bConnecting = false;        // a network port is being connected to
};

// The application object: runs the main dialog and ends the program when it closes.
class CUpdaterApp {
public:
    CUpdaterApp(platform::IDialogFactory& factory, AppOptions options)
        : m_factory(factory), m_options(std::move(options)) {}

    // Always false: the program ends after the dialog instead of running a loop of its own.
    bool InitInstance();
    [[nodiscard]] int ExitStatus() const noexcept { return m_nExitStatus; }

private:
    platform::IDialogFactory& m_factory;
    AppOptions m_options;
    int m_nExitStatus = 0;
};

}  // namespace vandrelux::app
