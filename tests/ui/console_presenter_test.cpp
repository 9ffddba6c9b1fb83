#include "ui/console_presenter.h"

#include <gtest/gtest.h>

#include <sstream>

#include "ui/selection_dialog.h"
#include "ui/window_services.h"

namespace countryset {
namespace {

struct ConsoleRun {
    explicit ConsoleRun(const std::string& input) : in(input) {}

    INT_PTR Run() { return dlg.DoModal(); }

    std::istringstream in;
    std::ostringstream out;
    ConsolePresenter presenter{in, out};
    WindowServices services{"countryset", presenter};
    SelectionDialog dlg;
};

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

TEST(ConsoleDialog, DrawsTheDialogWithThePreselectionMarked) {
    ConsoleRun run("cancel\n");
    run.Run();
    const std::string out = run.out.str();
    EXPECT_NE(out.find("== Country Setting =="), std::string::npos);
    EXPECT_NE(out.find("[ Setting ]"), std::string::npos);
    EXPECT_NE(out.find("Current Selected Country"), std::string::npos);
    EXPECT_NE(out.find(" *    2  Italy\n"), std::string::npos);
    EXPECT_NE(out.find("       1  France\n"), std::string::npos);
    EXPECT_NE(out.find(" *   p1  COM1\n"), std::string::npos);
    EXPECT_NE(out.find("      p8  COM8\n"), std::string::npos);
    EXPECT_NE(out.find("<OK>"), std::string::npos);  // the focus
    EXPECT_FALSE(run.dlg.okPressed);
}

TEST(ConsoleDialog, FirstEmptyLinePressesOkWithThePreselection) {
    ConsoleRun run("\n");
    run.Run();
    EXPECT_TRUE(run.dlg.okPressed);
    EXPECT_EQ(run.dlg.countrySel, 1);
    EXPECT_EQ(run.dlg.portSel, 0);
}

TEST(ConsoleDialog, EndOfInputIsTheCloseBox) {
    for (const char* input : {"", "3\n", "3"}) {
        ConsoleRun run(input);
        EXPECT_EQ(run.Run(), IDCANCEL) << input;
        EXPECT_FALSE(run.dlg.okPressed) << input;
    }
}

TEST(ConsoleDialog, PicksByNumberPrefixAndName) {
    struct Case {
        const char* input;
        int country;
        int port;
    };
    for (const Case& c : {Case{"3\n\n", 2, 0}, Case{"p3\nok\n", 1, 2}, Case{"COM5\nfr\r\n\n", 0, 4},
                          Case{"  sp  \nc1\nP8\nOK\n", 0, 7}, Case{"Italy\ncom2\n\n", 1, 1}}) {
        ConsoleRun run(c.input);
        run.Run();
        EXPECT_TRUE(run.dlg.okPressed) << c.input;
        EXPECT_EQ(run.dlg.countrySel, c.country) << c.input;
        EXPECT_EQ(run.dlg.portSel, c.port) << c.input;
    }
    ConsoleRun run("p4\n");
    run.Run();
    EXPECT_NE(run.out.str().find("Country: Italy (2) | Port: COM4 (p4)\n"), std::string::npos);
}

TEST(ConsoleDialog, BadInputPromptsAgainAndChangesNothing) {
    const std::string bad[] = {"0",
                               "99",
                               "-1",
                               "p0",
                               "p9",
                               "zzz",
                               "frobnicate",
                               "x3",
                               std::string(10000, 'A'),
                               std::string("\x01\x02\xff\x00z", 5),
                               "99999999999999999999"};
    std::string input;
    for (const std::string& line : bad) {
        input += line + "\n";
    }
    ConsoleRun run(input + "\n");
    run.Run();
    EXPECT_TRUE(run.dlg.okPressed);
    EXPECT_EQ(run.dlg.countrySel, 1);
    EXPECT_EQ(run.dlg.portSel, 0);
    const std::string out = run.out.str();
    EXPECT_EQ(Count(out, "\n> "), std::size(bad) + 1);
    EXPECT_EQ(out.find("Country: Italy"), std::string::npos);  // no input was accepted
    EXPECT_NE(out.find("too long"), std::string::npos);
    EXPECT_EQ(out.find(std::string(300, 'A')), std::string::npos);  // long input not echoed
    EXPECT_NE(out.find("pick 1 to 3"), std::string::npos);
    EXPECT_NE(out.find("pick p1 to p8"), std::string::npos);
}

TEST(ConsoleDialog, CancelWordAndEmptyListsAreHandled) {
    ConsoleRun run("fr\ncancel\n");
    EXPECT_EQ(run.Run(), IDCANCEL);
    EXPECT_FALSE(run.dlg.okPressed);

    ConsoleRun empty("1\n\n");
    empty.dlg.afterInit = [](SelectionDialog& d) {
        d.GetComboBox(IDC_COUNTRY_LIST)->ResetContent();
    };
    empty.Run();
    EXPECT_NE(empty.out.str().find("Country: (empty)"), std::string::npos);
    EXPECT_NE(empty.out.str().find("The Country list is empty"), std::string::npos);
    EXPECT_EQ(empty.dlg.countrySel, -1);
}

TEST(ConsoleMessages, PrintCaptionAndTextAndWaitForOneLine) {
    ConsoleRun run("\n3\n\n");
    run.services.MessageBox("Can't perform country setting on this model modem!", "Error",
                            MB_ICONERROR);
    run.services.MessageBox("Country set successfully.", "", MB_OK);
    run.services.AfxMessageBox("Out of memory");
    run.Run();
    const std::string out = run.out.str();
    EXPECT_NE(out.find("\n[Error] Error\nCan't perform country setting on this model modem!\n"),
              std::string::npos);
    EXPECT_NE(out.find("\n[Message]\nCountry set successfully.\n"), std::string::npos);
    EXPECT_NE(out.find("\n[Message] countryset\nOut of memory\n"), std::string::npos);
    // The first box took the first line, the two others each the next (EOF-free) ones: "3"
    // and "" went to boxes, so the dialog saw the end of input.
    EXPECT_FALSE(run.dlg.okPressed);
}

TEST(ConsoleMessages, EndOfInputDismissesEveryBox) {
    ConsoleRun run("");
    for (int i = 0; i < 3; ++i) {
        run.services.AfxMessageBox("box");
    }
    EXPECT_EQ(Count(run.out.str(), "\nbox\n"), 3u);
}

}  // namespace
}  // namespace countryset
