#include "ui/Templates.h"

#include <string>
#include <utility>
#include <vector>

#include "Version.h"

namespace vandrelux::ui {

namespace {

using platform::ControlKind;
using platform::ControlTemplate;
using platform::kNoId;

ControlTemplate Control(int id, ControlKind kind, std::string text, int x, int y, int cx, int cy) {
    ControlTemplate c;
    c.id = id;
    c.kind = kind;
    c.text = std::move(text);
    c.x = x;
    c.y = y;
    c.cx = cx;
    c.cy = cy;
    return c;
}

ControlTemplate Combo(int id, ControlKind kind, int x, int y, int cx, int cy,
                      std::vector<std::string> items) {
    ControlTemplate c = Control(id, kind, {}, x, y, cx, cy);
    c.items = std::move(items);
    return c;
}

}  // namespace

platform::DialogTemplate MainDialogTemplate() {
    using K = ControlKind;
    platform::DialogTemplate d;
    d.id = kMainDialogId;
    d.title = "Vandrelux2.5";
    d.cx = 413;
    d.cy = 367;
    d.minimizeBox = true;
    d.controls = {
        Control(1054, K::PushButton, "", 196, 11, 34, 13),
        Control(1050, K::PushButton, "Restart", 35, 331, 33, 19),
        Control(1018, K::PushButton, "Exit", 125, 331, 33, 19),
        Control(1015, K::CheckBox, "Receive ALL Programme code", 272, 15, 123, 10),
        Control(1013, K::Edit, "", 272, 27, 90, 15),
        Control(1014, K::PushButton, "...", 375, 28, 22, 14),
        Control(1008, K::CheckBox, "Include bootstrap", 272, 79, 84, 10),
        Control(1016, K::Edit, "", 272, 93, 90, 15),
        Control(1017, K::PushButton, "...", 375, 94, 22, 14),
        Control(1009, K::CheckBox, "Include Software", 272, 155, 80, 10),
        Control(1022, K::Edit, "", 272, 170, 90, 15),
        Control(1023, K::PushButton, "...", 376, 169, 22, 14),
        Control(1011, K::CheckBox, "Download to RAM for debugging", 272, 189, 123, 10),
        Control(1010, K::CheckBox, "Include Ucode", 272, 218, 68, 10),
        Control(1024, K::Edit, "", 272, 231, 90, 15),
        Control(1025, K::PushButton, "...", 376, 232, 22, 14),
        Control(1053, K::RichEdit, "", 15, 200, 221, 76),
        Control(1052, K::RichEdit, "", 11, 31, 229, 152),
        Control(1055, K::Frame, "", 5, 5, 239, 352),
        Control(1012, K::ProgressBar, "", 11, 289, 162, 15),
        Control(kNoId, K::Label,
                "Improper bootstrap code or power failure while porgramming will cause system "
                "unable to boot",
                262, 113, 135, 24),
        Control(kNoId, K::GroupBox, "BootStrap", 256, 68, 146, 71),
        Control(kNoId, K::GroupBox, "Information", 11, 186, 230, 93),
        Control(1019, K::GroupBox, "Update files", 250, 60, 159, 298),
        Control(kNoId, K::GroupBox, "ReceiveSoftware", 250, 0, 158, 58),
        Control(kNoId, K::GroupBox, "Software", 256, 144, 146, 58),
        Control(kNoId, K::GroupBox, "Ucode", 256, 207, 146, 47),
        Control(1004, K::ReadOnlyEdit, "", 184, 287, 55, 14),
        Control(1005, K::ReadOnlyEdit, "", 39, 311, 35, 13),
        Control(1006, K::ReadOnlyEdit, "", 114, 311, 38, 13),
        Control(1007, K::ReadOnlyEdit, "", 194, 311, 45, 14),
        Control(kNoId, K::Label, "Elapsed:", 11, 314, 27, 8),
        Control(kNoId, K::Label, "Remaining:", 75, 315, 37, 8),
        Control(kNoId, K::Label, "Throughput:", 153, 316, 38, 8),
        Control(1020, K::CheckBox, "Include Logo", 272, 270, 68, 9),
        Control(1026, K::Edit, "", 272, 284, 90, 14),
        Control(1027, K::PushButton, "...", 376, 283, 22, 14),
        Control(kNoId, K::GroupBox, "I-Frame Logo", 256, 258, 147, 46),
        Control(1021, K::PushButton, "to send", 112, 11, 39, 14),
        Control(1028, K::PushButton, "to receive", 155, 11, 37, 13),
        Control(kNoId, K::Label, "Press \"to receive\"  to active receive process", 258, 46, 141,
                8),
        Control(kNoId, K::GroupBox, "Tv Program", 253, 306, 150, 43),
        Control(1029, K::CheckBox, "Include TvProgram", 272, 316, 87, 10),
        Control(1030, K::Edit, "", 272, 331, 90, 14),
        Control(1031, K::PushButton, "...", 376, 332, 22, 13),
    };
    return d;
}

platform::DialogTemplate PortSettingsTemplate() {
    using K = ControlKind;
    platform::DialogTemplate d;
    d.id = kPortSettingsDialogId;
    d.title = "Port Settings";
    d.cx = 203;
    d.cy = 159;

    // Each label sits level with its combo's edit part.
    const auto label = [](K kind, std::string text, int comboY) {
        return Control(kNoId, kind, std::move(text), 7, comboY + 2, 49, 8);
    };
    ControlTemplate parity = Combo(1027, K::DropList, 63, 52, 103, 90, {"None"});
    parity.uppercase = true;
    ControlTemplate stopBits = Combo(1029, K::DropList, 63, 88, 103, 90, {"1"});
    stopBits.sorted = true;

    d.controls = {
        Control(kNoId, K::GroupBox, "", 6, 3, 190, 128),
        label(K::Label, "COM:", 14),
        Combo(1003, K::DropList, 63, 14, 103, 47, {"COM1", "COM2"}),
        label(K::LabelRight, "Baudrate:", 34),
        Combo(1026, K::DropList, 63, 34, 103, 90, {"115200"}),
        label(K::LabelRight, "Parity:", 52),
        std::move(parity),
        label(K::LabelRight, "Data bits:", 70),
        Combo(1028, K::DropList, 63, 70, 103, 90, {"8"}),
        label(K::LabelRight, "Stop bits:", 88),
        std::move(stopBits),
        label(K::LabelRight, "Send Buffer:", 106),
        Combo(1043, K::DropDown, 63, 106, 104, 90, {"512", "1024", "2048", "4096"}),
        Control(platform::IDOK, K::DefaultButton, "OK", 34, 138, 50, 14),
        Control(platform::IDCANCEL, K::PushButton, "Cancel", 110, 138, 50, 14),
    };
    return d;
}

platform::DialogTemplate AboutTemplate() {
    using K = ControlKind;
    platform::DialogTemplate d;
    d.id = kAboutDialogId;
    d.title = "About Vandrelux";
    d.cx = 235;
    d.cy = 55;
    d.controls = {
        Control(kNoId, K::Icon, "", 11, 15, 20, 20),
        Control(kNoId, K::Label, "Vandrelux 2.4", 40, 10, 119, 8),
        // The line above is the product's name as operators know it; this one is the build.
        Control(kNoId, K::Label,
                "Build " + std::string(kVersion) + " of " + std::string(kBuildDate), 40, 25, 119,
                8),
        Control(platform::IDOK, K::DefaultButton, "OK", 178, 7, 50, 14),
    };
    return d;
}

platform::DialogTemplate ConnectingTemplate() {
    using K = ControlKind;
    platform::DialogTemplate d;
    d.id = kConnectingDialogId;
    d.title = "Vandrelux";
    d.cx = 200;
    d.cy = 52;
    d.controls = {
        Control(kConnectingText, K::Label, "", 7, 9, 186, 16),
        Control(platform::IDCANCEL, K::DefaultButton, "Cancel", 75, 31, 50, 14),
    };
    return d;
}

platform::ToolbarTemplate MainToolbarTemplate() {
    platform::ToolbarTemplate t;
    t.id = kMainToolbarId;
    t.buttonWidth = 34;
    t.buttonHeight = 19;
    t.imageStrip = ToolbarImagePng();
    t.imageWidth = 24;
    t.imageHeight = 16;
    t.buttons = {
        {ID_CONFIG_PORT, "Config Port", "Config", 0},
        {0, "", "", -1},
        {ID_OPEN_PORT, "Open Serial Port", "Open", 1},
        {ID_CLOSE_PORT, "Close Serial Port", "Close", 2},
    };
    return t;
}

}  // namespace vandrelux::ui
