#include <gtest/gtest.h>

#include "toolkit/qt/DialogUnits.h"

namespace vandrelux::platform::qt {
namespace {

TEST(QtDialogUnits, MulDiv_RoundsHalfAwayFromZero) {
    struct Case {
        int value, numerator, denominator, expected;
    };
    for (const Case& c : {Case{10, 6, 4, 15}, Case{1, 6, 4, 2}, Case{1, 5, 4, 1}, Case{3, 5, 8, 2},
                          Case{-1, 6, 4, -2}, Case{7, 0, 4, 0}, Case{5, 3, 0, 0}}) {
        EXPECT_EQ(MulDiv(c.value, c.numerator, c.denominator), c.expected)
            << c.value << "*" << c.numerator << "/" << c.denominator;
    }
}

TEST(QtDialogUnits, MapDialogRect_MapsEdgesSoNeighboursKeepTouching) {
    const BaseUnits units{5, 11};
    // Two controls side by side in units share an edge in pixels, whatever the rounding.
    const Rect a = MapDialogRect(units, 11, 31, 229, 152);
    const Rect b = MapDialogRect(units, 240, 183, 10, 10);
    EXPECT_EQ(a.right, b.left);
    EXPECT_EQ(a.bottom, b.top);
    EXPECT_EQ(a, (Rect{14, 43, 300, 252}));
    EXPECT_EQ(AverageCharWidth(260), 5);  // 10 px for each pair of letters
    EXPECT_EQ(AverageCharWidth(290), 6);  // 11 px a pair: a half rounds up
}

}  // namespace
}  // namespace vandrelux::platform::qt
