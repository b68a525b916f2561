#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "toolkit/win32/DialogTemplate.h"
#include "ui/Templates.h"

// The Windows headers last, in this order: their macros would rename the toolkit's own names.
// clang-format off
#include <windows.h>
#include <commctrl.h>
#include <richedit.h>
// clang-format on

namespace vandrelux::platform::win32 {
namespace {

// Reads a template back the way the window manager walks it.
class Reader {
public:
    explicit Reader(const std::vector<std::uint8_t>& bytes) : m_bytes(bytes) {}

    std::uint16_t Word() { return Take<std::uint16_t>(); }
    std::uint32_t DWord() { return Take<std::uint32_t>(); }
    std::int16_t Short() { return Take<std::int16_t>(); }
    std::wstring Text() {
        std::wstring text;
        for (std::uint16_t c = Word(); c != 0; c = Word()) {
            text.push_back(static_cast<wchar_t>(c));
        }
        return text;
    }
    // A class or title: an ordinal after 0xFFFF, else a text.
    std::wstring OrdinalOrText(std::uint16_t& ordinal) {
        ordinal = 0;
        if (Peek() == 0xFFFF) {
            Word();
            ordinal = Word();
            return {};
        }
        return Text();
    }
    void AlignToDWord() { m_at = (m_at + 3) & ~std::size_t{3}; }
    [[nodiscard]] std::size_t At() const { return m_at; }
    [[nodiscard]] std::size_t Size() const { return m_bytes.size(); }

private:
    std::uint16_t Peek() {
        std::uint16_t v = 0;
        std::memcpy(&v, m_bytes.data() + m_at, sizeof v);
        return v;
    }
    template <class T>
    T Take() {
        T v{};
        if (m_at + sizeof v > m_bytes.size()) {
            ADD_FAILURE() << "read past the end at " << m_at;
            return v;
        }
        std::memcpy(&v, m_bytes.data() + m_at, sizeof v);
        m_at += sizeof v;
        return v;
    }

    const std::vector<std::uint8_t>& m_bytes;
    std::size_t m_at = 0;
};

struct Item {
    std::uint32_t style = 0;
    int x = 0, y = 0, cx = 0, cy = 0;
    int id = 0;
    std::uint16_t classOrdinal = 0;
    std::wstring className;
    std::wstring title;
};

struct Parsed {
    std::uint32_t style = 0;
    std::uint32_t exStyle = 0;
    int cx = 0, cy = 0;
    std::wstring title;
    int pointSize = 0;
    std::wstring face;
    std::vector<Item> items;
};

Parsed Parse(const std::vector<std::uint8_t>& bytes) {
    Reader r(bytes);
    Parsed p;
    EXPECT_EQ(r.Word(), 1);
    EXPECT_EQ(r.Word(), 0xFFFF);
    r.DWord();
    p.exStyle = r.DWord();
    p.style = r.DWord();
    const int count = r.Word();
    r.Short();
    r.Short();
    p.cx = r.Short();
    p.cy = r.Short();
    std::uint16_t ordinal = 0;
    EXPECT_TRUE(r.OrdinalOrText(ordinal).empty());  // no menu
    EXPECT_TRUE(r.OrdinalOrText(ordinal).empty());  // the standard class
    p.title = r.Text();
    p.pointSize = r.Word();
    r.Word();
    r.Word();
    p.face = r.Text();
    for (int i = 0; i < count; ++i) {
        r.AlignToDWord();
        Item item;
        r.DWord();
        r.DWord();
        item.style = r.DWord();
        item.x = r.Short();
        item.y = r.Short();
        item.cx = r.Short();
        item.cy = r.Short();
        item.id = static_cast<int>(r.DWord());
        item.className = r.OrdinalOrText(item.classOrdinal);
        std::uint16_t titleOrdinal = 0;
        item.title = r.OrdinalOrText(titleOrdinal);
        EXPECT_EQ(r.Word(), 0) << "creation data of item " << i;
        p.items.push_back(item);
    }
    EXPECT_EQ(r.At(), r.Size()) << "bytes after the last item";
    return p;
}

TEST(DialogTemplate, MainDialog_EveryControlKeepsItsIdPlaceAndTextInTabOrder) {
    const DialogTemplate main = ui::MainDialogTemplate();
    const Parsed p = Parse(BuildDialogTemplate(main));
    EXPECT_EQ(p.title, L"Vandrelux2.5");
    EXPECT_EQ(p.cx, 413);
    EXPECT_EQ(p.cy, 367);
    EXPECT_EQ(p.pointSize, 7);
    EXPECT_EQ(p.face, L"Verdana");
    EXPECT_NE(p.style & WS_MINIMIZEBOX, 0U);
    EXPECT_NE(p.exStyle & WS_EX_APPWINDOW, 0U);
    EXPECT_EQ(p.style & WS_VISIBLE, 0U) << "running the dialog shows it";
    ASSERT_EQ(p.items.size(), main.controls.size());
    for (std::size_t i = 0; i < p.items.size(); ++i) {
        const ControlTemplate& c = main.controls[i];
        const Item& item = p.items[i];
        EXPECT_EQ(item.id, c.id) << i;
        EXPECT_EQ(item.x, c.x) << i;
        EXPECT_EQ(item.y, c.y) << i;
        EXPECT_EQ(item.cx, c.cx) << i;
        EXPECT_EQ(item.cy, c.cy) << i;
        if (c.kind != ControlKind::Icon) {
            EXPECT_EQ(item.title, ToWide(c.text)) << i;
        }
    }
}

TEST(DialogTemplate, ControlKinds_GetTheClassesAndStylesTheyBehaveBy) {
    struct Row {
        ControlKind kind;
        std::uint16_t ordinal;
        const wchar_t* className;
        std::uint32_t required;
        std::uint32_t absent;
    };
    const Row rows[] = {
        {ControlKind::PushButton, 0x80, L"", WS_TABSTOP | BS_PUSHBUTTON, BS_DEFPUSHBUTTON},
        {ControlKind::DefaultButton, 0x80, L"", WS_TABSTOP | BS_DEFPUSHBUTTON, 0},
        {ControlKind::CheckBox, 0x80, L"", WS_TABSTOP | BS_AUTOCHECKBOX, 0},
        {ControlKind::Edit, 0x81, L"", WS_BORDER | ES_AUTOHSCROLL, ES_READONLY | ES_MULTILINE},
        {ControlKind::ReadOnlyEdit, 0x81, L"", WS_BORDER | ES_READONLY, 0},
        {ControlKind::RichEdit, 0, MSFTEDIT_CLASS,
         WS_BORDER | WS_VSCROLL | ES_MULTILINE | ES_READONLY, WS_HSCROLL},
        {ControlKind::Frame, 0x82, L"", SS_BLACKFRAME | SS_SUNKEN, WS_VISIBLE},
        {ControlKind::GroupBox, 0x80, L"", BS_GROUPBOX, WS_TABSTOP},
        {ControlKind::Label, 0x82, L"", SS_LEFT, WS_TABSTOP},
        {ControlKind::LabelRight, 0x82, L"", SS_RIGHT, 0},
        {ControlKind::ProgressBar, 0, PROGRESS_CLASSW, 0, 0},
        {ControlKind::DropList, 0x85, L"", CBS_DROPDOWNLIST | WS_VSCROLL, CBS_SORT},
        {ControlKind::DropDown, 0x85, L"", CBS_DROPDOWN, CBS_UPPERCASE},
        {ControlKind::Icon, 0x82, L"", SS_ICON, 0},
    };
    for (const Row& row : rows) {
        ControlTemplate c;
        c.kind = row.kind;
        const ControlStyle s = StyleOf(c);
        const int kind = static_cast<int>(row.kind);
        EXPECT_EQ(s.classOrdinal, row.ordinal) << kind;
        EXPECT_EQ(s.windowClass, row.className) << kind;
        EXPECT_EQ(s.style & row.required, row.required) << kind;
        EXPECT_EQ(s.style & row.absent, 0U) << kind;
        EXPECT_NE(s.style & WS_CHILD, 0U) << kind;
    }
    ControlTemplate parity;
    parity.kind = ControlKind::DropList;
    parity.uppercase = true;
    parity.sorted = true;
    const ControlStyle s = StyleOf(parity);
    EXPECT_EQ(s.style & (CBS_UPPERCASE | CBS_SORT), static_cast<DWORD>(CBS_UPPERCASE | CBS_SORT));
}

// Odd-length texts leave items off a 4-byte boundary unless the builder pads them.
TEST(DialogTemplate, ItemsAfterOddLengthTexts_StartOnFourByteBoundaries) {
    DialogTemplate d;
    d.title = "T";
    for (const char* text : {"a", "ab", "abc", "", "\xE2\x80\x94"}) {
        ControlTemplate c;
        c.id = 100 + static_cast<int>(d.controls.size());
        c.text = text;
        d.controls.push_back(c);
    }
    const Parsed p = Parse(BuildDialogTemplate(d));
    ASSERT_EQ(p.items.size(), d.controls.size());
    EXPECT_EQ(p.items.back().title, L"\u2014");
    EXPECT_EQ(p.items.back().id, 104);
}

TEST(DialogTemplate, Texts_SurviveTheWayToUtf16AndBack) {
    const std::string portMessage = "This COM port is not usable\xEF\xBC\x8Cplease use other port";
    EXPECT_EQ(ToUtf8(ToWide(portMessage)), portMessage);
    EXPECT_EQ(ToWide(portMessage).size(), portMessage.size() - 2);
    EXPECT_EQ(ToWide(""), L"");
    EXPECT_EQ(ToUtf8(L""), "");
}

}  // namespace
}  // namespace vandrelux::platform::win32
