// Runs of the real program against a simulated modem with faults, each checked against what
// the modem's bytes allow: the outcome, the message, the exit status, the settings file and the
// device released. Shared by the fault sweeps and the soak.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "end_to_end/program_run.h"

namespace countryset::testing {

// Sanitizer builds run the program several times slower; long sweeps shrink there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitizedBuild = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool kSanitizedBuild = true;
#else
inline constexpr bool kSanitizedBuild = false;
#endif
#else
inline constexpr bool kSanitizedBuild = false;
#endif

enum class Outcome { kSet, kCancelled, kCantFind, kCantInit, kCantSet };
const char* OutcomeName(Outcome outcome);

// What the operator does: a country by its place in the list (1-based; 0 keeps the
// preselection), COM1 (the modem) or COM2 (no such device), or cancel.
struct OperatorChoice {
    int country = 0;
    bool secondPort = false;
    bool cancel = false;
};

// The countries of the sample settings file in the list's order, with their codes.
struct Country {
    std::string name;
    std::string code;
};
const std::vector<Country>& SampleCountries();

// The outcomes the modem's bytes allow for this choice. More than one only when a reply is
// due so near the 3-second limit that either side of it is right.
std::set<Outcome> ExpectedOutcomes(const ModemSimOptions& options, const OperatorChoice& choice);

// A run that broke a rule; empty when all was well.
struct RunReport {
    Outcome outcome = Outcome::kCancelled;
    std::string failure;
    std::chrono::milliseconds took{0};
};

// The sample settings with COM1 on the device and COM2 on a path that does not exist.
std::string SoakSettings(const std::string& device);

// Starts a simulator with the options, runs the program in the folder with the choice and
// checks everything a run promises. The folder's settings file is rewritten first.
RunReport RunAndCheck(const ProgramFolder& folder, const ModemSimOptions& options,
                      const OperatorChoice& choice);

// Calls run(i) for i in [0, count) on `workers` threads; each worker gets its own folder.
void RunInParallel(int count, int workers,
                   const std::function<void(const ProgramFolder& folder, int i)>& run);

// COUNTRYSET_SOAK_SEED when set, else a fresh random seed.
unsigned SoakSeed();

// Open descriptors and threads of this process.
int OpenDescriptorCount();
int ThreadCount();

}  // namespace countryset::testing
