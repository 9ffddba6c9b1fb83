// The receive ring: 2049 slots between the watcher (the only writer of bytes and of the write
// index) and CollectReply (the only writer of the read index). The indices are lock-free; a
// doorbell lets a reader sleep while the ring is empty instead of spinning.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace countryset {

class ReceiveRing {
public:
    static constexpr std::int32_t kSlots = 2049;

    // storage: kSlots bytes owned by the caller, which keeps them for the ring's life. It need
    // not be cleared: no slot is read before it was written.
    explicit ReceiveRing(char* storage) : m_storage(storage) {}
    ReceiveRing(const ReceiveRing&) = delete;
    ReceiveRing& operator=(const ReceiveRing&) = delete;

    // Watcher side: stores the bytes one at a time, publishing the write index after each,
    // then rings the doorbell. There is no overrun check: past 2049 unread bytes the ring
    // reads as empty and then overwrites what was not taken.
    void Append(const char* bytes, std::uint32_t count);

    // Reader side: takes the byte at the read index, if the ring holds one.
    bool Take(char* byte);
    bool Empty() const;
    // Blocks until the ring holds a byte or the timeout has passed; true when it holds one.
    bool WaitForBytes(std::chrono::milliseconds timeout);

    std::int32_t WriteIndex() const { return m_writeIndex.load(std::memory_order_acquire); }
    std::int32_t ReadIndex() const { return m_readIndex.load(std::memory_order_acquire); }
    // The slot's byte as it stands; for inspection, not for collecting.
    char Slot(std::int32_t index) const;

    static constexpr std::int32_t Next(std::int32_t index) {
        return index + 1 >= kSlots ? 0 : index + 1;
    }

private:
    char* m_storage;
    std::atomic<std::int32_t> m_writeIndex{0};
    std::atomic<std::int32_t> m_readIndex{0};
    std::mutex m_bellMutex;
    std::condition_variable m_bell;
};

}  // namespace countryset
