// Dialog units to pixels, by the rule dialog templates are laid out with: a horizontal unit is a
// quarter of the font's average character width, a vertical unit an eighth of its height.
#pragma once

#include "toolkit/Toolkit.h"

namespace vandrelux::platform::qt {

struct BaseUnits {
    int x = 0;  // average character width in pixels
    int y = 0;  // character height in pixels
};

// value * numerator / denominator (> 0), rounded half away from zero.
[[nodiscard]] int MulDiv(int value, int numerator, int denominator) noexcept;

// The pixel rectangle of a template rectangle; each edge is mapped on its own so that
// neighbouring controls keep touching.
[[nodiscard]] Rect MapDialogRect(BaseUnits units, int x, int y, int cx, int cy) noexcept;

// The average width from the advance of the 52 letters A-Z, a-z, rounded as the template rule
// expects.
[[nodiscard]] int AverageCharWidth(int advanceOfAlphabet) noexcept;

}  // namespace vandrelux::platform::qt
