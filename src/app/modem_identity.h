// The identity questions (ATI, AT+GMI, AT+GMM, AT+GMR, AT+GSN), asked after the country is set
// and read back when a log or the operator wants to know which modem it was. Each is one
// bounded exchange; a modem that answers ERROR or nothing leaves that part empty.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "app/run_outcome.h"
#include "serial/collect_reply.h"
#include "serial/comm_port.h"
#include "serial/receive_ring.h"

namespace countryset {

// The most of an answer kept: enough for a modem's banner of several lines, little enough that
// a babbling modem cannot bloat a log line.
inline constexpr std::size_t kIdentityTextLimit = 512;

// The text of an answer to command: what comes after the command's echo and before the final
// OK, without the line ends around it, raw, at most kIdentityTextLimit bytes (never splitting a
// UTF-8 character). Empty for ERROR, an answer without a final result code, or an overrun.
std::string IdentityText(const ModemAnswer& answer, std::string_view command);

// Asks the five questions on the attached port; identity.asked is set.
ModemIdentity AskIdentity(CCommPort& port, ReceiveRing& ring);

// The identity in one line for a terminal: each answer quoted, its lines joined by " | ", its
// control bytes made visible; "-" for an answer that did not come.
std::string IdentityNote(const ModemIdentity& identity);

// Whether a run came far enough that its modem is worth asking: it was attached and answered
// the country command (or, for a run that sent none, the query).
bool ModemAnswered(RunOutcomeKind kind);

}  // namespace countryset
