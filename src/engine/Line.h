// One open device on the engine, and what a line does: its received bytes go to its owner one at
// a time, in order (a run of them in one go where the owner can take it as it would byte by
// byte); what the owner writes waits in the line's one request slot until the input already
// queued has been handled, as the window's monitor does it, and then goes to the device at once
// without waiting on it: what the device does not take is finished when it becomes writable. A
// pause the owner asks for holds back only this line's input, its next write (one already under
// way is finished) and its ticks, so the other lines go on and this one sees its effects in the
// window's order.
//
// Threading: the engine's thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "device/PortStep.h"
#include "device/SerialDevice.h"
#include "device/WriteSlot.h"
#include "engine/Loop.h"

namespace vandrelux::engine {

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

class CLine {
public:
    CLine(CLoop& loop, std::unique_ptr<platform::SerialDevice> device, ILineClient& client);
    CLine(const CLine&) = delete;
    CLine& operator=(const CLine&) = delete;
    ~CLine();

    // Starts watching the device; false, with the device closed, when the loop refuses it.
    [[nodiscard]] bool Start();

    // The send buffer's size: no request is longer.
    void EnsureSendBuffer(std::uint32_t size) { m_slot.SetCapacity(size); }
    // Replaces a request not yet begun, as the window's port does.
    void RequestWrite(std::span<const std::uint8_t> bytes);
    // Forgets a request not yet begun: an answer the box must not have after all.
    void DropRequest() noexcept { m_slot.Clear(); }
    // Holds back this line's input, writes and ticks for `ms`, as a sleep holds the window.
    void Pause(std::uint32_t ms);

    // Bytes requested and not yet on their way to the box.
    [[nodiscard]] bool OutputPending();
    [[nodiscard]] EngineClock::time_point LastInput() const noexcept { return m_lastInput; }
    [[nodiscard]] bool IsLost() const noexcept { return m_bLost; }
    [[nodiscard]] bool IsClosed() const noexcept { return m_bClosed; }

    // The engine's beacon: the owner's tick, unless a pause holds the line.
    void Tick(EngineClock::time_point now);
    // Closes the device now; nothing more reaches the owner.
    void Close();

private:
    void OnReady(std::uint32_t readiness);
    // Reads what the device has and hands it to the owner.
    void Service();
    void Flush();
    // Sends what the owner's call asked for and watches the line for what comes next.
    void AfterClientCall();
    void Lose(platform::PortStep step, const platform::SystemError& error);
    // The read or write of the line that failed just now.
    void LoseIo(bool writing);
    void UpdateInterest();
    [[nodiscard]] bool IsHeld(EngineClock::time_point now) const noexcept {
        return now < m_holdUntil;
    }

    CLoop& m_loop;
    std::unique_ptr<platform::SerialDevice> m_device;
    ILineClient* m_client;
    CLoop::Source* m_source = nullptr;
    std::uint32_t m_interest = 0;  // what the loop watches the line for now
    bool m_bLost = false;
    bool m_bClosed = false;

    std::vector<std::uint8_t> m_in;  // read, and handled up to m_inPos
    std::size_t m_inPos = 0;
    EngineClock::time_point m_lastInput{};

    platform::CWriteSlot m_slot;          // the request not yet begun
    std::vector<std::uint8_t> m_sending;  // a request begun, sent up to m_sent
    std::size_t m_sent = 0;

    EngineClock::time_point m_holdUntil{};
    bool m_bPauseAsked = false;     // a pause was asked for since the last look
    std::uint64_t m_holdTimer = 0;  // the task that takes the line up again after a pause
    std::uint64_t m_kickTask = 0;   // the first look at the line once started
};

}  // namespace vandrelux::engine
