// The toolkit of the headless updater: controls live in memory, timers run on the event loop,
// message boxes become lines on standard error and a file dialog is always cancelled.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "platform/EventLoop.h"
#include "platform/MemoryToolkit.h"

namespace vandrelux::cli {

class TerminalToolkit final : public platform::MemoryToolkit {
public:
    explicit TerminalToolkit(platform::EventLoop& loop);

    void SetText(platform::ControlId id, std::string_view text) override;

    void StartTimer(unsigned timerId, unsigned periodMs) override;
    void StopTimer(unsigned timerId) override;
    void MessageBox(std::string_view text) override;
    void ErrorBox(std::string_view title, std::string_view text) override;
    [[nodiscard]] std::optional<std::string> OpenFileDialog() override;
    void ConsoleOut(std::string_view text) override;
    [[nodiscard]] std::uint32_t TickCount() const override;
    void Sleep(std::uint32_t ms) override;

    // Called whenever the progress texts change.
    void SetProgressListener(std::function<void()> listener) { m_onProgress = std::move(listener); }

    // The texts of every message box shown, in order.
    std::vector<std::string> messages;

private:
    platform::EventLoop& m_loop;
    std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
    std::function<void()> m_onProgress;
};

}  // namespace vandrelux::cli
