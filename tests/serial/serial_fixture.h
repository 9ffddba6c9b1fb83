// A port object on the fake driver with its ring and reply buffer, for watcher and attach tests.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "serial/comm_port.h"
#include "serial/modem_attach.h"
#include "serial/receive_ring.h"
#include "support/fake_comm_driver.h"
#include "support/recording_messages.h"

namespace countryset::testing {

class SerialFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(port.CreatePortState());
        // Never stalls a passing test; only a collection still waiting after the
        // limit's worth of real seconds ends, so a fault cannot hang the suite.
        driver.SetClock([] { return std::time(nullptr); });
    }

    // The modem: answers the probe with the given bytes.
    void AnswerProbeWith(std::string answer) {
        driver.SetWriteHook([this, answer](std::string_view sent) {
            if (sent == kProbeCommand) {
                driver.PushIncoming(answer);
            }
        });
    }

    // The clock reads 0 at the start of a collection and stands still until the condition
    // holds, then jumps past any limit; so a short reply is known to be complete, or a
    // watcher known to have ended, when the deadline comes.
    void DeadlineWhen(std::function<bool()> condition) {
        auto started = std::make_shared<bool>(false);
        driver.SetClock([started, condition] {
            const bool first = !*started;
            *started = true;
            return std::time_t{!first && condition() ? 100 : 0};
        });
    }
    void DeadlineAfterBytes(std::int32_t count) {
        const std::int32_t from = ring.WriteIndex();
        DeadlineWhen([this, from, count] {
            return (ring.WriteIndex() - from + ReceiveRing::kSlots) % ReceiveRing::kSlots >= count;
        });
    }

    // Generous bound: proves "ends", never measures how fast.
    bool WaitUntil(const std::function<bool()>& condition) {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!condition()) {
            if (std::chrono::steady_clock::now() > limit) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    std::string Reply() const { return std::string(reply.data()); }

    FakeCommDriver driver;
    RecordingMessages messages;
    std::array<char, ReceiveRing::kSlots> storage{};
    ReceiveRing ring{storage.data()};
    std::array<char, kReplyBufferSize> reply{};
    CCommPort port{driver, messages};
};

}  // namespace countryset::testing
