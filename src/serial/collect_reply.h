// Timed collection of a reply from the receive ring, on the user-interface thread.
#pragma once

#include <cstdint>

#include "serial/comm_driver.h"
#include "serial/receive_ring.h"

namespace countryset {

// Takes up to count bytes from the ring into dest (which holds at least count bytes) and
// returns as soon as it has them, or once `seconds` whole seconds have passed since the start
// on the driver's tick clock. dest is not terminated; callers zero it beforehand.
void CollectReply(ReceiveRing& ring, char* dest, std::int32_t count, std::int32_t seconds,
                  CommDriver& driver);

}  // namespace countryset
