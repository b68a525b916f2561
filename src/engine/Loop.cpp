// The loop's phases and bookkeeping, the same on every system; what waits is the system's.
#include "engine/Loop.h"

#include <algorithm>
#include <utility>

namespace vandrelux::engine {

std::uint64_t CLoop::At(EngineClock::time_point when, std::function<void()> task) {
    const std::uint64_t id = m_nextTask++;
    m_tasks.emplace(when, std::make_pair(id, std::move(task)));
    return id;
}

void CLoop::Cancel(std::uint64_t id) {
    if (id == 0) {
        return;
    }
    const auto found = std::find_if(m_tasks.begin(), m_tasks.end(),
                                    [id](const auto& task) { return task.second.first == id; });
    if (found != m_tasks.end()) {
        m_tasks.erase(found);
    }
}

void CLoop::SetTick(std::chrono::milliseconds period, std::function<void()> tick) {
    m_tickPeriod = period;
    m_tick = std::move(tick);
}

void CLoop::Defer(std::function<void()> task) {
    m_deferred.push_back(std::move(task));
}

void CLoop::RunDueTasks() {
    for (;;) {
        const auto now = EngineClock::now();
        const auto first = m_tasks.begin();
        if (first == m_tasks.end() || first->first > now) {
            return;
        }
        const std::function<void()> task = std::move(first->second.second);
        m_tasks.erase(first);
        task();
    }
}

void CLoop::TakePosted() {
    std::vector<std::function<void()>> posted;
    {
        const std::lock_guard lock(m_postLock);
        posted.swap(m_posted);
    }
    for (const std::function<void()>& task : posted) {
        task();
    }
}

int CLoop::WaitTimeoutMs() const {
    if (m_tasks.empty()) {
        return -1;
    }
    const auto wait = m_tasks.begin()->first - EngineClock::now();
    if (wait <= EngineClock::duration::zero()) {
        return 0;
    }
    // Rounded up: waking a little late is harmless, waking early only spins.
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count());
}

void CLoop::Post(std::function<void()> task) {
    {
        const std::lock_guard lock(m_postLock);
        m_posted.push_back(std::move(task));
    }
    Wake();
}

void CLoop::Run(const std::function<bool()>& done) {
    RunDueTasks();
    while (!done()) {
        WaitAndDispatch(WaitTimeoutMs());
        RunDueTasks();
        if (std::exchange(m_bTickDue, false) && m_tick) {
            m_tick();
        }
        for (const std::function<void()>& task : std::exchange(m_deferred, {})) {
            task();
        }
        m_sources.remove_if([](const auto& source) { return source->gone; });
    }
}

}  // namespace vandrelux::engine
