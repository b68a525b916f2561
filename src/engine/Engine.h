// One thread drives every line of a run: the devices, the transfers on them and one beacon timer
// for all, on one event loop (Loop.h); what a line does is Line.h's.
//
// Threading: everything runs on the thread that calls Run, except what Open hands to a helper
// thread (opening and configuring a device, which for a network port may take seconds); Post
// may be called from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "device/PortStep.h"
#include "device/SerialDevice.h"
#include "engine/Line.h"
#include "engine/Loop.h"

namespace vandrelux::engine {

// What an open on the helper thread came to.
struct OpenResult {
    std::unique_ptr<platform::SerialDevice> device;            // null when it failed
    platform::PortStep failedStep = platform::PortStep::Open;  // when it failed
    platform::SystemError error;
};

class CEngine {
public:
    // `beacon`: the period of the one timer that ticks every line.
    explicit CEngine(std::chrono::milliseconds beacon);
    ~CEngine();
    CEngine(const CEngine&) = delete;
    CEngine& operator=(const CEngine&) = delete;

    // Takes an open device; null, with the device closed, when the loop refuses it.
    CLine* Attach(std::unique_ptr<platform::SerialDevice> device, ILineClient& client);
    // Closes the device now; the line object goes once the current event is handled.
    void Close(CLine* line);

    // Opens `name`, configures it for `baudRate` 8N1 and purges it on a helper thread, then calls
    // `done` on the engine's thread.
    void Open(std::string name, int baudRate, std::function<void(OpenResult)> done);

    // Calls `task` once on the engine's thread at `when`; the id cancels it.
    std::uint64_t At(EngineClock::time_point when, std::function<void()> task) {
        return m_loop.At(when, std::move(task));
    }
    void Cancel(std::uint64_t id) { m_loop.Cancel(id); }
    // Any thread: calls `task` on the engine's thread soon, without waiting for it.
    void Post(std::function<void()> task) { m_loop.Post(std::move(task)); }

    // Calls `ready` on the engine's thread whenever `fd` is readable; the caller keeps the fd.
    bool Watch(int fd, std::function<void()> ready);

    // As the loop's: before the first Open, so that no helper thread takes them.
    bool WatchSignals(const std::vector<Signal>& signals, std::function<void(Signal)> received) {
        return m_loop.WatchSignals(signals, std::move(received));
    }
    static void ReleaseSignals(const std::vector<Signal>& signals) {
        CLoop::ReleaseSignals(signals);
    }
    // Handles events until `done` holds; it is asked after every event.
    void Run(const std::function<bool()>& done) { m_loop.Run(done); }

private:
    void Tick();

    CLoop m_loop;
    std::list<std::unique_ptr<CLine>> m_lines;
    struct Opener {
        std::uint64_t id = 0;
        std::jthread thread;
    };
    std::list<Opener> m_openers;  // engine thread only; joined when the engine goes
    std::uint64_t m_nextOpener = 1;
};

}  // namespace vandrelux::engine
