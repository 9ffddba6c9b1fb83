#include "serial/net_socket.h"

namespace countryset {

std::string_view ConnectProblemWords(ConnectProblem problem) {
    switch (problem) {
        case ConnectProblem::None:
            return {};
        case ConnectProblem::Refused:
            return "refused";
        case ConnectProblem::Unreachable:
            return "unreachable";
        case ConnectProblem::TimedOut:
            return "timed out";
        case ConnectProblem::NameNotFound:
            return "name not found";
        case ConnectProblem::Other:
            return "failed";
    }
    return {};
}

}  // namespace countryset

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace countryset {

bool RunWithin(std::function<void()> work, int timeoutMs) {
    struct Shared {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
    };
    auto shared = std::make_shared<Shared>();
    try {
        std::thread([shared, work = std::move(work)] {
            work();
            std::lock_guard lock(shared->mutex);
            shared->finished = true;
            shared->done.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return false;
    }
    std::unique_lock lock(shared->mutex);
    return shared->done.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [&] { return shared->finished; });
}

}  // namespace countryset
