#include "toolkit/win32/Win32Application.h"

#include <cstdio>

#include "toolkit/WindowApplication.h"
#include "toolkit/win32/Win32Dialog.h"

// The Windows headers last, in this order: their macros would rename the toolkit's own names.
// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

namespace vandrelux::platform {

namespace {

constexpr int kAppIconResource = 128;

}  // namespace

void PrepareStandardStreams() {
    const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    if ((err != nullptr && err != INVALID_HANDLE_VALUE) ||
        AttachConsole(ATTACH_PARENT_PROCESS) == FALSE) {
        return;
    }
    static_cast<void>(std::freopen("CONOUT$", "w", stdout));
    static_cast<void>(std::freopen("CONOUT$", "w", stderr));
}

namespace win32 {

bool PrepareToolkit() {
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_STANDARD_CLASSES | ICC_BAR_CLASSES | ICC_PROGRESS_CLASS;
    InitCommonControlsEx(&controls);
    return LoadLibraryW(L"Msftedit.dll") != nullptr;
}

HICON AppIcon(int size) {
    const HANDLE icon = LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kAppIconResource),
                                   IMAGE_ICON, size, size, LR_SHARED);
    // 32512: the system's application icon (IDI_APPLICATION, which is only spelt narrow).
    return icon != nullptr ? static_cast<HICON>(icon) : LoadIconW(nullptr, MAKEINTRESOURCEW(32512));
}

}  // namespace win32

int RunWindowApplication(int /*argc*/, char** /*argv*/,
                         const std::function<int(IDialogFactory&)>& body) {
    if (!win32::PrepareToolkit()) {
        std::fputs("vandrelux: the rich-edit control (Msftedit.dll) is missing\n", stderr);
        return 1;
    }
    Win32DialogFactory factory;
    return body(factory);
}

}  // namespace vandrelux::platform
