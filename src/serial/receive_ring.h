// The receive ring: 2049 slots between the watcher (the only writer of bytes and of the write
// index) and the reply collection (the only writer of the read index). The indices are
// lock-free; a doorbell lets a reader sleep while the ring is empty instead of spinning.
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
    // One slot always stays free, so a full ring never looks empty.
    static constexpr std::int32_t kCapacity = kSlots - 1;

    // storage: kSlots bytes owned by the caller, which keeps them for the ring's life. It need
    // not be cleared: no slot is read before it was written.
    explicit ReceiveRing(char* storage) : m_storage(storage) {}
    ReceiveRing(const ReceiveRing&) = delete;
    ReceiveRing& operator=(const ReceiveRing&) = delete;

    // Watcher side: stores the bytes one at a time, publishing the write index after each,
    // then rings the doorbell. A byte that finds the ring full is dropped and the loss is
    // recorded (the writer never passes the reader: what was not taken stays as it came).
    void Append(const char* bytes, std::uint32_t count);

    // Reader side: takes the byte at the read index, if the ring holds one.
    bool Take(char* byte);
    bool Empty() const;
    // Bytes waiting to be taken.
    std::int32_t Unread() const;
    // Blocks until the ring holds a byte or the timeout has passed; true when it holds one.
    bool WaitForBytes(std::chrono::milliseconds timeout);

    // True when bytes were dropped since the last call: what follows in the ring is not what
    // the modem sent.
    bool TakeOverrun() { return m_overrun.exchange(false, std::memory_order_seq_cst); }

    // Set by the watcher while it holds bytes read from the port that it has not yet appended,
    // so that a reader at its deadline knows to wait for them.
    void SetMoving(bool moving) { m_moving.store(moving, std::memory_order_seq_cst); }
    bool Moving() const { return m_moving.load(std::memory_order_seq_cst); }

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
    std::atomic<bool> m_overrun{false};
    std::atomic<bool> m_moving{false};
    std::mutex m_bellMutex;
    std::condition_variable m_bell;
};

}  // namespace countryset
