// A port on the fake driver with its ring and reply buffer, and the modem's part in the probe.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <tuple>
#include <vector>

#include "fakes/fake_comm_driver.h"
#include "fakes/recording_message_boxes.h"
#include "serial/collect_reply.h"
#include "serial/modem_attach.h"

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

    FakeCommDriver driver;
    RecordingMessages messages;
    std::array<char, ReceiveRing::kSlots> storage{};
    ReceiveRing ring{storage.data()};
    std::array<char, kReplyBufferSize> reply{};
    CCommPort port{driver, messages};
};

}  // namespace countryset::testing
