#include "ui/console_presenter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <tuple>

#include "ui/shown_text.h"
#include "ui/three_countries.h"
#include "ui/window_services.h"

namespace countryset {
namespace {

struct ConsoleRun : ThreeCountries {
    explicit ConsoleRun(const std::string& input) : in(input) {}

    std::istringstream in;
    std::ostringstream out;
    ConsolePresenter presenter{in, out};
    WindowServices services{"countryset", presenter};
};

// The first empty line presses OK, which has the focus: the preselection. Then by number (the
// port list's after its letter; "c", the country list's letter, may lead too), by the beginning
// of a name, by a port's name; "cancel" and the end of input choose nothing.
TEST(ConsoleDialog, PicksAndEndings) {
    const std::tuple<const char*, const char*, int> cases[] = {{"\n", "33", 0},
                                                               {"3\n\n", "11", 0},
                                                               {"p3\nok\n", "33", 2},
                                                               {"COM5\nfr\r\n\n", "22", 4},
                                                               {"  sp  \nc1\nP8\nOK\n", "22", 7},
                                                               {"fr\ncancel\n", "", -1},
                                                               {"", "", -1},
                                                               {"3", "", -1}};
    for (const auto& [input, code, port] : cases) {
        SCOPED_TRACE(input);
        ConsoleRun run(input);
        run.dlg.DoModal();
        EXPECT_EQ(run.dlg.m_strCode, code);
        EXPECT_EQ(run.dlg.m_nPortSel, port);
    }
}

// Drawn with the preselection marked; bad lines get a hint and change nothing.
TEST(ConsoleDialog, BadInputGetsAHintAndChangesNothing) {
    // An echoed line is cut short, never inside a character.
    const std::string x39(39, 'x');
    const std::string cutEcho = "\"" + x39 + "...\"";
    ConsoleRun run("0\n99\n-1\np0\np9\nzzz\nx3\n99999999999999999999\n" + std::string(10000, 'A') +
                   "\n" + x39 + "\xc3\xa9z\n" + std::string("\x01\xff\x00z\n\n", 6));
    run.dlg.DoModal();
    EXPECT_EQ(run.dlg.m_strCode, "33");
    EXPECT_EQ(run.dlg.m_nPortSel, 0);
    const std::string out = run.out.str();
    EXPECT_EQ(std::count(out.begin(), out.end(), '>'), 13);    // <OK>, 12 prompts: one per line
    EXPECT_EQ(out.find("Country: Italy"), std::string::npos);  // no line was taken
    EXPECT_EQ(out.find(std::string(300, 'A')), std::string::npos);
    for (const char* shown :
         {"== Country Setting ==", "[ Setting ]", "Current Selected Country", " *    2  Italy\n",
          "       1  France\n", " *   p1  COM1\n", "<OK>", "too long", "unreadable", "pick 1 to 3",
          "pick p1 to p8", "No item", cutEcho.c_str()}) {
        EXPECT_NE(out.find(shown), std::string::npos) << shown;
    }
}

// Whatever the settings file holds reaches the terminal with its control characters made
// visible, letters as they stand; the dialog keeps the bytes. So does a message that names a file.
TEST(ConsoleDialog, ControlCharactersFromTheSettingsFileAreShownNotSent) {
    ConsoleRun run("\n\n");
    const std::string title = "\x1b]0;owned\x07 C\xc3\xb4te";
    run.profile.SetFile(ThreeCountries::kPath,
                        "[Setting]\nTitle=" + title +
                            "\nGroupText=\x9b"
                            "2J\nStaticText=\xc2\x9b"
                            "31mred\nNumOfCountry=2\nCurrentSet=0\n[Country]\nFr\x1b[8mance=22\n"
                            "Italy=33\n");
    run.dlg.DoModal();
    run.services.MessageBox("The settings file /tmp/\x1b[31m/countryset.DAT cannot be read.\nWhy.",
                            "Error\r", MB_ICONERROR);
    EXPECT_EQ(run.dlg.m_strCode, "22");
    EXPECT_EQ(run.dlg.GetWindowText(), title);
    EXPECT_EQ(run.dlg.GetComboBox(IDC_COUNTRY_LIST)->GetLBText(0), "Fr\x1b[8mance");

    const std::string out = run.out.str();
    EXPECT_EQ(VisibleText(out, true), out);  // nothing left to make visible
    for (const char* shown :
         {"== ^[]0;owned^G C\xc3\xb4te ==", "[ M-^[2J ]", "  M-^[31mred\n", "1  Fr^[[8mance\n",
          "[Error] Error^M\nThe settings file /tmp/^[[31m/countryset.DAT cannot be "
          "read.\nWhy.\n"}) {
        EXPECT_NE(out.find(shown), std::string::npos) << shown;
    }
}

// Each box prints its caption and text and takes one line; the end of input dismisses it too.
TEST(ConsoleMessages, PrintCaptionAndTextAndTakeOneLineEach) {
    ConsoleRun run("\n\n");
    run.services.MessageBox("Can't perform country setting on this model modem!", "Error",
                            MB_ICONERROR);
    run.services.MessageBox("Country set successfully.", "", MB_OK);
    run.services.AfxMessageBox("Out of memory");
    run.dlg.DoModal();
    EXPECT_EQ(run.dlg.m_strCode, "");  // the boxes took every line
    const std::string out = run.out.str();
    EXPECT_NE(out.find("\n[Error] Error\nCan't perform country setting on this model modem!\n"),
              std::string::npos);
    EXPECT_NE(out.find("\n[Message]\nCountry set successfully.\n"), std::string::npos);
    EXPECT_NE(out.find("\n[Message] countryset\nOut of memory\n"), std::string::npos);
}

}  // namespace
}  // namespace countryset
