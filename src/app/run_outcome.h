// What a run came to, as a value: computed by the run, told by whoever shows it (the message
// boxes, the scripted mode's lines on stderr, and anything that reads values rather than text).
// Plain data, so a caller may keep, compare or print it without the run that made it.
#pragma once

#include <bitset>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "seams/message_boxes.h"
#include "serial/collect_reply.h"
#include "serial/modem_attach.h"

namespace countryset {

enum class RunOutcomeKind {
    Cancelled,          // no country chosen (or its code is empty): nothing opened or written
    PortNotUsable,      // the port did not open; reason says why when it is known
    WatcherNotStarted,  // the receive watcher could not be started
    NoModem,            // the reset-and-echo probe was not answered exactly
    NoAnswer,           // nothing came back to the country command in time
    Refused,            // the answer to the country command was not its echo and OK
    HoldsOther,         // the modem answered OK, but reads back another country
    SetVerified,        // the modem answered OK and reads back the code sent
    SetNotReported,     // the modem answered OK; it does not report its country
    SetNotChecked,      // the modem answered OK; the read-back was left out (--no-verify)
    AlreadySet,         // a scripted run found the modem already holding the country: none sent
    WouldChange,        // --check: the modem does not hold the country (or cannot say); none sent
};

// The modem's answers to the identity questions (ATI, AT+GMI, AT+GMM, AT+GMR, AT+GSN), asked
// only when a log or the operator wants them, after the country is set and read back. Each is
// the answer's text without its echo and final result code; empty where the modem answered
// ERROR or nothing.
struct ModemIdentity {
    bool asked = false;
    std::string info;          // ATI
    std::string manufacturer;  // AT+GMI
    std::string model;         // AT+GMM
    std::string revision;      // AT+GMR
    std::string serial;        // AT+GSN
};

// Milliseconds on the driver's clock; 0 for a step that did not run.
struct RunTimings {
    std::uint64_t attach = 0;    // open, watcher, probe
    std::uint64_t set = 0;       // the country command and its answer
    std::uint64_t readBack = 0;  // AT+GCI? and its answer
    std::uint64_t total = 0;
};

struct RunOutcome {
    RunOutcomeKind kind = RunOutcomeKind::Cancelled;
    std::string port;                        // "COM3"
    std::string device;                      // what the port opens, when known
    std::string countryName;                 // the chosen entry, as the list shows it
    std::string codeSent;                    // its code text, as sent after AT+GCI=
    std::optional<std::uint8_t> codeBefore;  // what the modem held before (scripted runs)
    std::optional<std::uint8_t> codeRead;    // the code the modem read back
    std::string heldName;  // codeRead's name: the settings file's, else the code table's, else ""
    std::string reason;    // why it failed, or why it was not verified
    std::string reply;     // the bytes of the answer that decided, as received
    bool stored = false;   // the choice reached the settings file
    ModemIdentity identity;
    RunTimings ms;

    // Whether the modem holds the country as far as it can tell: the run's success.
    bool CountrySet() const {
        return kind == RunOutcomeKind::SetVerified || kind == RunOutcomeKind::SetNotReported ||
               kind == RunOutcomeKind::SetNotChecked || kind == RunOutcomeKind::AlreadySet;
    }
};

// The boxes that tell the outcome, in order (none for a cancel). settingsPath names the file a
// choice could not be saved in; storeWanted false: the run was not to store it.
std::vector<MessageBoxText> OutcomeMessages(const RunOutcome& outcome,
                                            const std::string& settingsPath,
                                            bool storeWanted = true);

// What a check (--check) that read the modem tells: whether it holds the country asked for.
std::vector<MessageBoxText> CheckMessages(const RunOutcome& outcome);

// One more line where it costs nothing (the scripted mode): what the boxes leave unsaid; empty
// when there is nothing to add.
std::string OutcomeNote(const RunOutcome& outcome);

// A code as the operator should see it: "Dominican Republic (33)". The settings file's names
// (names, each with its code text) win over the code table's.
struct NamedCode {
    std::string name;  // empty when neither knows the code
    bool inSettings = false;
};
NamedCode NameOfCode(std::uint8_t code,
                     const std::vector<std::pair<std::string, std::string>>& settingsCountries);

// Reading a modem without setting it.
struct QueryOutcome {
    enum class Answer { Answered, Refused, Unreadable, NotAsked };
    struct Offered {
        std::string name;  // as the list shows it
        std::string code;  // its code text
        enum class Support { Yes, No, Unknown } support = Support::Unknown;
    };

    AttachResult attach;  // nothing below was asked unless Attached
    std::string port;
    std::string device;
    Answer current = Answer::NotAsked;
    std::uint8_t currentCode = 0;
    NamedCode currentName;
    std::string currentReply;                  // as received
    ReplyEnd currentEnd = ReplyEnd::Complete;  // how its collection ended
    std::string currentProblem;                // Unreadable: what did not read
    Answer supported = Answer::NotAsked;
    std::bitset<256> supportedCodes;
    std::string supportedReply;
    ReplyEnd supportedEnd = ReplyEnd::Complete;
    std::string supportedProblem;
    std::vector<Offered> offered;  // the offered list in its order, with what the modem takes
};

}  // namespace countryset
