// The receive watcher: the thread that moves every byte the port receives into the ring.
#pragma once

#include "serial/receive_ring.h"

namespace countryset {

class CCommPort;

inline constexpr std::uint32_t kWatcherBufferSize = 2048;

// Thread body; runs until ClosePort clears the running flag. Clears the watcher identity, last,
// on every way out.
void DutWatcher(CCommPort& port, ReceiveRing& ring);

}  // namespace countryset
