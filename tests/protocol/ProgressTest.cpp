#include <gtest/gtest.h>

#include "protocol/ControlIds.h"
#include "protocol/ControlsHost.h"
#include "protocol/Progress.h"
#include "toolkit/fake/FakeToolkit.h"

namespace vandrelux::protocol {
namespace {

class ProgressTest : public ::testing::Test {
protected:
    std::string Text(platform::ControlId id) const { return toolkit.GetText(id); }
    const platform::FakeToolkit::Control& Bar() const { return toolkit.At(ids::kProgress); }

    platform::FakeToolkit toolkit;
    CControlsHost host{toolkit};
    CProgressDisplay progress{host};
};

TEST(FormatTimeTest, SplitsMinutesSecondsTenths) {
    EXPECT_EQ(FormatTime(0), "00:00.0");
    EXPECT_EQ(FormatTime(75432), "01:15.4");
    EXPECT_EQ(FormatTime(99 * 60000 + 59999), "99:59.9");
    EXPECT_EQ(FormatTime(100 * 60000), "100:00.0");
}

TEST_F(ProgressTest, Start_ShowsTheWholeSizeAndAFirstEstimate) {
    toolkit.SetText(ids::kElapsed, "old");
    progress.Start(0, 4096);
    EXPECT_EQ(Bar().rangeLower, 0);
    EXPECT_EQ(Bar().rangeUpper, 1);
    EXPECT_EQ(Text(ids::kSizeText), "0K / 1K");
    EXPECT_EQ(Text(ids::kRemaining), "00:00.0");
    EXPECT_EQ(Text(ids::kElapsed), "");

    progress.Start(600000, 5000);
    EXPECT_EQ(Text(ids::kRemaining), "01:00.0");
    EXPECT_EQ(Bar().rangeUpper, 121);
    progress.Start(599999, 5000);
    EXPECT_EQ(Text(ids::kRemaining), "00:59.0");
    progress.Start(1500000, 4096);
    EXPECT_EQ(Text(ids::kRemaining), "02:30.0");
}

TEST_F(ProgressTest, Refresh_ShowsSizeTimeThroughputAndRemaining) {
    toolkit.SetNow(5000);
    progress.Start(10240, 4096);
    toolkit.Advance(512);
    progress.Refresh(1024);
    EXPECT_EQ(Text(ids::kSizeText), "2K / 11K");
    EXPECT_EQ(Text(ids::kElapsed), "00:00.5");
    EXPECT_EQ(Text(ids::kThroughput), "2000 Bps");
    // 2 bytes per millisecond: (10240 - 1024) / 2 ms.
    EXPECT_EQ(Text(ids::kRemaining), "00:04.6");
    EXPECT_EQ(progress.m_dwTimeMs, 4608U);
}

TEST_F(ProgressTest, Refresh_SlowerThanOneBytePerMillisecondCountsAsOne) {
    progress.Start(90000, 4096);
    toolkit.Advance(10000);
    progress.Refresh(5000);
    EXPECT_EQ(Text(ids::kRemaining), FormatTime(85000));
}

TEST_F(ProgressTest, NoTimeElapsed_NeverDividesByZero) {
    progress.Start(4096 * 3, 4096);
    progress.Refresh(4096);
    EXPECT_EQ(Text(ids::kElapsed), "00:00.0");
    EXPECT_EQ(Text(ids::kThroughput), "4096000 Bps");
    progress.End(true);
    EXPECT_EQ(Text(ids::kThroughput), "12288000 Bps");
}

TEST_F(ProgressTest, LargeImages_ThroughputDoesNotOverflow32Bits) {
    progress.Start(0xFFFFFFF0U, 4096);
    toolkit.Advance(1000);
    progress.Refresh(10000000);
    EXPECT_EQ(Text(ids::kThroughput), "10000000 Bps");
    toolkit.Advance(1000);
    progress.End(true);
    EXPECT_EQ(Text(ids::kThroughput), "2147483640 Bps");
}

TEST_F(ProgressTest, TickCountWrap_DoesNoHarm) {
    toolkit.SetNow(0xFFFFFF00U);
    progress.Start(4096, 4096);
    toolkit.Advance(0x200);  // wraps past zero
    progress.Refresh(2048);
    EXPECT_EQ(Text(ids::kElapsed), "00:00.5");
}

TEST_F(ProgressTest, RangeBeyond16Bits_IsScaledSoTheBarStillFills) {
    const std::uint32_t whole = 5000U * 200000U;  // 200001 units
    progress.Start(whole, 5000);
    EXPECT_EQ(Bar().rangeUpper, 200001 / 4);
    for (int i = 0; i < 100000; ++i) {
        progress.Step();
    }
    EXPECT_EQ(Bar().progressPos, 25000);
    progress.FillBar();
    EXPECT_EQ(Bar().progressPos, Bar().rangeUpper);
}

TEST_F(ProgressTest, End_EqualSizesZeroRemainingAndBarOnlyWhenAsked) {
    progress.Start(10000, 5000);
    toolkit.Advance(2000);
    progress.End(false);
    EXPECT_EQ(Text(ids::kSizeText), "10K / 10K");
    EXPECT_EQ(Text(ids::kRemaining), "00:00.0");
    EXPECT_EQ(Text(ids::kThroughput), "5000 Bps");
    EXPECT_EQ(Bar().progressPos, 0);
    progress.FillBar();
    EXPECT_EQ(Bar().progressPos, 3);
}

TEST_F(ProgressTest, Clear_EmptiesTheTextsAndTheBar) {
    progress.Start(10000, 5000);
    progress.Step();
    progress.Refresh(5000);
    progress.Clear();
    for (const auto id : {ids::kSizeText, ids::kElapsed, ids::kRemaining, ids::kThroughput}) {
        EXPECT_EQ(Text(id), "") << id;
    }
    EXPECT_EQ(Bar().progressPos, 0);
}

}  // namespace
}  // namespace vandrelux::protocol
