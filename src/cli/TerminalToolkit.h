// The toolkit of the headless updater: controls live in memory, timers run on the event loop,
// message boxes become lines for the operator and a file dialog is always cancelled.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "platform/EventLoop.h"
#include "platform/MemoryToolkit.h"

namespace vandrelux::cli {

class TerminalToolkit final : public platform::MemoryToolkit {
public:
    // `say` shows one line to the operator.
    TerminalToolkit(platform::EventLoop& loop, std::function<void(std::string_view)> say);

    void StartTimer(unsigned timerId, unsigned periodMs) override;
    void StopTimer(unsigned timerId) override;
    void MessageBox(std::string_view text) override;
    void ErrorBox(std::string_view title, std::string_view text) override;
    [[nodiscard]] std::optional<std::string> OpenFileDialog() override;
    void ConsoleOut(std::string_view text) override;
    [[nodiscard]] std::uint32_t TickCount() const override;
    void Sleep(std::uint32_t ms) override;

    // The texts of every message box shown, in order.
    std::vector<std::string> messages;

private:
    platform::EventLoop& m_loop;
    std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
    std::function<void(std::string_view)> m_say;
};

}  // namespace vandrelux::cli
