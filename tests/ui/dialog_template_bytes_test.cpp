#include "ui/dialog_template_bytes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace countryset {
namespace {

// Expected images are written out field by field with literal numbers, so a wrong constant, a
// field out of order or a missing pad shows.
struct Image {
    std::vector<unsigned char> bytes;
    Image& W(std::uint16_t v) {
        bytes.push_back(static_cast<unsigned char>(v & 0xFF));
        bytes.push_back(static_cast<unsigned char>(v >> 8));
        return *this;
    }
    Image& D(std::uint32_t v) { return W(v & 0xFFFF).W(static_cast<std::uint16_t>(v >> 16)); }
    Image& S(const char16_t* text) {
        for (; *text != 0; ++text) {
            W(*text);
        }
        return W(0);
    }
    Image& Pad(std::size_t n) {
        bytes.insert(bytes.end(), n, 0);
        return *this;
    }
};

TEST(DialogTemplateBytes, SmallTemplateByteForByte) {
    DialogTemplate tmpl{
        7,
        "Hi!",
        100,
        50,
        "Sans Serif",
        9,
        dlg::kPopup | dlg::kCaption | dlg::kSysMenu | dlg::kModalFrame | dlg::kHiddenUntilShown |
            dlg::kCentred,
        {
            {11, ControlKind::StaticText, ctl::kVisible | ctl::kGroup, 1, 2, 3, 4, "Abc", ""},
            {0x1000C, ControlKind::DropDownList,
             ctl::kVisible | ctl::kTabStop | ctl::kVScroll | ctl::kSort, -5, 6, 70, 80, "", "List"},
        }};
    // The extended header (version 1, its mark, help context, extended style) and the shell font
    // style; the font block with weight, italic and character set; 32-bit ids.
    Image want;
    want.W(1).W(0xFFFF).D(0).D(0).D(0x80C808C8).W(2).W(0).W(0).W(100).W(50).W(0).W(0).S(u"Hi!");
    want.W(9).W(400).W(0x0100).S(u"MS Shell Dlg 2");  // ends at byte 74: two of padding
    want.Pad(2);
    want.D(0).D(0).D(0x50020080).W(1).W(2).W(3).W(4).D(11).W(0xFFFF).W(0x0082).S(u"Abc").W(0);
    want.Pad(2);  // the first item ends at byte 114
    want.D(0).D(0).D(0x50210102).W(0xFFFB).W(6).W(70).W(80).D(0x1000C).W(0xFFFF).W(0x0085).S(u"");
    want.W(0);
    EXPECT_EQ(DialogTemplateBytes(tmpl), want.bytes);
}

// A reader of the format, to look at the items of a real template one by one.
struct Item {
    std::uint32_t style;
    int x, y, cx, cy, id;
    std::uint16_t classOrdinal;
    std::u16string text;
};

class Reader {
public:
    explicit Reader(const std::vector<unsigned char>& bytes) : m_bytes(bytes) {}
    std::uint16_t W() {
        if (m_at + 2 > m_bytes.size()) {
            ADD_FAILURE() << "read past the end at " << m_at;
            m_at = m_bytes.size();
            return 0;
        }
        const auto v = static_cast<std::uint16_t>(m_bytes[m_at] | (m_bytes[m_at + 1] << 8));
        m_at += 2;
        return v;
    }
    std::uint32_t D() { return W() | (static_cast<std::uint32_t>(W()) << 16); }
    int S16() { return static_cast<std::int16_t>(W()); }
    std::u16string Text() {
        std::u16string s;
        for (std::uint16_t c = W(); c != 0; c = W()) {
            s += static_cast<char16_t>(c);
        }
        return s;
    }
    void Align() {
        while (m_at % 4 != 0) {
            EXPECT_EQ(m_bytes[m_at], 0) << "padding at " << m_at;
            ++m_at;
        }
    }
    std::size_t At() const { return m_at; }

private:
    const std::vector<unsigned char>& m_bytes;
    std::size_t m_at = 0;
};

TEST(DialogTemplateBytes, CountryDialogItemsCarryTheirClassesStylesAndTexts) {
    const DialogTemplate& tmpl = CountryDialogTemplate();
    const std::vector<unsigned char> bytes = DialogTemplateBytes(tmpl);
    Reader r(bytes);
    EXPECT_EQ(r.W(), 1);
    EXPECT_EQ(r.W(), 0xFFFF);
    EXPECT_EQ(r.D(), 0u);
    EXPECT_EQ(r.D(), 0u);
    EXPECT_EQ(r.D(), 0x80C808C8u);
    const int count = r.W();
    ASSERT_EQ(count, 8);
    r.W();
    r.W();
    EXPECT_EQ(r.S16(), 205);
    EXPECT_EQ(r.S16(), 97);
    EXPECT_EQ(r.W(), 0);
    EXPECT_EQ(r.W(), 0);
    EXPECT_EQ(r.Text(), u"Country Setting");
    EXPECT_EQ(r.W(), 8);
    EXPECT_EQ(r.W(), 400);
    EXPECT_EQ(r.W(), 0x0100);  // upright, the default character set
    EXPECT_EQ(r.Text(), u"MS Shell Dlg 2");

    struct Want {
        int id;
        std::uint16_t classOrdinal;
        std::uint32_t style;
        std::u16string text;
    };
    // Template order is the tab order; the hidden edits stay hidden; both lists sorted, editable.
    const Want want[] = {
        {1070, 0x0082, 0x50020080, u"Current Selected Country"},
        {1069, 0x0080, 0x50000007, u"Setting"},
        {1062, 0x0081, 0x40810089, u""},
        {1065, 0x0080, 0x50010000, u"OK"},
        {1066, 0x0080, 0x50010000, u"Cancel"},
        {1067, 0x0085, 0x50210102, u""},
        {1068, 0x0081, 0x40810080, u""},
        {1071, 0x0085, 0x50210102, u""},
    };
    for (int i = 0; i < count; ++i) {
        r.Align();
        Item item{};
        EXPECT_EQ(r.D(), 0u);
        EXPECT_EQ(r.D(), 0u);
        item.style = r.D();
        item.x = r.S16();
        item.y = r.S16();
        item.cx = r.S16();
        item.cy = r.S16();
        item.id = static_cast<int>(r.D());
        EXPECT_EQ(r.W(), 0xFFFF);
        item.classOrdinal = r.W();
        item.text = r.Text();
        EXPECT_EQ(r.W(), 0) << "creation data of item " << i;
        SCOPED_TRACE(item.id);
        const ControlTemplate& c = tmpl.controls[static_cast<std::size_t>(i)];
        EXPECT_EQ(item.id, want[i].id);
        EXPECT_EQ(item.classOrdinal, want[i].classOrdinal);
        EXPECT_EQ(item.style, want[i].style);
        EXPECT_EQ(item.text, want[i].text);
        EXPECT_EQ((std::vector<int>{item.x, item.y, item.cx, item.cy}),
                  (std::vector<int>{c.x, c.y, c.cx, c.cy}));
    }
    EXPECT_EQ(r.At(), bytes.size());
}

TEST(DialogTemplateBytes, DefaultButtonAndCentredTextsAndUnsortedLists) {
    struct Case {
        ControlKind kind;
        unsigned style;
        std::uint32_t want;
    } const cases[] = {
        {ControlKind::PushButton, ctl::kVisible | ctl::kTabStop | ctl::kDefaultButton, 0x50010001},
        {ControlKind::StaticText, ctl::kVisible | ctl::kCentre, 0x50000081},
        {ControlKind::DropDownList, ctl::kVisible | ctl::kTabStop | ctl::kAutoHScroll, 0x50010042},
        {ControlKind::Edit, ctl::kVisible | ctl::kTabStop, 0x50010000},
    };
    for (const Case& c : cases) {
        ControlTemplate control;
        control.kind = c.kind;
        control.style = c.style;
        EXPECT_EQ(ControlStyleBits(control), c.want) << static_cast<int>(c.kind);
    }
}

TEST(DialogTemplateBytes, TextsBecomeUtf16WithoutLosingThePlaceOfTheNextField) {
    struct Case {
        std::string utf8;
        std::u16string want;
    } const cases[] = {
        {"Fran\xC3\xA7"
         "e",
         u"Fran\u00E7e"},
        {"\xF0\x9F\x98\x80", u"\U0001F600"},  // a surrogate pair
        {"A\xE9"
         "B",
         u"A\uFFFD"
         u"B"},                         // a single-byte letter is no UTF-8
        {"\xE2\x82", u"\uFFFD\uFFFD"},  // cut short
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Utf16FromUtf8(c.utf8), c.want) << c.utf8;
    }
    // A NUL in a text would end it early: the rest of the template would be read out of place.
    DialogTemplate tmpl = CountryDialogTemplate();
    tmpl.caption = std::string("A\0B", 3);
    const std::vector<unsigned char> bytes = DialogTemplateBytes(tmpl);
    Reader r(bytes);
    for (int i = 0; i < 15; ++i) {
        r.W();
    }
    EXPECT_EQ(r.Text(), u"AB");
    EXPECT_EQ(r.W(), 8);
}

}  // namespace
}  // namespace countryset
