// The wait while a port behind a network server is connected to on another thread: it says
// "Connecting to HOST:PORT…" and ends with IDOK once the connection has ended, for good or ill,
// or with IDCANCEL when the operator presses Cancel or Esc or closes it.
//
// Threading: the window thread only; `connected` is asked there, between the window's events.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "toolkit/Dialog.h"

namespace vandrelux::ui {

class CConnectingDlg final : public platform::IDialogHandler {
public:
    // `where` is the server, "HOST:PORT".
    CConnectingDlg(platform::IDialogFactory& factory, std::string_view where,
                   std::function<bool()> connected);

    int DoModal();

    void OnInitDialog() override;
    void OnTimer(unsigned timerId) override;

private:
    void EndIfConnected();

    std::string m_strText;
    std::function<bool()> m_connected;
    std::unique_ptr<platform::IDialogWindow> m_window;
};

}  // namespace vandrelux::ui
