#include "toolkit/qt/DialogUnits.h"

#include <cstdint>
#include <cstdlib>

namespace vandrelux::platform::qt {

int MulDiv(int value, int numerator, int denominator) noexcept {
    if (denominator <= 0) {
        return 0;
    }
    const std::int64_t product = std::int64_t{value} * numerator;
    const std::int64_t rounded = (std::llabs(product) + denominator / 2) / denominator;
    return static_cast<int>(product < 0 ? -rounded : rounded);
}

Rect MapDialogRect(BaseUnits units, int x, int y, int cx, int cy) noexcept {
    return Rect{MulDiv(x, units.x, 4), MulDiv(y, units.y, 8), MulDiv(x + cx, units.x, 4),
                MulDiv(y + cy, units.y, 8)};
}

int AverageCharWidth(int advanceOfAlphabet) noexcept {
    return (advanceOfAlphabet / 26 + 1) / 2;
}

}  // namespace vandrelux::platform::qt
