// A toolkit with no window for tests: controls live in memory, message boxes are recorded,
// file dialogs are answered from a script and the clock only moves when told (or slept on).
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "toolkit/MemoryToolkit.h"

namespace vandrelux::platform {

class FakeToolkit : public MemoryToolkit {
public:
    void StartTimer(unsigned timerId, unsigned periodMs) override;
    void StopTimer(unsigned timerId) override;

    void MessageBox(std::string_view text) override;
    void ErrorBox(std::string_view title, std::string_view text) override;
    [[nodiscard]] std::optional<std::string> OpenFileDialog() override;
    void ConsoleOut(std::string_view text) override;

    [[nodiscard]] std::uint32_t TickCount() const override { return m_dwNow; }
    void Sleep(std::uint32_t ms) override;

    void Advance(std::uint32_t ms) { m_dwNow += ms; }
    void SetNow(std::uint32_t ms) { m_dwNow = ms; }
    void AnswerFileDialog(std::optional<std::string> answer) {
        m_fileAnswers.push_back(std::move(answer));
    }

    std::vector<std::string> messageBoxes;
    std::vector<std::pair<std::string, std::string>> errorBoxes;
    std::vector<std::uint32_t> sleeps;
    std::map<unsigned, unsigned> runningTimers;  // id -> period
    std::string console;
    int fileDialogsShown = 0;

private:
    std::deque<std::optional<std::string>> m_fileAnswers;
    std::uint32_t m_dwNow = 0;
};

}  // namespace vandrelux::platform
