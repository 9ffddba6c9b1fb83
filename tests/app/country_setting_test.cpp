// The whole run against fakes: what goes on the wire, what the operator is told, and what the
// settings file holds afterwards.
#include <gmock/gmock.h>

#include <optional>

#include "app/main_dlg.h"
#include "app_fixture.h"
#include "ui/dialog_templates.h"

namespace countryset::testing {
namespace {

using ::testing::ElementsAre;

using CountrySettingTest = AppTest;

TEST_F(CountrySettingTest, SuccessSendsExactBytesAndStoresOnlyTheTwoKeys) {
    profile.SetFile(kSettingsPath, kSortedSettings + "; trailing comment\r\n");
    presenter.Select(IDC_COUNTRY_LIST, 2).Select(IDC_PORT_LIST, 2).Click(IDC_OK_BUTTON);
    // The choice is in the file before the operator is told: a hang-up while the message waits
    // must not lose it.
    std::string fileWhenTold;
    presenter.OnMessage([&](const auto&) { fileWhenTold = File(); });
    // The operator is told what the run does before the port is opened.
    std::vector<std::string> callsWhenShown{"none"};
    presenter.OnProgress([&](const auto&) { callsWhenShown = driver.Calls({"CreateFile"}); });

    EXPECT_TRUE(RunProgram());
    EXPECT_THAT(written, ElementsAre("ATZE1\r", "AT+GCI=11\r", "AT+GCI?\r"));
    EXPECT_THAT(driver.Calls({"CreateFile"}), ElementsAre("CreateFile COM3"));
    EXPECT_THAT(Messages(), ElementsAre(Message{"", "Country set successfully.", MB_OK}));
    EXPECT_EQ(File(),
              "[Setting]\r\nTitle=Country Setting\r\nNumOfCountry=3\r\nCurrentSet=2\r\n"
              "CurrentCOM=3\r\n[Country]\r\nFrance=22\r\nItaly=33\r\nSpain=11\r\n"
              "; trailing comment\r\n");
    EXPECT_EQ(fileWhenTold, File());
    EXPECT_THAT(presenter.Progress(), ElementsAre("Setting Spain on COM3..."));
    EXPECT_THAT(callsWhenShown, ElementsAre());
    // Both keys in one write, so nobody sees one run's country with another's port.
    ASSERT_EQ(profile.Writes().size(), 1u);
    EXPECT_THAT(profile.Writes()[0].keys,
                ElementsAre(std::pair<std::string, std::string>{"CurrentSet", "2"},
                            std::pair<std::string, std::string>{"CurrentCOM", "3"}));
    // The port stays open with its watcher until the program ends; then it is released.
    EXPECT_EQ(driver.OpenPorts(), 0);
    EXPECT_EQ(state.chosenPortPosition, 2);
}

TEST_F(CountrySettingTest, FailuresAreToldAndLeaveTheFileAsItWas) {
    struct Case {
        const char* name;
        std::function<void(AppRun&)> arrange;
        Message message;
        RunOutcomeKind kind;
    };
    using enum RunOutcomeKind;
    // The first line as operators and scripts know it, the reason on the second.
    const Message cantFind{"Error",
                           "Can't find modem at the selected COM port.\nCOM2 does not exist: is "
                           "the modem plugged in, and is this the right port?",
                           MB_ICONERROR};
    const Message refused{"Error",
                          "Can't find modem at the selected COM port.\nCOM2 refused the line "
                          "settings (38400 bit/s, 8 data bits, no parity, 1 stop bit).",
                          MB_ICONERROR};
    const Message cantInit{"Error", "Can't initialise modem at the selected COM port.",
                           MB_ICONERROR};
    const Message cantSet{"Error", "Can't perform country setting on this model modem!",
                          MB_ICONERROR};
    const std::vector<Case> cases = {
        {"missing port", [](auto& t) { t.driver.SetPortExists("COM2", false); }, cantFind,
         PortNotUsable},
        {"refused line settings", [](auto& t) { t.driver.RefuseLineSettings(true); }, refused,
         PortNotUsable},
        {"no echo on the probe", [](auto& t) { t.probeReply = "\r\nOK\r\n"; }, cantInit, NoModem},
        {"stray byte before the echo", [](auto& t) { t.probeReply = "xATZE1\r\r\nOK\r\n"; },
         cantInit, NoModem},
        {"11 of 12 bytes", [](auto& t) { t.probeReply = "ATZE1\r\r\nOK\r"; }, cantInit, NoModem},
        {"ERROR to the country", [](auto& t) { t.countryReply = "AT+GCI=33\r\r\nERROR\r\n"; },
         cantSet, Refused},
        {"silence to the country",
         [](auto& t) {
             t.driver.SetWriteHook([&t](std::string_view bytes) {
                 if (bytes == "ATZE1\r") {
                     t.driver.PushIncoming(t.probeReply);
                 }
             });
         },
         cantSet, NoAnswer},
        {"OK without the echo", [](auto& t) { t.countryReply = "\r\nOK\r\n"; }, cantSet, Refused},
        {"bytes left over from the probe", [](auto& t) { t.probeReply = "ATZE1\r\r\nOK\r\n\r\n"; },
         cantSet, Refused},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AppRun t;
        t.profile.SetFile(kSettingsPath, kSortedSettings);
        c.arrange(t);
        t.presenter.Enter();
        EXPECT_FALSE(t.RunProgram());
        EXPECT_THAT(t.Messages(), ElementsAre(c.message));
        EXPECT_EQ(t.outcome.kind, c.kind);
        EXPECT_EQ(t.File(), kSortedSettings);
        EXPECT_TRUE(t.profile.Writes().empty());
        // A port opened for a failed run is closed, its watcher ended, before the program ends.
        EXPECT_EQ(t.driver.OpenPorts(), 0);
    }
}

// After the modem's OK, what it reads back decides: the code sent (in any spelling) confirms,
// another code fails the run with both named (the settings file's names first), and a modem that
// cannot say keeps the verdict of its OK.
TEST(ReadBackTest, DecidesBetweenVerifiedOtherCountryAndNotReported) {
    const std::string settings =
        "[Setting]\r\nNumOfCountry=3\r\nCurrentSet=1\r\nCurrentCOM=1\r\n"
        "[Country]\r\nDeutschland=42\r\nFrance=3d\r\nItaly=59\r\n";
    const Message success{"", "Country set successfully.", MB_OK};
    auto heldOther = [](const std::string& held) {
        return Message{"Error", "The modem answered OK but holds " + held + ", not France (3D).",
                       MB_ICONERROR};
    };
    struct Case {
        const char* name;
        std::string readBack;  // empty: the code the modem was given
        RunOutcomeKind kind;
        std::optional<std::uint8_t> codeRead;
        Message message;
    };
    using enum RunOutcomeKind;
    const std::string echo = "AT+GCI?\r";
    const Case cases[] = {
        {"as sent", "", SetVerified, 0x3D, success},
        {"upper case, no space", echo + "\r\n+GCI:3D\r\n\r\nOK\r\n", SetVerified, 0x3D, success},
        {"named in the file", echo + "\r\n+GCI: 42\r\n\r\nOK\r\n", HoldsOther, 0x42,
         heldOther("Deutschland (42)")},
        {"named by the code table", echo + "\r\n+GCI: 33\r\n\r\nOK\r\n", HoldsOther, 0x33,
         heldOther("Dominican Republic (33)")},
        {"named by nobody", echo + "\r\n+GCI: FF\r\n\r\nOK\r\n", HoldsOther, 0xFF,
         heldOther("code FF (no known country)")},
        {"ERROR", echo + "\r\nERROR\r\n", SetNotReported, std::nullopt, success},
        {"no +GCI line", echo + "\r\nOK\r\n", SetNotReported, std::nullopt, success},
        {"no result code in time", echo, SetNotReported, std::nullopt, success},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AppRun t;
        t.profile.SetFile(kSettingsPath, settings);
        t.readBackReply = c.readBack;
        t.presenter.Enter();
        EXPECT_EQ(t.RunProgram(), c.kind != HoldsOther);
        EXPECT_THAT(t.written, ElementsAre("ATZE1\r", "AT+GCI=3d\r", "AT+GCI?\r"));
        EXPECT_EQ(t.outcome.kind, c.kind);
        EXPECT_EQ(t.outcome.codeRead, c.codeRead);
        EXPECT_EQ(t.outcome.countryName, "France");
        EXPECT_EQ(t.outcome.port, "COM1");
        EXPECT_THAT(t.Messages(), ElementsAre(c.message));
        // Stored only when the modem holds the country as far as it can tell.
        EXPECT_EQ(t.outcome.stored, c.kind != HoldsOther);
        EXPECT_EQ(t.profile.Writes().size(), c.kind != HoldsOther ? 1u : 0u);
    }
}

TEST_F(CountrySettingTest, ReadBackLooksPastLeftoversAndCanBeLeftOut) {
    profile.SetFile(kSettingsPath, kSortedSettings);
    // A line the modem sent after its OK comes before the read-back's echo; it is not the answer.
    countryReply = "AT+GCI=33\r\r\nOK\r\nRING\r\n";
    presenter.Enter();
    EXPECT_TRUE(RunProgram());
    EXPECT_EQ(outcome.kind, RunOutcomeKind::SetVerified);

    AppRun unchecked;
    unchecked.profile.SetFile(kSettingsPath, kSortedSettings);
    unchecked.state.readBack = false;
    unchecked.presenter.Enter();
    EXPECT_TRUE(unchecked.RunProgram());
    EXPECT_EQ(unchecked.outcome.kind, RunOutcomeKind::SetNotChecked);
    EXPECT_THAT(unchecked.written, ElementsAre("ATZE1\r", "AT+GCI=33\r"));
}

TEST_F(CountrySettingTest, ExtraBytesAfterACompleteReplyStillSucceed) {
    profile.SetFile(kSettingsPath, kSortedSettings);
    countryReply = "AT+GCI=33\r\r\nOK\r\nRING\r\n";
    presenter.Enter();
    EXPECT_TRUE(RunProgram());
}

TEST_F(CountrySettingTest, UnsavedChoiceIsToldAfterTheSuccess) {
    profile.SetFile(kSettingsPath, kSortedSettings);
    profile.SetWritesFail(true);
    presenter.Enter();
    EXPECT_TRUE(RunProgram());
    const auto messages = Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], (Message{"", "Country set successfully.", MB_OK}));
    EXPECT_EQ(messages[1].caption, "Error");
    EXPECT_EQ(messages[1].style, MB_ICONERROR);
    EXPECT_THAT(messages[1].text, ::testing::HasSubstr("could not be saved"));
    EXPECT_THAT(messages[1].text, ::testing::HasSubstr(kSettingsPath));
    EXPECT_EQ(File(), kSortedSettings);
}

TEST(CreationFailureTest, EachStepHasItsMessageAndEndsBeforeAnyDialog) {
    for (const char* text : {"Out of memory", "Out of Memory"}) {
        AppRun run;
        if (text == std::string("Out of memory")) {
            run.state.allocateRing = [](std::size_t) { return std::unique_ptr<char[]>(); };
        } else {
            run.driver.FailCreateEvent(1);  // the port record's first event
        }
        EXPECT_FALSE(run.RunProgram());
        EXPECT_THAT(run.Messages(), ElementsAre(Message{"countryset", text, MB_OK}));
        EXPECT_EQ(run.presenter.DialogsRun(), 0);
        EXPECT_EQ(run.state.ringStorage, nullptr);  // released again when the record fails
        EXPECT_EQ(run.driver.OpenEvents(), 0);
    }
}

// Each ends before any dialog with one message that says why, and writes nothing.
TEST(RefusalTest, NoSettingsFileToTrustEndsBeforeTheDialog) {
    struct Case {
        const char* name;
        std::string executable;
        std::string readProblem;
        Message message;
    };
    const Case cases[] = {
        {"path too long",
         "/" + std::string(260, 'd') + "/countryset",
         "",
         {"countryset",
          "Can't start: the path of the settings file would be longer than 255 characters. "
          "Move the program to a folder with a shorter path.\n/" +
              std::string(260, 'd') + "/countryset",
          MB_OK}},
        {"own path unknown",
         "",
         "",
         {"countryset",
          "Can't start: the program cannot tell where its own file lies, so it cannot find its "
          "settings file beside it.",
          MB_OK}},
        {"unreadable file",
         kExecutable,
         "Permission denied",
         {"Error", "The settings file /opt/x/countryset.DAT cannot be read: Permission denied.",
          MB_ICONERROR}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AppRun run;
        run.profile.SetFile(kSettingsPath, kSortedSettings);
        run.profile.SetReadProblem(kSettingsPath, c.readProblem);
        run.presenter.Enter();
        CSetupApp app(run.state, run.profile, run.driver, run.services);
        app.InitInstance(c.executable);
        run.services.FlushPendingMessages();
        EXPECT_FALSE(app.CountrySet());
        EXPECT_THAT(run.Messages(), ElementsAre(c.message));
        EXPECT_EQ(run.presenter.DialogsRun(), 0);
        EXPECT_TRUE(run.profile.Writes().empty());
    }
}

TEST(SelectPortNumberTest, OnlyPositionsZeroToSevenOrAPortBeyondTheListPickAPort) {
    ProgramState state;
    MemoryProfile profile;
    FakeCommDriver driver;
    ScriptedPresenter presenter;
    WindowServices services("countryset", presenter);
    CMainDlg dlg(state, profile, driver, services);
    ASSERT_TRUE(dlg.Port().CreatePortState());
    for (auto [position, port] : {std::pair{0, 1}, {7, 8}, {3, 4}, {8, 1}, {-1, 1}, {-100, 1}}) {
        state.chosenPortPosition = position;
        dlg.SelectPortNumber();
        EXPECT_EQ(dlg.Port().State()->wPortNumber, port) << position;
    }
    // A port given beyond the list wins over any position; one inside it or past 256 does not.
    state.chosenPortPosition = 2;
    for (auto [given, port] : {std::pair{9, 9}, {256, 256}, {8, 3}, {257, 3}, {0, 3}}) {
        state.givenPortNumber = given;
        dlg.SelectPortNumber();
        EXPECT_EQ(dlg.Port().State()->wPortNumber, port) << given;
    }
}

}  // namespace
}  // namespace countryset::testing
