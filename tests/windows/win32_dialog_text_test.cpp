// Settings texts on their way into native controls and back, the console the program takes
// and whether its dialog can be seen: no window needed.
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "ui/win32_console_attach.h"
#include "ui/win32_presenter.h"

// After our headers: the model's member names are the system headers' macros.
#include <windows.h>

namespace countryset {
namespace {

TEST(Win32DialogText, SettingsBytesAreShownAsUtf8OrInTheAnsiCodePage) {
    if (::GetACP() != 1252) {
        GTEST_SKIP() << "expectations written for code page 1252, this system has " << ::GetACP();
    }
    struct Case {
        std::string bytes;
        std::wstring shown;
        bool ansi;
    } const cases[] = {
        {"Country Setting", L"Country Setting", false},
        {"Caf\xC3\xA9", L"Caf\u00E9", false},             // UTF-8
        {"Caf\xE9", L"Caf\u00E9", true},                  // a file written in code page 1252
        {"\xC3\xA9t\xE9", L"\u00C3\u00A9t\u00E9", true},  // one stray byte: all of it is ANSI
        {"\x80 Euro", L"\u20AC Euro", true},
        {"", L"", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ShownText(c.bytes), c.shown) << c.bytes;
        EXPECT_EQ(ShownAsAnsi(c.bytes), c.ansi) << c.bytes;
    }
}

TEST(Win32DialogText, TypedTextGoesBackInTheEncodingOfWhatItIsMatchedWith) {
    if (::GetACP() != 1252) {
        GTEST_SKIP() << "expectations written for code page 1252, this system has " << ::GetACP();
    }
    EXPECT_EQ(TypedText(L"Caf\u00E9", true), "Caf\xE9");
    EXPECT_EQ(TypedText(L"Caf\u00E9", false), "Caf\xC3\xA9");
    // A letter the code page lacks matches nothing, rather than a look-alike that it is not.
    EXPECT_NE(TypedText(L"\u0141odz", true), "Lodz");
    EXPECT_EQ(TypedText(L"\u0141odz", false), "\xC5\x81odz");
    // Every byte of a single-byte text survives the round trip through the screen.
    std::string all;
    for (int b = 1; b < 256; ++b) {
        all += static_cast<char>(b);
    }
    const std::string back = TypedText(ShownText(all), ShownAsAnsi(all));
    std::string lost;
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (i >= back.size() || back[i] != all[i]) {
            lost += std::to_string(static_cast<unsigned char>(all[i])) + " ";
        }
    }
    // Code page 1252 leaves five bytes undefined; the system maps them through to control
    // characters and back.
    EXPECT_EQ(back.size(), all.size()) << "lost: " << lost;
    EXPECT_TRUE(lost.empty()) << "lost: " << lost;
}

// A session where windows can be made on a station no one sees (a service, an SSH session)
// takes the console, as one where none can be made does.
TEST(Win32Session, TheDialogRunsOnlyWhereItIsSeen) {
    struct Case {
        WindowSession session;
        bool dialog;
    } const cases[] = {
        {{true, true, true}, true},
        {{true, true, false}, false},
        {{true, false, false}, false},
        {{false, true, true}, false},
    };
    for (const Case& c : cases) {
        const std::string why = WhyNoDialog(c.session);
        EXPECT_EQ(why.empty(), c.dialog) << c.session.windowMade << c.session.stationKnown
                                         << c.session.stationVisible << ": " << why;
    }
}

// Streams that lead somewhere, and which ways to a console work; every call in order.
class FakeConsole : public ConsoleCalls {
public:
    FakeConsole(bool in, bool out, bool err, bool attaches, bool allocates)
        : usable_{in, out, err}, attaches_(attaches), allocates_(allocates) {}
    bool Usable(StdStream stream) override { return usable_[static_cast<int>(stream)]; }
    bool AttachToParent() override {
        log.push_back("attach");
        return attaches_;
    }
    bool Allocate() override {
        log.push_back("allocate");
        return allocates_;
    }
    void PointAtConsole(StdStream stream) override {
        log.push_back("point " + std::to_string(static_cast<int>(stream)));
    }
    void WriteWideToConsoles() override {}
    std::vector<std::string> log;

private:
    bool usable_[3];
    bool attaches_;
    bool allocates_;
};

// The handler that releases the ports comes after the last attach, which would drop it; only
// the streams that led nowhere are pointed at the console.
TEST(Win32ConsoleAttach, TheReleaseHandlerIsPutBackAfterTheConsoleIsAttached) {
    struct Case {
        FakeConsole console;
        bool result;
        std::vector<std::string> log;
    } cases[] = {
        {{true, true, true, true, true}, true, {}},
        {{false, false, false, true, true},
         true,
         {"attach", "handler", "point 0", "point 1", "point 2"}},
        {{false, true, false, false, true},
         true,
         {"attach", "allocate", "handler", "point 0", "point 2"}},
        {{false, true, false, false, false}, true, {"attach", "allocate"}},
        {{false, false, true, false, false}, false, {"attach", "allocate"}},
    };
    for (int row = 0; Case & c : cases) {
        SCOPED_TRACE(row++);
        EXPECT_EQ(UseConsoleWindow(c.console, [&] { c.console.log.push_back("handler"); }),
                  c.result);
        EXPECT_EQ(c.console.log, c.log);
    }
}

// What the program writes for a console window arrives whole, whatever pieces it was written in:
// a character's bytes split across writes are still one character.
TEST(Win32ConsoleText, LinesReachTheConsoleAsWholeCharacters) {
    if (::GetACP() != 1252) {
        GTEST_SKIP() << "expectations written for code page 1252, this system has " << ::GetACP();
    }
    std::vector<std::wstring> written;
    const auto writer =
        MakeWideLineWriter([&](std::wstring_view wide) { written.emplace_back(wide); });
    std::ostream out(writer.get());
    out << "1. \xC3";  // the first byte of "Ö"
    out << "\x96sterreich\n2. \xC4";
    out.write("\x8C", 1);
    out << "esko\n";
    out << "Caf\xE9\n";  // a line from a settings file in code page 1252
    out << "> " << std::flush;
    EXPECT_EQ(written, (std::vector<std::wstring>{L"1. \u00D6sterreich\n", L"2. \u010Cesko\n",
                                                  L"Caf\u00E9\n", L"> "}));
}

}  // namespace
}  // namespace countryset
