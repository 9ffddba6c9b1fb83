// Texts from the settings file as a terminal gets them, and cut to a field.
#include "ui/shown_text.h"

#include <gtest/gtest.h>

#include <tuple>
#include <utility>

namespace countryset {
namespace {

// C0, DEL and C1 (as a byte and as UTF-8) become visible; line feeds only when asked; UTF-8
// letters, whose bytes may lie in 0x80..0x9F, and single-byte letters stay as they are.
TEST(VisibleText, NoControlReachesTheTerminal) {
    const std::pair<std::string, std::string> cases[] = {
        {"Country Setting", "Country Setting"},
        {"\x1b[2J\x07", "^[[2J^G"},
        {std::string("a\0b", 3), "a^@b"},
        {"tab\there\r\x7f", "tab^Ihere^M^?"},
        {"line\nbreak", "line^Jbreak"},
        {"\x9b"
         "31m\x85",
         "M-^[31mM-^E"},
        {"\xc2\x9b"
         "31m\xc2\x80",
         "M-^[31mM-^@"},
        {"C\xc3\xb4te d'Ivoire \xc5\x8d \xe2\x82\xac \xf0\x9f\x8c\x8d",
         "C\xc3\xb4te d'Ivoire \xc5\x8d \xe2\x82\xac \xf0\x9f\x8c\x8d"},
        {"C\xf4te \xe9t\xe9", "C\xf4te \xe9t\xe9"},
        // Overlong, surrogate and cut sequences are no UTF-8: their bytes 0x80..0x9F are controls.
        {"\xc1\x9b \xe0\x80\x9b \xed\xa0\x80 \xc3", "\xc1M-^[ \xe0M-^@M-^[ \xed\xa0M-^@ \xc3"},
    };
    for (const auto& [text, shown] : cases) {
        EXPECT_EQ(VisibleText(text), shown) << text;
    }
    EXPECT_EQ(VisibleText("two\nlines\r\n", true), "two\nlines^M\n");
}

// Cut to at most the limit, never inside a UTF-8 character; bytes that are no UTF-8 count one
// each.
TEST(CutWithoutSplitting, KeepsWholeCharacters) {
    const std::tuple<std::string, std::size_t, std::size_t> cases[] = {
        {"France", 19, 6},
        {"Republique Centrafrique", 19, 19},
        {"Republique Centraf\xc3\xa9", 19, 18},
        {"Republique Centra\xc3\xa9x", 19, 19},
        {"Republique Centraf\xe9x", 19, 19},
        {"Republique Cent\xe2\x82\xac", 17, 15},
        {"Republique Cen\xf0\x9f\x8c\x8d", 17, 14},
        {"\xc3\xa9\xc3\xa9", 1, 0},
        {"abc", 0, 0},
    };
    for (const auto& [text, limit, length] : cases) {
        EXPECT_EQ(CutWithoutSplitting(text, limit), length) << text << " at " << limit;
    }
}

}  // namespace
}  // namespace countryset
