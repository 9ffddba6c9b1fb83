// The scripted run against fakes: the question before the set, --check, and the exit status
// each outcome gives a script; the dialog's run keeps its own sequence.
#include <gmock/gmock.h>

#include <functional>
#include <optional>
#include <sstream>

#include "app/scripted_run.h"
#include "app_fixture.h"
#include "ui/dialog_templates.h"

namespace countryset::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

using ScriptedRunDialogTest = AppTest;

constexpr const char* kRefusedQuery = "AT+GCI?\r\r\nERROR\r\n";

TEST(ScriptedRunTest, AskedBeforeTheSetAndCheckedWithoutOne) {
    struct Case {
        const char* name;
        const char* country;
        bool check;
        std::function<void(AppRun&)> arrange;
        std::vector<std::string> written;
        RunOutcomeKind kind;
        ExitStatus status;
        std::optional<std::uint8_t> before;
        bool stored;
        std::string messages;
    };
    using enum RunOutcomeKind;
    const std::vector<std::string> setAfterQuestion = {"ATZE1\r", "AT+GCI?\r", "AT+GCI=33\r",
                                                       "AT+GCI?\r"};
    const std::vector<std::string> questionOnly = {"ATZE1\r", "AT+GCI?\r"};
    const std::string set = "countryset: Country set successfully.\n";
    const Case cases[] = {
        {"holds another", "Italy", false, [](AppRun& t) { t.held = "22"; }, setAfterQuestion,
         SetVerified, ExitStatus::Set, 0x22, true, set},
        {"holds it already", "italy", false, [](AppRun& t) { t.held = "33"; }, questionOnly,
         AlreadySet, ExitStatus::Set, 0x33, true,
         set + "countryset: the modem already held Italy (33): nothing was sent\n"},
        {"cannot tell: the run sets it", "Italy", false,
         [](AppRun& t) { t.readBackReply = kRefusedQuery; }, setAfterQuestion, SetNotReported,
         ExitStatus::Set, std::nullopt, true,
         set + "countryset: not verified: the modem does not report its country\n"},
        {"--no-verify asks nothing",
         "Italy",
         false,
         [](AppRun& t) {
             t.held = "33";
             t.state.readBack = false;
         },
         {"ATZE1\r", "AT+GCI=33\r"},
         SetNotChecked,
         ExitStatus::Set,
         std::nullopt,
         true,
         set},
        {"check: held", "Italy", true, [](AppRun& t) { t.held = "33"; }, questionOnly, AlreadySet,
         ExitStatus::Set, 0x33, false, "countryset: The modem holds Italy (33).\n"},
        {"check: another", "Italy", true, [](AppRun& t) { t.held = "22"; }, questionOnly,
         WouldChange, ExitStatus::CheckDiffers, 0x22, false,
         "countryset: The modem holds France (22), not Italy (33).\n"},
        {"check: cannot tell", "Italy", true, [](AppRun& t) { t.readBackReply = kRefusedQuery; },
         questionOnly, WouldChange, ExitStatus::CheckDiffers, std::nullopt, false,
         "countryset: The modem cannot tell whether it holds Italy (33): the modem answered "
         "ERROR to AT+GCI?.\n"},
        {"refused",
         "Italy",
         false,
         [](AppRun& t) {
             t.held = "22";
             t.countryReply = "AT+GCI=33\r\r\nERROR\r\n";
         },
         {"ATZE1\r", "AT+GCI?\r", "AT+GCI=33\r"},
         Refused,
         ExitStatus::Refused,
         0x22,
         false,
         "countryset: Can't perform country setting on this model modem!\n"},
        {"no modem",
         "Italy",
         true,
         [](AppRun& t) { t.probeReply = ""; },
         {"ATZE1\r"},
         NoModem,
         ExitStatus::NoAnswer,
         std::nullopt,
         false,
         "countryset: Can't initialise modem at the selected COM port.\n"},
        {"missing port",
         "Italy",
         false,
         [](AppRun& t) { t.driver.SetPortExists("COM2", false); },
         {},
         PortNotUsable,
         ExitStatus::PortNotUsable,
         std::nullopt,
         false,
         "countryset: Can't find modem at the selected COM port. COM2 does not exist: is the "
         "modem plugged in, and is this the right port?\n"},
        {"no such country",
         "Atlantis",
         false,
         [](AppRun&) {},
         {},
         Cancelled,
         ExitStatus::NoSuchCountry,
         std::nullopt,
         false,
         "countryset: no offered country is called 'Atlantis'\n"},
        {"unreadable settings",
         "Italy",
         true,
         [](AppRun& t) { t.profile.SetReadProblem(kSettingsPath, "Permission denied"); },
         {},
         Cancelled,
         ExitStatus::UsageError,
         std::nullopt,
         false,
         "countryset: The settings file /opt/x/countryset.DAT cannot be read: Permission "
         "denied.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AppRun t;
        t.profile.SetFile(kSettingsPath, kSortedSettings);
        t.state.appName = "countryset";
        c.arrange(t);
        std::ostringstream messages;
        const ScriptedResult result =
            RunScriptedCountry(t.state, t.profile, t.driver,
                               {c.country, "COM2", c.check, kExecutable}, messages, nullptr);
        EXPECT_THAT(t.written, ElementsAreArray(c.written));
        EXPECT_EQ(result.outcome.kind, c.kind);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.outcome.codeBefore, c.before);
        EXPECT_EQ(result.outcome.stored, c.stored);
        EXPECT_EQ(t.profile.Writes().size(), c.stored ? 1u : 0u);
        EXPECT_EQ(messages.str(), c.messages);
        if (c.kind == AlreadySet || c.kind == WouldChange) {
            // Nothing was sent: what the modem held is what it holds.
            EXPECT_EQ(result.outcome.codeRead, c.before);
        }
    }
}

// The dialog's run keeps its sequence even when the modem holds the country already.
TEST_F(ScriptedRunDialogTest, DialogNeverAsksBeforeTheSet) {
    profile.SetFile(kSettingsPath, kSortedSettings);
    held = "33";
    presenter.Select(IDC_COUNTRY_LIST, 1).Click(IDC_OK_BUTTON);
    EXPECT_TRUE(RunProgram());
    EXPECT_THAT(written, ElementsAre("ATZE1\r", "AT+GCI=33\r", "AT+GCI?\r"));
    EXPECT_EQ(outcome.kind, RunOutcomeKind::SetVerified);
    EXPECT_EQ(outcome.codeBefore, std::nullopt);
}

}  // namespace
}  // namespace countryset::testing
