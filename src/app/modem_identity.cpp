#include "app/modem_identity.h"

#include "app/query_run.h"
#include "ui/shown_text.h"

namespace countryset {

namespace {

constexpr std::string_view kFinalOk = "\r\nOK\r\n";

}  // namespace

std::string IdentityText(const ModemAnswer& answer, std::string_view command) {
    std::string_view text = answer.bytes;
    if (answer.end != ReplyEnd::Complete || !text.ends_with(kFinalOk)) {
        return {};
    }
    text.remove_suffix(kFinalOk.size());
    // Whatever came before the echo (line noise, a late line of an earlier answer) is not it.
    if (const std::size_t echo = text.find(command); echo != std::string_view::npos) {
        text.remove_prefix(echo + command.size());
    }
    while (!text.empty() && (text.front() == '\r' || text.front() == '\n')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) {
        text.remove_suffix(1);
    }
    return std::string(text.substr(0, CutWithoutSplitting(text, kIdentityTextLimit)));
}

ModemIdentity AskIdentity(CCommPort& port, ReceiveRing& ring) {
    ModemIdentity identity;
    identity.asked = true;
    const std::pair<std::string_view, std::string*> questions[] = {
        {"ATI\r", &identity.info},      {"AT+GMI\r", &identity.manufacturer},
        {"AT+GMM\r", &identity.model},  {"AT+GMR\r", &identity.revision},
        {"AT+GSN\r", &identity.serial},
    };
    for (const auto& [command, value] : questions) {
        *value = IdentityText(Ask(port, ring, command), command);
    }
    return identity;
}

std::string IdentityNote(const ModemIdentity& identity) {
    const std::pair<const char*, const std::string*> parts[] = {
        {"info", &identity.info},     {"manufacturer", &identity.manufacturer},
        {"model", &identity.model},   {"revision", &identity.revision},
        {"serial", &identity.serial},
    };
    std::string note = "modem identity:";
    for (const auto& [name, value] : parts) {
        std::string lines;
        std::string_view rest = *value;
        while (!rest.empty()) {
            const std::size_t end = rest.find_first_of("\r\n");
            if (end != 0) {
                lines += (lines.empty() ? "" : " | ") + VisibleText(rest.substr(0, end));
            }
            rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        }
        note += std::string(name == parts[0].first ? " " : "; ") + name + " " +
                (value->empty() ? "-" : "\"" + lines + "\"");
    }
    return note;
}

bool ModemAnswered(RunOutcomeKind kind) {
    switch (kind) {
        case RunOutcomeKind::Cancelled:
        case RunOutcomeKind::PortNotUsable:
        case RunOutcomeKind::WatcherNotStarted:
        case RunOutcomeKind::NoModem:
        case RunOutcomeKind::NoAnswer:
            return false;
        case RunOutcomeKind::Refused:
        case RunOutcomeKind::HoldsOther:
        case RunOutcomeKind::SetVerified:
        case RunOutcomeKind::SetNotReported:
        case RunOutcomeKind::SetNotChecked:
        case RunOutcomeKind::AlreadySet:
        case RunOutcomeKind::WouldChange:
            break;
    }
    return true;
}

}  // namespace countryset
