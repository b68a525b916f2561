#include "station/UnitToolkit.h"

namespace vandrelux::station {

CUnitToolkit::CUnitToolkit(ITimerHost& host, std::function<void(std::string_view)> say)
    : m_host(host), m_say(std::move(say)) {}

void CUnitToolkit::StartTimer(unsigned timerId, unsigned periodMs) {
    m_host.StartTimer(timerId, periodMs);
}

void CUnitToolkit::StopTimer(unsigned timerId) {
    m_host.StopTimer(timerId);
}

void CUnitToolkit::MessageBox(std::string_view text) {
    messages.emplace_back(text);
    m_say(text);
}

void CUnitToolkit::ErrorBox(std::string_view title, std::string_view text) {
    m_say(std::string(title) + ": " + std::string(text));
}

std::optional<std::string> CUnitToolkit::OpenFileDialog() {
    return std::nullopt;
}

// Standard output carries the message log; the beacon trace has no place there.
void CUnitToolkit::ConsoleOut(std::string_view /*text*/) {}

std::uint32_t CUnitToolkit::TickCount() const {
    return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now() - m_start)
                                          .count());
}

void CUnitToolkit::Sleep(std::uint32_t ms) {
    m_host.Sleep(ms);
}

}  // namespace vandrelux::station
