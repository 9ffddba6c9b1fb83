#include "serial/comm_driver.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <system_error>

namespace countryset {

bool CommDriver::CreateThread(std::function<void()> body, std::thread& thread) {
    try {
        thread = std::thread(std::move(body));
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

void CommDriver::Sleep(std::uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

std::uint64_t CommDriver::GetTickCount64() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

void CommDriver::OutputDebugString(std::string_view text) {
    static const bool enabled = std::getenv("COUNTRYSET_DEBUG") != nullptr;
    if (enabled) {
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fflush(stderr);
    }
}

}  // namespace countryset
