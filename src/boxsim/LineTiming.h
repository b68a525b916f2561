// Timing arithmetic of the simulated line: when bytes may cross it at a given baud rate, and
// the summary of the PC's turnaround times. Pure functions of their inputs, no clock.
#pragma once

#include <cstdint>
#include <vector>

namespace vandrelux::boxsim {

// One direction of an 8N1 line: a byte occupies it for 10 bit times, one after another.
class LineSchedule {
public:
    // 0 baud is an unpaced line: bytes cross it in no time.
    explicit LineSchedule(std::uint32_t baud) noexcept;

    // Books the line for one byte that is ready at `readyNs`; returns when its last bit is over.
    [[nodiscard]] std::int64_t Book(std::int64_t readyNs) noexcept;

    // Rounded up, so the line is never faster than its baud rate.
    [[nodiscard]] std::int64_t ByteNs() const noexcept { return m_byteNs; }

private:
    std::int64_t m_byteNs;
    std::int64_t m_nextFreeNs = INT64_MIN;
};

struct TurnaroundSummary {
    std::size_t count = 0;
    std::int64_t min = 0;
    std::int64_t median = 0;
    std::int64_t p99 = 0;
    std::int64_t max = 0;
};

// Nearest-rank percentile (the smallest sample with at least `percent` of them at or below it);
// `sorted` must be sorted and not empty.
[[nodiscard]] std::int64_t NearestRank(const std::vector<std::int64_t>& sorted, unsigned percent);

// All zero when there are no samples.
[[nodiscard]] TurnaroundSummary Summarise(std::vector<std::int64_t> samples);

}  // namespace vandrelux::boxsim
