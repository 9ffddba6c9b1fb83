// The identity questions: what is kept of each answer, and when they are asked at all.
#include "app/modem_identity.h"

#include <gmock/gmock.h>

#include <map>

#include "app_fixture.h"
#include "ui/dialog_templates.h"

namespace countryset::testing {
namespace {

using ::testing::ElementsAre;

TEST(IdentityTextTest, KeepsTheTextBetweenEchoAndOkRawAndBounded) {
    const std::string ok = "\r\nOK\r\n";
    struct Case {
        const char* name;
        ModemAnswer answer;
        std::string text;
    };
    const std::string longUtf8 = std::string(kIdentityTextLimit - 1, 'x') + "\xC3\xA9";
    const Case cases[] = {
        {"plain", {"AT+GMM\r\r\nM-56\r\n" + ok, ReplyEnd::Complete}, "M-56"},
        {"noise before the echo", {"~~AT+GMM\r\r\nM-56\r\n" + ok, ReplyEnd::Complete}, "M-56"},
        {"no echo", {"\r\nM-56\r\n" + ok, ReplyEnd::Complete}, "M-56"},
        {"lines kept", {"AT+GMM\r\r\nA\r\n\r\nB\r\n" + ok, ReplyEnd::Complete}, "A\r\n\r\nB"},
        {"control bytes raw",
         {"AT+GMM\r\r\n\x1b[2J\x07z\r\n" + ok, ReplyEnd::Complete},
         "\x1b[2J\x07z"},
        {"empty answer", {"AT+GMM\r" + ok, ReplyEnd::Complete}, ""},
        {"error", {"AT+GMM\r\r\nERROR\r\n", ReplyEnd::Complete}, ""},
        {"text then error", {"AT+GMM\r\r\nM-56\r\n\r\nERROR\r\n", ReplyEnd::Complete}, ""},
        {"no final code", {"AT+GMM\r\r\nM-56\r\n", ReplyEnd::TimedOut}, ""},
        {"ok but timed out", {"AT+GMM\r\r\nM-56\r\n" + ok, ReplyEnd::TimedOut}, ""},
        {"full", {"AT+GMM\r\r\nM-56" + ok, ReplyEnd::Full}, ""},
        {"cut at the limit, not inside a character",
         {"AT+GMM\r\r\n" + longUtf8 + "\r\n" + ok, ReplyEnd::Complete},
         std::string(kIdentityTextLimit - 1, 'x')},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IdentityText(c.answer, "AT+GMM\r"), c.text) << c.name;
    }
}

// A modem that knows some of the questions, refuses one and ignores another.
class ModemIdentityRunTest : public AppTest {
protected:
    ModemIdentityRunTest() {
        profile.SetFile(kSettingsPath, kSortedSettings);
        driver.SetWriteHook([this](std::string_view bytes) {
            const std::string command(bytes);
            if (const auto answer = answers.find(command); answer != answers.end()) {
                written.push_back(command);
                driver.PushIncoming(command + answer->second);
            } else if (command == "AT+GSN\r") {
                written.push_back(command);  // no answer at all
            } else {
                Modem(bytes);
            }
        });
    }
    // France on COM1, once more.
    bool Run() {
        presenter.Select(IDC_COUNTRY_LIST, 0).Select(IDC_PORT_LIST, 0).Click(IDC_OK_BUTTON);
        return RunProgram();
    }
    std::map<std::string, std::string> answers = {
        {"ATI\r", "\r\nBench modem\r\nV2\r\n\r\nOK\r\n"},
        {"AT+GMI\r", "\r\nERROR\r\n"},
        {"AT+GMM\r", "\r\nM-56\r\n\r\nOK\r\n"},
        {"AT+GMR\r", "\r\n1.2\x1b\r\n\r\nOK\r\n"},
    };
};

TEST_F(ModemIdentityRunTest, AskedAfterTheReadBackOnlyWhenWanted) {
    EXPECT_TRUE(Run());
    EXPECT_THAT(written, ElementsAre("ATZE1\r", "AT+GCI=22\r", "AT+GCI?\r"));
    EXPECT_FALSE(outcome.identity.asked);

    written.clear();
    state.identify = true;
    EXPECT_TRUE(Run());
    EXPECT_EQ(outcome.kind, RunOutcomeKind::SetVerified);
    EXPECT_THAT(written, ElementsAre("ATZE1\r", "AT+GCI=22\r", "AT+GCI?\r", "ATI\r", "AT+GMI\r",
                                     "AT+GMM\r", "AT+GMR\r", "AT+GSN\r"));
    EXPECT_TRUE(outcome.identity.asked);
    EXPECT_EQ(outcome.identity.info, "Bench modem\r\nV2");
    EXPECT_EQ(outcome.identity.manufacturer, "");
    EXPECT_EQ(outcome.identity.model, "M-56");
    EXPECT_EQ(outcome.identity.revision, "1.2\x1b");
    EXPECT_EQ(outcome.identity.serial, "");
}

TEST_F(ModemIdentityRunTest, AskedOfARefusingModemButNotOfAnAbsentOne) {
    state.identify = true;
    countryReply = "AT+GCI=22\r\r\nERROR\r\n";
    EXPECT_FALSE(Run());
    EXPECT_EQ(outcome.kind, RunOutcomeKind::Refused);
    EXPECT_TRUE(outcome.identity.asked);
    EXPECT_EQ(outcome.identity.model, "M-56");

    written.clear();
    probeReply = "";
    EXPECT_FALSE(Run());
    EXPECT_EQ(outcome.kind, RunOutcomeKind::NoModem);
    EXPECT_FALSE(outcome.identity.asked);
    EXPECT_THAT(written, ElementsAre("ATZE1\r"));
}

}  // namespace
}  // namespace countryset::testing
