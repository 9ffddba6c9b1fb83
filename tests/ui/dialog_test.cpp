// The dialog model: the list rules, the window text, keys, focus, exchange and modal runs.
#include "ui/dialog.h"

#include <gtest/gtest.h>

#include <functional>
#include <tuple>

#include "fakes/scripted_presenter.h"
#include "ui/drop_down_list.h"
#include "ui/three_countries.h"
#include "ui/window_services.h"

namespace countryset {
namespace {

// Byte by byte after lowering letters, so "[" and "_" rank between digits and letters; equal
// texts keep the order they came in, and a prefix ranks first.
TEST(DropDownList, SortedInsertion) {
    DropDownList list;
    for (const char* t :
         {"spain", "France", "italy", "Austria", "FRANCE", "Fr", "COM2", "COM10", "com1_", "["}) {
        list.AddString(t);
    }
    EXPECT_EQ(list.Items(), (std::vector<std::string>{"[", "Austria", "COM10", "com1_", "COM2",
                                                      "Fr", "France", "FRANCE", "italy", "spain"}));
}

// Inside the list a position selects its item and shows it in the edit field; any other position
// (-1, past the end) selects nothing and empties the edit field.
// By prefix: the first item after start (-1: from the top) that begins with the text, ignoring
// case and wrapping round; with no match, and always for the empty text, the selection stays.
TEST(DropDownList, Selection) {
    DropDownList list;  // Finland, France, Italy, Spain
    for (const char* t : {"France", "Italy", "Spain", "Finland"}) {
        list.AddString(t);
    }
    EXPECT_EQ(list.GetCurSel(), CB_ERR);
    const std::tuple<int, int, const char*> byPosition[] = {
        {0, 0, "Finland"}, {3, 3, "Spain"}, {-1, CB_ERR, ""},
        {-7, CB_ERR, ""},  {4, CB_ERR, ""}, {1 << 30, CB_ERR, ""}};
    for (const auto& [pos, sel, text] : byPosition) {
        SCOPED_TRACE(pos);
        list.SetCurSel(2);
        EXPECT_EQ(list.SetCurSel(pos), sel);
        EXPECT_EQ(list.GetCurSel(), sel);
        EXPECT_EQ(list.GetEditText(), text);
        EXPECT_EQ(list.GetLBText(pos), text);
    }
    const std::tuple<int, const char*, int> byPrefix[] = {
        {-1, "f", 0}, {-1, "FRA", 1},   {0, "F", 1},       {1, "F", 0},
        {99, "i", 2}, {-1, "", CB_ERR}, {-1, "x", CB_ERR}, {-1, "Italyx", CB_ERR}};
    for (const auto& [start, text, found] : byPrefix) {
        SCOPED_TRACE(text);
        list.SetCurSel(3);
        EXPECT_EQ(list.SelectString(start, text), found);
        const int sel = found == CB_ERR ? 3 : found;
        EXPECT_EQ(list.GetCurSel(), sel);
        EXPECT_EQ(list.GetEditText(), list.GetLBText(sel));
    }
    EXPECT_EQ(DropDownList().SelectString(-1, "a"), CB_ERR);
}

class DialogTest : public ::testing::Test {
protected:
    ScriptedPresenter presenter;
    WindowServices services{"countryset", presenter};
};

using P = ScriptedPresenter&;

// Spain is chosen first. Enter presses the focused button; in a list it presses OK with the lists'
// current selections, unless the list's drop-down part is open: then it only closes it, keeping
// the highlighted item, and so does leaving the list. OK ends through OnCancel, without exchange.
// Typed text stays in the edit field; the selection follows to the first item it begins, or to
// none.
TEST_F(DialogTest, EveryEndingAndWhatItTakes) {
    const auto stillOpen = [](CDialog& d) { EXPECT_FALSE(d.IsEnded()); };
    const std::tuple<const char*, std::function<void(P)>, const char*, int> cases[] = {
        {"Enter on OK", [](P p) { p.Focus(IDC_OK_BUTTON).Enter(); }, "11", 0},
        {"Enter on Cancel", [](P p) { p.Focus(IDC_CANCEL_BUTTON).Enter(); }, "", -1},
        {"Enter on the country list", [](P p) { p.Focus(IDC_COUNTRY_LIST).Enter(); }, "11", 0},
        {"Enter on the port list",
         [](P p) { p.Select(IDC_PORT_LIST, 4).Focus(IDC_PORT_LIST).Enter(); }, "11", 4},
        {"Enter in an open drop-down, then again",
         [&](P p) {
             p.DropDown(IDC_COUNTRY_LIST).Select(IDC_COUNTRY_LIST, 0).Enter().Check(stillOpen);
             p.Enter();
         },
         "22", 0},
        {"drop-down closed by leaving the list",
         [](P p) { p.DropDown(IDC_PORT_LIST).Tab(true).Tab().Enter(); }, "11", 0},
        {"drop-down closed by the operator",
         [](P p) { p.DropDown(IDC_PORT_LIST).DropDown(IDC_PORT_LIST, false).Enter(); }, "11", 0},
        {"Escape", [](P p) { p.Escape(); }, "", -1},
        {"close box", [](P p) { p.Close(); }, "", -1},
        {"operator gone", [](P) {}, "", -1},
        {"typed fr, Enter on the list",
         [](P p) { p.Type(IDC_COUNTRY_LIST, "fr").Focus(IDC_COUNTRY_LIST).Enter(); }, "22", 0},
        {"typed Germany, Enter on the list",
         [](P p) { p.Type(IDC_COUNTRY_LIST, "Germany").Focus(IDC_COUNTRY_LIST).Enter(); }, "", 0},
        {"typed IT", [](P p) { p.Type(IDC_COUNTRY_LIST, "IT").Click(IDC_OK_BUTTON); }, "33", 0},
        {"typed nothing", [](P p) { p.Type(IDC_COUNTRY_LIST, "").Click(IDC_OK_BUTTON); }, "", 0}};
    for (const auto& [name, steps, code, port] : cases) {
        SCOPED_TRACE(name);
        ThreeCountries run;
        steps(presenter.Select(IDC_COUNTRY_LIST, 2));
        EXPECT_EQ(run.dlg.DoModal(), IDCANCEL);
        EXPECT_EQ(run.dlg.m_strCode, code);
        if (*code != '\0') {
            EXPECT_EQ(run.dlg.m_nPortSel, port);
        }
        // No ending exchanges: the lists' texts stay as they were given.
        EXPECT_EQ(run.dlg.m_strCountry, "");
        EXPECT_EQ(presenter.StepsLeft(), 0u);
    }
}

TEST_F(DialogTest, FocusStartsOnOkAndTabSkipsHiddenControlsInTemplateOrder) {
    std::vector<int> visited;
    auto record = [&](CDialog& d) { visited.push_back(d.GetFocusId()); };
    presenter.Check(record).Tab().Check(record).Tab().Check(record).Tab().Check(record);
    // The hidden code edit refuses the operator and carries the limit that loading set.
    presenter.Tab().Check(record).Tab(true).Check(record).Check([](CDialog& d) {
        EXPECT_FALSE(d.SetFocus(IDC_CODE_EDIT));
        EXPECT_FALSE(d.TypeText(IDC_CODE_EDIT, "33"));
        EXPECT_EQ(d.GetEdit(IDC_CODE_EDIT)->GetLimitText(), 20);
    });
    ThreeCountries run;
    run.dlg.DoModal();
    EXPECT_EQ(visited, (std::vector<int>{IDC_OK_BUTTON, IDC_CANCEL_BUTTON, IDC_COUNTRY_LIST,
                                         IDC_PORT_LIST, IDC_OK_BUTTON, IDC_PORT_LIST}));
}

struct ShortLived : CDialog {
    ShortLived() : CDialog(CountryDialogTemplate()) {}
    int OnCreate() override { return createResult; }
    bool OnInitDialog() override {
        initRan = true;
        EndDialog(IDCANCEL);
        return true;
    }
    int createResult = 0;
    bool initRan = false;
};

// With a failing creation, or ended in its initialisation, a modal run never reaches the presenter.
TEST_F(DialogTest, ModalRunThatCannotStartOrEndsInItsInitialisationNeverShows) {
    presenter.Enter();
    ShortLived failing;
    failing.createResult = -1;
    EXPECT_EQ(failing.DoModal(), -1);
    ShortLived early;
    EXPECT_EQ(early.DoModal(), IDCANCEL);
    EXPECT_FALSE(failing.initRan);
    EXPECT_TRUE(early.initRan);
    EXPECT_EQ(presenter.DialogsRun(), 0);
    EXPECT_EQ(presenter.StepsLeft(), 1u);
}

}  // namespace
}  // namespace countryset
