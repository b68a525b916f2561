#include "boxsim/Loopback.h"

#include <algorithm>

namespace vandrelux::boxsim {

void CLoopback::RequestWrite(const std::uint8_t* data, std::uint32_t length) {
    if (m_slot.Request({data, length})) {
        ++replacedRequests;
    }
}

bool CLoopback::Run(protocol::CTransfer& pc, const std::function<bool()>& done,
                    std::uint32_t limitMs) {
    const std::uint32_t start = m_toolkit.TickCount();
    while (!done()) {
        for (const std::uint8_t b : m_box.TakeOutput()) {
            m_rx.push_back(b);
        }
        if (!m_rx.empty()) {
            const std::uint8_t b = m_rx.front();
            m_rx.pop_front();
            ChargeLineTime(1);
            pc.OnPortRxChar(b, 1);
            continue;
        }
        if (m_slot.Pending()) {
            std::vector<std::uint8_t>& written = writes.emplace_back();
            m_slot.Begin(written);
            ChargeLineTime(written.size());
            for (const std::uint8_t b : written) {
                m_box.OnByte(b, m_toolkit.TickCount());
            }
            continue;
        }
        if (m_box.HungUp() || m_toolkit.TickCount() - start >= limitMs) {
            return false;
        }
        m_toolkit.Advance(1);
        m_box.OnIdle(m_toolkit.TickCount());
        pc.OnTimer(1);
    }
    return true;
}

void CLoopback::ChargeLineTime(std::size_t bytes) {
    if (m_nBaud == 0) {
        return;
    }
    constexpr std::uint64_t kBitsPerByte = 10;
    m_nLineMicros += bytes * kBitsPerByte * 1'000'000 / m_nBaud;
    m_toolkit.Advance(static_cast<std::uint32_t>(m_nLineMicros / 1000));
    m_nLineMicros %= 1000;
}

}  // namespace vandrelux::boxsim
