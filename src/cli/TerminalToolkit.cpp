#include "cli/TerminalToolkit.h"

namespace vandrelux::cli {

TerminalToolkit::TerminalToolkit(ITimerHost& host, std::function<void(std::string_view)> say)
    : m_host(host), m_say(std::move(say)) {}

void TerminalToolkit::StartTimer(unsigned timerId, unsigned periodMs) {
    m_host.StartTimer(timerId, periodMs);
}

void TerminalToolkit::StopTimer(unsigned timerId) {
    m_host.StopTimer(timerId);
}

void TerminalToolkit::MessageBox(std::string_view text) {
    messages.emplace_back(text);
    m_say(text);
}

void TerminalToolkit::ErrorBox(std::string_view title, std::string_view text) {
    m_say(std::string(title) + ": " + std::string(text));
}

std::optional<std::string> TerminalToolkit::OpenFileDialog() {
    return std::nullopt;
}

// Standard output carries the message log; the beacon trace has no place there.
void TerminalToolkit::ConsoleOut(std::string_view /*text*/) {}

std::uint32_t TerminalToolkit::TickCount() const {
    return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now() - m_start)
                                          .count());
}

void TerminalToolkit::Sleep(std::uint32_t ms) {
    m_host.Sleep(ms);
}

}  // namespace vandrelux::cli
