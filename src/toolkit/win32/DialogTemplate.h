// Dialog templates as the window manager reads them from memory (the extended layout), built from
// the templates kept as data, so every dialog gets real dialog units from its own font.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "toolkit/Dialog.h"

namespace vandrelux::platform::win32 {

// The window class, styles and title a control of the given kind is made with.
struct ControlStyle {
    std::wstring windowClass;  // empty: the predefined class in `classOrdinal`
    std::uint16_t classOrdinal = 0;
    std::uint32_t style = 0;
    std::uint32_t exStyle = 0;
};

[[nodiscard]] ControlStyle StyleOf(const ControlTemplate& control);

// The dialog's styles: a main window (one with a minimise box) gets its own task-bar entry.
// Dialogs are made hidden; running them shows them.
[[nodiscard]] std::uint32_t DialogStyle(const DialogTemplate& dialog);
[[nodiscard]] std::uint32_t DialogExStyle(const DialogTemplate& dialog);

// The template in memory, aligned as the window manager expects when the buffer starts on a
// 4-byte boundary (std::vector's storage does). Texts are UTF-8 and become UTF-16.
[[nodiscard]] std::vector<std::uint8_t> BuildDialogTemplate(const DialogTemplate& dialog);

[[nodiscard]] std::wstring ToWide(std::string_view text);
[[nodiscard]] std::string ToUtf8(std::wstring_view text);

}  // namespace vandrelux::platform::win32
