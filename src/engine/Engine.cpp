#include "engine/Engine.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "device/LineState.h"
#include "serial/ComPort.h"

namespace vandrelux::engine {

CEngine::CEngine(std::chrono::milliseconds beacon) {
    m_loop.SetTick(beacon, [this] { Tick(); });
}

CEngine::~CEngine() {
    // Opens still under way finish first: their threads post into the loop.
    m_openers.clear();
    m_lines.clear();
}

CLine* CEngine::Attach(std::unique_ptr<platform::SerialDevice> device, ILineClient& client) {
    auto line = std::make_unique<CLine>(m_loop, std::move(device), client);
    if (!line->Start()) {
        return nullptr;
    }
    m_lines.push_back(std::move(line));
    m_loop.TickOn(true);
    return m_lines.back().get();
}

void CEngine::Close(CLine* line) {
    if (line == nullptr || line->IsClosed()) {
        return;
    }
    line->Close();
    m_loop.Defer([this] {
        m_lines.remove_if([](const auto& each) { return each->IsClosed(); });
        m_loop.TickOn(!m_lines.empty());
    });
}

void CEngine::Open(std::string name, int baudRate, std::function<void(OpenResult)> done) {
    const std::uint64_t id = m_nextOpener++;
    Opener& opener = m_openers.emplace_back();
    opener.id = id;
    opener.thread = std::jthread(
        [this, id, name = std::move(name), baudRate, done = std::move(done)]() mutable {
            auto result = std::make_shared<OpenResult>();
            result->device = std::make_unique<platform::SerialDevice>();
            std::optional<platform::PortStep> step;
            if (!result->device->Open(name)) {
                step = platform::PortStep::Open;
            } else {
                platform::LineState state;
                step = serial::ConfigureDevice(*result->device, baudRate, 'N', 8, 1,
                                               serial::EV_RXCHAR, state);
                if (!step && !result->device->Purge()) {
                    step = platform::PortStep::Purge;
                }
            }
            if (step) {
                result->error = platform::LastSystemError();
                result->failedStep = *step;
                result->device.reset();
            }
            m_loop.Post([this, id, result, done = std::move(done)] {
                m_openers.remove_if([id](const Opener& o) { return o.id == id; });
                done(std::move(*result));
            });
        });
}

bool CEngine::Watch(int fd, std::function<void()> ready) {
    return m_loop.Watch(fd, kReadable, [ready = std::move(ready)](std::uint32_t) { ready(); }) !=
           nullptr;
}

void CEngine::Tick() {
    const auto now = EngineClock::now();
    for (const auto& line : m_lines) {
        line->Tick(now);
    }
}

}  // namespace vandrelux::engine
