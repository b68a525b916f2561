// The toolkit of a unit without a window: controls live in memory, timers and pauses belong to
// whatever drives the transfer, message boxes become lines for the operator and a file dialog is
// always cancelled.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "toolkit/MemoryToolkit.h"

namespace vandrelux::station {

// What drives a transfer: its window timers and its pauses.
class ITimerHost {
public:
    virtual ~ITimerHost() = default;
    virtual void StartTimer(unsigned timerId, unsigned periodMs) = 0;
    virtual void StopTimer(unsigned timerId) = 0;
    virtual void Sleep(std::uint32_t ms) = 0;
};

class CUnitToolkit final : public platform::MemoryToolkit {
public:
    // `say` shows one line to the operator.
    CUnitToolkit(ITimerHost& host, std::function<void(std::string_view)> say);

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
    ITimerHost& m_host;
    std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
    std::function<void(std::string_view)> m_say;
};

}  // namespace vandrelux::station
