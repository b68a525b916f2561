#include <gtest/gtest.h>

#include <string>

#include "protocol/ControlIds.h"
#include "toolkit/fake/FakeToolkit.h"
#include "ui/LogView.h"

namespace vandrelux::ui {
namespace {

class LogViewTest : public ::testing::Test {
protected:
    void Type(std::string_view bytes) {
        for (const char c : bytes) {
            terminal.AppendChar(c);
        }
    }
    [[nodiscard]] int LinesInView(platform::ControlId id) const {
        return toolkit.LineCount(id) - toolkit.FirstVisibleLine(id);
    }

    platform::FakeToolkit toolkit;
    CLogView terminal{toolkit, ids::kTerminalLog};
    CInfoView messages{toolkit, ids::kMessageLog};
};

TEST_F(LogViewTest, ReachingTheLimit_DropsTheOldest4096_HiddenBytesIncluded) {
    Type("AB\r\nD\x06\x15\x19\a");
    EXPECT_EQ(toolkit.GetText(ids::kTerminalLog), "AB\nD\a");

    std::string full;
    for (int i = 0; i < kLogLimit - 1; ++i) {
        full.push_back(static_cast<char>('a' + i % 23));
    }
    toolkit.SetText(ids::kTerminalLog, full);
    Type("Z");
    EXPECT_EQ(toolkit.GetText(ids::kTerminalLog), full.substr(4096) + "Z");
    toolkit.SetText(ids::kTerminalLog, full + "x");
    Type("\x19");  // not shown, yet the size check runs
    EXPECT_EQ(toolkit.TextLength(ids::kTerminalLog), 12288);

    messages.AppendText(std::string(40000, 'm'));  // one append larger than a trim step
    EXPECT_LT(toolkit.TextLength(ids::kMessageLog), kLogLimit);
}

TEST_F(LogViewTest, Scrolling_TerminalOnLineFeedOnly_MessagesKeepFiveLines) {
    for (int i = 0; i < 20; ++i) {
        Type("line\r\n");
        messages.AppendText("step\r\n");
        EXPECT_EQ(toolkit.FirstVisibleLine(ids::kMessageLog), std::max(0, i - 3)) << i;
    }
    EXPECT_EQ(toolkit.FirstVisibleLine(ids::kTerminalLog), 1);
    Type(std::string(500, 'w') + "\r");
    EXPECT_EQ(toolkit.FirstVisibleLine(ids::kTerminalLog), 1);
    Type("\n");
    EXPECT_EQ(LinesInView(ids::kTerminalLog), 20);
}

TEST_F(LogViewTest, PaneShowingFewerLines_StillShowsTheNewest) {
    toolkit.SetVisibleLines(ids::kTerminalLog, 18);
    for (int i = 0; i < 40; ++i) {
        terminal.AppendChar('x');
        terminal.AppendChar('\n');
    }
    // 41 lines (the last one empty): the newest 18 are the ones in view.
    EXPECT_EQ(toolkit.FirstVisibleLine(ids::kTerminalLog), 41 - 18);
}

TEST_F(LogViewTest, LongRun_TrimmingKeepsTheNewestLinesInView) {
    for (int i = 0; i < 1300; ++i) {
        messages.AppendText("Sending block " + std::to_string(i) + "\r\n");
        Type("box says " + std::to_string(i) + "\r\n");
        if (i >= 20) {
            ASSERT_EQ(LinesInView(ids::kMessageLog), 5) << i;
            ASSERT_EQ(LinesInView(ids::kTerminalLog), 20) << i;
        }
    }
}

}  // namespace
}  // namespace vandrelux::ui
