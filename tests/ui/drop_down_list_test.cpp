#include "ui/drop_down_list.h"

#include <gtest/gtest.h>

#include "ui/window.h"

namespace countryset {
namespace {

std::vector<std::string> Fill(DropDownList& list, std::initializer_list<const char*> texts) {
    for (const char* t : texts) {
        list.AddString(t);
    }
    return list.Items();
}

TEST(DropDownListOrder, SortsIgnoringCaseAndPutsEqualTextsAfterExistingOnes) {
    DropDownList list;
    EXPECT_EQ(list.AddString("spain"), 0);
    EXPECT_EQ(list.AddString("France"), 0);
    EXPECT_EQ(list.AddString("italy"), 1);
    EXPECT_EQ(list.AddString("Austria"), 0);
    EXPECT_EQ(list.AddString("FRANCE"), 2);  // equal to "France": lands after it
    EXPECT_EQ(list.AddString("Fr"), 1);      // a prefix ranks before the longer text
    EXPECT_EQ(list.Items(),
              (std::vector<std::string>{"Austria", "Fr", "France", "FRANCE", "italy", "spain"}));
}

TEST(DropDownListOrder, ComparesBytesNotNumbers) {
    DropDownList list;
    EXPECT_EQ(Fill(list, {"COM2", "COM10", "COM1", "com1_", "Z", "["}),
              (std::vector<std::string>{"[", "COM1", "COM10", "com1_", "COM2", "Z"}));
}

TEST(DropDownListOrder, UnsortedListAppendsAndSelectionSurvivesInsertion) {
    DropDownList plain(false);
    EXPECT_EQ(Fill(plain, {"b", "a"}), (std::vector<std::string>{"b", "a"}));

    DropDownList list;
    Fill(list, {"Italy", "Spain"});
    list.SetCurSel(0);
    list.AddString("France");  // lands before the selected item
    EXPECT_EQ(list.GetCurSel(), 1);
    EXPECT_EQ(list.GetLBText(list.GetCurSel()), "Italy");
}

class DropDownListSelection : public ::testing::Test {
  protected:
    void SetUp() override { Fill(list, {"France", "Italy", "Spain", "Finland"}); }
    DropDownList list;  // Finland, France, Italy, Spain
};

TEST_F(DropDownListSelection, PositionsInsideSelectAndShowTheItem) {
    EXPECT_EQ(list.GetCurSel(), CB_ERR);
    EXPECT_EQ(list.SetCurSel(2), 2);
    EXPECT_EQ(list.GetCurSel(), 2);
    EXPECT_EQ(list.GetEditText(), "Italy");
    EXPECT_EQ(list.SetCurSel(3), 3);
    EXPECT_EQ(list.GetEditText(), "Spain");
}

TEST_F(DropDownListSelection, PositionsOutsideSelectNothingAndClearTheEditField) {
    for (int pos : {-1, 4, 5, -7, 1 << 30}) {
        list.SetCurSel(1);
        EXPECT_EQ(list.SetCurSel(pos), CB_ERR) << pos;
        EXPECT_EQ(list.GetCurSel(), -1) << pos;
        EXPECT_EQ(list.GetEditText(), "") << pos;
    }
    EXPECT_EQ(list.GetLBText(-1), "");
    EXPECT_EQ(list.GetLBText(4), "");
}

TEST_F(DropDownListSelection, PrefixSelectsFirstMatchIgnoringCase) {
    EXPECT_EQ(list.SelectString(-1, "f"), 0);
    EXPECT_EQ(list.SelectString(-1, "FRA"), 1);
    EXPECT_EQ(list.GetEditText(), "France");
    EXPECT_EQ(list.SelectString(-1, "spain"), 3);
    // From a start position the search begins after it and wraps round.
    EXPECT_EQ(list.SelectString(0, "F"), 1);
    EXPECT_EQ(list.SelectString(1, "F"), 0);
    EXPECT_EQ(list.SelectString(99, "i"), 2);
}

TEST_F(DropDownListSelection, PrefixWithoutMatchOrEmptyChangesNothing) {
    list.SetCurSel(2);
    EXPECT_EQ(list.SelectString(-1, ""), CB_ERR);
    EXPECT_EQ(list.SelectString(-1, "Italyx"), CB_ERR);
    EXPECT_EQ(list.SelectString(-1, "x"), CB_ERR);
    EXPECT_EQ(list.GetCurSel(), 2);
    EXPECT_EQ(list.GetEditText(), "Italy");

    DropDownList empty;
    EXPECT_EQ(empty.SelectString(-1, "a"), CB_ERR);
    EXPECT_EQ(empty.GetCurSel(), -1);
}

TEST_F(DropDownListSelection, TypingSetsTheEditTextAndTheSelectionFollows) {
    list.TypeText("it");
    EXPECT_EQ(list.GetEditText(), "it");
    EXPECT_EQ(list.GetCurSel(), 2);
    list.TypeText("Italia");
    EXPECT_EQ(list.GetEditText(), "Italia");
    EXPECT_EQ(list.GetCurSel(), -1);
    list.TypeText("s");
    EXPECT_EQ(list.GetCurSel(), 3);
    list.TypeText("");
    EXPECT_EQ(list.GetCurSel(), -1);
}

TEST(ComboBoxMessages, ListMessagesFollowTheListRules) {
    CComboBox combo;
    for (const char* t : {"COM2", "COM1", "COM3"}) {
        combo.SendMessage(CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(t));
    }
    EXPECT_EQ(combo.SendMessage(CB_GETCOUNT), 3);
    EXPECT_EQ(combo.SendMessage(CB_SETCURSEL, 1), 1);
    EXPECT_EQ(combo.GetWindowText(), "COM2");
    EXPECT_EQ(combo.SendMessage(CB_SELECTSTRING, static_cast<WPARAM>(-1),
                                reinterpret_cast<LPARAM>("com3")),
              2);
    EXPECT_EQ(combo.SendMessage(CB_GETCURSEL), 2);
    // A null text is the empty text: it selects nothing.
    EXPECT_EQ(combo.SendMessage(CB_SELECTSTRING, static_cast<WPARAM>(-1), 0), CB_ERR);
    EXPECT_EQ(combo.SendMessage(CB_SETCURSEL, static_cast<WPARAM>(-1)), CB_ERR);
    EXPECT_EQ(combo.SendMessage(CB_GETCURSEL), -1);
    EXPECT_EQ(combo.GetWindowText(), "");
    // Setting the window text fills the edit field and leaves the selection alone.
    combo.SetCurSel(0);
    combo.SetWindowText("typed");
    EXPECT_EQ(combo.List().GetEditText(), "typed");
    EXPECT_EQ(combo.GetCurSel(), 0);
}

TEST(WindowText, GetTextNeverWritesPastTheBuffer) {
    CWnd wnd;
    wnd.SetWindowText("Current Selected Country");
    char buffer[5] = {'x', 'x', 'x', 'x', 'x'};
    EXPECT_EQ(wnd.SendMessage(WM_GETTEXT, 4, reinterpret_cast<LPARAM>(buffer)), 3);
    EXPECT_STREQ(buffer, "Cur");
    EXPECT_EQ(buffer[4], 'x');
    EXPECT_EQ(wnd.SendMessage(WM_GETTEXT, 0, reinterpret_cast<LPARAM>(buffer)), 0);
    EXPECT_EQ(wnd.SendMessage(WM_GETTEXTLENGTH), 24);
}

}  // namespace
}  // namespace countryset
