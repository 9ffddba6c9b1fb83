// A write-back of the settings file in progress, process-wide. A signal that ends the program
// waits for it: the modem has taken the country by then, and the choice must be stored (a file
// rewritten in place must not be left half-written either).
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace countryset {

class WriteBackGuard {
public:
    // Once the program is ending no write-back starts: this waits until the process is gone.
    WriteBackGuard() {
        Shared& s = State();
        std::unique_lock lock(s.mutex);
        s.changed.wait(lock, [&s] { return !s.ending; });
        ++s.active;
    }
    ~WriteBackGuard() {
        Shared& s = State();
        {
            const std::lock_guard lock(s.mutex);
            --s.active;
        }
        s.changed.notify_all();
    }
    WriteBackGuard(const WriteBackGuard&) = delete;
    WriteBackGuard& operator=(const WriteBackGuard&) = delete;

    // For the end of the program: waits, at most bound, until no write-back is in progress, and
    // lets none start afterwards. False when one was still running at the bound.
    static bool EndWriteBacks(std::chrono::milliseconds bound) {
        Shared& s = State();
        std::unique_lock lock(s.mutex);
        s.ending = true;
        return s.changed.wait_for(lock, bound, [&s] { return s.active == 0; });
    }

private:
    struct Shared {
        std::mutex mutex;
        std::condition_variable changed;
        int active = 0;
        bool ending = false;
    };
    static Shared& State() {
        static Shared shared;
        return shared;
    }
};

}  // namespace countryset
