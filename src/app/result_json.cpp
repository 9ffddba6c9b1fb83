#include "app/result_json.h"

#include <optional>

#include "app/gci_reply.h"
#include "app/json_text.h"
#include "app/t35_table.h"

namespace countryset {

namespace {

std::optional<std::string> CodeText(const std::optional<std::uint8_t>& code) {
    return code ? std::optional(T35CodeText(*code)) : std::nullopt;
}

std::string_view AttachName(AttachResult::Kind kind) {
    switch (kind) {
        case AttachResult::Kind::Attached:
            return "attached";
        case AttachResult::Kind::PortNotUsable:
            return "port_not_usable";
        case AttachResult::Kind::WatcherNotStarted:
            return "watcher_not_started";
        case AttachResult::Kind::ProbeFailed:
            break;
    }
    return "no_modem";
}

}  // namespace

std::string_view OutcomeKindName(RunOutcomeKind kind) {
    switch (kind) {
        case RunOutcomeKind::Cancelled:
            return "cancelled";
        case RunOutcomeKind::PortNotUsable:
            return "port_not_usable";
        case RunOutcomeKind::WatcherNotStarted:
            return "watcher_not_started";
        case RunOutcomeKind::NoModem:
            return "no_modem";
        case RunOutcomeKind::NoAnswer:
            return "no_answer";
        case RunOutcomeKind::Refused:
            return "refused";
        case RunOutcomeKind::HoldsOther:
            return "holds_other";
        case RunOutcomeKind::SetVerified:
            return "set_verified";
        case RunOutcomeKind::SetNotReported:
            return "set_not_reported";
        case RunOutcomeKind::SetNotChecked:
            return "set_not_checked";
        case RunOutcomeKind::AlreadySet:
            return "already_set";
        case RunOutcomeKind::WouldChange:
            return "would_change";
    }
    return "cancelled";
}

bool OutcomeChanged(const RunOutcome& outcome) {
    // A modem that holds another country after its OK has still been changed.
    return outcome.kind == RunOutcomeKind::SetVerified ||
           outcome.kind == RunOutcomeKind::SetNotReported ||
           outcome.kind == RunOutcomeKind::SetNotChecked ||
           outcome.kind == RunOutcomeKind::HoldsOther;
}

std::string OutcomeJson(const RunOutcome& outcome) {
    // The code as a code when it reads as one, else as the settings file spells it.
    std::uint8_t asked = 0;
    const std::string askedCode =
        ParseCountryCode(outcome.codeSent, asked) ? T35CodeText(asked) : outcome.codeSent;
    JsonWriter json;
    json.BeginObject();
    json.Key("port").String(outcome.port);
    json.Key("device").String(outcome.device);
    json.Key("country").BeginObject();
    json.Key("name").String(outcome.countryName);
    json.Key("code").String(askedCode);
    json.EndObject();
    json.Key("code_before").StringOrNull(CodeText(outcome.codeBefore));
    json.Key("code_after").StringOrNull(CodeText(outcome.codeRead));
    json.Key("outcome").String(OutcomeKindName(outcome.kind));
    json.Key("changed").Bool(OutcomeChanged(outcome));
    json.Key("verified")
        .Bool(outcome.kind == RunOutcomeKind::SetVerified ||
              outcome.kind == RunOutcomeKind::AlreadySet);
    json.Key("stored").Bool(outcome.stored);
    json.Key("reason").String(outcome.reason);
    json.Key("identity");
    if (outcome.identity.asked) {
        const ModemIdentity& id = outcome.identity;
        json.BeginObject();
        json.Key("info").String(id.info);
        json.Key("manufacturer").String(id.manufacturer);
        json.Key("model").String(id.model);
        json.Key("revision").String(id.revision);
        json.Key("serial").String(id.serial);
        json.EndObject();
    } else {
        json.Null();
    }
    json.Key("ms").BeginObject();
    json.Key("attach").Number(outcome.ms.attach);
    json.Key("set").Number(outcome.ms.set);
    json.Key("read_back").Number(outcome.ms.readBack);
    json.Key("total").Number(outcome.ms.total);
    json.EndObject();
    json.EndObject();
    return json.Text();
}

std::string QueryJson(const QueryOutcome& outcome, std::string_view reason) {
    const bool attached = outcome.attach.kind == AttachResult::Kind::Attached;
    const bool read = attached && outcome.current == QueryOutcome::Answer::Answered &&
                      outcome.supported == QueryOutcome::Answer::Answered;
    JsonWriter json;
    json.BeginObject();
    json.Key("port").String(outcome.port);
    json.Key("device").String(outcome.device);
    json.Key("outcome").String(!attached ? AttachName(outcome.attach.kind)
                               : read    ? "read"
                                         : "incomplete");
    json.Key("reason").String(reason);
    json.Key("current");
    if (outcome.current == QueryOutcome::Answer::Answered) {
        json.BeginObject();
        json.Key("code").String(T35CodeText(outcome.currentCode));
        json.Key("name").String(outcome.currentName.name);
        json.Key("in_settings").Bool(outcome.currentName.inSettings);
        json.EndObject();
    } else {
        json.Null();
    }
    json.Key("supported");
    if (outcome.supported == QueryOutcome::Answer::Answered) {
        json.BeginArray();
        for (unsigned code = 0; code < outcome.supportedCodes.size(); ++code) {
            if (outcome.supportedCodes.test(code)) {
                json.String(T35CodeText(static_cast<std::uint8_t>(code)));
            }
        }
        json.EndArray();
    } else {
        json.Null();
    }
    json.Key("offered").BeginArray();
    for (const QueryOutcome::Offered& row : outcome.offered) {
        using Support = QueryOutcome::Offered::Support;
        json.BeginObject();
        json.Key("name").String(row.name);
        json.Key("code").String(row.code);
        json.Key("supported");
        if (row.support == Support::Unknown) {
            json.Null();
        } else {
            json.Bool(row.support == Support::Yes);
        }
        json.EndObject();
    }
    json.EndArray();
    json.EndObject();
    return json.Text();
}

}  // namespace countryset
