#include <gtest/gtest.h>

#include <vector>

#include "protocol/ControlIds.h"
#include "toolkit/fake/FakeToolkit.h"
#include "ui/CollapsibleDlg.h"

namespace vandrelux::ui {
namespace {

using platform::Rect;

class Probe final : public CCollapsibleDlg {
public:
    Probe(platform::IToolkit& toolkit, bool toggleButton)
        : CCollapsibleDlg(toolkit, ids::kFrame, ids::kToggle, "Show >>", "Hide <<", toggleButton) {}
    [[nodiscard]] bool HasFullSize() const { return m_pFullSize == WindowSize{700, 600}; }

    bool allow = true;
    std::vector<bool> toggled;

protected:
    bool CanToggle(bool /*expanded*/) override { return allow; }
    void OnToggled(bool expanded) override { toggled.push_back(expanded); }
};

constexpr Rect kWindow{100, 50, 800, 650};
constexpr int kTouching = 2001;  // shares the frame's right edge: outside
constexpr int kStraddling = 2002;

class CollapsibleDlgTest : public ::testing::Test {
protected:
    CollapsibleDlgTest() {
        toolkit.SetWindowRect(kWindow);
        toolkit.SetChildWindows({{ids::kToggle, {300, 60, 340, 75}},
                                 {ids::kTerminalLog, {110, 80, 340, 300}},
                                 {ids::kFrame, {105, 55, 345, 600}},
                                 {ids::kReceivePath, {400, 75, 550, 90}},
                                 {kTouching, {345, 100, 360, 110}},
                                 {kStraddling, {340, 200, 360, 210}}});
    }
    [[nodiscard]] std::vector<bool> Enabled() const {
        return {toolkit.IsEnabled(ids::kReceivePath), toolkit.IsEnabled(kTouching),
                toolkit.IsEnabled(kStraddling), toolkit.IsEnabled(ids::kTerminalLog)};
    }

    platform::FakeToolkit toolkit;
    Probe dlg{toolkit, true};
};

TEST_F(CollapsibleDlgTest, Init_RecordsFullSizeHidesFrameAndStaysExpanded) {
    EXPECT_TRUE(dlg.InitCollapsible());
    EXPECT_TRUE(dlg.IsExpanded() && dlg.HasFullSize());
    EXPECT_EQ(toolkit.WindowRect(), kWindow);
    EXPECT_FALSE(toolkit.At(ids::kFrame).visible);
    EXPECT_EQ(toolkit.GetText(ids::kToggle), "Hide <<");
    EXPECT_EQ(toolkit.focusMoves, 0);
    EXPECT_TRUE(dlg.toggled.empty());
}

TEST_F(CollapsibleDlgTest, ToggleClicks_CollapseToTheFrameThenEnableAllOutside) {
    toolkit.Enable(ids::kReceivePath, false);
    toolkit.Enable(ids::kTerminalLog, false);
    EXPECT_FALSE(dlg.FilterCommand(ids::kExit));
    EXPECT_TRUE(dlg.FilterCommand(ids::kToggle));  // the first change is a collapse
    EXPECT_TRUE(dlg.HasFullSize());
    EXPECT_EQ(toolkit.WindowRect(), (Rect{100, 50, 345, 600}));
    EXPECT_EQ(toolkit.GetText(ids::kToggle), "Show >>");
    EXPECT_EQ(Enabled(), (std::vector<bool>{false, false, true, false}));

    toolkit.SetWindowRect({300, 200, 545, 750});  // moved while collapsed
    EXPECT_TRUE(dlg.FilterCommand(ids::kToggle));
    EXPECT_EQ(toolkit.WindowRect(), (Rect{300, 200, 1000, 800}));
    EXPECT_EQ(toolkit.GetText(ids::kToggle), "Hide <<");
    EXPECT_EQ(Enabled(), (std::vector<bool>{true, true, true, false}));  // inside: untouched
    EXPECT_EQ(toolkit.focusMoves, 2);
    EXPECT_EQ(dlg.toggled, (std::vector<bool>{false, true}));
}

TEST_F(CollapsibleDlgTest, RefusedOrFramelessChange_LeavesTheWindow) {
    dlg.allow = false;
    EXPECT_FALSE(dlg.SetExpanded(false));
    dlg.allow = true;
    toolkit.SetChildWindows({{ids::kToggle, {300, 60, 340, 75}}});
    EXPECT_FALSE(dlg.SetExpanded(false));
    EXPECT_EQ(toolkit.WindowRect(), kWindow);

    Probe oneWay(toolkit, false);  // a one-way button is disabled once expanded
    toolkit.SetChildWindows({{ids::kToggle, {300, 60, 340, 75}}, {ids::kFrame, {0, 0, 9, 9}}});
    ASSERT_TRUE(oneWay.SetExpanded(false) && oneWay.SetExpanded(true));
    EXPECT_FALSE(toolkit.IsEnabled(ids::kToggle));
    EXPECT_EQ(toolkit.GetText(ids::kToggle), "Show >>");
}

}  // namespace
}  // namespace vandrelux::ui
