// A V.250 modem on a pseudo-terminal, for tests, the demo and training: the command interpreter
// (modem_dialogue.h) served on a device that clients open as they would a serial port.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "modem_codes.h"
#include "modem_dialogue.h"

namespace countryset {

// The modem on a pseudo-terminal. Open, then Run (or Start/Stop for a background thread).
class ModemSim {
public:
    explicit ModemSim(ModemSimOptions options);
    ~ModemSim();
    ModemSim(const ModemSim&) = delete;
    ModemSim& operator=(const ModemSim&) = delete;

    // Creates the pseudo-terminal, the link and the log; false with a reason on failure.
    bool Open(std::string* error);
    // The device a client opens.
    const std::string& SlavePath() const { return slavePath_; }

    // Serves the client until RequestStop or a hang-up of its own (--hangup-after).
    void Run();
    // Safe from a signal handler.
    void RequestStop();
    void Start();
    void Stop();

    std::uint8_t Country() const { return country_.load(std::memory_order_acquire); }
    bool HungUp() const { return hungUp_.load(std::memory_order_acquire); }

private:
    bool SendAll(const std::vector<ModemOutput>& out);
    bool WriteBytes(std::string_view bytes);
    bool WaitStop(int milliseconds);
    void HangUp();
    void ReleaseAbandonedExclusion();
    void Transcript(const char* direction, std::string_view bytes);
    std::optional<std::uint8_t> LoadState() const;
    void SaveState(std::uint8_t country) const;
    void CloseAll();

    ModemSimOptions options_;
    std::optional<ModemDialogue> dialogue_;
    int master_ = -1;
    int slave_ = -1;  // held so that clients can come and go without a hang-up
    int stop_ = -1;
    int closes_ = -1;  // inotify: a client closed the device
    int log_ = -1;
    int sentLog_ = -1;
    std::string slavePath_;
    bool linked_ = false;
    long sent_ = 0;
    std::atomic<std::uint8_t> country_{kDefaultCountry};
    std::atomic<bool> hungUp_{false};
    std::thread thread_;
};

}  // namespace countryset
