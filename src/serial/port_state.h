// The record behind CCommPort: the open port, its fixed line settings, the watcher's running
// flag and identity, and the two overlapped blocks.
#pragma once

#include <atomic>
#include <cstdint>

#include "serial/comm_driver.h"

namespace countryset {

inline constexpr std::uint32_t kDefaultBaudRate = 38400;
inline constexpr std::uint8_t kDefaultByteSize = 8;

struct PortState {
    // Written on the user-interface thread only; the watcher reads it while it runs.
    CommHandle hPort = kNullHandle;
    // 1 to 256: the n of "COM%d".
    std::uint16_t wPortNumber = 1;
    // Non-zero while the watcher is to go on. Set by AttachModem, cleared by ClosePort.
    std::atomic<std::int32_t> fRunning{0};
    std::uint8_t byByteSize = kDefaultByteSize;
    std::uint8_t byParity = kNoParity;
    std::uint8_t byStopBits = kOneStopBit;
    std::uint32_t dwBaudRate = kDefaultBaudRate;
    // Non-zero from the watcher's start until it ends; the watcher clears it last, and
    // ClosePort waits for exactly that.
    std::atomic<std::uint32_t> dwWatcherId{0};
    OverlappedBlock osWrite;
    OverlappedBlock osRead;
};

}  // namespace countryset
