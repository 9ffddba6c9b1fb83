#include "serial/dut_watcher.h"

#include "serial/comm_port.h"

namespace countryset {

void DutWatcher(CCommPort& port, ReceiveRing& ring) {
    CommDriver& driver = port.Driver();
    PortState& state = *port.State();
    const CommHandle event = driver.CreateEvent();
    if (event == kNullHandle) {
        port.Messages().AfxMessageBox("Failed to create event for thread!");
    } else if (driver.SetCommMask(state.hPort, kEvRxChar)) {
        char buffer[kWatcherBufferSize];
        while (state.fRunning.load(std::memory_order_acquire) != 0) {
            std::uint32_t events = 0;
            driver.WaitCommEvent(state.hPort, &events);
            if ((events & kEvRxChar) != 0) {
                for (;;) {
                    const std::uint32_t got = port.ReadAvailable(buffer, sizeof buffer);
                    if (got == 0) {
                        break;
                    }
                    ring.Append(buffer, got);
                }
            }
        }
    }
    if (event != kNullHandle) {
        driver.CloseHandle(event);
    }
    // Last: ClosePort takes a clear identity to mean the watcher is done with the port.
    state.dwWatcherId.store(0, std::memory_order_release);
}

}  // namespace countryset
