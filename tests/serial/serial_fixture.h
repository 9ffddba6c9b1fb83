// A port on the fake driver with its ring and reply buffer, and the modem's part in the probe.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "serial/collect_reply.h"
#include "serial/fake_comm_driver.h"
#include "serial/modem_attach.h"
#include "ui/recording_messages.h"

namespace countryset::testing {

using Calls = std::vector<std::string>;

inline std::string TakeAll(ReceiveRing& ring) {
    std::string taken;
    for (char c; ring.Take(&c);) {
        taken.push_back(c);
    }
    return taken;
}

struct SerialRig {
    SerialRig() { EXPECT_TRUE(port.CreatePortState()); }

    bool Attach() { return AttachModem(port, ring, reply, messages); }
    // The modem: answers every write (here only ever the probe).
    void AnswerProbeWith(std::string answer) {
        driver.SetWriteHook([this, answer](std::string_view) { driver.PushIncoming(answer); });
    }
    // The clock reads 0 at the start of a collection and stands still until the condition
    // holds (or ten real seconds have passed), then jumps past any limit.
    void DeadlineWhen(std::function<bool()> condition) {
        driver.SetClock([readings = std::make_shared<int>(0), condition,
                         start = std::chrono::steady_clock::now()] {
            const bool due =
                condition() || std::chrono::steady_clock::now() - start > std::chrono::seconds(10);
            return std::time_t{(*readings)++ > 0 && due ? 100 : 0};
        });
    }

    FakeCommDriver driver;
    RecordingMessages messages;
    std::array<char, ReceiveRing::kSlots> storage{};
    ReceiveRing ring{storage.data()};
    std::array<char, kReplyBufferSize> reply{};
    CCommPort port{driver, messages};
};

}  // namespace countryset::testing
