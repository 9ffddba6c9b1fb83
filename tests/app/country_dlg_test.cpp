// The country selection dialog against an in-memory settings file and a scripted operator.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes/memory_profile.h"
#include "fakes/scripted_presenter.h"
#include "ui/country_dlg.h"
#include "ui/dialog_templates.h"
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
                 "Name=AB=C\r\nLonely\r\nVeryLongCountryNameOfMoreThan19=0123456789ABCDEFGHI\r\n"
                 "Zed=\r\n");
    const Outcome o = Open(settings, 1);
    EXPECT_THAT(o.countries, ElementsAre("Lonely", "Name", "VeryLongCountryName", "Zed"));
    EXPECT_EQ(o.caption, std::string(255, 'T'));  // a long text is cut to 255
    EXPECT_EQ(o.countrySel, -1);                  // CurrentSet outside the list: nothing selected
    EXPECT_EQ(o.countryEdit, "");
    EXPECT_EQ(o.code, "AB=C");
    EXPECT_EQ(Open(settings, 2).code, "0123456789ABCDEFGHI");  // a name is cut, a code never
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

// Entries "Nxx=<code>" that take exactly `bytes` bytes of the section list, terminators
// included: 24-byte entries and one shorter one. More entries may follow.
std::string EntriesFilling(std::size_t bytes, const std::string& more = "") {
    std::string entries;
    for (int i = 10; bytes > 0; ++i) {
        const std::size_t take = bytes >= 24 + 6 || bytes == 24 ? 24 : bytes;
        entries += "N" + std::to_string(i) + "=" + std::string(take - 5, 'A' + i % 26) + "\r\n";
        bytes -= take;
    }
    return entries + more;
}

// The walk from section "Country" to the list and back from a chosen position to its code.
// Equal names (also once cut to 19 characters) and unsorted files send the code of the row that
// the position shows; a code too long for its field is never offered, a name is cut, never inside
// a UTF-8 character, and sorts by byte; a list that exactly fills the 1024-byte buffer keeps its
// last entry, and only an entry that was really cut is dropped.
TEST(CountryDlgTest, EveryOfferedCountrySendsItsOwnCode) {
    struct Case {
        const char* name;
        std::string numOfCountry;
        std::string countries;
        std::vector<std::string> listed;  // empty: not checked, only the count
        std::size_t count;
        int pick;
        std::string code;
    };
    const std::string korea = "Korea, Republic of ";
    const Case cases[] = {
        {"equal names, first", "2", "Korea=61\r\nKorea=B5\r\n", {"Korea", "Korea"}, 2, 0, "61"},
        {"equal names, second", "2", "Korea=61\r\nKorea=B5\r\n", {"Korea", "Korea"}, 2, 1, "B5"},
        {"equal once cut",
         "3",
         "Korea, Republic of (South)=61\r\nKorea, Republic of (North)=5F\r\nKenya=5E\r\n",
         {"Kenya", korea, korea},
         3,
         2,
         "5F"},
        {"equal ignoring case, unsorted",
         "3",
         "spain=11\r\nFrance=22\r\nSPAIN=33\r\n",
         {"France", "spain", "SPAIN"},
         3,
         2,
         "33"},
        {"over-long code not offered",
         "3",
         "Alpha=3D;+GCI=59;+GCI=A0;E0\r\nGamma=0123456789ABCDEFGHI\r\nBeta=42\r\n",
         {"Beta", "Gamma"},
         2,
         1,
         "0123456789ABCDEFGHI"},
        {"over-long code still counts",
         "2",
         "Alpha=3D;+GCI=59;+GCI=A0;E0\r\nBeta=42\r\nGo=1\r\n",
         {"Beta"},
         1,
         0,
         "42"},
        {"UTF-8 name cut before its last letter",
         "2",
         "Republique Centraf\xc3\xa9=5A\r\nRepublique Centrafe=5B\r\n",
         {"Republique Centraf", "Republique Centrafe"},
         2,
         0,
         "5A"},
        {"single-byte name cut at 19",
         "2",
         "Republique Centraf\xe9x=5A\r\nA=1\r\n",
         {"A", "Republique Centraf\xe9"},
         2,
         1,
         "5A"},
        {"bytes above 127 sort by value",
         "3",
         "\xc3\x89ire=11\r\nzambia=22\r\nAlbania=33\r\n",
         {"Albania", "zambia", "\xc3\x89ire"},
         3,
         2,
         "11"},
        {"list of exactly 1023 bytes", "50", EntriesFilling(1023), {}, 43, 42, "AAAAAAAAAA"},
        {"1023 bytes of whole entries, more cut off",
         "50",
         EntriesFilling(1023, "Z=1\r\n"),
         {},
         43,
         42,
         "AAAAAAAAAA"},
        {"1022 bytes of whole entries, more cut off",
         "50",
         EntriesFilling(1022, "Z=1\r\n"),
         {},
         43,
         42,
         "AAAAAAAAA"},
        {"last entry cut", "50", EntriesFilling(1030), {}, 42, 41, std::string(19, 'Z')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome o =
            Open(Settings("NumOfCountry=" + c.numOfCountry + "\r\n", c.countries), c.pick);
        if (!c.listed.empty()) {
            EXPECT_EQ(o.countries, c.listed);
        }
        EXPECT_EQ(o.countries.size(), c.count);
        EXPECT_EQ(o.chosenCountry, c.pick);
        EXPECT_EQ(o.code, c.code);
    }
}

}  // namespace
}  // namespace countryset
