#include "toolkit/fake/FakeToolkit.h"

namespace vandrelux::platform {

void FakeToolkit::StartTimer(unsigned timerId, unsigned periodMs) {
    runningTimers[timerId] = periodMs;
}

void FakeToolkit::StopTimer(unsigned timerId) {
    runningTimers.erase(timerId);
}

void FakeToolkit::MessageBox(std::string_view text) {
    messageBoxes.emplace_back(text);
}

void FakeToolkit::ErrorBox(std::string_view title, std::string_view text) {
    errorBoxes.emplace_back(std::string(title), std::string(text));
}

std::optional<std::string> FakeToolkit::OpenFileDialog() {
    ++fileDialogsShown;
    if (m_fileAnswers.empty()) {
        return std::nullopt;
    }
    std::optional<std::string> answer = std::move(m_fileAnswers.front());
    m_fileAnswers.pop_front();
    return answer;
}

void FakeToolkit::ConsoleOut(std::string_view text) {
    console.append(text);
}

void FakeToolkit::Sleep(std::uint32_t ms) {
    sleeps.push_back(ms);
    m_dwNow += ms;
}

}  // namespace vandrelux::platform
