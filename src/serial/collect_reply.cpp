#include "serial/collect_reply.h"

#include <algorithm>
#include <chrono>
#include <limits>

#include "serial/comm_port.h"
#include "serial/dut_watcher.h"

namespace countryset {

namespace {

// How long an empty pass waits for the watcher's doorbell: short enough that the deadline
// check stays prompt, long enough that an unanswered collection leaves the core idle.
constexpr std::chrono::milliseconds kEmptyPassWait{20};
// At the deadline, how many empty waits in a row the watcher may take to move bytes the port
// already holds before the collection gives up on them (counted, not timed, so a stepped
// clock cannot cut it short).
constexpr int kSettleWaits = 100;

}  // namespace

bool EndsWithFinalResultCode(std::string_view reply) {
    for (std::string_view ending : {"\r\nOK\r\n", "\r\nERROR\r\n"}) {
        if (reply.ends_with(ending)) {
            return true;
        }
    }
    return false;
}

ReplyResult CollectReply(const ReplySource& source, std::span<char> dest, const ReplyRule& rule) {
    ReceiveRing& ring = source.ring;
    CommDriver& driver = source.driver;
    const auto room = static_cast<std::int32_t>(
        std::min<std::size_t>(dest.size(), std::numeric_limits<std::int32_t>::max()));
    const bool toFinal = rule.endsAt == ReplyEndsAt::FinalResult;
    const std::int32_t wanted = toFinal ? room : std::clamp(rule.count, 0, room);
    std::int32_t taken = 0;
    auto met = [&] {
        return toFinal ? EndsWithFinalResultCode(std::string_view(dest.data(), taken))
                       : taken >= wanted;
    };
    auto takeOne = [&] {
        if (taken < wanted && ring.Take(&dest[taken])) {
            ++taken;
            return true;
        }
        return false;
    };

    // Counted in milliseconds from the start, so the modem gets every one of the seconds, not
    // whatever was left of the second the collection began in.
    const std::uint64_t start = driver.GetTickCount64();
    const std::uint64_t limit =
        rule.seconds > 0 ? static_cast<std::uint64_t>(rule.seconds) * 1000 : 0;
    std::uint64_t elapsed = 0;
    for (;;) {
        if (met() || taken >= wanted) {
            break;
        }
        if (!takeOne()) {
            const auto left = std::chrono::milliseconds(limit > elapsed ? limit - elapsed : 0);
            ring.WaitForBytes(std::min<std::chrono::milliseconds>(kEmptyPassWait, left));
        }
        elapsed = driver.GetTickCount64() - start;
        if (met() || taken >= wanted || elapsed < limit) {
            continue;
        }
        // The deadline: what had reached the port by now is part of the answer. The port's
        // queue is asked before the watcher's flag and the flag before the ring, so a byte the
        // watcher took from the port in between is seen in one of the later two.
        std::uint32_t queued = 0;
        if (source.port != kNullHandle) {
            driver.ClearCommError(source.port, &queued);
        }
        const bool moving = ring.Moving();
        std::int64_t owed =
            static_cast<std::int64_t>(queued) + (moving ? kWatcherBufferSize : 0) + ring.Unread();
        for (int idle = 0; !met() && taken < wanted && owed > 0 && idle < kSettleWaits;) {
            if (takeOne()) {
                --owed;
                idle = 0;
                continue;
            }
            std::uint32_t still = 0;
            if (source.port != kNullHandle) {
                driver.ClearCommError(source.port, &still);
            }
            if (still == 0 && !ring.Moving() && ring.Empty()) {
                break;
            }
            ring.WaitForBytes(kEmptyPassWait);
            ++idle;
        }
        break;
    }

    ReplyResult result;
    if (ring.TakeOverrun()) {
        // Whatever survived a loss is not the modem's reply, however well it reads.
        std::fill_n(dest.begin(), taken, '\0');
        result.end = ReplyEnd::Overrun;
        return result;
    }
    result.taken = taken;
    if (met()) {
        result.end = ReplyEnd::Complete;
    } else if (toFinal && taken >= room) {
        result.end = ReplyEnd::Full;
    } else {
        result.end = ReplyEnd::TimedOut;
    }
    return result;
}

ReplyResult CollectReply(CCommPort& port, ReceiveRing& ring, std::span<char> dest,
                         const ReplyRule& rule) {
    const PortState* state = port.State();
    return CollectReply(
        ReplySource{ring, port.Driver(), state != nullptr ? state->hPort : kNullHandle}, dest,
        rule);
}

ReplyResult CollectReply(ReceiveRing& ring, char* dest, std::int32_t count, std::int32_t seconds,
                         CommDriver& driver) {
    const std::size_t size = count > 0 ? static_cast<std::size_t>(count) : 0;
    return CollectReply(ReplySource{ring, driver}, std::span<char>(dest, size),
                        ReplyRule{ReplyEndsAt::Count, count, seconds});
}

ModemAnswer AskModem(CCommPort& port, ReceiveRing& ring, std::string_view command,
                     std::int32_t seconds) {
    for (char stale; ring.Take(&stale);) {
    }
    ring.TakeOverrun();
    port.WriteBlock(command.data(), static_cast<std::uint32_t>(command.size()));
    ModemAnswer answer;
    answer.bytes.assign(kAnswerLimit, '\0');
    const ReplyResult result =
        CollectReply(port, ring, answer.bytes, ReplyRule{ReplyEndsAt::FinalResult, 0, seconds});
    answer.bytes.resize(static_cast<std::size_t>(result.taken));
    answer.end = result.end;
    return answer;
}

}  // namespace countryset
