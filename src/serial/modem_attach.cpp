#include "serial/modem_attach.h"

#include <algorithm>
#include <cstring>

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
        messages.MessageBox("Can't find modem at the selected COM port.", "Error", MB_ICONERROR);
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
    CollectReply(ring, replyBuffer.data(), sizeof kProbeReply - 1, kReplySeconds, driver);
    if (std::strcmp(replyBuffer.data(), kProbeReply) == 0) {
        return true;
    }
    messages.MessageBox("Can't initialise modem at the selected COM port.", "Error", MB_ICONERROR);
    return false;
}

}  // namespace countryset
