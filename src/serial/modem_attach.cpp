#include "serial/modem_attach.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "serial/collect_reply.h"

namespace countryset {

bool AttachModem(CCommPort& port, ReceiveRing& ring, std::span<char, kReplyBufferSize> replyBuffer,
                 MessageBoxes& messages) {
    PortState* state = port.State();
    if (state == nullptr) {
        return false;
    }
    CommDriver& driver = port.Driver();
    if (state->fRunning.load(std::memory_order_acquire) != 0) {
        port.ClosePort();
    }
    if (!port.OpenPort()) {
        // The first line is the one operators and scripts know; the reason follows it.
        const std::string reason = PortProblemText(port.OpenProblem());
        messages.MessageBox(std::string(kNoModemText) + (reason.empty() ? "" : "\n" + reason),
                            "Error", MB_ICONERROR);
        return false;
    }
    if (!port.StartWatcher(ring)) {
        // Nothing was raised or queued yet, so the handle alone is undone.
        driver.CloseHandle(state->hPort);
        messages.AfxMessageBox("Failed to create DUT watching Thread");
        return false;
    }
    driver.EscapeCommFunction(state->hPort, kSetDtr);
    std::fill(replyBuffer.begin(), replyBuffer.end(), '\0');
    port.WriteBlock(kProbeCommand, sizeof kProbeCommand - 1);
    CollectReply(port, ring, replyBuffer,
                 ReplyRule{ReplyEndsAt::Count, sizeof kProbeReply - 1, kReplySeconds});
    if (std::strcmp(replyBuffer.data(), kProbeReply) == 0) {
        return true;
    }
    messages.MessageBox("Can't initialise modem at the selected COM port.", "Error", MB_ICONERROR);
    return false;
}

}  // namespace countryset
