// Attaching to the modem: open the chosen port, start the watcher, raise DTR and check the
// reset-and-echo probe.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>

#include "seams/message_boxes.h"
#include "serial/collect_reply.h"
#include "serial/comm_port.h"
#include "serial/receive_ring.h"

namespace countryset {

inline constexpr std::size_t kReplyBufferSize = 2048;
inline constexpr char kNoModemText[] = "Can't find modem at the selected COM port.";
inline constexpr char kProbeCommand[] = "ATZE1\r";
inline constexpr char kProbeReply[] = "ATZE1\r\r\nOK\r\n";

// How an attach ended, as a value: the caller decides how and where to tell it.
struct AttachResult {
    enum class Kind { Attached, PortNotUsable, WatcherNotStarted, ProbeFailed };
    Kind kind = Kind::PortNotUsable;
    std::string reason;  // PortNotUsable: why, when the driver could tell; empty otherwise
    std::string reply;   // ProbeFailed: the bytes collected for the probe
};

// Tells nothing; afterwards the running flag says whether the caller has a port to close.
AttachResult AttachModem(CCommPort& port, ReceiveRing& ring,
                         std::span<char, kReplyBufferSize> replyBuffer);
// The box that tells a failed attach; nullopt for Attached.
std::optional<MessageBoxText> AttachFailureMessage(const AttachResult& result);
// True when the modem answered the probe exactly; every failure is told through messages.
bool AttachModem(CCommPort& port, ReceiveRing& ring, std::span<char, kReplyBufferSize> replyBuffer,
                 MessageBoxes& messages);

}  // namespace countryset
