// Attaching to the modem: open the chosen port, start the watcher, raise DTR and check the
// reset-and-echo probe.
#pragma once

#include <cstddef>
#include <span>

#include "seams/message_boxes.h"
#include "serial/collect_reply.h"
#include "serial/comm_port.h"
#include "serial/receive_ring.h"

namespace countryset {

inline constexpr std::size_t kReplyBufferSize = 2048;
inline constexpr char kNoModemText[] = "Can't find modem at the selected COM port.";
inline constexpr char kProbeCommand[] = "ATZE1\r";
inline constexpr char kProbeReply[] = "ATZE1\r\r\nOK\r\n";

// True when the modem answered the probe exactly. Every failure has been told to the operator;
// afterwards the running flag says whether the caller has a port to close.
bool AttachModem(CCommPort& port, ReceiveRing& ring, std::span<char, kReplyBufferSize> replyBuffer,
                 MessageBoxes& messages);

}  // namespace countryset
