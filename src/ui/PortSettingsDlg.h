// The "Port Settings" dialog: the COM port and line settings the operator picks.
#pragma once

#include <memory>
#include <string>

#include "device/LineState.h"
#include "toolkit/Dialog.h"

namespace vandrelux::ui {

// Combo boxes of the dialog.
inline constexpr platform::ControlId kComPortCombo = 1003;
inline constexpr platform::ControlId kBaudRateCombo = 1026;
inline constexpr platform::ControlId kParityCombo = 1027;
inline constexpr platform::ControlId kDataBitsCombo = 1028;
inline constexpr platform::ControlId kStopBitsCombo = 1029;
inline constexpr platform::ControlId kSendBufferCombo = 1043;

class CPortSettingsDlg final : public platform::IDialogHandler {
public:
    // `lineState` and `portNumber` are the port's as it stands.
    CPortSettingsDlg(platform::IDialogFactory& factory, const platform::LineState& lineState,
                     int portNumber);

    // IDOK when the operator confirmed; the members then hold the chosen texts.
    int DoModal();

    void OnInitDialog() override;
    [[nodiscard]] bool OnCommand(int id) override;

    // The window while the dialog is shown, for tests and the owner.
    [[nodiscard]] platform::IToolkit* Window() const { return m_window.get(); }

    std::string m_strComPort;
    std::string m_strBaudRate;
    std::string m_strParity;
    std::string m_strDataBits;
    std::string m_strStopBits;
    std::string m_strSendBuffer;
    platform::LineState m_lineState;

private:
    void LoadCombo(platform::ControlId id, const std::string& text);
    // Selects the first entry that begins with `prefix`, searching from the second entry and
    // wrapping round to the first; the entry selected, or -1.
    [[nodiscard]] int SelectAfterFirst(platform::ControlId id, const std::string& prefix);

    platform::DialogTemplate m_template;
    std::unique_ptr<platform::IDialogWindow> m_window;
};

// The leading decimal number of a text, 0 when there is none.
[[nodiscard]] int LeadingNumber(const std::string& text);

}  // namespace vandrelux::ui
