// A V.250 modem on a pseudo-terminal, for tests, the demo and training: it echoes, answers
// result codes and keeps a country of installation (+GCI), with faults to order.
#pragma once

#include <atomic>
#include <bitset>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace countryset {

struct ModemSimOptions {
    bool noEcho = false;    // never echoes, whatever E says
    int delayMs = 0;        // pause before each reply
    int stray = 0;          // bytes of line noise before the echo of each command line
    std::string extra;      // bytes after each OK
    int flood = 0;          // this many bytes (NULs among them) instead of each reply
    long hangupAfter = -1;  // closes its side after this many bytes sent; negative: never
    bool silent = false;    // never answers at all
    bool errorGci = false;  // answers ERROR to +GCI=
    // The countries +GCI= takes and +GCI=? reports, written as the answer gives them: a list
    // "(07,3D,B5)", ranges "(00-FF)" or both. Empty: the T.35 countries below, as a list.
    std::string supported;
    bool noGciTest = false;   // answers ERROR to +GCI=? (the query +GCI? still works)
    std::string gciAnswer;    // this information text instead of "+GCI: <code>" for +GCI?
    bool pace = false;        // sends at the real 38400 bit/s byte rate
    bool verbose = false;     // timestamped transcript on stderr
    std::string logPath;      // every byte received, as received
    std::string sentLogPath;  // every byte sent, as sent
    std::string statePath;    // keeps the country across runs
    std::string linkPath;     // symlink to the device
    // Clears an exclusive open that a client left behind (killed, or gone without TIOCNXCL).
    // Off by default, so that tests see the device as a real client would leave it.
    bool releaseAbandoned = false;
};

struct T35Country {
    std::string_view name;
    std::uint8_t code;
};

// The ITU-T T.35 country codes the modem accepts, in ascending code order.
std::span<const T35Country> KnownCountries();
bool IsKnownCountry(std::uint8_t code);

inline constexpr std::uint8_t kDefaultCountry = 0xB5;

// One piece of what the modem sends; replies are what --delay holds back.
struct ModemOutput {
    std::string bytes;
    bool reply = false;
};

// The command interpreter alone, without any device: bytes in, bytes out.
class ModemDialogue {
public:
    static constexpr std::size_t kMaxLine = 256;

    explicit ModemDialogue(ModemSimOptions options, std::uint8_t country = kDefaultCountry);

    void Receive(std::string_view bytes, std::vector<ModemOutput>& out);
    // Everything sent in answer, run together.
    std::string Receive(std::string_view bytes);

    std::uint8_t Country() const { return country_; }

private:
    void Send(std::vector<ModemOutput>& out, std::string_view bytes, bool reply);
    void ExecuteLine(std::vector<ModemOutput>& out);
    bool ExecuteCommands(std::string_view body, std::string& info);
    std::string ResultCode(bool ok) const;
    std::string InfoText(std::string_view text) const;

    ModemSimOptions options_;
    std::bitset<256> supported_;
    std::string supportedText_;
    std::uint8_t country_;
    bool echo_ = true;
    bool verbose_ = true;
    std::string line_;
    bool overflow_ = false;
    bool atLineStart_ = true;
};

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

// The codes of a supported-set text ("(07,3D)", "(00-FF)", "(00-0F,B5)"); false when it does
// not read as one.
bool ParseSupportedSet(std::string_view text, std::bitset<256>& codes);

// C-style escapes (\r \n \t \\ \xHH) of a command-line argument.
std::string UnescapeArgument(std::string_view text);

}  // namespace countryset
