// The JSON that scripts read: every byte a modem may send comes out as one line of valid UTF-8,
// and the objects carry the fields and names scripts rely on.
#include <gtest/gtest.h>

#include <string>

#include "app/json_text.h"
#include "app/result_json.h"
#include "app/scripted_run.h"

namespace countryset {
namespace {

TEST(JsonTextTest, StringsAreEscapedSoThatNoByteBreaksALineOrReachesATerminal) {
    const std::pair<std::string, std::string> cases[] = {
        {"France", R"("France")"},
        {"a\"b\\c/d", R"("a\"b\\c/d")"},
        {"AT+GCI?\r\r\n+GCI: 3D\r\n\tOK", R"("AT+GCI?\r\r\n+GCI: 3D\r\n\tOK")"},
        {std::string("\0\x01\x1b[2J\x7f", 7), R"("\u0000\u0001\u001B[2J\u007F")"},
        // Valid UTF-8 passes, up to four bytes; C1 controls (a terminal's CSI) do not.
        {"\xC3\x96sterreich \xE2\x82\xAC \xF0\x9F\x98\x80",
         "\"\xC3\x96sterreich \xE2\x82\xAC "
         "\xF0\x9F\x98\x80\""},
        {"\xC2\x9B"
         "2J\xC2\xA0",
         "\"\\u009B2J\xC2\xA0\""},
        // Each byte that is no part of valid UTF-8 is escaped on its own.
        {"\xFF\xFE", R"("\u00FF\u00FE")"},
        {"x\xC3", R"("x\u00C3")"},                              // cut short at the end
        {"\xC3(", R"("\u00C3(")"},                              // lead without continuation
        {"\xE2\x82", R"("\u00E2\u0082")"},                      // three-byte form cut short
        {"\xC0\xAF", R"("\u00C0\u00AF")"},                      // overlong '/'
        {"\xE0\x80\xAF", R"("\u00E0\u0080\u00AF")"},            // overlong, three bytes
        {"\xED\xA0\x80", R"("\u00ED\u00A0\u0080")"},            // a surrogate
        {"\xF4\x90\x80\x80", R"("\u00F4\u0090\u0080\u0080")"},  // past U+10FFFF
        {"\x80"
         "A",
         R"("\u0080A")"},  // a lone continuation byte
    };
    for (const auto& [text, json] : cases) {
        EXPECT_EQ(JsonString(text), json) << json;
    }
    // Every single byte alone: printable ASCII as it stands, anything else as an escape.
    for (int b = 0; b < 256; ++b) {
        const std::string out = JsonString(std::string(1, static_cast<char>(b)));
        for (char c : out) {
            const auto u = static_cast<unsigned char>(c);
            EXPECT_TRUE(u >= 0x20 && u < 0x7F) << "byte " << b << ": " << out;
        }
    }
}

TEST(JsonTextTest, WriterPutsCommasAndColonsWhereTheyBelong) {
    JsonWriter json;
    json.BeginObject();
    json.Key("a").Number(18446744073709551615ULL);
    json.Key("empty").BeginObject().EndObject();
    json.Key("list").BeginArray().String("x").Null().Bool(false).BeginObject().EndObject();
    json.BeginArray().EndArray().EndArray();
    json.Key("inner").BeginObject().Key("k\n").Bool(true).Key("o").StringOrNull({}).EndObject();
    json.Key("last").StringOrNull("v");
    json.EndObject();
    EXPECT_EQ(json.Text(), R"({"a":18446744073709551615,"empty":{},"list":["x",null,false,{},[]],)"
                           R"("inner":{"k\n":true,"o":null},"last":"v"})");
}

RunOutcome SetOutcome() {
    RunOutcome outcome;
    outcome.kind = RunOutcomeKind::SetVerified;
    outcome.port = "COM3";
    outcome.device = "/dev/ttyUSB0";
    outcome.countryName = "France";
    outcome.codeSent = "3d";
    outcome.codeBefore = 0xB5;
    outcome.codeRead = 0x3D;
    outcome.stored = true;
    outcome.ms = {12, 40, 35, 90};
    return outcome;
}

TEST(ResultJsonTest, ARunIsOneObjectWithEveryFieldInItsPlace) {
    EXPECT_EQ(OutcomeJson(SetOutcome()),
              R"({"port":"COM3","device":"/dev/ttyUSB0","country":{"name":"France","code":"3D"},)"
              R"("code_before":"B5","code_after":"3D","outcome":"set_verified","changed":true,)"
              R"("verified":true,"stored":true,"reason":"","identity":null,)"
              R"("ms":{"attach":12,"set":40,"read_back":35,"total":90}})");

    // Unknown codes are null; a code that is no code is shown as the file spells it, escaped;
    // the identity, once asked, is an object with every answer.
    RunOutcome other = SetOutcome();
    other.kind = RunOutcomeKind::SetNotReported;
    other.codeBefore.reset();
    other.codeRead.reset();
    other.codeSent = "3D;\x1b";
    other.countryName = "C\xF4te";
    other.reason = "AT+GCI?: no +GCI line";
    other.identity = {true, "56000\r\n", "Maker", "", "1.0", "\xFF"};
    const std::string json = OutcomeJson(other);
    EXPECT_NE(json.find(R"("country":{"name":"C\u00F4te","code":"3D;\u001B"},)"
                        R"("code_before":null,"code_after":null,"outcome":"set_not_reported",)"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find(R"("identity":{"info":"56000\r\n","manufacturer":"Maker","model":"",)"
                        R"("revision":"1.0","serial":"\u00FF"})"),
              std::string::npos)
        << json;
    EXPECT_EQ(json.find('\n'), std::string::npos);
}

// What each kind tells a script: its name, whether the modem was changed and verified, and the
// exit status of a single-port run.
TEST(ResultJsonTest, EachOutcomeHasItsNameFlagsAndExitStatus) {
    using enum RunOutcomeKind;
    struct Case {
        RunOutcomeKind kind;
        const char* name;
        bool changed;
        bool verified;
        ExitStatus status;
    };
    const Case cases[] = {
        {Cancelled, "cancelled", false, false, ExitStatus::NotSet},
        {PortNotUsable, "port_not_usable", false, false, ExitStatus::PortNotUsable},
        {WatcherNotStarted, "watcher_not_started", false, false, ExitStatus::PortNotUsable},
        {NoModem, "no_modem", false, false, ExitStatus::NoAnswer},
        {NoAnswer, "no_answer", false, false, ExitStatus::NoAnswer},
        {Refused, "refused", false, false, ExitStatus::Refused},
        {HoldsOther, "holds_other", true, false, ExitStatus::HoldsOther},
        {SetVerified, "set_verified", true, true, ExitStatus::Set},
        {SetNotReported, "set_not_reported", true, false, ExitStatus::Set},
        {SetNotChecked, "set_not_checked", true, false, ExitStatus::Set},
        {AlreadySet, "already_set", false, true, ExitStatus::Set},
        {WouldChange, "would_change", false, false, ExitStatus::CheckDiffers},
    };
    for (const Case& c : cases) {
        RunOutcome outcome = SetOutcome();
        outcome.kind = c.kind;
        const std::string json = OutcomeJson(outcome);
        EXPECT_NE(json.find(std::string(R"("outcome":")") + c.name + R"(","changed":)" +
                            (c.changed ? "true" : "false") + R"(,"verified":)" +
                            (c.verified ? "true" : "false")),
                  std::string::npos)
            << json;
        EXPECT_EQ(ScriptedStatus(c.kind), c.status) << c.name;
    }
}

TEST(ResultJsonTest, AQueryIsOneObjectWithWhatTheModemTakes) {
    QueryOutcome query;
    query.attach.kind = AttachResult::Kind::Attached;
    query.port = "COM1";
    query.device = "/dev/ttyS0";
    query.current = QueryOutcome::Answer::Answered;
    query.currentCode = 0x33;
    query.currentName = {"Dominican Republic", false};
    query.supported = QueryOutcome::Answer::Answered;
    query.supportedCodes.set(0x00).set(0x3D).set(0xFE);
    query.offered = {{"France", "3D", QueryOutcome::Offered::Support::Yes},
                     {"Spain", "A0", QueryOutcome::Offered::Support::No},
                     {"Odd", "zz", QueryOutcome::Offered::Support::Unknown}};
    EXPECT_EQ(QueryJson(query, ""),
              R"({"port":"COM1","device":"/dev/ttyS0","outcome":"read","reason":"",)"
              R"("current":{"code":"33","name":"Dominican Republic","in_settings":false},)"
              R"("supported":["00","3D","FE"],"offered":[{"name":"France","code":"3D",)"
              R"("supported":true},{"name":"Spain","code":"A0","supported":false},)"
              R"({"name":"Odd","code":"zz","supported":null}]})");

    query.supported = QueryOutcome::Answer::Refused;
    EXPECT_NE(QueryJson(query, "refused").find(R"("outcome":"incomplete","reason":"refused",)"),
              std::string::npos);
    QueryOutcome silent;
    silent.attach.kind = AttachResult::Kind::ProbeFailed;
    EXPECT_EQ(QueryJson(silent, ""),
              R"({"port":"","device":"","outcome":"no_modem","reason":"","current":null,)"
              R"("supported":null,"offered":[]})");
}

}  // namespace
}  // namespace countryset
