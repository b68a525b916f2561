#include "toolkit/win32/Win32Dialog.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <map>
#include <set>
#include <span>
#include <utility>
#include <vector>

#include "toolkit/DialogBehaviour.h"
#include "toolkit/WindowCall.h"
#include "toolkit/win32/DialogTemplate.h"
#include "toolkit/win32/Win32Application.h"

// The Windows headers last, in this order: their macros (MessageBox, CreateDialog, IDOK) would
// rename the toolkit's own names, so the code below uses the Windows spellings.
// clang-format off
#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>
#include <gdiplus.h>
#include <richedit.h>
#include <shlwapi.h>
// clang-format on

#undef MessageBox
#undef CreateDialog

namespace vandrelux::platform {

using win32::ToUtf8;
using win32::ToWide;

namespace {

// Asks the window thread to run the calls other threads have queued; sent, not posted, so that it
// overtakes input and timer ticks as a synchronous message does.
constexpr UINT kRunCalls = WM_APP + 7;
constexpr int kToolbarId = 0xE800;
constexpr LPARAM kPaneTextLimit = 1 << 20;

struct Control {
    ControlId id = kNoId;
    ControlKind kind = ControlKind::Label;
    HWND hwnd = nullptr;
};

bool IsCombo(ControlKind kind) {
    return kind == ControlKind::DropList || kind == ControlKind::DropDown;
}

std::wstring WindowText(HWND hwnd) {
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(hwnd)) + 1, L'\0');
    text.resize(
        static_cast<std::size_t>(GetWindowTextW(hwnd, text.data(), static_cast<int>(text.size()))));
    return text;
}

// Rich-edit panes keep one character (CR) per line end; a caller's CR LF or LF becomes one.
std::wstring ToPaneText(std::string_view text) {
    std::wstring wide = ToWide(text);
    std::wstring pane;
    pane.reserve(wide.size());
    for (std::size_t i = 0; i < wide.size(); ++i) {
        if (wide[i] == L'\r' && i + 1 < wide.size() && wide[i + 1] == L'\n') {
            continue;
        }
        pane.push_back(wide[i] == L'\n' ? L'\r' : wide[i]);
    }
    return pane;
}

Rect ToRect(const RECT& r) {
    return Rect{r.left, r.top, r.right, r.bottom};
}

int PaneTextLength(HWND pane) {
    GETTEXTLENGTHEX how{GTL_NUMCHARS | GTL_PRECISE, 1200};
    return static_cast<int>(
        SendMessageW(pane, EM_GETTEXTLENGTHEX, reinterpret_cast<WPARAM>(&how), 0));
}

// Line ends come back as LF, as from the other toolkits.
std::string PaneText(HWND pane) {
    std::wstring text(static_cast<std::size_t>(PaneTextLength(pane)) + 1, L'\0');
    GETTEXTEX how{};
    how.cb = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    how.flags = GT_DEFAULT;
    how.codepage = 1200;
    text.resize(
        static_cast<std::size_t>(SendMessageW(pane, EM_GETTEXTEX, reinterpret_cast<WPARAM>(&how),
                                              reinterpret_cast<LPARAM>(text.data()))));
    std::replace(text.begin(), text.end(), L'\r', L'\n');
    return ToUtf8(text);
}

// Dialogs running modally on this thread, innermost last: a new one is owned by the innermost.
std::vector<HWND>& RunningDialogs() {
    thread_local std::vector<HWND> running;
    return running;
}

HWND ActiveOwner() {
    return RunningDialogs().empty() ? nullptr : RunningDialogs().back();
}

bool SavePng(HBITMAP bitmap, const std::wstring& path) {
    Gdiplus::GdiplusStartupInput input;
    ULONG_PTR token = 0;
    if (Gdiplus::GdiplusStartup(&token, &input, nullptr) != Gdiplus::Ok) {
        return false;
    }
    bool saved = false;
    Gdiplus::GpBitmap* image = nullptr;
    if (Gdiplus::DllExports::GdipCreateBitmapFromHBITMAP(bitmap, nullptr, &image) == Gdiplus::Ok) {
        static constexpr CLSID kPngEncoder = {
            0x557CF406, 0x1A04, 0x11D3, {0x9A, 0x73, 0x00, 0x00, 0xF8, 0x1E, 0xF3, 0x2E}};
        saved = Gdiplus::DllExports::GdipSaveImageToFile(image, path.c_str(), &kPngEncoder,
                                                         nullptr) == Gdiplus::Ok;
        Gdiplus::DllExports::GdipDisposeImage(image);
    }
    Gdiplus::GdiplusShutdown(token);
    return saved;
}

// The toolbar's strip laid on the button face, as an image list takes it; null when the PNG
// cannot be read. Blended here, so no driver's way with alpha can show a dark fringe.
HBITMAP StripOnButtonFace(std::span<const std::uint8_t> png) {
    if (png.empty()) {
        return nullptr;
    }
    IStream* stream = SHCreateMemStream(png.data(), static_cast<UINT>(png.size()));
    if (stream == nullptr) {
        return nullptr;
    }
    HBITMAP bitmap = nullptr;
    Gdiplus::GdiplusStartupInput input;
    ULONG_PTR token = 0;
    if (Gdiplus::GdiplusStartup(&token, &input, nullptr) == Gdiplus::Ok) {
        Gdiplus::GpBitmap* image = nullptr;
        if (Gdiplus::DllExports::GdipCreateBitmapFromStream(stream, &image) == Gdiplus::Ok) {
            UINT width = 0;
            UINT height = 0;
            Gdiplus::DllExports::GdipGetImageWidth(image, &width);
            Gdiplus::DllExports::GdipGetImageHeight(image, &height);
            const Gdiplus::GpRect all(0, 0, static_cast<INT>(width), static_cast<INT>(height));
            Gdiplus::BitmapData data{};
            if (Gdiplus::DllExports::GdipBitmapLockBits(image, &all, Gdiplus::ImageLockModeRead,
                                                        PixelFormat32bppARGB,
                                                        &data) == Gdiplus::Ok) {
                BITMAPINFO info{};
                info.bmiHeader.biSize = sizeof info.bmiHeader;
                info.bmiHeader.biWidth = static_cast<LONG>(width);
                info.bmiHeader.biHeight = -static_cast<LONG>(height);  // top row first
                info.bmiHeader.biPlanes = 1;
                info.bmiHeader.biBitCount = 32;
                info.bmiHeader.biCompression = BI_RGB;
                void* bits = nullptr;
                bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
                const COLORREF face = GetSysColor(COLOR_BTNFACE);
                const unsigned faceBgr[3] = {GetBValue(face), GetGValue(face), GetRValue(face)};
                for (UINT row = 0; bitmap != nullptr && row < height; ++row) {
                    const auto* from = static_cast<const std::uint8_t*>(data.Scan0) +
                                       static_cast<std::ptrdiff_t>(row) * data.Stride;
                    auto* to = static_cast<std::uint8_t*>(bits) + std::size_t{row} * width * 4;
                    for (UINT col = 0; col < width; ++col, from += 4, to += 4) {
                        const unsigned alpha = from[3];
                        for (int k = 0; k < 3; ++k) {
                            to[k] = static_cast<std::uint8_t>(
                                (from[k] * alpha + faceBgr[k] * (255 - alpha) + 127) / 255);
                        }
                        to[3] = 255;
                    }
                }
                Gdiplus::DllExports::GdipBitmapUnlockBits(image, &data);
            }
            Gdiplus::DllExports::GdipDisposeImage(image);
        }
        Gdiplus::GdiplusShutdown(token);
    }
    stream->Release();
    return bitmap;
}

}  // namespace

struct Win32DialogWindow::Impl {
    DialogBehaviour behaviour;
    HWND hwnd = nullptr;
    std::vector<Control> controls;
    InsertionCarets carets;
    HWND toolbar = nullptr;
    HIMAGELIST toolbarImages = nullptr;
    std::map<int, std::wstring> toolTips;
    std::set<unsigned> timers;
    bool systemMenuExtended = false;
    WindowCallQueue calls{[this] { SendNotifyMessageW(hwnd, kRunCalls, 0, 0); }};

    explicit Impl(const DialogTemplate& t);
    ~Impl();
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR Message(UINT message, WPARAM wParam, LPARAM lParam);

    [[nodiscard]] const Control* Find(ControlId id) const {
        if (id == kNoId) {
            return nullptr;
        }
        const auto it = std::find_if(controls.begin(), controls.end(),
                                     [id](const Control& c) { return c.id == id; });
        return it == controls.end() ? nullptr : &*it;
    }
    [[nodiscard]] Control* Find(ControlId id) {
        return const_cast<Control*>(std::as_const(*this).Find(id));
    }
    [[nodiscard]] HWND Of(ControlId id, ControlKind kind) const {
        const Control* c = Find(id);
        return c != nullptr && c->kind == kind ? c->hwnd : nullptr;
    }
    [[nodiscard]] HWND Combo(ControlId id) const {
        const Control* c = Find(id);
        return c != nullptr && IsCombo(c->kind) ? c->hwnd : nullptr;
    }
    [[nodiscard]] const Control* FindHandle(HWND child) const {
        const auto it = std::find_if(controls.begin(), controls.end(),
                                     [child](const Control& c) { return c.hwnd == child; });
        return it == controls.end() ? nullptr : &*it;
    }

    void FillCombo(HWND combo, const std::vector<std::string>& items);
    [[nodiscard]] bool DialogKey(const MSG& msg);
    [[nodiscard]] std::optional<std::size_t> FocusedControl() const;
    void RunLoop();
    void UpdateTitle();
};

// An end that comes inside the wait for a message has to wake the loop to let it see the end.
Win32DialogWindow::Impl::Impl(const DialogTemplate& t)
    : behaviour(t, [this](int /*result*/) { PostMessageW(hwnd, WM_NULL, 0, 0); }) {
    const std::vector<std::uint8_t> bytes = win32::BuildDialogTemplate(t);
    hwnd = CreateDialogIndirectParamW(GetModuleHandleW(nullptr),
                                      reinterpret_cast<LPCDLGTEMPLATEW>(bytes.data()), nullptr,
                                      &Impl::DialogProc, reinterpret_cast<LPARAM>(this));
    if (hwnd == nullptr) {
        PrintBoxLine(stderr, "cannot make the dialog", t.title);
        return;
    }
    const HICON large = win32::AppIcon(GetSystemMetrics(SM_CXICON));
    SendMessageW(hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(large));
    SendMessageW(hwnd, WM_SETICON, ICON_SMALL,
                 reinterpret_cast<LPARAM>(win32::AppIcon(GetSystemMetrics(SM_CXSMICON))));
    // The children come in template order, the id-less ones too, which no lookup by id finds.
    HWND child = GetWindow(hwnd, GW_CHILD);
    for (const ControlTemplate& c : t.controls) {
        controls.push_back(Control{c.id, c.kind, child});
        child = GetWindow(child, GW_HWNDNEXT);
    }
    for (std::size_t i = 0; i < controls.size(); ++i) {
        const Control& c = controls[i];
        switch (c.kind) {
            case ControlKind::RichEdit:
                SendMessageW(c.hwnd, EM_EXLIMITTEXT, 0, kPaneTextLimit);
                SetWindowTextW(c.hwnd, ToPaneText(t.controls[i].text).c_str());
                break;
            case ControlKind::DropList:
            case ControlKind::DropDown:
                FillCombo(c.hwnd, t.controls[i].items);
                break;
            case ControlKind::ProgressBar:
                SendMessageW(c.hwnd, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
                break;
            case ControlKind::Icon:
                SendMessageW(c.hwnd, STM_SETICON, reinterpret_cast<WPARAM>(large), 0);
                break;
            default:
                break;
        }
    }
}

Win32DialogWindow::Impl::~Impl() {
    if (hwnd != nullptr) {
        DestroyWindow(hwnd);
    }
    if (toolbarImages != nullptr) {
        ImageList_Destroy(toolbarImages);
    }
}

INT_PTR CALLBACK Win32DialogWindow::Impl::DialogProc(HWND hwnd, UINT message, WPARAM wParam,
                                                     LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
        return FALSE;
    }
    auto* impl = reinterpret_cast<Impl*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    return impl == nullptr ? FALSE : impl->Message(message, wParam, lParam);
}

INT_PTR Win32DialogWindow::Impl::Message(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COMMAND:
            // Clicks, Enter and Esc; edits and combo boxes report nothing the logic asks for.
            if (HIWORD(wParam) == BN_CLICKED) {
                behaviour.Command(LOWORD(wParam));
            }
            return TRUE;
        case WM_CLOSE:
            behaviour.Close();
            return TRUE;
        case WM_SYSCOMMAND:
            if (behaviour.SysCommand(static_cast<unsigned>(wParam))) {
                SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, 0);
                return TRUE;
            }
            return FALSE;
        case WM_TIMER:
            behaviour.Timer(static_cast<unsigned>(wParam));
            return TRUE;
        case kRunCalls:
            calls.RunPending();
            return TRUE;
        case WM_NOTIFY: {
            auto* header = reinterpret_cast<NMHDR*>(lParam);
            if (header->code == TTN_GETDISPINFOW) {
                const auto it = toolTips.find(static_cast<int>(header->idFrom));
                if (it != toolTips.end()) {
                    reinterpret_cast<NMTTDISPINFOW*>(lParam)->lpszText = it->second.data();
                }
                return TRUE;
            }
            return FALSE;
        }
        default:
            return FALSE;
    }
}

void Win32DialogWindow::Impl::FillCombo(HWND combo, const std::vector<std::string>& items) {
    SendMessageW(combo, CB_RESETCONTENT, 0, 0);
    for (const std::string& item : items) {
        const std::wstring wide = ToWide(item);
        SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide.c_str()));
    }
    // A filled list has nothing chosen until someone chooses.
    SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(-1), 0);
}

std::optional<std::size_t> Win32DialogWindow::Impl::FocusedControl() const {
    const Control* focus = FindHandle(GetFocus());
    return focus == nullptr
               ? std::nullopt
               : std::optional<std::size_t>(static_cast<std::size_t>(focus - controls.data()));
}

// Enter, Esc and Tab mean the same wherever the focus is, the log panes included (a multi-line
// pane would keep them); an open combo list still takes Enter and Esc to close itself.
bool Win32DialogWindow::Impl::DialogKey(const MSG& msg) {
    if (msg.message != WM_KEYDOWN || (msg.hwnd != hwnd && !IsChild(hwnd, msg.hwnd)) ||
        GetKeyState(VK_MENU) < 0 || GetKeyState(VK_CONTROL) < 0) {
        return false;
    }
    const HWND focus = GetFocus();
    HWND comboOfFocus = GetParent(focus);
    if (const Control* c = FindHandle(focus); c != nullptr && IsCombo(c->kind)) {
        comboOfFocus = focus;
    }
    const bool listOpen = SendMessageW(comboOfFocus, CB_GETDROPPEDSTATE, 0, 0) != 0;
    switch (msg.wParam) {
        case VK_RETURN:
            if (listOpen) {
                return false;
            }
            behaviour.Command(behaviour.EnterCommand(FocusedControl()));
            return true;
        case VK_ESCAPE:
            if (listOpen) {
                return false;
            }
            behaviour.Command(IDCANCEL);
            return true;
        case VK_TAB: {
            const Control* c = FindHandle(focus);
            if (c == nullptr || c->kind != ControlKind::RichEdit) {
                return false;
            }
            SendMessageW(hwnd, WM_NEXTDLGCTL, GetKeyState(VK_SHIFT) < 0 ? 1 : 0, FALSE);
            return true;
        }
        default:
            return false;
    }
}

void Win32DialogWindow::Impl::RunLoop() {
    MSG msg;
    while (!behaviour.Ended()) {
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0) {
            // Someone asked the program to quit: end this run and let the outer loops see it.
            PostQuitMessage(static_cast<int>(msg.wParam));
            behaviour.End(IDCANCEL);
            break;
        }
        if (got < 0) {
            behaviour.End(IDCANCEL);
            break;
        }
        if (DialogKey(msg) || IsDialogMessageW(hwnd, &msg)) {
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

void Win32DialogWindow::Impl::UpdateTitle() {
    SetWindowTextW(hwnd, ToWide(behaviour.Title()).c_str());
}

// ---------------------------------------------------------------------------------------------

Win32DialogWindow::Win32DialogWindow(const DialogTemplate& dialog)
    : m_impl(std::make_unique<Impl>(dialog)) {}

Win32DialogWindow::~Win32DialogWindow() = default;

std::string Win32DialogWindow::GetText(ControlId id) const {
    const Control* c = m_impl->Find(id);
    if (c == nullptr) {
        return {};
    }
    return c->kind == ControlKind::RichEdit ? PaneText(c->hwnd) : ToUtf8(WindowText(c->hwnd));
}

void Win32DialogWindow::SetText(ControlId id, std::string_view text) {
    Control* c = m_impl->Find(id);
    if (c == nullptr) {
        return;
    }
    switch (c->kind) {
        case ControlKind::RichEdit:
            SetWindowTextW(c->hwnd, ToPaneText(text).c_str());
            m_impl->carets.TextReplaced(id, TextLength(id));
            break;
        case ControlKind::DropList: {
            const std::wstring wide = ToWide(text);
            const LRESULT found = SendMessageW(c->hwnd, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                               reinterpret_cast<LPARAM>(wide.c_str()));
            SendMessageW(c->hwnd, CB_SETCURSEL, static_cast<WPARAM>(found), 0);
            break;
        }
        default:
            SetWindowTextW(c->hwnd, ToWide(text).c_str());
            m_impl->carets.TextReplaced(id, GetWindowTextLengthW(c->hwnd));
            break;
    }
}

void Win32DialogWindow::Enable(ControlId id, bool enable) {
    if (const Control* c = m_impl->Find(id)) {
        EnableWindow(c->hwnd, enable ? TRUE : FALSE);
    }
}

bool Win32DialogWindow::IsEnabled(ControlId id) const {
    const Control* c = m_impl->Find(id);
    // The control's own state, whatever its window's.
    return c != nullptr && IsWindowEnabled(c->hwnd) != FALSE;
}

bool Win32DialogWindow::IsChecked(ControlId id) const {
    const HWND box = m_impl->Of(id, ControlKind::CheckBox);
    return box != nullptr && SendMessageW(box, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void Win32DialogWindow::SetChecked(ControlId id, bool checked) {
    if (const HWND box = m_impl->Of(id, ControlKind::CheckBox)) {
        SendMessageW(box, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
    }
}

std::vector<ChildWindow> Win32DialogWindow::ChildWindowsInZOrder() const {
    std::vector<ChildWindow> children;
    for (HWND child = GetWindow(m_impl->hwnd, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        const Control* c = m_impl->FindHandle(child);
        RECT r;
        GetWindowRect(child, &r);
        children.push_back(ChildWindow{c == nullptr ? kNoId : c->id, ToRect(r)});
    }
    return children;
}

Rect Win32DialogWindow::WindowRect() const {
    RECT r{};
    GetWindowRect(m_impl->hwnd, &r);
    return ToRect(r);
}

void Win32DialogWindow::ResizeWindow(int width, int height) {
    SetWindowPos(m_impl->hwnd, nullptr, 0, 0, std::max(width, 0), std::max(height, 0),
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void Win32DialogWindow::ShowControl(ControlId id, bool show) {
    const Control* c = m_impl->Find(id);
    if (c == nullptr || (show && c->kind == ControlKind::Frame)) {
        return;
    }
    ShowWindow(c->hwnd, show ? SW_SHOWNA : SW_HIDE);
}

void Win32DialogWindow::FocusNextTabStop() {
    SendMessageW(m_impl->hwnd, WM_NEXTDLGCTL, 0, FALSE);
}

void Win32DialogWindow::SetComboItems(ControlId id, const std::vector<std::string>& items) {
    if (const HWND combo = m_impl->Combo(id)) {
        m_impl->FillCombo(combo, items);
    }
}

void Win32DialogWindow::SelectComboIndex(ControlId id, int index) {
    if (const HWND combo = m_impl->Combo(id)) {
        const auto count = static_cast<int>(SendMessageW(combo, CB_GETCOUNT, 0, 0));
        SendMessageW(combo, CB_SETCURSEL,
                     static_cast<WPARAM>(index >= 0 && index < count ? index : -1), 0);
    }
}

void Win32DialogWindow::SelectComboPrefix(ControlId id, std::string_view prefix) {
    const HWND combo = m_impl->Combo(id);
    if (combo == nullptr) {
        return;
    }
    const std::wstring wanted = ToWide(prefix);
    // Case does not count in the list's own search.
    if (SendMessageW(combo, CB_SELECTSTRING, static_cast<WPARAM>(-1),
                     reinterpret_cast<LPARAM>(wanted.c_str())) != CB_ERR) {
        return;
    }
    // Not found: nothing is chosen, and what the operator typed stays.
    const std::wstring typed = WindowText(combo);
    SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(-1), 0);
    if (m_impl->Of(id, ControlKind::DropDown) != nullptr) {
        SetWindowTextW(combo, typed.c_str());
    }
}

int Win32DialogWindow::ComboIndex(ControlId id) const {
    const HWND combo = m_impl->Combo(id);
    if (combo == nullptr) {
        return -1;
    }
    const auto index = static_cast<int>(SendMessageW(combo, CB_GETCURSEL, 0, 0));
    if (index < 0 || m_impl->Of(id, ControlKind::DropDown) == nullptr) {
        return index;
    }
    // Typing over a chosen entry leaves no entry chosen.
    std::wstring item(static_cast<std::size_t>(
                          SendMessageW(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0)) +
                          1,
                      L'\0');
    item.resize(static_cast<std::size_t>(SendMessageW(
        combo, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(item.data()))));
    return item == WindowText(combo) ? index : -1;
}

void Win32DialogWindow::SetProgressRange(ControlId id, std::uint16_t lower, std::uint16_t upper) {
    if (const HWND bar = m_impl->Of(id, ControlKind::ProgressBar)) {
        const auto pos = static_cast<int>(SendMessageW(bar, PBM_GETPOS, 0, 0));
        SendMessageW(bar, PBM_SETRANGE, 0, MAKELPARAM(lower, upper));
        SetProgressPos(id, pos);
    }
}

void Win32DialogWindow::SetProgressPos(ControlId id, int pos) {
    if (const HWND bar = m_impl->Of(id, ControlKind::ProgressBar)) {
        PBRANGE range{};
        SendMessageW(bar, PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range));
        const int pinned = std::clamp(pos, range.iLow, std::max(range.iLow, range.iHigh));
        SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(pinned), 0);
    }
}

// The bar's own step wraps round at its end; the display expects it to stay there.
void Win32DialogWindow::StepProgress(ControlId id) {
    if (const HWND bar = m_impl->Of(id, ControlKind::ProgressBar)) {
        SetProgressPos(id, static_cast<int>(SendMessageW(bar, PBM_GETPOS, 0, 0)) + 1);
    }
}

void Win32DialogWindow::SetReadOnly(ControlId id, bool readOnly) {
    const Control* c = m_impl->Find(id);
    if (c != nullptr && (c->kind == ControlKind::RichEdit || c->kind == ControlKind::Edit ||
                         c->kind == ControlKind::ReadOnlyEdit)) {
        SendMessageW(c->hwnd, EM_SETREADONLY, readOnly ? TRUE : FALSE, 0);
    }
}

int Win32DialogWindow::TextLength(ControlId id) const {
    const Control* c = m_impl->Find(id);
    if (c == nullptr) {
        return 0;
    }
    return c->kind == ControlKind::RichEdit ? PaneTextLength(c->hwnd)
                                            : GetWindowTextLengthW(c->hwnd);
}

void Win32DialogWindow::SetCaretToEnd(ControlId id) {
    if (m_impl->Find(id) != nullptr) {
        m_impl->carets.MoveTo(id, TextLength(id));
    }
}

// The pane's own selection is put back as the operator left it, and so is its scroll position;
// the log logic scrolls it explicitly.
void Win32DialogWindow::ReplaceSelection(ControlId id, std::string_view text) {
    const Control* c = m_impl->Find(id);
    if (c == nullptr) {
        return;
    }
    InsertionCarets& carets = m_impl->carets;
    if (c->kind == ControlKind::RichEdit) {
        const int firstVisible = FirstVisibleLine(id);
        CHARRANGE selected{};
        SendMessageW(c->hwnd, EM_EXGETSEL, 0, reinterpret_cast<LPARAM>(&selected));
        SendMessageW(c->hwnd, WM_SETREDRAW, FALSE, 0);
        CHARRANGE at{carets.InsertionPoint(id, TextLength(id)), 0};
        at.cpMax = at.cpMin;
        SendMessageW(c->hwnd, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&at));
        const std::wstring inserted = ToPaneText(text);
        SendMessageW(c->hwnd, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(inserted.c_str()));
        SendMessageW(c->hwnd, EM_EXGETSEL, 0, reinterpret_cast<LPARAM>(&at));
        carets.MoveTo(id, at.cpMax);
        SendMessageW(c->hwnd, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&selected));
        ScrollLines(id, firstVisible - FirstVisibleLine(id));
        SendMessageW(c->hwnd, WM_SETREDRAW, TRUE, 0);
        InvalidateRect(c->hwnd, nullptr, TRUE);
    } else if (c->kind == ControlKind::Edit || c->kind == ControlKind::ReadOnlyEdit) {
        std::wstring content = WindowText(c->hwnd);
        const std::wstring inserted = ToWide(text);
        const int at = carets.InsertionPoint(id, static_cast<int>(content.size()));
        content.insert(static_cast<std::size_t>(at), inserted);
        SetWindowTextW(c->hwnd, content.c_str());
        carets.MoveTo(id, at + static_cast<int>(inserted.size()));
    }
}

int Win32DialogWindow::LineCount(ControlId id) const {
    const HWND pane = m_impl->Of(id, ControlKind::RichEdit);
    return pane == nullptr ? 1 : static_cast<int>(SendMessageW(pane, EM_GETLINECOUNT, 0, 0));
}

int Win32DialogWindow::FirstVisibleLine(ControlId id) const {
    const HWND pane = m_impl->Of(id, ControlKind::RichEdit);
    return pane == nullptr ? 0 : static_cast<int>(SendMessageW(pane, EM_GETFIRSTVISIBLELINE, 0, 0));
}

int Win32DialogWindow::VisibleLineCount(ControlId id) const {
    const HWND pane = m_impl->Of(id, ControlKind::RichEdit);
    if (pane == nullptr) {
        return 1;
    }
    RECT format{};
    SendMessageW(pane, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&format));
    TEXTMETRICW metrics{};
    const HDC dc = GetDC(pane);
    // The pane writes in the dialog's font, but cannot say so: rich edits do not answer WM_GETFONT.
    const HGDIOBJ old =
        SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(m_impl->hwnd, WM_GETFONT, 0, 0)));
    GetTextMetricsW(dc, &metrics);
    SelectObject(dc, old);
    ReleaseDC(pane, dc);
    return std::max(1, static_cast<int>(format.bottom - format.top) /
                           std::max(1, static_cast<int>(metrics.tmHeight)));
}

void Win32DialogWindow::ScrollLines(ControlId id, int lines) {
    if (const HWND pane = m_impl->Of(id, ControlKind::RichEdit); pane != nullptr && lines != 0) {
        SendMessageW(pane, EM_LINESCROLL, 0, lines);
    }
}

// The system raises periods below its floor (about 10 ms) to the floor.
void Win32DialogWindow::StartTimer(unsigned timerId, unsigned periodMs) {
    SetTimer(m_impl->hwnd, timerId, std::max(periodMs, 1U), nullptr);
    m_impl->timers.insert(timerId);
}

void Win32DialogWindow::StopTimer(unsigned timerId) {
    KillTimer(m_impl->hwnd, timerId);
    m_impl->timers.erase(timerId);
}

void Win32DialogWindow::SetUnattended(bool unattended) {
    m_impl->behaviour.SetUnattended(unattended);
}

void Win32DialogWindow::MessageBox(std::string_view text) {
    if (m_impl->behaviour.PrintInsteadOfBox({}, text)) {
        return;
    }
    MessageBoxW(m_impl->hwnd, ToWide(text).c_str(), L"Vandrelux", MB_OK);
}

void Win32DialogWindow::ErrorBox(std::string_view title, std::string_view text) {
    if (m_impl->behaviour.PrintInsteadOfBox(title, text)) {
        return;
    }
    MessageBoxW(nullptr, ToWide(text).c_str(), ToWide(title).c_str(), MB_OK | MB_ICONSTOP);
}

// The folder the program works in stays as it was: the received image's working copy is made
// there.
std::optional<std::string> Win32DialogWindow::OpenFileDialog() {
    if (m_impl->behaviour.Unattended()) {
        return std::nullopt;
    }
    std::wstring name(32768, L'\0');
    OPENFILENAMEW request{};
    request.lStructSize = sizeof request;
    request.hwndOwner = m_impl->hwnd;
    request.lpstrFile = name.data();
    request.nMaxFile = static_cast<DWORD>(name.size());
    request.Flags = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT | OFN_EXPLORER | OFN_NOCHANGEDIR;
    if (GetOpenFileNameW(&request) == FALSE) {
        return std::nullopt;
    }
    name.resize(name.find(L'\0'));
    return ToUtf8(name);
}

// A windowed program has no console to show this on.
void Win32DialogWindow::ConsoleOut(std::string_view /*text*/) {}

std::uint32_t Win32DialogWindow::TickCount() const {
    return GetTickCount();
}

void Win32DialogWindow::Sleep(std::uint32_t ms) {
    ::Sleep(ms);
}

int Win32DialogWindow::RunModal(IDialogHandler& handler) {
    Impl& d = *m_impl;
    const int result = d.behaviour.RunModal(handler, [&d] {
        if (d.hwnd == nullptr) {
            return;
        }
        const HWND owner = ActiveOwner();
        SetWindowLongPtrW(d.hwnd, GWLP_HWNDPARENT, reinterpret_cast<LONG_PTR>(owner));
        if (owner != nullptr) {
            EnableWindow(owner, FALSE);
        }
        RunningDialogs().push_back(d.hwnd);
        ShowWindow(d.hwnd, SW_SHOW);
        SendMessageW(d.hwnd, WM_NEXTDLGCTL,
                     reinterpret_cast<WPARAM>(GetNextDlgTabItem(d.hwnd, nullptr, FALSE)), TRUE);
        d.RunLoop();
        RunningDialogs().pop_back();
        // The owner comes back before this one goes, so that it gets the activation.
        if (owner != nullptr) {
            EnableWindow(owner, TRUE);
        }
        ShowWindow(d.hwnd, SW_HIDE);
    });
    // The run's timers end with it.
    for (const unsigned id : d.timers) {
        KillTimer(d.hwnd, id);
    }
    d.timers.clear();
    return result;
}

void Win32DialogWindow::EndDialog(int result) {
    m_impl->behaviour.End(result);
}

// Buttons show their pictures, or their tool-tip word when the strip has none for them; the bar
// takes no more room than its buttons, so that it never lies over the controls beside it.
bool Win32DialogWindow::CreateToolbar(const ToolbarTemplate& toolbar, int x, int y, int width,
                                      int height) {
    Impl& d = *m_impl;
    if (d.toolbar != nullptr) {
        DestroyWindow(d.toolbar);
    }
    if (d.toolbarImages != nullptr) {
        ImageList_Destroy(d.toolbarImages);
        d.toolbarImages = nullptr;
    }
    d.toolbar = CreateWindowExW(0, TOOLBARCLASSNAMEW, nullptr,
                                WS_CHILD | WS_VISIBLE | TBSTYLE_FLAT | TBSTYLE_TOOLTIPS |
                                    CCS_NOPARENTALIGN | CCS_NORESIZE | CCS_NODIVIDER,
                                x, y, width, height, d.hwnd,
                                reinterpret_cast<HMENU>(static_cast<INT_PTR>(kToolbarId)),
                                GetModuleHandleW(nullptr), nullptr);
    if (d.toolbar == nullptr) {
        return false;
    }
    SendMessageW(d.toolbar, WM_SETFONT, static_cast<WPARAM>(SendMessageW(d.hwnd, WM_GETFONT, 0, 0)),
                 FALSE);
    SendMessageW(d.toolbar, TB_BUTTONSTRUCTSIZE, sizeof(TBBUTTON), 0);
    if (const HBITMAP strip = StripOnButtonFace(toolbar.imageStrip)) {
        d.toolbarImages =
            ImageList_Create(toolbar.imageWidth, toolbar.imageHeight, ILC_COLOR32, 4, 0);
        if (d.toolbarImages != nullptr && ImageList_Add(d.toolbarImages, strip, nullptr) < 0) {
            ImageList_Destroy(d.toolbarImages);
            d.toolbarImages = nullptr;
        }
        DeleteObject(strip);
    }
    const bool pictures = d.toolbarImages != nullptr;
    if (pictures) {
        SendMessageW(d.toolbar, TB_SETBITMAPSIZE, 0,
                     MAKELPARAM(toolbar.imageWidth, toolbar.imageHeight));
        SendMessageW(d.toolbar, TB_SETIMAGELIST, 0, reinterpret_cast<LPARAM>(d.toolbarImages));
        // The picture fills the button but for the padding the button's size leaves.
        SendMessageW(d.toolbar, TB_SETPADDING, 0,
                     MAKELPARAM(toolbar.buttonWidth - toolbar.imageWidth,
                                toolbar.buttonHeight - toolbar.imageHeight));
    } else {
        SendMessageW(d.toolbar, TB_SETBITMAPSIZE, 0, MAKELPARAM(0, 0));
    }
    d.toolTips.clear();
    std::vector<std::wstring> labels;
    labels.reserve(toolbar.buttons.size());
    std::vector<TBBUTTON> buttons;
    for (const ToolbarButton& b : toolbar.buttons) {
        labels.push_back(ToWide(b.toolTip));
        TBBUTTON button{};
        button.idCommand = b.commandId;
        if (b.commandId == 0) {
            button.fsStyle = BTNS_SEP;
        } else {
            const bool picture = pictures && b.image >= 0;
            button.iBitmap = picture ? b.image : I_IMAGENONE;
            button.fsState = TBSTATE_ENABLED;
            button.fsStyle = BTNS_BUTTON;
            button.iString = picture ? -1 : reinterpret_cast<INT_PTR>(labels.back().c_str());
            d.toolTips[b.commandId] = labels.back();
        }
        buttons.push_back(button);
    }
    SendMessageW(d.toolbar, TB_ADDBUTTONSW, buttons.size(),
                 reinterpret_cast<LPARAM>(buttons.data()));
    SendMessageW(d.toolbar, TB_SETBUTTONSIZE, 0,
                 MAKELPARAM(toolbar.buttonWidth, toolbar.buttonHeight));
    RECT last{};
    SendMessageW(d.toolbar, TB_GETITEMRECT, buttons.empty() ? 0 : buttons.size() - 1,
                 reinterpret_cast<LPARAM>(&last));
    SetWindowPos(d.toolbar, HWND_TOP, x, y, std::min(width, static_cast<int>(last.right)),
                 std::min(height, static_cast<int>(last.bottom)), 0);
    return true;
}

void Win32DialogWindow::AppendSystemMenuItem(unsigned commandId, std::string_view text) {
    const HMENU menu = GetSystemMenu(m_impl->hwnd, FALSE);
    if (menu == nullptr || text.empty()) {
        return;
    }
    if (!m_impl->systemMenuExtended) {
        AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        m_impl->systemMenuExtended = true;
    }
    AppendMenuW(menu, MF_STRING, commandId, ToWide(text).c_str());
}

void Win32DialogWindow::CenterWindow() {
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    if (GetMonitorInfoW(MonitorFromWindow(m_impl->hwnd, MONITOR_DEFAULTTOPRIMARY), &monitor) ==
        FALSE) {
        return;
    }
    const RECT area = monitor.rcWork;
    const Rect window = WindowRect();
    SetWindowPos(m_impl->hwnd, nullptr, (area.left + area.right - window.Width()) / 2,
                 (area.top + area.bottom - window.Height()) / 2, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void Win32DialogWindow::SetStatusNote(std::string_view note) {
    m_impl->behaviour.SetStatusNote(note);
    m_impl->UpdateTitle();
}

bool Win32DialogWindow::SendToWindow(std::function<void()> task, std::stop_token stop) {
    return m_impl->calls.Send(std::move(task), stop, true);
}

void Win32DialogWindow::ShowErrorBox(std::string_view title, std::string_view text,
                                     std::stop_token stop) {
    // The box owns copies: a sender that stops waiting leaves it up for the operator.
    static_cast<void>(m_impl->calls.Send(
        [this, title = std::string(title), text = std::string(text)] { ErrorBox(title, text); },
        stop, false));
}

// What the screen shows of the window, frame included; the window has to be shown for that.
bool Win32DialogWindow::SaveScreenshot(const std::string& pngPath) {
    const HWND hwnd = m_impl->hwnd;
    RedrawWindow(hwnd, nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW | RDW_FRAME);
    const Rect r = WindowRect();
    const HDC screen = GetDC(nullptr);
    const HDC memory = CreateCompatibleDC(screen);
    const HBITMAP bitmap = CreateCompatibleBitmap(screen, r.Width(), r.Height());
    const HGDIOBJ old = SelectObject(memory, bitmap);
    const bool copied =
        BitBlt(memory, 0, 0, r.Width(), r.Height(), screen, r.left, r.top, SRCCOPY) != FALSE;
    SelectObject(memory, old);
    const bool saved = copied && SavePng(bitmap, ToWide(pngPath));
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return saved;
}

HWND Win32DialogWindow::Handle() const {
    return m_impl->hwnd;
}

HWND Win32DialogWindow::ControlHandle(ControlId id) const {
    const Control* c = m_impl->Find(id);
    return c == nullptr ? nullptr : c->hwnd;
}

HWND Win32DialogWindow::Toolbar() const {
    return m_impl->toolbar;
}

std::unique_ptr<IDialogWindow> Win32DialogFactory::CreateDialog(const DialogTemplate& dialog) {
    return std::make_unique<Win32DialogWindow>(dialog);
}

}  // namespace vandrelux::platform
