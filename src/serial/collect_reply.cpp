#include "serial/collect_reply.h"

#include <algorithm>
#include <chrono>

namespace countryset {

namespace {

// How long an empty pass waits for the watcher's doorbell: short enough that the deadline
// check stays prompt, long enough that an unanswered collection leaves the core idle.
constexpr std::chrono::milliseconds kEmptyPassWait{20};

}  // namespace

void CollectReply(ReceiveRing& ring, char* dest, std::int32_t count, std::int32_t seconds,
                  CommDriver& driver) {
    // Counted in milliseconds from the start, so the modem gets every one of the seconds, not
    // whatever was left of the second the collection began in.
    const std::uint64_t start = driver.GetTickCount64();
    const std::uint64_t limit = seconds > 0 ? static_cast<std::uint64_t>(seconds) * 1000 : 0;
    std::uint64_t elapsed = 0;
    std::int32_t taken = 0;
    do {
        // A pass takes a byte only while one is wanted, so a count of 0 writes nothing.
        if (taken < count) {
            if (ring.Take(&dest[taken])) {
                ++taken;
            } else {
                const auto left = std::chrono::milliseconds(limit > elapsed ? limit - elapsed : 0);
                ring.WaitForBytes(std::min<std::chrono::milliseconds>(kEmptyPassWait, left));
            }
        }
        elapsed = driver.GetTickCount64() - start;
    } while (taken < count && elapsed < limit);
}

}  // namespace countryset
