#include "serial/collect_reply.h"

#include <chrono>

namespace countryset {

namespace {

// How long an empty pass waits for the watcher's doorbell: short enough that the deadline
// check stays prompt, long enough that an unanswered collection leaves the core idle.
constexpr std::chrono::milliseconds kEmptyPassWait{20};

}  // namespace

void CollectReply(ReceiveRing& ring, char* dest, std::int32_t count, std::int32_t seconds,
                  CommDriver& driver) {
    const std::time_t start = driver.Time();
    std::int32_t taken = 0;
    std::time_t now;
    do {
        // A pass takes a byte only while one is wanted, so a count of 0 writes nothing.
        if (taken < count) {
            if (ring.Take(&dest[taken])) {
                ++taken;
            } else {
                ring.WaitForBytes(kEmptyPassWait);
            }
        }
        now = driver.Time();
    } while (taken < count && now - start < seconds);
}

}  // namespace countryset
