#include "ui/dialog.h"

#include <gtest/gtest.h>

#include "ui/scripted_presenter.h"
#include "ui/selection_dialog.h"
#include "ui/window_services.h"

namespace countryset {
namespace {

class DialogTest : public ::testing::Test {
  protected:
    ScriptedPresenter presenter;
    WindowServices services{"countryset", presenter};
    SelectionDialog dlg;
};

TEST_F(DialogTest, OpensWithFocusOnOkAndEnterPressesIt) {
    int focusAtOpen = 0;
    presenter.Check([&](CDialog& d) { focusAtOpen = d.GetFocusId(); }).Enter();
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);  // the mapped OK handler ends through OnCancel
    EXPECT_EQ(focusAtOpen, IDC_OK_BUTTON);
    EXPECT_TRUE(dlg.okPressed);
    EXPECT_EQ(dlg.countrySel, 1);
    EXPECT_EQ(dlg.portSel, 0);
    EXPECT_EQ(dlg.country, "");  // no saving exchange on this path
}

TEST_F(DialogTest, EnterOnCancelButtonCancels) {
    presenter.Focus(IDC_CANCEL_BUTTON).Enter();
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_FALSE(dlg.okPressed);
}

TEST_F(DialogTest, EnterOnAListGivesIdokWithTheSavingExchange) {
    dlg.code = "";
    presenter.Select(IDC_COUNTRY_LIST, 2).Focus(IDC_COUNTRY_LIST).Enter();
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_FALSE(dlg.okPressed);
    EXPECT_EQ(dlg.country, "Spain");
    EXPECT_EQ(dlg.port, "COM1");
    EXPECT_EQ(dlg.code, "");  // the hidden edit was never typed into
}

TEST_F(DialogTest, EscapeCloseBoxAndCancelButtonEndWithoutExchange) {
    for (int way = 0; way < 3; ++way) {
        SelectionDialog d;
        presenter.Select(IDC_COUNTRY_LIST, 0);
        if (way == 0) {
            presenter.Escape();
        } else if (way == 1) {
            presenter.Close();
        } else {
            presenter.Click(IDC_CANCEL_BUTTON);
        }
        EXPECT_EQ(d.DoModal(), IDCANCEL) << way;
        EXPECT_FALSE(d.okPressed) << way;
        EXPECT_EQ(d.country, "") << way;
        EXPECT_EQ(presenter.StepsLeft(), 0u) << way;
    }
}

TEST_F(DialogTest, TabVisitsVisibleTabStopsInTemplateOrder) {
    std::vector<int> visited;
    auto record = [&](CDialog& d) { visited.push_back(d.GetFocusId()); };
    for (int i = 0; i < 4; ++i) {
        presenter.Tab().Check(record);
    }
    presenter.Tab(true).Check(record).Tab(true).Check(record);
    dlg.DoModal();
    // The hidden edits 1062 and 1068 are skipped; the order wraps both ways.
    EXPECT_EQ(visited, (std::vector<int>{IDC_CANCEL_BUTTON, IDC_COUNTRY_LIST, IDC_PORT_LIST,
                                         IDC_OK_BUTTON, IDC_PORT_LIST, IDC_COUNTRY_LIST}));
}

TEST_F(DialogTest, HiddenAndInertControlsRefuseTheOperator) {
    presenter.Check([](CDialog& d) {
        EXPECT_FALSE(d.SetFocus(IDC_CODE_EDIT));
        EXPECT_FALSE(d.SetFocus(IDC_SELECTED_LABEL));
        EXPECT_FALSE(d.TypeText(IDC_CODE_EDIT, "33"));
        EXPECT_FALSE(d.Click(IDC_COUNTRY_LIST));
        EXPECT_FALSE(d.SelectItem(IDC_CODE_EDIT, 0));
        EXPECT_FALSE(d.Click(4242));
        EXPECT_EQ(d.GetFocusId(), IDC_OK_BUTTON);
    });
    presenter.Focus(IDC_COUNTRY_LIST).Enter();
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_EQ(dlg.code, "");
    EXPECT_FALSE(dlg.Click(IDC_OK_BUTTON));  // ended: no more actions
}

TEST_F(DialogTest, TypingIntoAListMovesItsSelection) {
    presenter.Type(IDC_COUNTRY_LIST, "fr").Click(IDC_OK_BUTTON);
    dlg.DoModal();
    EXPECT_EQ(dlg.countrySel, 0);
    EXPECT_EQ(dlg.GetComboBox(IDC_COUNTRY_LIST)->GetWindowText(), "fr");

    SelectionDialog unmatched;
    presenter.Type(IDC_COUNTRY_LIST, "Germany").Click(IDC_OK_BUTTON);
    unmatched.DoModal();
    EXPECT_EQ(unmatched.countrySel, -1);
}

TEST_F(DialogTest, DialogEndedInInitialisationNeverReachesThePresenter) {
    dlg.afterInit = [](SelectionDialog& d) { d.EndDialog(IDCANCEL); };
    presenter.Enter();
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_EQ(presenter.DialogsRun(), 0);
    EXPECT_EQ(presenter.StepsLeft(), 1u);
    EXPECT_FALSE(dlg.okPressed);
}

TEST_F(DialogTest, FailingCreationReturnsMinusOneBeforeInitialisation) {
    dlg.createResult = -1;
    EXPECT_EQ(dlg.DoModal(), -1);
    EXPECT_FALSE(dlg.initRan);
    EXPECT_EQ(presenter.DialogsRun(), 0);
}

TEST_F(DialogTest, ScriptThatRunsOutPressesTheCloseBox) {
    presenter.Select(IDC_PORT_LIST, 3);
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_EQ(presenter.DialogsRun(), 1);
}

TEST_F(DialogTest, DialogThatIgnoresCancelStillEnds) {
    struct Stubborn : SelectionDialog {
        void OnCancel() override {}
    } stubborn;
    EXPECT_EQ(stubborn.DoModal(), IDCANCEL);
    EXPECT_FALSE(stubborn.IsRunning());
}

TEST_F(DialogTest, LoadingExchangeLimitsTheEditAndPreselectsByPrefix) {
    dlg.afterInit = [](SelectionDialog& d) {
        CComboBox* countries = d.GetComboBox(IDC_COUNTRY_LIST);
        d.country = "SP";
        d.UpdateData(false);
        EXPECT_EQ(countries->GetCurSel(), 2);
        EXPECT_EQ(countries->GetWindowText(), "Spain");
        // No item begins with it: the text goes to the edit field, the selection stays.
        d.country = "Germany";
        d.UpdateData(false);
        EXPECT_EQ(countries->GetCurSel(), 2);
        EXPECT_EQ(countries->GetWindowText(), "Germany");
    };
    presenter.Check([](CDialog& d) { EXPECT_EQ(d.GetEdit(IDC_CODE_EDIT)->GetLimitText(), 20); });
    dlg.DoModal();
    EXPECT_EQ(presenter.StepsLeft(), 0u);
}

TEST_F(DialogTest, SavingExchangeRefusesATooLongCode) {
    dlg.afterInit = [](SelectionDialog& d) {
        d.GetDlgItem(IDC_CODE_EDIT)->SetWindowText(std::string(21, 'A'));
    };
    presenter.Focus(IDC_PORT_LIST).Enter().Check([](CDialog& d) {
        EXPECT_FALSE(d.IsEnded());
        d.GetDlgItem(IDC_CODE_EDIT)->SetWindowText(std::string(20, 'A'));
    });
    presenter.Enter();
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_EQ(dlg.code, std::string(20, 'A'));
    ASSERT_EQ(presenter.Messages().size(), 1u);
    EXPECT_EQ(presenter.Messages()[0].caption, "countryset");
}

TEST(EditControl, TypingStopsAtTheLimitAndHonoursUpperCase) {
    ScriptedPresenter presenter;
    WindowServices services{"countryset", presenter};
    SelectionDialog dlg;
    dlg.afterInit = [](SelectionDialog& d) {
        CEdit* edit = d.GetEdit(IDC_CODE_EDIT);
        edit->TypeText("abcdefghijklmnopqrstuvwxyz");
        EXPECT_EQ(edit->GetWindowText(), "ABCDEFGHIJKLMNOPQRST");
        edit->SendMessage(EM_LIMITTEXT, 2);
        edit->TypeText("x1y");
        EXPECT_EQ(edit->GetWindowText(), "X1");
        CEdit* plain = d.GetEdit(IDC_UNUSED_EDIT);
        plain->TypeText("abc");
        EXPECT_EQ(plain->GetWindowText(), "abc");
    };
    dlg.DoModal();
}

TEST(DefaultButton, EnterOffAButtonPressesTheTemplatesDefaultButton) {
    DialogTemplate tmpl = CountryDialogTemplate();
    for (ControlTemplate& c : tmpl.controls) {
        if (c.id == IDC_CANCEL_BUTTON) {
            c.style |= ctl::kDefaultButton;
        }
    }
    ScriptedPresenter presenter;
    WindowServices services{"countryset", presenter};
    bool cancelClicked = false;
    struct Mapped : CDialog {
        Mapped(const DialogTemplate& t, bool& flag) : CDialog(t) {
            MapCommand(IDC_CANCEL_BUTTON, [this, &flag] {
                flag = true;
                EndDialog(5);
            });
        }
    } mapped(tmpl, cancelClicked);
    presenter.Focus(IDC_PORT_LIST).Enter();
    EXPECT_EQ(mapped.DoModal(), 5);
    EXPECT_TRUE(cancelClicked);
}

TEST(WindowAndServices, IconsOwnersAndUnknownTemplates) {
    ScriptedPresenter presenter;
    WindowServices services{"countryset", presenter};
    struct MainDlg : CDialog {
        MainDlg() : CDialog(IDD_MAIN_DIALOG) {}
        bool OnInitDialog() override {
            CDialog::OnInitDialog();
            const Icon icon = LoadIcon(IDR_MAINFRAME);
            SetIcon(icon, true);
            SetIcon(icon, false);
            SelectionDialog child;
            owner = child.GetOwner();
            EndDialog(IDCANCEL);
            return true;
        }
        CWnd* owner = nullptr;
    } mainDlg;
    services.SetMainWnd(&mainDlg);
    EXPECT_EQ(mainDlg.GetWindowText(), "Functional Test Program");
    EXPECT_EQ(mainDlg.DoModal(), IDCANCEL);
    EXPECT_EQ(mainDlg.owner, &mainDlg);
    EXPECT_EQ(mainDlg.GetOwner(), nullptr);
    EXPECT_EQ(mainDlg.GetIcon(true).id, IDR_MAINFRAME);
    EXPECT_EQ(mainDlg.GetIcon(false).id, IDR_MAINFRAME);
    EXPECT_TRUE(LoadIcon(5).IsNull());
    EXPECT_EQ(presenter.DialogsRun(), 0);

    CDialog unknown(4711);
    EXPECT_EQ(unknown.DoModal(), -1);
}

TEST(WindowAndServices, NoServicesMeansNoModalRun) {
    SelectionDialog dlg;
    EXPECT_EQ(dlg.DoModal(), -1);
    EXPECT_FALSE(dlg.initRan);
}

}  // namespace
}  // namespace countryset
