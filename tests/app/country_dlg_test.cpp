// The country selection dialog against an in-memory settings file and a scripted operator.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "settings/memory_profile.h"
#include "ui/country_dlg.h"
#include "ui/dialog_templates.h"
#include "ui/scripted_presenter.h"
#include "ui/window_services.h"

namespace countryset {
namespace {

constexpr const char* kPath = "/opt/x/countryset.DAT";

struct Shown {
    std::string caption, group, label, countryEdit;
    std::vector<std::string> countries, ports;
    int countrySel = -2, portSel = -2;
};

class CountryDlgTest : public ::testing::Test {
protected:
    // Runs the dialog over the given settings text (no file when absent), recording what it
    // showed right after initialisation, then replays the operator's steps.
    void Run(const std::string* settings, const std::function<void(ScriptedPresenter&)>& steps) {
        if (settings) {
            profile.SetFile(kPath, *settings);
        }
        presenter.Check([this](CDialog& d) {
            shown.caption = d.GetWindowText();
            shown.group = d.GetDlgItem(IDC_SETTING_GROUP)->GetWindowText();
            shown.label = d.GetDlgItem(IDC_SELECTED_LABEL)->GetWindowText();
            CComboBox* countries = d.GetComboBox(IDC_COUNTRY_LIST);
            CComboBox* ports = d.GetComboBox(IDC_PORT_LIST);
            for (int i = 0; i < countries->GetCount(); ++i) {
                shown.countries.push_back(countries->GetLBText(i));
            }
            for (int i = 0; i < ports->GetCount(); ++i) {
                shown.ports.push_back(ports->GetLBText(i));
            }
            shown.countrySel = countries->GetCurSel();
            shown.portSel = ports->GetCurSel();
            shown.countryEdit = countries->GetWindowText();
        });
        steps(presenter);
        dlg.DoModal();
    }
    void Run(const std::string& settings, const std::function<void(ScriptedPresenter&)>& steps) {
        Run(&settings, steps);
    }

    static std::string Settings(const std::string& setting, const std::string& countries) {
        return "[Setting]\r\n" + setting + "[Country]\r\n" + countries;
    }

    MemoryProfile profile;
    ScriptedPresenter presenter;
    WindowServices services{"countryset", presenter};
    CountryDialogState state;
    CCountryDlg dlg{profile, kPath, state};
    Shown shown;
};

const std::string kFrenchItalianSpanish = "France=22\r\nItaly=33\r\nSpain=11\r\n";
const std::string kSpanishFirst = "Spain=11\r\nFrance=22\r\nItaly=33\r\n";

TEST_F(CountryDlgTest, WithoutSettingsFileShowsDefaultsAndOffersNoCountry) {
    Run(nullptr, [](ScriptedPresenter& p) { p.Enter(); });
    EXPECT_EQ(shown.caption, "Country Setting");
    EXPECT_EQ(shown.group, "Setting");
    EXPECT_EQ(shown.label, "Current Selected Country");
    EXPECT_TRUE(shown.countries.empty());
    EXPECT_THAT(shown.ports, ::testing::ElementsAre("COM1", "COM2", "COM3", "COM4", "COM5", "COM6",
                                                    "COM7", "COM8"));
    EXPECT_EQ(shown.portSel, 0);
    // OK with an empty country list: no choice, and nothing read before the table.
    EXPECT_EQ(dlg.m_strCode, "");
    EXPECT_EQ(dlg.m_nCountrySel, -1);
}

TEST_F(CountryDlgTest, EnterRightAfterOpeningTakesThePreselection) {
    Run(Settings("NumOfCountry=3\r\nCurrentSet=1\r\nCurrentCOM=2\r\n", kFrenchItalianSpanish),
        [](ScriptedPresenter& p) { p.Enter(); });
    EXPECT_THAT(shown.countries, ::testing::ElementsAre("France", "Italy", "Spain"));
    EXPECT_EQ(shown.countrySel, 1);
    EXPECT_EQ(shown.countryEdit, "Italy");
    EXPECT_EQ(shown.portSel, 1);
    EXPECT_EQ(dlg.m_strCode, "33");
    EXPECT_EQ(dlg.m_nCountrySel, 1);
    EXPECT_EQ(dlg.m_nPortSel, 1);
}

TEST_F(CountryDlgTest, CodeBelongsToTheChosenNameWhateverTheFileOrder) {
    for (const std::string& countries : {kFrenchItalianSpanish, kSpanishFirst}) {
        CountryDialogState fresh;
        CCountryDlg dialog(profile, kPath, fresh);
        profile.SetFile(kPath, Settings("NumOfCountry=3\r\n", countries));
        ScriptedPresenter& p = presenter;
        p.Select(IDC_COUNTRY_LIST, 0).Click(IDC_OK_BUTTON);
        dialog.DoModal();
        EXPECT_EQ(dialog.m_nCountrySel, 0) << countries;  // France, first in the sorted list
        EXPECT_EQ(dialog.m_strCode, "22") << countries;
    }
}

TEST_F(CountryDlgTest, NumOfCountryLimitsTheEntriesOffered) {
    struct Case {
        std::string numOfCountry;
        int entries;
        std::size_t listed;
    };
    for (const Case& c : {Case{"0", 4, 0}, Case{"-5", 4, 0}, Case{"2", 4, 2}, Case{"10", 3, 3},
                          Case{"60", 55, 50}}) {
        std::string countries;
        for (int i = 0; i < c.entries; ++i) {
            countries += "C" + std::to_string(100 + i) + "=" + std::to_string(i) + "\r\n";
        }
        CountryDialogState fresh;
        CCountryDlg dialog(profile, kPath, fresh);
        profile.SetFile(kPath, Settings("NumOfCountry=" + c.numOfCountry + "\r\n", countries));
        std::size_t listed = 99;
        std::string first;
        presenter.Check([&](CDialog& d) {
            listed = static_cast<std::size_t>(d.GetComboBox(IDC_COUNTRY_LIST)->GetCount());
            first = listed ? d.GetComboBox(IDC_COUNTRY_LIST)->GetLBText(0) : "";
        });
        dialog.DoModal();
        EXPECT_EQ(listed, c.listed) << "NumOfCountry=" << c.numOfCountry;
        if (c.listed > 0) {
            EXPECT_EQ(first, "C100");  // counted from the first entry of the file
        }
    }
}

TEST_F(CountryDlgTest, EntryShapes) {
    Run(Settings("Title=" + std::string(300, 'T') + "\r\nNumOfCountry=4\r\nCurrentSet=-1\r\n",
                 "Name=AB=C\r\nLonely\r\nVeryLongCountryNameOfMoreThan19=0123456789ABCDEFGHIJKL\r\n"
                 "Zed=\r\n"),
        [](ScriptedPresenter& p) {
            p.Select(IDC_COUNTRY_LIST, 1).Click(IDC_OK_BUTTON);  // "Name"
        });
    EXPECT_THAT(shown.countries,
                ::testing::ElementsAre("Lonely", "Name", "VeryLongCountryName", "Zed"));
    EXPECT_EQ(shown.caption, std::string(255, 'T'));  // a long text is cut to 255
    EXPECT_EQ(shown.countrySel, -1);  // CurrentSet outside the list: nothing selected
    EXPECT_EQ(shown.countryEdit, "");
    EXPECT_EQ(dlg.m_strCode, "AB=C");

    for (int pos : {0, 3}) {  // no "=", and an empty code: choosing them is no choice
        CountryDialogState fresh;
        CCountryDlg dialog(profile, kPath, fresh);
        presenter.Select(IDC_COUNTRY_LIST, pos).Click(IDC_OK_BUTTON);
        dialog.DoModal();
        EXPECT_EQ(dialog.m_strCode, "") << pos;
        EXPECT_EQ(dialog.m_nCountrySel, pos);
    }

    CountryDialogState fresh;
    CCountryDlg dialog(profile, kPath, fresh);
    presenter.Select(IDC_COUNTRY_LIST, 2).Click(IDC_OK_BUTTON);
    dialog.DoModal();
    EXPECT_EQ(dialog.m_strCode, "0123456789ABCDEFGHI");  // cut to 19
}

TEST_F(CountryDlgTest, StoredPortOutsideTheListSelectsNone) {
    for (const char* com : {"0", "9", "-2147483648", "2147483647"}) {
        CountryDialogState fresh;
        CCountryDlg dialog(profile, kPath, fresh);
        profile.SetFile(kPath, Settings(std::string("NumOfCountry=3\r\nCurrentCOM=") + com + "\r\n",
                                        kFrenchItalianSpanish));
        int portSel = -2;
        presenter.Check([&](CDialog& d) { portSel = d.GetComboBox(IDC_PORT_LIST)->GetCurSel(); })
            .Enter();
        dialog.DoModal();
        EXPECT_EQ(portSel, -1) << com;
        EXPECT_EQ(dialog.m_nPortSel, -1) << com;
        EXPECT_EQ(dialog.m_strCode, "22") << com;
    }
    Run(Settings("NumOfCountry=3\r\nCurrentCOM=8\r\n", kFrenchItalianSpanish),
        [](ScriptedPresenter& p) { p.Enter(); });
    EXPECT_EQ(shown.portSel, 7);
    EXPECT_EQ(dlg.m_nPortSel, 7);
}

TEST_F(CountryDlgTest, SectionLargerThanItsBufferNeverOffersACutEntry) {
    // 28-byte entries: 35 fit in the 1023 bytes, the 36th would be cut.
    std::string countries;
    for (int i = 0; i < 45; ++i) {
        countries +=
            "Country" + std::to_string(10 + i) + "=" + std::string(18, 'A' + i % 26) + "\r\n";
    }
    Run(Settings("NumOfCountry=45\r\n", countries),
        [](ScriptedPresenter& p) { p.Select(IDC_COUNTRY_LIST, 34).Click(IDC_OK_BUTTON); });
    ASSERT_EQ(shown.countries.size(), 35u);
    EXPECT_EQ(shown.countries.back(), "Country44");
    EXPECT_EQ(dlg.m_strCode, std::string(18, 'A' + 34 % 26));
}

}  // namespace
}  // namespace countryset
