// Joins the PC-side transfer to a BoxModel in one thread, with the delivery rules of the real
// port: every byte the box has queued is handed over one at a time, and only then is the PC's
// pending write request performed (a later request replaces an earlier one not yet begun).
// When nothing moves, the simulated clock advances by one millisecond and the handshake timer
// ticks.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "boxsim/BoxModel.h"
#include "device/WriteSlot.h"
#include "protocol/PortWriter.h"
#include "protocol/Transfer.h"
#include "protocol/TransferLog.h"
#include "toolkit/fake/FakeToolkit.h"

namespace vandrelux::boxsim {

class CStringLog final : public protocol::ITransferLog {
public:
    void AppendText(std::string_view text) override { messages.append(text); }
    void AppendChar(char ch) override { terminal.push_back(ch); }

    std::string messages;
    std::string terminal;
};

class CLoopback final : public protocol::IPortWriter {
public:
    CLoopback(BoxModel& box, platform::FakeToolkit& toolkit) : m_box(box), m_toolkit(toolkit) {}

    void EnsureSendBuffer(std::uint32_t size) override { m_slot.SetCapacity(size); }
    void RequestWrite(const std::uint8_t* data, std::uint32_t length) override;

    // Charges every byte moved with its time on a line of this speed (8N1); 0 moves bytes in
    // no time.
    void SetBaud(std::uint32_t baud) { m_nBaud = baud; }

    // Runs until `done` holds or `limitMs` simulated milliseconds have passed; true if done.
    bool Run(protocol::CTransfer& pc, const std::function<bool()>& done, std::uint32_t limitMs);

    // Every write that reached the box, in order.
    std::vector<std::vector<std::uint8_t>> writes;
    // Requests replaced by a later one before they were written.
    unsigned replacedRequests = 0;

private:
    BoxModel& m_box;
    platform::FakeToolkit& m_toolkit;
    platform::CWriteSlot m_slot;
    std::deque<std::uint8_t> m_rx;
    std::uint32_t m_nBaud = 0;
    std::uint64_t m_nLineMicros = 0;  // line time not yet shown by the clock

    void ChargeLineTime(std::size_t bytes);
};

}  // namespace vandrelux::boxsim
