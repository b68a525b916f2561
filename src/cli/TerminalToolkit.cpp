#include "cli/TerminalToolkit.h"

#include <cstdio>
#include <thread>

#include "protocol/ControlIds.h"

namespace vandrelux::cli {

TerminalToolkit::TerminalToolkit(platform::EventLoop& loop) : m_loop(loop) {}

void TerminalToolkit::SetText(platform::ControlId id, std::string_view text) {
    MemoryToolkit::SetText(id, text);
    if (id == ids::kSizeText && m_onProgress) {
        m_onProgress();
    }
}

void TerminalToolkit::StartTimer(unsigned timerId, unsigned periodMs) {
    m_loop.StartTimer(timerId, periodMs);
}

void TerminalToolkit::StopTimer(unsigned timerId) { m_loop.StopTimer(timerId); }

void TerminalToolkit::MessageBox(std::string_view text) {
    messages.emplace_back(text);
    std::fprintf(stderr, "vandrelux-cli: %.*s\n", static_cast<int>(text.size()), text.data());
}

void TerminalToolkit::ErrorBox(std::string_view title, std::string_view text) {
    std::fprintf(stderr, "vandrelux-cli: %.*s: %.*s\n", static_cast<int>(title.size()),
                 title.data(), static_cast<int>(text.size()), text.data());
}

std::optional<std::string> TerminalToolkit::OpenFileDialog() { return std::nullopt; }

// Standard output carries the message log; the beacon trace has no place there.
void TerminalToolkit::ConsoleOut(std::string_view /*text*/) {}

std::uint32_t TerminalToolkit::TickCount() const {
    return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now() - m_start)
                                          .count());
}

void TerminalToolkit::Sleep(std::uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace vandrelux::cli
