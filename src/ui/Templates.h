// The program's dialogs and its toolbar as data: what a resource script would hold.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "toolkit/Dialog.h"

namespace vandrelux::ui {

inline constexpr int kMainDialogId = 129;
inline constexpr int kPortSettingsDialogId = 132;
inline constexpr int kAboutDialogId = 100;
inline constexpr int kConnectingDialogId = 133;
inline constexpr int kMainToolbarId = 128;

// Toolbar commands of the main dialog.
inline constexpr int ID_CONFIG_PORT = 32574;
inline constexpr int ID_OPEN_PORT = 32575;
inline constexpr int ID_CLOSE_PORT = 32576;

// The About item appended to the main dialog's system menu.
inline constexpr unsigned ID_SYS_ABOUT = 0x0010;
inline constexpr std::string_view kAboutMenuText = "About Vandrelux(&A)...";

[[nodiscard]] platform::DialogTemplate MainDialogTemplate();
[[nodiscard]] platform::DialogTemplate PortSettingsTemplate();
[[nodiscard]] platform::DialogTemplate AboutTemplate();
// The wait while a port behind a network server is connected to: its text, and Cancel.
[[nodiscard]] platform::DialogTemplate ConnectingTemplate();
inline constexpr platform::ControlId kConnectingText = 1000;
[[nodiscard]] platform::ToolbarTemplate MainToolbarTemplate();
// The main toolbar's pictures (configure, open, close), 24 x 16 pixels each, as one PNG.
[[nodiscard]] std::span<const std::uint8_t> ToolbarImagePng();

}  // namespace vandrelux::ui
