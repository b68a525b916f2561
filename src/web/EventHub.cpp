#include "web/EventHub.h"

namespace vandrelux::web {

void CEventHub::Publish(std::string event) {
    const std::lock_guard lock(m_lock);
    m_events.push_back(std::move(event));
    ++m_newest;
    if (m_events.size() > m_capacity) {
        m_events.pop_front();
    }
    // Under the lock: once SetWake has taken the wake away, it is never called again.
    if (!m_bWoken && m_wake) {
        m_bWoken = true;
        m_wake();
    }
}

void CEventHub::SetWake(std::function<void()> wake) {
    const std::lock_guard lock(m_lock);
    m_wake = std::move(wake);
    m_bWoken = false;
}

std::uint64_t CEventHub::Newest() const {
    const std::lock_guard lock(m_lock);
    return m_newest;
}

std::optional<std::uint64_t> CEventHub::Since(std::uint64_t seen, std::string& out) {
    const std::lock_guard lock(m_lock);
    m_bWoken = false;
    const std::uint64_t oldest = m_newest - m_events.size();  // the number before the first kept
    if (seen < oldest) {
        return std::nullopt;
    }
    for (std::size_t i = static_cast<std::size_t>(seen - oldest); i < m_events.size(); ++i) {
        out += "data: ";
        out += m_events[i];
        out += "\n\n";
    }
    return m_newest;
}

}  // namespace vandrelux::web
