#include "ui/PortSettingsDlg.h"

#include <cstdlib>

#include "ui/Templates.h"

namespace vandrelux::ui {

namespace {

// The codes the line state's parity and stop bits have in the combo lists.
int ParityCode(char parity) {
    switch (parity) {
        case 'O':
            return 1;
        case 'E':
            return 2;
        case 'M':
            return 3;
        case 'S':
            return 4;
        default:
            return 0;
    }
}

int StopBitsCode(int stopBits) {
    return stopBits == 2 ? 2 : 0;
}

}  // namespace

int LeadingNumber(const std::string& text) {
    int value = 0;
    for (const char ch : text) {
        if (ch < '0' || ch > '9' || value > 100'000'000) {
            break;
        }
        value = value * 10 + (ch - '0');
    }
    return value;
}

CPortSettingsDlg::CPortSettingsDlg(platform::IDialogFactory& factory,
                                   const platform::LineState& lineState, int portNumber)
    : m_strComPort("COM" + std::to_string(portNumber)),
      m_lineState(lineState),
      m_template(PortSettingsTemplate()),
      m_window(factory.CreateDialog(m_template)) {}

int CPortSettingsDlg::DoModal() {
    return m_window->RunModal(*this);
}

void CPortSettingsDlg::LoadCombo(platform::ControlId id, const std::string& text) {
    m_window->SelectComboPrefix(id, text);
    if (m_window->ComboIndex(id) < 0) {
        m_window->SetText(id, text);
    }
}

int CPortSettingsDlg::SelectAfterFirst(platform::ControlId id, const std::string& prefix) {
    const std::vector<std::string>* items = nullptr;
    for (const platform::ControlTemplate& control : m_template.controls) {
        if (control.id == id) {
            items = &control.items;
        }
    }
    const std::size_t n = items == nullptr ? 0 : items->size();
    for (std::size_t k = 1; k <= n; ++k) {
        const std::size_t i = k % n;
        if ((*items)[i].starts_with(prefix)) {
            m_window->SelectComboIndex(id, static_cast<int>(i));
            return static_cast<int>(i);
        }
    }
    return -1;
}

void CPortSettingsDlg::OnInitDialog() {
    platform::IToolkit& w = *m_window;
    LoadCombo(kComPortCombo, m_strComPort);
    LoadCombo(kBaudRateCombo, m_strBaudRate);
    LoadCombo(kParityCombo, m_strParity);
    LoadCombo(kDataBitsCombo, m_strDataBits);
    LoadCombo(kStopBitsCombo, m_strStopBits);
    LoadCombo(kSendBufferCombo, m_strSendBuffer);

    // Each list holds the one setting this program supports; anything else falls back to it.
    if (SelectAfterFirst(kBaudRateCombo, std::to_string(m_lineState.baudRate)) != 0) {
        w.SelectComboPrefix(kBaudRateCombo, "115200");
    }
    w.SelectComboIndex(kParityCombo, ParityCode(m_lineState.parity));
    if (w.ComboIndex(kParityCombo) != 0) {
        w.SelectComboIndex(kParityCombo, 0);
    }
    w.SelectComboIndex(kStopBitsCombo, StopBitsCode(m_lineState.stopBits));
    if (w.ComboIndex(kStopBitsCombo) != 0) {
        w.SelectComboIndex(kStopBitsCombo, 0);
    }
    if (SelectAfterFirst(kDataBitsCombo, std::to_string(m_lineState.dataBits)) != 0) {
        w.SelectComboPrefix(kDataBitsCombo, "8");
    }
    const char digit = m_strComPort.size() > 3 ? m_strComPort[3] : '\0';
    w.SelectComboIndex(kComPortCombo, digit >= '1' && digit <= '4' ? digit - '1' : 0);
}

bool CPortSettingsDlg::OnCommand(int id) {
    if (id != platform::IDOK) {
        return false;
    }
    m_strComPort = m_window->GetText(kComPortCombo);
    m_strBaudRate = m_window->GetText(kBaudRateCombo);
    m_strParity = m_window->GetText(kParityCombo);
    m_strDataBits = m_window->GetText(kDataBitsCombo);
    m_strStopBits = m_window->GetText(kStopBitsCombo);
    m_strSendBuffer = m_window->GetText(kSendBufferCombo);
    m_window->EndDialog(platform::IDOK);
    return true;
}

}  // namespace vandrelux::ui
