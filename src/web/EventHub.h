// A program's events on their way to the web server's event streams: the program publishes
// each event's JSON text, the server takes what came since it last looked. The hub keeps the
// latest events only, so a stream that does not keep up loses its place and is ended (its client
// connects again) instead of holding memory or the program.
//
// Threading: Publish and Wanted from any thread (the station's engine, say); the rest from the
// server's thread. One lock guards the events, held only to add or copy them.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace vandrelux::web {

class CEventHub {
public:
    // `capacity`: events kept for streams that are behind.
    explicit CEventHub(std::size_t capacity) : m_capacity(capacity) {}

    // Someone listens: only then is an event worth making.
    [[nodiscard]] bool Wanted() const noexcept { return m_listeners.load() > 0; }
    // Adds one event; wakes the server when it has not been woken since it last looked.
    void Publish(std::string event);

    // Called, from the publishing thread and under the lock, when events wait: it must only
    // hand the work over. Empty stops the calls.
    void SetWake(std::function<void()> wake);
    void Listen() { ++m_listeners; }
    void Unlisten() { --m_listeners; }
    // The number of the newest event: a new stream starts after it.
    [[nodiscard]] std::uint64_t Newest() const;
    // The events after number `seen` as server-sent events, appended to `out`; the number of
    // the newest. Nothing when events after `seen` were dropped meanwhile.
    [[nodiscard]] std::optional<std::uint64_t> Since(std::uint64_t seen, std::string& out);

private:
    const std::size_t m_capacity;
    std::atomic<int> m_listeners{0};
    mutable std::mutex m_lock;  // guards what follows
    std::deque<std::string> m_events;
    std::uint64_t m_newest = 0;  // the number of m_events.back()
    std::function<void()> m_wake;
    bool m_bWoken = false;  // a wake is on its way and the server has not looked since
};

}  // namespace vandrelux::web
