// One thread drives every line of a run: the devices, the transfers on them and one beacon timer
// for all, on one epoll set. A line's received bytes go to its owner one at a time, in order;
// what the owner writes waits in the line's one request slot until the input that is already
// queued has been handled (as the window's monitor does it) and then goes to the device at once,
// without waiting on it: what the device does not take is finished when it becomes writable.
// A pause the transfer asks for (the toolkit's Sleep) holds back only that line's input, its
// next write (one already under way is finished) and its ticks, so the other lines go on and the
// paused line sees its effects in the window's order.
//
// Threading: everything runs on the thread that calls Run, except what Open hands to a helper
// thread (opening and configuring a device, which for a network port may take seconds).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "platform/PortStep.h"
#include "platform/SerialDevice.h"
#include "protocol/PortWriter.h"

namespace vandrelux::cli {

using EngineClock = std::chrono::steady_clock;

// What a line's owner hears from the engine; every call on the engine's thread.
class ILineClient {
public:
    virtual ~ILineClient() = default;
    // One byte from the box.
    virtual void OnByte(std::uint8_t byte) = 0;
    // The box's next bytes, for a client that can take a run of them in one go (a block's
    // payload) as it would byte by byte; returns how many it took, none to have them one by one.
    virtual std::size_t TakeRun(std::span<const std::uint8_t> /*bytes*/) { return 0; }
    // The beacon timer ticked.
    virtual void OnTick() = 0;
    // The device failed at `step` and is closed.
    virtual void OnLineLost(platform::PortStep step, const platform::SystemError& error) = 0;
};

class CEngine;
struct EngineSource;  // what one descriptor of the epoll set stands for

// One open device on the engine, and the transfer's port.
class CLine final : public protocol::IPortWriter {
public:
    CLine(const CLine&) = delete;
    CLine& operator=(const CLine&) = delete;
    ~CLine() override;

    void EnsureSendBuffer(std::uint32_t size) override;
    // Replaces a request not yet begun, as the window's port does; pieces longer than the send
    // buffer are cut to it.
    void RequestWrite(const std::uint8_t* data, std::uint32_t length) override;
    // Holds back this line's input, writes and ticks for `ms`, as a sleep holds the window.
    void Pause(std::uint32_t ms);

    // Bytes requested and not yet on their way to the box.
    [[nodiscard]] bool OutputPending();
    [[nodiscard]] EngineClock::time_point LastInput() const noexcept { return m_lastInput; }
    [[nodiscard]] bool IsLost() const noexcept { return m_bLost; }

private:
    friend class CEngine;
    CLine(std::unique_ptr<platform::SerialDevice> device, int portNumber, ILineClient& client);

    [[nodiscard]] bool IsHeld(EngineClock::time_point now) const noexcept {
        return now < m_holdUntil;
    }

    std::unique_ptr<platform::SerialDevice> m_device;
    int m_nPortNumber;
    ILineClient* m_client;
    int m_fd = -1;
    std::uint32_t m_interest = 0;  // what epoll watches for this line now
    bool m_bLost = false;
    bool m_bClosed = false;

    std::vector<std::uint8_t> m_in;  // read, and handled up to m_inPos
    std::size_t m_inPos = 0;
    EngineClock::time_point m_lastInput{};

    std::uint32_t m_nSendBufSize = 0;
    std::vector<std::uint8_t> m_slot;  // the request not yet begun
    bool m_bSlotFull = false;
    std::vector<std::uint8_t> m_sending;  // a request begun, sent up to m_sent
    std::size_t m_sent = 0;

    EngineClock::time_point m_holdUntil{};
    bool m_bPauseAsked = false;     // a pause was asked for since the last look
    std::uint64_t m_holdTimer = 0;  // the task that takes the line up again after a pause
    std::uint64_t m_kickTask = 0;   // the first look at the line once attached
    EngineSource* m_source = nullptr;
};

// A transfer's port that outlives its lines: the writes go to the line while there is one.
class CLineWriter final : public protocol::IPortWriter {
public:
    void EnsureSendBuffer(std::uint32_t size) override {
        if (m_line != nullptr) {
            m_line->EnsureSendBuffer(size);
        }
    }
    void RequestWrite(const std::uint8_t* data, std::uint32_t length) override {
        if (m_line != nullptr) {
            m_line->RequestWrite(data, length);
        }
    }
    CLine* m_line = nullptr;
};

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

    // Takes an open device; null, with the device closed, when epoll refuses it.
    CLine* Attach(std::unique_ptr<platform::SerialDevice> device, int portNumber,
                  ILineClient& client);
    // Closes the device now; the line object goes once the current event is handled.
    void Close(CLine* line);

    // Opens `name`, configures it for `baudRate` 8N1 and purges it on a helper thread, then calls
    // `done` on the engine's thread.
    void Open(std::string name, int baudRate, std::function<void(OpenResult)> done);

    // Calls `task` once on the engine's thread at `when`; the id cancels it.
    std::uint64_t At(EngineClock::time_point when, std::function<void()> task);
    void Cancel(std::uint64_t id);

    // Calls `ready` on the engine's thread whenever `fd` is readable; the caller keeps the fd.
    bool Watch(int fd, std::function<void()> ready);

    // Takes `signals` from this thread and every thread the engine starts from now on (so call
    // it before the first Open), and calls `received` on the engine's thread with each that
    // arrives. False when they cannot be watched.
    bool WatchSignals(const std::vector<int>& signals, std::function<void(int)> received);
    // Gives `signals` back their usual effect: the next one ends the program.
    static void ReleaseSignals(const std::vector<int>& signals);

    // Handles events until `done` holds; it is asked after every event.
    void Run(const std::function<bool()>& done);

private:
    friend class CLine;
    struct Pending {
        std::uint64_t opener = 0;
        std::function<void(OpenResult)> done;
        OpenResult result;
    };

    void Dispatch(EngineSource& source, std::uint32_t events);
    void Service(CLine& line);
    void Flush(CLine& line);
    void Tick();
    // Sends what the client's call asked for and watches the line for what comes next.
    void AfterClientCall(CLine& line);
    void Lose(CLine& line, platform::PortStep step, const platform::SystemError& error);
    // The read or write of the line that failed just now.
    void LoseIo(CLine& line, bool writing);
    void UpdateInterest(CLine& line);
    void RunDueTasks();
    void TakeOpened();
    void ArmBeacon(bool on);
    [[nodiscard]] int WaitTimeoutMs() const;

    int m_epoll = -1;
    int m_beaconFd = -1;
    int m_signalFd = -1;
    int m_wakeFd = -1;
    std::chrono::milliseconds m_beacon;
    bool m_bBeaconArmed = false;
    bool m_bTickDue = false;  // the beacon fired in this wake-up; it ticks after the rest
    std::list<std::unique_ptr<CLine>> m_lines;
    std::list<std::unique_ptr<EngineSource>> m_sources;
    std::multimap<EngineClock::time_point, std::pair<std::uint64_t, std::function<void()>>> m_tasks;
    std::uint64_t m_nextTask = 1;

    struct Opener {
        std::uint64_t id = 0;
        std::jthread thread;
    };
    std::mutex m_openLock;  // guards m_opened
    std::vector<Pending> m_opened;
    std::list<Opener> m_openers;  // engine thread only; joined when the engine goes
    std::uint64_t m_nextOpener = 1;
};

}  // namespace vandrelux::cli
