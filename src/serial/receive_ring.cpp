#include "serial/receive_ring.h"

namespace countryset {

// Slots are touched through atomic_ref so that a test reading a slot for inspection while the
// watcher writes stays a defined read.

void ReceiveRing::Append(const char* bytes, std::uint32_t count) {
    if (m_storage == nullptr || count == 0) {
        return;
    }
    std::int32_t write = m_writeIndex.load(std::memory_order_relaxed);
    for (std::uint32_t i = 0; i < count; ++i) {
        if (Next(write) == m_readIndex.load(std::memory_order_acquire)) {
            m_overrun.store(true, std::memory_order_seq_cst);
            break;
        }
        std::atomic_ref<char>(m_storage[write]).store(bytes[i], std::memory_order_relaxed);
        write = Next(write);
        m_writeIndex.store(write, std::memory_order_release);
    }
    {
        // Taking the lock orders this ring against a reader that has just found the ring
        // empty and is about to wait; without it the notification could be lost.
        std::lock_guard<std::mutex> lock(m_bellMutex);
    }
    m_bell.notify_all();
}

bool ReceiveRing::Take(char* byte) {
    const std::int32_t read = m_readIndex.load(std::memory_order_relaxed);
    if (m_storage == nullptr || read == m_writeIndex.load(std::memory_order_acquire)) {
        return false;
    }
    *byte = std::atomic_ref<char>(m_storage[read]).load(std::memory_order_relaxed);
    m_readIndex.store(Next(read), std::memory_order_release);
    return true;
}

bool ReceiveRing::Empty() const {
    return m_readIndex.load(std::memory_order_acquire) ==
           m_writeIndex.load(std::memory_order_acquire);
}

std::int32_t ReceiveRing::Unread() const {
    const std::int32_t read = m_readIndex.load(std::memory_order_acquire);
    const std::int32_t write = m_writeIndex.load(std::memory_order_acquire);
    return write >= read ? write - read : write + kSlots - read;
}

bool ReceiveRing::WaitForBytes(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_bellMutex);
    return m_bell.wait_for(lock, timeout, [this] { return !Empty(); });
}

char ReceiveRing::Slot(std::int32_t index) const {
    if (m_storage == nullptr || index < 0 || index >= kSlots) {
        return 0;
    }
    return std::atomic_ref<char>(m_storage[index]).load(std::memory_order_relaxed);
}

}  // namespace countryset
