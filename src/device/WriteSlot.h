// A port's one write request, as the transfer hands it over: a later request replaces one that
// has not begun, and a request longer than the send buffer is cut to it. The window's port, the
// engine's lines and the simulated box's loopback keep their requests in one of these.
//
// Threading: none of its own; an owner that shares it between threads guards it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

namespace vandrelux::platform {

class CWriteSlot {
public:
    // The send buffer's size: no request is longer.
    void SetCapacity(std::size_t size) {
        m_capacity = size;
        m_bytes.reserve(size);
        if (m_bytes.size() > size) {
            m_bytes.resize(size);
        }
    }
    [[nodiscard]] std::size_t Capacity() const noexcept { return m_capacity; }

    // Takes a copy of `bytes`, cut to the capacity, in place of a request not yet begun; whether
    // it replaced one.
    bool Request(std::span<const std::uint8_t> bytes) {
        const bool replaced = m_bPending;
        const std::size_t n = std::min(bytes.size(), m_capacity);
        m_bytes.assign(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
        m_bPending = n > 0;
        return replaced;
    }

    // A request waits that has not begun.
    [[nodiscard]] bool Pending() const noexcept { return m_bPending; }
    // The request waiting; empty when none does.
    [[nodiscard]] std::span<const std::uint8_t> Bytes() const noexcept {
        return m_bPending ? std::span<const std::uint8_t>(m_bytes)
                          : std::span<const std::uint8_t>();
    }
    // The request begins: it is no longer in the slot. Swaps it into `into`, whose old bytes the
    // slot reuses.
    void Begin(std::vector<std::uint8_t>& into) {
        into.swap(m_bytes);
        m_bytes.clear();
        m_bPending = false;
    }
    void Clear() noexcept {
        m_bytes.clear();
        m_bPending = false;
    }

private:
    std::vector<std::uint8_t> m_bytes;
    std::size_t m_capacity =
        std::numeric_limits<std::size_t>::max();  // no cut until the send buffer's size is known
    bool m_bPending = false;
};

}  // namespace vandrelux::platform
