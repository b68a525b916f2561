#include <gtest/gtest.h>

#include <set>

#include "Version.h"
#include "ui/Templates.h"

namespace vandrelux::ui {
namespace {

using platform::ControlKind;
using platform::ControlTemplate;
using platform::DialogTemplate;
using platform::kNoId;

const ControlTemplate* FindControl(const DialogTemplate& d, int id) {
    for (const ControlTemplate& c : d.controls) {
        if (c.id == id) {
            return &c;
        }
    }
    return nullptr;
}

TEST(UiTemplates, EveryDialog_IdsUniqueAndControlsWithinTheDialog) {
    for (const DialogTemplate& d :
         {MainDialogTemplate(), PortSettingsTemplate(), AboutTemplate(), ConnectingTemplate()}) {
        SCOPED_TRACE(d.title);
        std::set<int> ids;
        for (const ControlTemplate& c : d.controls) {
            if (c.id != kNoId) {
                EXPECT_TRUE(ids.insert(c.id).second) << "id " << c.id << " repeats";
            }
            EXPECT_GE(c.x, 0);
            EXPECT_GE(c.y, 0);
            EXPECT_LE(c.x + c.cx, d.cx) << c.text << " " << c.id;
            // A combo's height is its open list's, which may reach past the dialog.
            if (c.kind != ControlKind::DropList && c.kind != ControlKind::DropDown) {
                EXPECT_LE(c.y + c.cy, d.cy) << c.text << " " << c.id;
            }
        }
    }
}

// It read "Vandrelux 2.4" above "Version 2.5".
TEST(UiTemplates, AboutBox_SecondLineNamesTheBuildInsteadOfAnotherVersion) {
    const DialogTemplate d = AboutTemplate();
    ASSERT_EQ(d.controls.size(), 4U);
    EXPECT_EQ(d.controls[1].text, "Vandrelux 2.4");
    EXPECT_EQ(d.controls[2].text,
              "Build " + std::string(kVersion) + " of " + std::string(kBuildDate));
    EXPECT_EQ(kBuildDate.size(), 10U);  // a date, 2025-01-31
}

TEST(UiTemplates, MainDialog_FortyFiveControlsInTabOrderWithTheirExactTexts) {
    const DialogTemplate d = MainDialogTemplate();
    EXPECT_EQ(d.id, 129);
    EXPECT_EQ(d.title, "Vandrelux2.5");
    EXPECT_EQ(d.cx, 413);
    EXPECT_EQ(d.cy, 367);
    EXPECT_TRUE(d.minimizeBox);
    ASSERT_EQ(d.controls.size(), 45U);
    EXPECT_EQ(d.controls.front().id, 1054);
    EXPECT_EQ(d.controls.back().id, 1031);

    const auto byText = [&](const std::string& text) -> const ControlTemplate* {
        for (const ControlTemplate& c : d.controls) {
            if (c.text == text) {
                return &c;
            }
        }
        return nullptr;
    };
    EXPECT_NE(byText("Press \"to receive\"  to active receive process"), nullptr);
    EXPECT_NE(byText("Improper bootstrap code or power failure while porgramming will cause "
                     "system unable to boot"),
              nullptr);
    ASSERT_NE(FindControl(d, 1054), nullptr);
    EXPECT_EQ(FindControl(d, 1054)->text, "");  // set at run time
    ASSERT_NE(FindControl(d, 1019), nullptr);
    EXPECT_EQ(FindControl(d, 1019)->kind, ControlKind::GroupBox);

    int ticks = 0;
    int paths = 0;
    int readOnly = 0;
    int panes = 0;
    for (const ControlTemplate& c : d.controls) {
        ticks += c.kind == ControlKind::CheckBox ? 1 : 0;
        paths += c.kind == ControlKind::Edit ? 1 : 0;
        readOnly += c.kind == ControlKind::ReadOnlyEdit ? 1 : 0;
        panes += c.kind == ControlKind::RichEdit ? 1 : 0;
    }
    EXPECT_EQ(ticks, 7);
    EXPECT_EQ(paths, 6);
    EXPECT_EQ(readOnly, 4);
    EXPECT_EQ(panes, 2);
}

// Collapsing keeps the frame's area and disables whatever lies wholly outside it; a control
// straddling the edge would stay enabled in a window too small to show it.
TEST(UiTemplates, MainDialog_EachControlWhollyInsideOrWhollyOutsideTheFrame) {
    const DialogTemplate d = MainDialogTemplate();
    const ControlTemplate* frame = FindControl(d, 1055);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->kind, ControlKind::Frame);
    const int left = frame->x;
    const int top = frame->y;
    const int right = frame->x + frame->cx;
    const int bottom = frame->y + frame->cy;
    EXPECT_EQ(right, 244);
    EXPECT_EQ(bottom, 357);

    const std::set<int> leftPart = {1054, 1050, 1018, 1053, 1052, 1012,
                                    1004, 1005, 1006, 1007, 1021, 1028};
    int outside = 0;
    for (const ControlTemplate& c : d.controls) {
        if (&c == frame) {
            continue;
        }
        const bool inside =
            c.x >= left && c.y >= top && c.x + c.cx <= right && c.y + c.cy <= bottom;
        const bool apart = c.x >= right || c.x + c.cx <= left || c.y >= bottom || c.y + c.cy <= top;
        EXPECT_TRUE(inside != apart) << c.id << " '" << c.text << "' straddles the frame";
        // The right-hand panel starts right of x = 245.
        EXPECT_EQ(apart, c.x >= 245) << c.id << " '" << c.text << "'";
        if (leftPart.contains(c.id)) {
            EXPECT_TRUE(inside) << c.id;
        }
        outside += apart ? 1 : 0;
    }
    EXPECT_EQ(outside, 28);
}

TEST(UiTemplates, PortSettings_CombosWithTheirListsStylesAndLevelLabels) {
    const DialogTemplate d = PortSettingsTemplate();
    struct Row {
        int id;
        ControlKind kind;
        std::vector<std::string> items;
        bool uppercase;
        bool sorted;
        int y;
        std::string label;
    };
    const std::vector<Row> rows = {
        {1003, ControlKind::DropList, {"COM1", "COM2"}, false, false, 14, "COM:"},
        {1026, ControlKind::DropList, {"115200"}, false, false, 34, "Baudrate:"},
        {1027, ControlKind::DropList, {"None"}, true, false, 52, "Parity:"},
        {1028, ControlKind::DropList, {"8"}, false, false, 70, "Data bits:"},
        {1029, ControlKind::DropList, {"1"}, false, true, 88, "Stop bits:"},
        {1043,
         ControlKind::DropDown,
         {"512", "1024", "2048", "4096"},
         false,
         false,
         106,
         "Send Buffer:"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.id);
        const ControlTemplate* combo = FindControl(d, row.id);
        ASSERT_NE(combo, nullptr);
        EXPECT_EQ(combo->kind, row.kind);
        EXPECT_EQ(combo->items, row.items);
        EXPECT_EQ(combo->uppercase, row.uppercase);
        EXPECT_EQ(combo->sorted, row.sorted);
        EXPECT_EQ(combo->y, row.y);
        // Its label sits level with it, right-aligned except "COM:".
        const auto label =
            std::find_if(d.controls.begin(), d.controls.end(),
                         [&](const ControlTemplate& c) { return c.text == row.label; });
        ASSERT_NE(label, d.controls.end());
        EXPECT_EQ(label->kind, row.id == 1003 ? ControlKind::Label : ControlKind::LabelRight);
        EXPECT_GE(label->y, row.y);
        EXPECT_LE(label->y + label->cy, row.y + 12);
    }
    ASSERT_NE(FindControl(d, platform::IDOK), nullptr);
    EXPECT_EQ(FindControl(d, platform::IDOK)->kind, ControlKind::DefaultButton);
    ASSERT_NE(FindControl(d, platform::IDCANCEL), nullptr);
    EXPECT_EQ(FindControl(d, platform::IDCANCEL)->kind, ControlKind::PushButton);
}

}  // namespace
}  // namespace vandrelux::ui
