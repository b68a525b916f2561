// The box's pacing of the line at a baud rate, and the summary of the PC's turnaround times.
#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <vector>

#include "boxsim/LineTiming.h"

namespace vandrelux::boxsim {
namespace {

TEST(LineSchedule, BackToBackBytes_OneByteTimeApartAndNeverFasterThanTheBaud) {
    for (const std::uint32_t baud : {300U, 9600U, 115200U, 921600U, 3000000U}) {
        LineSchedule line(baud);
        SCOPED_TRACE(baud);
        // Rounded up: ten bits at this rate take at least this long.
        EXPECT_GE(line.ByteNs() * std::int64_t{baud}, 10'000'000'000);
        EXPECT_LT((line.ByteNs() - 1) * std::int64_t{baud}, 10'000'000'000);
        const std::int64_t first = line.Book(1'000);
        EXPECT_EQ(first, 1'000 + line.ByteNs());  // the first byte's own line time counts
        std::int64_t last = first;
        for (int i = 0; i < 1000; ++i) {
            last = line.Book(1'000);
        }
        EXPECT_EQ(last - first, 1000 * line.ByteNs());
    }
}

TEST(LineSchedule, ByteAfterQuietSpell_StartsWhenReadyNotWhenLineWentFree) {
    LineSchedule unpaced(0);
    EXPECT_EQ(unpaced.Book(5), 5);
    EXPECT_EQ(unpaced.Book(3), 5);  // never before a byte booked earlier
    EXPECT_EQ(unpaced.Book(9), 9);

    LineSchedule line(9600);
    EXPECT_EQ(line.ByteNs(), 1'041'667);
    EXPECT_EQ(line.Book(0), 1'041'667);
    EXPECT_EQ(line.Book(50'000'000), 51'041'667);
    EXPECT_EQ(line.Book(50'000'001), 52'083'334);  // ready during the previous byte: queued
}

std::vector<std::int64_t> Range(std::int64_t from, std::int64_t to) {
    std::vector<std::int64_t> out(static_cast<std::size_t>(to - from + 1));
    std::iota(out.begin(), out.end(), from);
    return out;
}

TEST(Summarise, NearestRank_TableOfSampleSets) {
    struct Case {
        std::vector<std::int64_t> samples;
        TurnaroundSummary expected;
    };
    const std::vector<Case> cases = {
        {{}, {0, 0, 0, 0, 0}},
        {{42}, {1, 42, 42, 42, 42}},
        {{30, 10, 20}, {3, 10, 20, 30, 30}},  // unsorted input
        {{4, 1, 3, 2}, {4, 1, 2, 4, 4}},      // even count: the lower middle
        {Range(1, 100), {100, 1, 50, 99, 100}},
        {Range(1, 200), {200, 1, 100, 198, 200}},
        {Range(1, 1000), {1000, 1, 500, 990, 1000}},
    };
    for (const Case& c : cases) {
        const TurnaroundSummary s = Summarise(c.samples);
        SCOPED_TRACE(c.samples.size());
        EXPECT_EQ(s.count, c.expected.count);
        EXPECT_EQ(s.min, c.expected.min);
        EXPECT_EQ(s.median, c.expected.median);
        EXPECT_EQ(s.p99, c.expected.p99);
        EXPECT_EQ(s.max, c.expected.max);
    }
}

}  // namespace
}  // namespace vandrelux::boxsim
