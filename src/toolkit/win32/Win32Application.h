// The native Windows toolkit's preparation, and the program icon.
#pragma once

struct HICON__;

namespace vandrelux::platform::win32 {

// Loads the common controls and the rich-edit control; false when the rich-edit control cannot
// be had, without which there is no window to show.
[[nodiscard]] bool PrepareToolkit();

// The program icon (resource 128 of the executable) at the given size, or the system's
// application icon for a program that carries none. Shared: never destroyed.
[[nodiscard]] HICON__* AppIcon(int size);

}  // namespace vandrelux::platform::win32
