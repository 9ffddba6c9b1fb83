// Timed collection of a reply from the receive ring, on the user-interface thread: a fixed count
// of bytes (the probe, the country command) or everything up to the modem's final result code
// (the queries). Every collection says how it ended, and one that lost bytes never hands back
// what was left.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "serial/comm_driver.h"
#include "serial/receive_ring.h"

namespace countryset {

class CCommPort;

inline constexpr std::int32_t kReplySeconds = 3;
// The most a query's answer may hold: a modem that lists every code it takes, spaced out.
inline constexpr std::size_t kAnswerLimit = 8192;

// What ends a collection before its deadline.
enum class ReplyEndsAt {
    Count,        // the rule's count of bytes was taken
    FinalResult,  // the bytes end in "\r\nOK\r\n" or "\r\nERROR\r\n"
};

struct ReplyRule {
    ReplyEndsAt endsAt = ReplyEndsAt::Count;
    // Bytes wanted, for ReplyEndsAt::Count; never more than the destination holds.
    std::int32_t count = 0;
    // Whole seconds from the start; bytes that reached the port by then still count.
    std::int32_t seconds = kReplySeconds;
};

enum class ReplyEnd {
    Complete,  // the rule was met
    TimedOut,  // the deadline came first; what came is in the destination
    Overrun,   // bytes were lost on the way: the destination holds nothing of them
    Full,      // the destination filled before a final result code came
};

struct ReplyResult {
    ReplyEnd end = ReplyEnd::TimedOut;
    // Bytes placed in the destination (0 after an overrun).
    std::int32_t taken = 0;
};

// Where a collection's bytes come from: the ring, and the port whose driver is asked at the
// deadline for bytes the watcher has not yet moved (kNullHandle: the ring alone).
struct ReplySource {
    ReceiveRing& ring;
    CommDriver& driver;
    CommHandle port = kNullHandle;
};

// Takes bytes from the ring into dest until the rule is met, dest is full, or the deadline has
// passed on the driver's tick clock. At the deadline the bytes already received (in the ring,
// in the driver's queue, or on their way between) are taken before judging, so a process that
// was stopped or starved while its modem answered in time still gets the answer. After an
// overrun the bytes taken are zeroed again. dest is not terminated; callers zero it beforehand.
ReplyResult CollectReply(const ReplySource& source, std::span<char> dest, const ReplyRule& rule);

// The collection of a port's reply: the port's driver and handle as the source.
ReplyResult CollectReply(CCommPort& port, ReceiveRing& ring, std::span<char> dest,
                         const ReplyRule& rule);

// The collection as the run's first exchanges make it: count bytes into dest within `seconds`.
ReplyResult CollectReply(ReceiveRing& ring, char* dest, std::int32_t count, std::int32_t seconds,
                         CommDriver& driver);

// True when reply ends in a final result code of the modem ("\r\nOK\r\n", "\r\nERROR\r\n").
bool EndsWithFinalResultCode(std::string_view reply);

struct ModemAnswer {
    // What came, whole or not; empty after an overrun.
    std::string bytes;
    ReplyEnd end = ReplyEnd::TimedOut;
};

// One exchange of the queries and the read-back: drops what earlier exchanges left unread
// (and a loss among it), sends command, and collects the answer up to its final result code,
// at most `seconds` and kAnswerLimit bytes.
ModemAnswer AskModem(CCommPort& port, ReceiveRing& ring, std::string_view command,
                     std::int32_t seconds = kReplySeconds);

}  // namespace countryset
