#include "toolkit/win32/DialogTemplate.h"

// The Windows headers last, in this order: their macros would rename the toolkit's own names.
// clang-format off
#include <windows.h>
#include <commctrl.h>
#include <richedit.h>
// clang-format on

namespace vandrelux::platform::win32 {

namespace {

// Predefined window classes, by the ordinals the template layout knows them by.
constexpr std::uint16_t kButtonClass = 0x0080;
constexpr std::uint16_t kEditClass = 0x0081;
constexpr std::uint16_t kStaticClass = 0x0082;
constexpr std::uint16_t kComboBoxClass = 0x0085;

class Writer {
public:
    void Word(std::uint16_t value) { Raw(&value, sizeof value); }
    void DWord(std::uint32_t value) { Raw(&value, sizeof value); }
    void Short(int value) { Word(static_cast<std::uint16_t>(static_cast<std::int16_t>(value))); }
    void Text(std::wstring_view text) {
        for (const wchar_t c : text) {
            Word(static_cast<std::uint16_t>(c));
        }
        Word(0);
    }
    void ClassOrText(const ControlStyle& style) {
        if (style.windowClass.empty()) {
            Word(0xFFFF);
            Word(style.classOrdinal);
        } else {
            Text(style.windowClass);
        }
    }
    void AlignToDWord() {
        while (m_bytes.size() % 4 != 0) {
            m_bytes.push_back(0);
        }
    }
    [[nodiscard]] std::vector<std::uint8_t> Take() { return std::move(m_bytes); }

private:
    void Raw(const void* data, std::size_t size) {
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        m_bytes.insert(m_bytes.end(), bytes, bytes + size);
    }

    std::vector<std::uint8_t> m_bytes;
};

}  // namespace

ControlStyle StyleOf(const ControlTemplate& control) {
    constexpr std::uint32_t kChild = WS_CHILD | WS_VISIBLE;
    ControlStyle s;
    switch (control.kind) {
        case ControlKind::PushButton:
            s.classOrdinal = kButtonClass;
            s.style = kChild | WS_TABSTOP | BS_PUSHBUTTON;
            break;
        case ControlKind::DefaultButton:
            s.classOrdinal = kButtonClass;
            s.style = kChild | WS_TABSTOP | BS_DEFPUSHBUTTON;
            break;
        case ControlKind::CheckBox:
            s.classOrdinal = kButtonClass;
            s.style = kChild | WS_TABSTOP | BS_AUTOCHECKBOX;
            break;
        case ControlKind::Edit:
            s.classOrdinal = kEditClass;
            s.style = kChild | WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL;
            break;
        case ControlKind::ReadOnlyEdit:
            s.classOrdinal = kEditClass;
            s.style = kChild | WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL | ES_READONLY;
            break;
        case ControlKind::RichEdit:
            s.windowClass = MSFTEDIT_CLASS;
            s.style = kChild | WS_TABSTOP | WS_BORDER | WS_VSCROLL | ES_MULTILINE | ES_READONLY;
            break;
        case ControlKind::Frame:
            // Never shown: it only marks the area a collapsed dialog keeps.
            s.classOrdinal = kStaticClass;
            s.style = WS_CHILD | SS_BLACKFRAME | SS_SUNKEN;
            break;
        case ControlKind::GroupBox:
            s.classOrdinal = kButtonClass;
            s.style = kChild | BS_GROUPBOX;
            break;
        case ControlKind::Label:
            s.classOrdinal = kStaticClass;
            s.style = kChild | SS_LEFT;
            break;
        case ControlKind::LabelRight:
            s.classOrdinal = kStaticClass;
            s.style = kChild | SS_RIGHT;
            break;
        case ControlKind::ProgressBar:
            s.windowClass = PROGRESS_CLASSW;
            s.style = kChild | WS_BORDER;
            break;
        case ControlKind::DropList:
        case ControlKind::DropDown:
            s.classOrdinal = kComboBoxClass;
            s.style = kChild | WS_TABSTOP | WS_VSCROLL |
                      (control.kind == ControlKind::DropList ? CBS_DROPDOWNLIST
                                                             : CBS_DROPDOWN | CBS_AUTOHSCROLL) |
                      (control.uppercase ? CBS_UPPERCASE : 0U) | (control.sorted ? CBS_SORT : 0U);
            break;
        case ControlKind::Icon:
            s.classOrdinal = kStaticClass;
            s.style = kChild | SS_ICON;
            break;
    }
    return s;
}

std::uint32_t DialogStyle(const DialogTemplate& dialog) {
    return DS_SETFONT | DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU |
           (dialog.minimizeBox ? WS_MINIMIZEBOX : 0U);
}

std::uint32_t DialogExStyle(const DialogTemplate& dialog) {
    return dialog.minimizeBox ? WS_EX_APPWINDOW : 0U;
}

std::vector<std::uint8_t> BuildDialogTemplate(const DialogTemplate& dialog) {
    Writer w;
    w.Word(1);  // version of the extended layout
    w.Word(0xFFFF);
    w.DWord(0);  // help id
    w.DWord(DialogExStyle(dialog));
    w.DWord(DialogStyle(dialog));
    w.Word(static_cast<std::uint16_t>(dialog.controls.size()));
    w.Short(0);
    w.Short(0);
    w.Short(dialog.cx);
    w.Short(dialog.cy);
    w.Word(0);  // no menu
    w.Word(0);  // the standard dialog class
    w.Text(ToWide(dialog.title));
    w.Word(static_cast<std::uint16_t>(dialog.pointSize));
    w.Word(FW_NORMAL);
    w.Word(DEFAULT_CHARSET << 8);  // not italic; the character set
    w.Text(ToWide(dialog.fontFace));

    for (const ControlTemplate& c : dialog.controls) {
        const ControlStyle style = StyleOf(c);
        w.AlignToDWord();
        w.DWord(0);  // help id
        w.DWord(style.exStyle);
        w.DWord(style.style);
        w.Short(c.x);
        w.Short(c.y);
        w.Short(c.cx);
        w.Short(c.cy);
        w.DWord(static_cast<std::uint32_t>(c.id));
        w.ClassOrText(style);
        // An icon control gets its picture once it exists; a name here would be looked up as a
        // resource of the program, which a test program does not carry.
        w.Text(c.kind == ControlKind::Icon ? std::wstring() : ToWide(c.text));
        w.Word(0);  // no creation data
    }
    return w.Take();
}

std::wstring ToWide(std::string_view text) {
    if (text.empty()) {
        return {};
    }
    const int size = static_cast<int>(text.size());
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), length);
    return wide;
}

std::string ToUtf8(std::wstring_view text) {
    if (text.empty()) {
        return {};
    }
    const int size = static_cast<int>(text.size());
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), size, narrow.data(), length, nullptr, nullptr);
    return narrow;
}

}  // namespace vandrelux::platform::win32
