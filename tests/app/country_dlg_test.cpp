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

using ::testing::ElementsAre;

constexpr const char* kPath = "/opt/x/countryset.DAT";
const std::string kFrenchItalianSpanish = "France=22\r\nItaly=33\r\nSpain=11\r\n";

// What the dialog showed right after its initialisation, and what it handed back.
struct Outcome {
    std::string caption, group, label, countryEdit;
    std::vector<std::string> countries, ports;
    int countrySel = -2, portSel = -2;
    std::string code;
    int chosenCountry = -2, chosenPort = -2;
};

std::string Settings(const std::string& setting, const std::string& countries) {
    return "[Setting]\r\n" + setting + "[Country]\r\n" + countries;
}

// One run of a fresh dialog over the settings text (no file when absent); the operator selects
// the country at pick (if any) and presses OK, or presses Enter at once.
Outcome Open(const std::string* settings, int pick = -1) {
    MemoryProfile profile;
    if (settings) {
        profile.SetFile(kPath, *settings);
    }
    ScriptedPresenter presenter;
    WindowServices services("countryset", presenter);
    CountryDialogState state;
    CCountryDlg dlg(profile, kPath, state);
    Outcome o;
    presenter.Check([&o](CDialog& d) {
        o.caption = d.GetWindowText();
        o.group = d.GetDlgItem(IDC_SETTING_GROUP)->GetWindowText();
        o.label = d.GetDlgItem(IDC_SELECTED_LABEL)->GetWindowText();
        for (auto [id, items, sel] : {std::tuple{IDC_COUNTRY_LIST, &o.countries, &o.countrySel},
                                      std::tuple{IDC_PORT_LIST, &o.ports, &o.portSel}}) {
            CComboBox* list = d.GetComboBox(id);
            for (int i = 0; i < list->GetCount(); ++i) {
                items->push_back(list->GetLBText(i));
            }
            *sel = list->GetCurSel();
        }
        o.countryEdit = d.GetComboBox(IDC_COUNTRY_LIST)->GetWindowText();
    });
    if (pick >= 0) {
        presenter.Select(IDC_COUNTRY_LIST, pick).Click(IDC_OK_BUTTON);
    } else {
        presenter.Enter();
    }
    dlg.DoModal();
    o.code = dlg.m_strCode;
    o.chosenCountry = dlg.m_nCountrySel;
    o.chosenPort = dlg.m_nPortSel;
    return o;
}
Outcome Open(const std::string& settings, int pick = -1) {
    return Open(&settings, pick);
}

TEST(CountryDlgTest, WithoutSettingsFileShowsDefaultsAndOffersNoCountry) {
    const Outcome o = Open(nullptr);
    EXPECT_EQ(o.caption, "Country Setting");
    EXPECT_EQ(o.group, "Setting");
    EXPECT_EQ(o.label, "Current Selected Country");
    EXPECT_TRUE(o.countries.empty());
    EXPECT_THAT(o.ports,
                ElementsAre("COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8"));
    EXPECT_EQ(o.portSel, 0);
    // OK with an empty country list: no choice, and nothing read before the table.
    EXPECT_EQ(o.code, "");
    EXPECT_EQ(o.chosenCountry, -1);
}

TEST(CountryDlgTest, EnterRightAfterOpeningTakesThePreselection) {
    const Outcome o =
        Open(Settings("NumOfCountry=3\r\nCurrentSet=1\r\nCurrentCOM=2\r\n", kFrenchItalianSpanish));
    EXPECT_THAT(o.countries, ElementsAre("France", "Italy", "Spain"));
    EXPECT_EQ(o.countryEdit, "Italy");
    EXPECT_EQ(o.portSel, 1);
    EXPECT_EQ(o.code, "33");
    EXPECT_EQ(o.chosenCountry, 1);
    EXPECT_EQ(o.chosenPort, 1);
}

TEST(CountryDlgTest, CodeBelongsToTheChosenNameWhateverTheFileOrder) {
    for (const char* countries :
         {"France=22\r\nItaly=33\r\nSpain=11\r\n", "Spain=11\r\nFrance=22\r\nItaly=33\r\n"}) {
        const Outcome o = Open(Settings("NumOfCountry=3\r\n", countries), 0);
        EXPECT_EQ(o.chosenCountry, 0) << countries;  // France, first in the sorted list
        EXPECT_EQ(o.code, "22") << countries;
    }
}

TEST(CountryDlgTest, NumOfCountryLimitsTheEntriesOffered) {
    struct Case {
        const char* numOfCountry;
        int entries;
        std::size_t listed;
    };
    for (const Case& c : {Case{"0", 4, 0}, Case{"-5", 4, 0}, Case{"2", 4, 2}, Case{"10", 3, 3},
                          Case{"60", 55, 50}}) {
        std::string countries;
        for (int i = 0; i < c.entries; ++i) {
            countries += "C" + std::to_string(100 + i) + "=" + std::to_string(i) + "\r\n";
        }
        const Outcome o =
            Open(Settings("NumOfCountry=" + std::string(c.numOfCountry) + "\r\n", countries));
        ASSERT_EQ(o.countries.size(), c.listed) << "NumOfCountry=" << c.numOfCountry;
        if (c.listed > 0) {
            EXPECT_EQ(o.countries.front(), "C100");  // counted from the first entry of the file
        }
    }
}

TEST(CountryDlgTest, EntryShapes) {
    const std::string settings =
        Settings("Title=" + std::string(300, 'T') + "\r\nNumOfCountry=4\r\nCurrentSet=-1\r\n",
                 "Name=AB=C\r\nLonely\r\nVeryLongCountryNameOfMoreThan19=0123456789ABCDEFGHIJKL\r\n"
                 "Zed=\r\n");
    const Outcome o = Open(settings, 1);
    EXPECT_THAT(o.countries, ElementsAre("Lonely", "Name", "VeryLongCountryName", "Zed"));
    EXPECT_EQ(o.caption, std::string(255, 'T'));  // a long text is cut to 255
    EXPECT_EQ(o.countrySel, -1);                  // CurrentSet outside the list: nothing selected
    EXPECT_EQ(o.countryEdit, "");
    EXPECT_EQ(o.code, "AB=C");
    EXPECT_EQ(Open(settings, 2).code, "0123456789ABCDEFGHI");  // cut to 19
    // No "=", and an empty code: choosing them is no choice.
    EXPECT_EQ(Open(settings, 0).code, "");
    EXPECT_EQ(Open(settings, 3).code, "");
}

TEST(CountryDlgTest, StoredPortPreselectsOnlyInsideTheList) {
    for (auto [com, port] :
         {std::pair{"0", -1}, {"9", -1}, {"-2147483648", -1}, {"2147483647", -1}, {"8", 7}}) {
        const Outcome o = Open(Settings(std::string("NumOfCountry=3\r\nCurrentCOM=") + com + "\r\n",
                                        kFrenchItalianSpanish));
        EXPECT_EQ(o.portSel, port) << com;
        EXPECT_EQ(o.chosenPort, port) << com;
        EXPECT_EQ(o.code, "22") << com;
    }
}

TEST(CountryDlgTest, SectionLargerThanItsBufferNeverOffersACutEntry) {
    // 28-byte entries: 35 fit in the 1023 bytes, the 36th would be cut.
    std::string countries;
    for (int i = 0; i < 45; ++i) {
        countries +=
            "Country" + std::to_string(10 + i) + "=" + std::string(18, 'A' + i % 26) + "\r\n";
    }
    const Outcome o = Open(Settings("NumOfCountry=45\r\n", countries), 34);
    ASSERT_EQ(o.countries.size(), 35u);
    EXPECT_EQ(o.countries.back(), "Country44");
    EXPECT_EQ(o.code, std::string(18, 'A' + 34 % 26));
}

}  // namespace
}  // namespace countryset
