// Pictures the program draws itself instead of shipping image files.
#pragma once

#include <QIcon>
#include <QPixmap>

namespace vandrelux::platform::qt {

// The program icon: a set-top box receiving an update.
[[nodiscard]] QPixmap AppIconPixmap(int size);
[[nodiscard]] QIcon AppIcon();

}  // namespace vandrelux::platform::qt
