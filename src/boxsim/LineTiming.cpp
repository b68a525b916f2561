#include "boxsim/LineTiming.h"

#include <algorithm>

namespace vandrelux::boxsim {

namespace {

constexpr std::int64_t kBitsPerByte = 10;
constexpr std::int64_t kNsPerSecond = 1'000'000'000;

}  // namespace

LineSchedule::LineSchedule(std::uint32_t baud) noexcept
    : m_byteNs(baud == 0 ? 0 : (kBitsPerByte * kNsPerSecond + baud - 1) / baud) {}

std::int64_t LineSchedule::Book(std::int64_t readyNs) noexcept {
    m_nextFreeNs = std::max(readyNs, m_nextFreeNs) + m_byteNs;
    return m_nextFreeNs;
}

std::int64_t NearestRank(const std::vector<std::int64_t>& sorted, unsigned percent) {
    // In integers: a product like 0.99 * 100 in floating point can land just above a whole rank.
    const std::size_t rank = (std::size_t{percent} * sorted.size() + 99) / 100;
    return sorted[std::clamp(rank, std::size_t{1}, sorted.size()) - 1];
}

TurnaroundSummary Summarise(std::vector<std::int64_t> samples) {
    if (samples.empty()) {
        return {};
    }
    std::sort(samples.begin(), samples.end());
    return TurnaroundSummary{samples.size(), samples.front(), NearestRank(samples, 50),
                             NearestRank(samples, 99), samples.back()};
}

}  // namespace vandrelux::boxsim
