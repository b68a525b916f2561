#include "cli/ConsoleEvents.h"

#include "cli/Updater.h"

namespace vandrelux::cli {

station::IPortEvents& CConsoleEvents::AddPort(std::string name) {
    const std::size_t index = m_console.AddPort(std::move(name));
    return m_ports.emplace_back(m_console, index, m_options);
}

void CConsoleEvents::Port::OpenFailed(const std::string& device,
                                      const platform::SystemError& error) {
    ReportOpenFailure(m_console, m_index, device, m_options, error);
}

}  // namespace vandrelux::cli
