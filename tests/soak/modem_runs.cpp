#include "soak/modem_runs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace countryset::testing {

namespace {

constexpr const char* kProbe = "ATZE1\r";
constexpr const char* kProbeReply = "ATZE1\r\r\nOK\r\n";
constexpr const char* kMissingDevice = "/nonexistent/countryset-soak-port";

// A reply due this long after its command always arrives within the 3-second limit; one due
// this long after it never does. The limit counts whole wall-clock seconds, so anything
// between may fall on either side.
constexpr int kSurelyInTimeMs = 1000;
constexpr int kSurelyLateMs = 3500;

struct Message {
    Outcome outcome;
    const char* text;
};
constexpr Message kMessages[] = {
    {Outcome::kSet, "Country set successfully."},
    {Outcome::kCantFind, "Can't find modem at the selected COM port."},
    {Outcome::kCantInit, "Can't initialise modem at the selected COM port."},
    {Outcome::kCantSet, "Can't perform country setting on this model modem!"},
};

std::string Lower(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return s;
}

std::string ReplaceOnce(std::string text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    if (at == std::string::npos) {
        throw std::runtime_error("sample settings file lacks '" + from + "'");
    }
    return text.replace(at, from.size(), to);
}

// What the modem sends for one command line: each byte, and whether it was held back by
// --delay (the reply proper, not the echo).
struct Sent {
    std::string bytes;
    std::vector<bool> delayed;
};

Sent Answer(ModemDialogue& dialogue, const std::string& line) {
    std::vector<ModemOutput> pieces;
    dialogue.Receive(line, pieces);
    Sent sent;
    for (const ModemOutput& piece : pieces) {
        sent.bytes += piece.bytes;
        sent.delayed.insert(sent.delayed.end(), piece.bytes.size(), piece.reply);
    }
    return sent;
}

void Truncate(Sent& sent, std::size_t size) {
    if (sent.bytes.size() > size) {
        sent.bytes.resize(size);
        sent.delayed.resize(size);
    }
}

enum class Timing { kInTime, kEitherSide, kLate };

// Whether the first `count` bytes of what arrives reach the program within the limit.
Timing TimingOf(const std::vector<bool>& delayed, std::size_t from, std::size_t count,
                int delayMs) {
    bool anyDelayed = false;
    for (std::size_t i = from; i < from + count && i < delayed.size(); ++i) {
        anyDelayed = anyDelayed || delayed[i];
    }
    if (!anyDelayed || delayMs <= kSurelyInTimeMs) {
        return Timing::kInTime;
    }
    return delayMs >= kSurelyLateMs ? Timing::kLate : Timing::kEitherSide;
}

std::string ChoiceInput(const OperatorChoice& choice) {
    if (choice.cancel) {
        return "cancel\n";
    }
    std::string input;
    if (choice.country > 0) {
        input += std::to_string(choice.country) + "\n";
    }
    if (choice.secondPort) {
        input += "p2\n";
    }
    // Enter presses OK; then one Enter for each message box that may follow.
    return input + "\n\n\n";
}

std::string Describe(const ModemSimOptions& o, const OperatorChoice& c) {
    std::ostringstream out;
    out << "choice{country=" << c.country << (c.secondPort ? " COM2" : "")
        << (c.cancel ? " cancel" : "") << "} modem{";
    if (o.noEcho)
        out << " no-echo";
    if (o.delayMs)
        out << " delay=" << o.delayMs;
    if (o.stray)
        out << " stray=" << o.stray;
    if (!o.extra.empty())
        out << " extra=" << o.extra.size() << "B";
    if (o.flood)
        out << " flood=" << o.flood;
    if (o.hangupAfter >= 0)
        out << " hangup-after=" << o.hangupAfter;
    if (o.silent)
        out << " silent";
    if (o.errorGci)
        out << " error-gci";
    out << " }";
    return out.str();
}

int CountEntries(const char* dir) {
    DIR* d = ::opendir(dir);
    if (d == nullptr) {
        return -1;
    }
    int n = 0;
    while (const dirent* e = ::readdir(d)) {
        if (e->d_name[0] != '.') {
            ++n;
        }
    }
    ::closedir(d);
    return n;
}

// Counts opens and closes of the device while a run lasts.
class DeviceWatch {
public:
    explicit DeviceWatch(const std::string& device) {
        fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ >= 0 && ::inotify_add_watch(fd_, device.c_str(), IN_OPEN | IN_CLOSE) < 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~DeviceWatch() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    DeviceWatch(const DeviceWatch&) = delete;
    DeviceWatch& operator=(const DeviceWatch&) = delete;

    bool Watching() const { return fd_ >= 0; }
    void Drain() {
        alignas(inotify_event) char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n <= 0) {
                return;
            }
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                opens_ += (event->mask & IN_OPEN) != 0;
                closes_ += (event->mask & IN_CLOSE) != 0;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
    }
    int Opens() const { return opens_; }
    int Closes() const { return closes_; }

private:
    int fd_ = -1;
    int opens_ = 0;
    int closes_ = 0;
};

}  // namespace

const char* OutcomeName(Outcome outcome) {
    switch (outcome) {
        case Outcome::kSet:
            return "set";
        case Outcome::kCancelled:
            return "cancelled";
        case Outcome::kCantFind:
            return "can't find modem";
        case Outcome::kCantInit:
            return "can't initialise modem";
        case Outcome::kCantSet:
            return "can't perform country setting";
    }
    return "?";
}

const std::vector<Country>& SampleCountries() {
    static const std::vector<Country> countries = [] {
        const std::string text =
            ReadFileBytes(std::string(COUNTRYSET_SOURCE_DIR) + "/data/countryset.DAT").value_or("");
        std::vector<Country> list;
        int offered = 0;
        bool inCountry = false;
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            if (line.rfind("NumOfCountry=", 0) == 0) {
                offered = std::stoi(line.substr(13));
            } else if (!line.empty() && line[0] == '[') {
                inCountry = line == "[Country]";
            } else if (inCountry && line.find('=') != std::string::npos) {
                const std::size_t eq = line.find('=');
                list.push_back({line.substr(0, eq), line.substr(eq + 1)});
            }
        }
        list.resize(std::min<std::size_t>(list.size(), static_cast<std::size_t>(offered)));
        std::stable_sort(list.begin(), list.end(), [](const Country& a, const Country& b) {
            return Lower(a.name) < Lower(b.name);
        });
        if (list.empty()) {
            throw std::runtime_error("no countries in the sample settings file");
        }
        return list;
    }();
    return countries;
}

std::string SoakSettings(const std::string& device) {
    return ReplaceOnce(SampleSettings(device),
                       ";COM2=/dev/serial/by-id/usb-Your_Adapter-if00-port0",
                       std::string("COM2=") + kMissingDevice);
}

std::set<Outcome> ExpectedOutcomes(const ModemSimOptions& options, const OperatorChoice& choice) {
    if (choice.cancel) {
        return {Outcome::kCancelled};
    }
    if (choice.secondPort) {
        return {Outcome::kCantFind};
    }
    const Country& country =
        SampleCountries().at(static_cast<std::size_t>(choice.country > 0 ? choice.country - 1 : 0));

    ModemDialogue dialogue(options);
    const std::string command = "AT+GCI=" + country.code + "\r";
    Sent probe = Answer(dialogue, kProbe);
    Sent reply = Answer(dialogue, command);
    if (options.hangupAfter >= 0) {
        const auto limit = static_cast<std::size_t>(options.hangupAfter);
        const std::size_t probeBytes = probe.bytes.size();
        Truncate(probe, limit);
        Truncate(reply, limit > probeBytes ? limit - probeBytes : 0);
    }

    std::set<Outcome> outcomes;
    const std::string probeExpected = kProbeReply;
    if (probe.bytes.compare(0, probeExpected.size(), probeExpected) != 0) {
        return {Outcome::kCantInit};
    }
    const Timing probeTiming = TimingOf(probe.delayed, 0, probeExpected.size(), options.delayMs);
    if (probeTiming != Timing::kInTime) {
        outcomes.insert(Outcome::kCantInit);
        if (probeTiming == Timing::kLate) {
            return outcomes;
        }
    }
    // What the probe's collection left in the ring comes first, then the answer to the command.
    const std::string arrived = probe.bytes.substr(probeExpected.size()) + reply.bytes;
    std::vector<bool> delayed(probe.bytes.size() - probeExpected.size(), false);
    delayed.insert(delayed.end(), reply.delayed.begin(), reply.delayed.end());
    const std::string expected = command + "\r\nOK\r\n";
    if (arrived.compare(0, expected.size(), expected) != 0) {
        outcomes.insert(Outcome::kCantSet);
        return outcomes;
    }
    const Timing timing = TimingOf(delayed, 0, expected.size(), options.delayMs);
    if (timing != Timing::kLate) {
        outcomes.insert(Outcome::kSet);
    }
    if (timing != Timing::kInTime) {
        outcomes.insert(Outcome::kCantSet);
    }
    return outcomes;
}

RunReport RunAndCheck(const ProgramFolder& folder, const ModemSimOptions& options,
                      const OperatorChoice& choice) {
    RunReport report;
    std::ostringstream failure;
    const std::string what = Describe(options, choice);
    SimulatedModem modem(options, folder.Dir() + "/modem.log");
    const std::string settings = SoakSettings(modem.Device());
    folder.WriteSettings(settings);
    DeviceWatch watch(modem.Device());

    const auto limit = std::chrono::seconds(kSanitizedBuild ? 60 : 20);
    const auto start = std::chrono::steady_clock::now();
    const ProgramResult result = folder.Run(ChoiceInput(choice), {}, limit);
    report.took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);

    if (result.timedOut) {
        failure << "hung (killed after " << limit.count() << " s); ";
    } else if (result.signal != 0) {
        failure << "ended by signal " << result.signal << "; ";
    }
    // Two collections of at most 3 s each, and the start: anything longer is a hang.
    const auto bound = std::chrono::seconds(kSanitizedBuild ? 30 : 10);
    if (report.took > bound) {
        failure << "took " << report.took.count() << " ms; ";
    }
    int shown = 0;
    for (const Message& m : kMessages) {
        if (result.out.find(m.text) != std::string::npos) {
            report.outcome = m.outcome;
            ++shown;
        }
    }
    if (shown > 1) {
        failure << "more than one outcome shown; ";
    }
    const std::set<Outcome> expected = ExpectedOutcomes(options, choice);
    if (!expected.contains(report.outcome)) {
        failure << "outcome '" << OutcomeName(report.outcome) << "', expected";
        for (Outcome o : expected) {
            failure << " '" << OutcomeName(o) << "'";
        }
        failure << "; ";
    }
    const int wantedExit = report.outcome == Outcome::kSet ? 0 : 1;
    if (!result.timedOut && result.signal == 0 && result.exitCode != wantedExit) {
        failure << "exit status " << result.exitCode << " for '" << OutcomeName(report.outcome)
                << "'; ";
    }
    if (!result.err.empty()) {
        failure << "stderr: " << result.err.substr(0, 2000) << "; ";
    }

    // The settings file: the two keys on success, byte for byte as it was otherwise.
    std::string wanted = settings;
    if (report.outcome == Outcome::kSet) {
        const int position = choice.country > 0 ? choice.country - 1 : 0;
        wanted = ReplaceOnce(wanted, "CurrentSet=0\r\n",
                             "CurrentSet=" + std::to_string(position) + "\r\n");
    }
    if (folder.ReadSettings() != wanted) {
        failure << "settings file "
                << (report.outcome == Outcome::kSet ? "not as written back" : "changed") << "; ";
    }

    // What the modem was sent.
    const std::string received = modem.Received();
    if (report.outcome == Outcome::kCancelled || report.outcome == Outcome::kCantFind) {
        if (!received.empty()) {
            failure << "modem was sent bytes without an attach; ";
        }
    } else if (received.rfind(kProbe, 0) != 0) {
        failure << "modem did not get the probe first; ";
    }

    // The device is given back: every open of it was closed, and nobody holds its lock.
    if (watch.Watching()) {
        watch.Drain();
        const bool attached =
            report.outcome != Outcome::kCancelled && report.outcome != Outcome::kCantFind;
        if (attached ? watch.Opens() < 1 : watch.Opens() != 0) {
            failure << "device opened " << watch.Opens() << " times; ";
        }
        if (watch.Closes() < watch.Opens()) {
            failure << "device opened " << watch.Opens() << " times, closed " << watch.Closes()
                    << "; ";
        }
    }
    // After a hang-up the device is gone, and its name may already serve another run.
    if (options.hangupAfter < 0) {
        const int fd = ::open(modem.Device().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            failure << "device cannot be opened after the run (errno " << errno << "); ";
        } else {
            if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
                failure << "device still locked after the program ended; ";
            }
            ::close(fd);
        }
    }

    report.failure = failure.str();
    if (!report.failure.empty()) {
        report.failure =
            what + ": " + report.failure + "\n--- stdout:\n" + result.out.substr(0, 3000);
    }
    return report;
}

void RunInParallel(int count, int workers,
                   const std::function<void(const ProgramFolder& folder, int i)>& run) {
    std::atomic<int> next{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < std::max(1, workers); ++w) {
        threads.emplace_back([&] {
            const ProgramFolder folder;
            for (int i = next++; i < count; i = next++) {
                run(folder, i);
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
}

unsigned SoakSeed() {
    if (const char* text = std::getenv("COUNTRYSET_SOAK_SEED"); text != nullptr && *text) {
        return static_cast<unsigned>(std::stoul(text));
    }
    return std::random_device{}();
}

int OpenDescriptorCount() {
    return CountEntries("/proc/self/fd");
}

int ThreadCount() {
    return CountEntries("/proc/self/task");
}

}  // namespace countryset::testing
