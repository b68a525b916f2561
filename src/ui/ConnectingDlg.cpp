#include "ui/ConnectingDlg.h"

#include <utility>

#include "ui/Templates.h"

namespace vandrelux::ui {

namespace {

constexpr unsigned kPollTimer = 1;
constexpr unsigned kPollPeriodMs = 20;

}  // namespace

CConnectingDlg::CConnectingDlg(platform::IDialogFactory& factory, std::string_view where,
                               std::function<bool()> connected)
    : m_strText("Connecting to " + std::string(where) + "\xE2\x80\xA6"),
      m_connected(std::move(connected)),
      m_window(factory.CreateDialog(ConnectingTemplate())) {}

int CConnectingDlg::DoModal() {
    return m_window->RunModal(*this);
}

void CConnectingDlg::OnInitDialog() {
    m_window->SetText(kConnectingText, m_strText);
    m_window->CenterWindow();
    m_window->StartTimer(kPollTimer, kPollPeriodMs);
    // A connection that is already over needs no window at all.
    EndIfConnected();
}

void CConnectingDlg::OnTimer(unsigned timerId) {
    if (timerId == kPollTimer) {
        EndIfConnected();
    }
}

void CConnectingDlg::EndIfConnected() {
    if (m_connected()) {
        m_window->StopTimer(kPollTimer);
        m_window->EndDialog(platform::IDOK);
    }
}

}  // namespace vandrelux::ui
