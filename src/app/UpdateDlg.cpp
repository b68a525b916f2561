#include "app/UpdateDlg.h"

#include <chrono>
#include <cstdio>
#include <future>

#include "app/Settings.h"
#include "device/ComPortNames.h"
#include "device/net/PortUrl.h"
#include "os/Format.h"
#include "os/IniFile.h"
#include "os/Process.h"
#include "protocol/ControlIds.h"
#include "ui/ConnectingDlg.h"
#include "ui/PortSettingsDlg.h"
#include "ui/Templates.h"

namespace vandrelux::app {

namespace {

using platform::Format;

using protocol::kHandshakeTimer;
constexpr unsigned kUnattendedTimer = 2;  // watches an unattended run for its end
constexpr unsigned kUnattendedPeriodMs = 50;
constexpr std::uint32_t kQuietMs = 150;  // the box's last words come in this soon
constexpr std::uint32_t kClosePauseMs = 10;
constexpr int kWriteBufferSize = 4096;
// The full-width comma belongs to the message as the operators know it.
constexpr const char* kPortNotUsable =
    "This COM port is not usable\xEF\xBC\x8Cplease use other port";

// "HOST:PORT" of a network port's name, an IPv6 host in its brackets.
std::string ServerOf(std::string_view device) {
    const std::optional<platform::PortUrl> url = platform::ParsePortUrl(device);
    if (!url) {
        return std::string(device);
    }
    const bool ipv6 = url->host.find(':') != std::string::npos;
    return (ipv6 ? "[" + url->host + "]" : url->host) + ":" + url->port;
}

// The about box has no logic of its own: OK and Esc end it.
class CAboutDlg final : public platform::IDialogHandler {};

}  // namespace

CUpdateDlg::CUpdateDlg(platform::IDialogFactory& factory, AppOptions options)
    : detail::WindowHolder{factory.CreateDialog(ui::MainDialogTemplate())},
      ui::CCollapsibleDlg(*m_window, ids::kFrame, ids::kToggle, "Show >>", "Hide <<", true),
      m_factory(factory),
      m_options(std::move(options)),
      m_MessageLog(*m_window, ids::kMessageLog),
      m_TerminalLog(*m_window, ids::kTerminalLog),
      m_logs(m_MessageLog, m_TerminalLog),
      m_Port(*this, [mapping = platform::ComMapping{m_options.comMap}](
                        int n) { return platform::ResolveComPort(n, mapping); }),
      m_host(*m_window),
      m_Transfer(m_host, m_Port, m_logs, m_Store),
      m_panel(*m_window, m_Transfer) {}

// The port goes first: its monitor may be handing bytes to the transfer.
CUpdateDlg::~CUpdateDlg() {
    m_Port.HaltMonitor();
}

int CUpdateDlg::DoModal() {
    return m_window->RunModal(*this);
}

void CUpdateDlg::OnInitDialog() {
    if (m_options.exitWhenDone) {
        m_window->SetUnattended(true);
        m_window->StartTimer(kUnattendedTimer, kUnattendedPeriodMs);
    }
    InitCollapsible();
    m_TerminalLog.OnCreate();
    m_window->AppendSystemMenuItem(ui::ID_SYS_ABOUT, ui::kAboutMenuText);
    m_szIniPath = m_options.settingsPath.value_or(SettingsPath(platform::ExecutablePath()));
    m_Transfer.ChooseDirection(protocol::Mode::None);
    LoadSettings(*OpenSettings(), *m_window, m_nPortIndex);
    m_panel.ArmDirection(m_window->IsChecked(ids::kReceiveAll) ? ids::kReceiveAll
                                                               : ids::kIncludeSoftware);
    m_window->CenterWindow();
    if (!m_window->CreateToolbar(ui::MainToolbarTemplate(), 6, 4, 385, 50)) {
        return;
    }
    const int portNumber = m_nPortIndex + 1;
    if (m_Port.OpenPort(this, portNumber, 115200, 'N', 8, 1, serial::EV_RXCHAR, kWriteBufferSize)) {
        // A network port is connected to once: a second connection would wait, and fail, again.
        if (platform::IsNetworkPortName(m_Port.DevicePath())) {
            MonitorPort();
        } else {
            OnOpenPort();
        }
    } else if (!m_Port.OpenCancelled()) {
        m_window->MessageBox(Format("Can't init COM%d", portNumber));
    }
    m_window->SetStatusNote(Format("COM%d = %s", portNumber, m_Port.DevicePath().c_str()));
    if (m_options.startReceive && m_Transfer.ChosenDirection() == protocol::Mode::Receive) {
        m_Transfer.OnToReceive();
    }
}

bool CUpdateDlg::OnCommand(int id) {
    // Enter must never close the dialog.
    if (id == platform::IDOK) {
        return true;
    }
    FilterCommand(id);
    switch (id) {
        case ids::kExit:
            OnExit();
            return true;
        case ids::kToReceive:
            m_Transfer.OnToReceive();
            return true;
        case ids::kRestart:
            m_Transfer.OnRestart();
            return true;
        case ui::ID_CONFIG_PORT:
            OnConfigPort();
            return true;
        case ui::ID_OPEN_PORT:
            OnOpenPort();
            return true;
        case ui::ID_CLOSE_PORT:
            OnClosePort();
            return true;
        default:
            return m_panel.OnCommand(id) || id == ids::kToggle;
    }
}

void CUpdateDlg::OnTimer(unsigned timerId) {
    m_Transfer.OnTimer(timerId);
    if (timerId == kUnattendedTimer) {
        if (const std::optional<bool> outcome = UnattendedOutcome()) {
            FinishUnattended(*outcome);
        }
    }
}

bool CUpdateDlg::OnClose() {
    m_window->StopTimer(kHandshakeTimer);
    m_window->Sleep(kClosePauseMs);
    SaveSettings();
    return false;
}

bool CUpdateDlg::OnSysCommand(unsigned command) {
    if ((command & 0xFFF0U) != ui::ID_SYS_ABOUT) {
        return false;
    }
    CAboutDlg about;
    (void)m_factory.CreateDialog(ui::AboutTemplate())->RunModal(about);
    return true;
}

void CUpdateDlg::OnExit() {
    m_window->StopTimer(kHandshakeTimer);
    SaveSettings();
    m_window->Sleep(kClosePauseMs);
    m_window->EndDialog(platform::IDOK);
}

std::unique_ptr<platform::IIniStore> CUpdateDlg::OpenSettings() const {
    return m_options.openSettings ? m_options.openSettings(m_szIniPath)
                                  : platform::OpenIniStore(m_szIniPath);
}

void CUpdateDlg::SaveSettings() {
    app::SaveSettings(*OpenSettings(), *m_window, m_nPortIndex);
}

void CUpdateDlg::OnConfigPort() {
    ui::CPortSettingsDlg dlg(m_factory, m_Port.GetLineState(), m_Port.PortNumber());
    dlg.m_strSendBuffer = std::to_string(m_Port.GetWriteCapacity());
    if (dlg.DoModal() != platform::IDOK) {
        return;
    }
    const char digit = dlg.m_strComPort.size() > 3 ? dlg.m_strComPort[3] : '\0';
    if (digit >= '1' && digit <= '4') {
        m_nPortIndex = digit - '1';
    }
    m_nBaudRate = ui::LeadingNumber(dlg.m_strBaudRate);
    m_chParity = dlg.m_strParity.empty() ? '\0' : dlg.m_strParity[0];
    m_nDataBits = ui::LeadingNumber(dlg.m_strDataBits);
    m_nStopBits = ui::LeadingNumber(dlg.m_strStopBits);
    const int portNumber = m_nPortIndex + 1;
    if (!m_Port.OpenPort(this, portNumber, m_nBaudRate, m_chParity, m_nDataBits, m_nStopBits,
                         serial::EV_RXCHAR, kWriteBufferSize) &&
        !m_Port.OpenCancelled()) {
        m_window->MessageBox(Format("Can not config this COM %d!", portNumber));
    }
    m_window->SetStatusNote(Format("COM%d = %s", portNumber, m_Port.DevicePath().c_str()));
}

void CUpdateDlg::OnOpenPort() {
    // A line that was lost is open in name only: opening again is how the operator gets it back.
    const bool lineWasLost = m_Port.IsLineLost();
    if (m_Port.IsMonitorRunning() && !lineWasLost) {
        return;
    }
    if (!m_Port.OpenPort(this, m_nPortIndex + 1, m_nBaudRate, m_chParity, m_nDataBits, m_nStopBits,
                         serial::EV_RXCHAR, kWriteBufferSize)) {
        if (!m_Port.OpenCancelled()) {
            m_window->MessageBox(kPortNotUsable);
        }
        return;
    }
    MonitorPort();
    if (lineWasLost) {
        // Whatever the box and the PC were doing died with the line: start over, as Restart does.
        m_Transfer.OnRestart();
    }
}

void CUpdateDlg::MonitorPort() {
    const int portNumber = m_nPortIndex + 1;
    m_Port.StartMonitor();
    m_window->ReplaceSelection(ids::kMessageLog,
                               Format("COM%d:%d %d-%c-%d\r\n", portNumber, m_nBaudRate, m_nDataBits,
                                      m_chParity, m_nStopBits));
    m_window->StartTimer(kHandshakeTimer, 1);
    m_window->SetStatusNote(Format("COM%d = %s", portNumber, m_Port.DevicePath().c_str()));
}

void CUpdateDlg::OnClosePort() {
    m_Port.HaltMonitor();
    m_window->StopTimer(kHandshakeTimer);
}

void CUpdateDlg::SendRxChars(std::span<const std::uint8_t> bytes, int portNumber,
                             std::stop_token stop) {
    m_window->SendToWindow(
        [&] {
            m_dwLastRxTick = m_window->TickCount();
            for (const std::uint8_t b : bytes) {
                m_Transfer.OnPortRxChar(b, portNumber);
            }
        },
        stop);
}

// No notification but the received byte is ever asked for; the window has nothing to do.
void CUpdateDlg::SendNotification(unsigned /*message*/, int /*portNumber*/,
                                  std::stop_token /*stop*/) {}

void CUpdateDlg::ShowErrorBox(std::string_view title, std::string_view text, std::stop_token stop) {
    m_bLineFailed = true;
    m_window->ShowErrorBox(title, text, stop);
    if (m_Port.IsLineLost()) {
        // A transfer the line took down would otherwise leave Restart and Exit disabled.
        static_cast<void>(m_window->SendToWindow(
            [this] {
                m_window->Enable(ids::kRestart, true);
                m_window->Enable(ids::kExit, true);
            },
            stop));
    }
}

void CUpdateDlg::ShowMessage(std::string_view text) {
    m_window->MessageBox(text);
}

bool CUpdateDlg::AwaitConnection(std::string_view device,
                                 const std::shared_future<void>& connected) {
    ui::CConnectingDlg wait(m_factory, ServerOf(device), [&connected] {
        return connected.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    });
    m_bConnecting = true;
    const bool done = wait.DoModal() == platform::IDOK;
    m_bConnecting = false;
    return done;
}

std::optional<bool> CUpdateDlg::UnattendedOutcome() {
    // The port is neither open nor failed yet.
    if (m_bConnecting) {
        return std::nullopt;
    }
    const protocol::TransferOutcome ended = m_Transfer.Outcome();
    std::optional<bool> outcome;
    if (ended.direction == m_Transfer.ChosenDirection() &&
        (ended.status == protocol::TransferStatus::Succeeded ||
         ended.status == protocol::TransferStatus::Failed)) {
        outcome = ended.status == protocol::TransferStatus::Succeeded;
    }
    if (!outcome) {
        // A line that is gone, or never opened, ends the run as a failure.
        return m_bLineFailed || !m_Port.IsMonitorRunning() ? std::optional<bool>(false)
                                                           : std::nullopt;
    }
    // The last answer must reach the box, and the box's last words the terminal log; a box
    // that hangs up once it is done has nothing more to say.
    const bool quiet = m_bLineFailed || m_window->TickCount() - m_dwLastRxTick > kQuietMs;
    return quiet && !m_Port.WritesPending() ? outcome : std::nullopt;
}

void CUpdateDlg::FinishUnattended(bool succeeded) {
    m_window->StopTimer(kUnattendedTimer);
    m_nExitStatus = succeeded ? 0 : 1;
    if (m_options.screenshot && !m_window->SaveScreenshot(*m_options.screenshot)) {
        std::fprintf(stderr, "vandrelux: cannot save %s\n", m_options.screenshot->c_str());
    }
    std::string log = m_window->GetText(ids::kMessageLog);
    std::erase(log, '\r');
    std::fputs(log.c_str(), stdout);
    std::fflush(stdout);
    if (!succeeded) {
        std::fputs("vandrelux: the transfer did not succeed\n", stderr);
    }
    OnExit();
}

bool CUpdaterApp::InitInstance() {
    CUpdateDlg dlg(m_factory, m_options);
    (void)dlg.DoModal();
    m_nExitStatus = dlg.ExitStatus();
    return false;
}

}  // namespace vandrelux::app
