#include "serial/modem_attach.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "serial/collect_reply.h"
#include "serial/port_problem.h"

namespace countryset {

AttachResult AttachModem(CCommPort& port, ReceiveRing& ring,
                         std::span<char, kReplyBufferSize> replyBuffer) {
    using Kind = AttachResult::Kind;
    PortState* state = port.State();
    if (state == nullptr) {
        return {Kind::PortNotUsable, {}, {}};
    }
    CommDriver& driver = port.Driver();
    if (state->fRunning.load(std::memory_order_acquire) != 0) {
        port.ClosePort();
    }
    if (!port.OpenPort()) {
        // Why, when the driver could tell: told on a line of its own after the known one.
        return {Kind::PortNotUsable, PortProblemText(port.OpenProblem()), {}};
    }
    if (!port.StartWatcher(ring)) {
        // Nothing was raised or queued yet, so the handle alone is undone.
        driver.CloseHandle(state->hPort);
        return {Kind::WatcherNotStarted, {}, {}};
    }
    driver.EscapeCommFunction(state->hPort, kSetDtr);
    std::fill(replyBuffer.begin(), replyBuffer.end(), '\0');
    port.WriteBlock(kProbeCommand, sizeof kProbeCommand - 1);
    CollectReply(port, ring, replyBuffer,
                 ReplyRule{ReplyEndsAt::Count, sizeof kProbeReply - 1, kReplySeconds});
    if (std::strcmp(replyBuffer.data(), kProbeReply) == 0) {
        return {Kind::Attached, {}, {}};
    }
    return {Kind::ProbeFailed,
            {},
            std::string(replyBuffer.data(), strnlen(replyBuffer.data(), replyBuffer.size()))};
}

std::optional<MessageBoxText> AttachFailureMessage(const AttachResult& result) {
    switch (result.kind) {
        case AttachResult::Kind::Attached:
            return std::nullopt;
        case AttachResult::Kind::PortNotUsable:
            return MessageBoxText{
                std::string(kNoModemText) + (result.reason.empty() ? "" : "\n" + result.reason),
                "Error", MB_ICONERROR};
        case AttachResult::Kind::WatcherNotStarted:
            return MessageBoxText{"Failed to create DUT watching Thread", "", MB_OK, true};
        case AttachResult::Kind::ProbeFailed:
            break;
    }
    return MessageBoxText{"Can't initialise modem at the selected COM port.", "Error",
                          MB_ICONERROR};
}

bool AttachModem(CCommPort& port, ReceiveRing& ring, std::span<char, kReplyBufferSize> replyBuffer,
                 MessageBoxes& messages) {
    const AttachResult result = AttachModem(port, ring, replyBuffer);
    if (const std::optional<MessageBoxText> box = AttachFailureMessage(result)) {
        messages.ShowBox(*box);
        return false;
    }
    return true;
}

}  // namespace countryset
