// One program run against fakes: an in-memory settings file, a fake comm driver that plays the
// modem, and a scripted operator.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "app/program_state.h"
#include "app/run_outcome.h"
#include "app/setup_app.h"
#include "fakes/fake_comm_driver.h"
#include "fakes/memory_profile.h"
#include "fakes/scripted_presenter.h"
#include "ui/window_services.h"

namespace countryset::testing {

inline constexpr const char* kExecutable = "/opt/x/countryset";
inline constexpr const char* kSettingsPath = "/opt/x/countryset.DAT";

// The France/Italy/Spain settings of the worked example, sorted.
inline const std::string kSortedSettings =
    "[Setting]\r\nTitle=Country Setting\r\nNumOfCountry=3\r\nCurrentSet=1\r\nCurrentCOM=2\r\n"
    "[Country]\r\nFrance=22\r\nItaly=33\r\nSpain=11\r\n";

struct Message {
    std::string caption, text;
    unsigned style;
    bool operator==(const Message&) const = default;
};

struct AppRun {
    AppRun() {
        // A fast clock: a second passes every 50 ms, so an unanswered collection ends quickly.
        driver.SetClock([start = std::chrono::steady_clock::now()] {
            const auto elapsed = std::chrono::steady_clock::now() - start;
            return static_cast<std::time_t>(
                1000000 +
                std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() / 50);
        });
        driver.SetWriteHook([this](std::string_view bytes) { Modem(bytes); });
    }

    // The modem's part: echo plus OK for the probe and the country command, and the code it was
    // given for the read-back, unless told otherwise.
    void Modem(std::string_view bytes) {
        written.emplace_back(bytes);
        if (bytes == "ATZE1\r") {
            driver.PushIncoming(probeReply);
        } else if (bytes.starts_with("AT+GCI=")) {
            held = bytes.substr(7, bytes.size() - 8);
            driver.PushIncoming(countryReply.empty() ? std::string(bytes) + "\r\nOK\r\n"
                                                     : countryReply);
        } else if (bytes == "AT+GCI?\r") {
            driver.PushIncoming(readBackReply.empty()
                                    ? "AT+GCI?\r\r\n+GCI: " + held + "\r\n\r\nOK\r\n"
                                    : readBackReply);
        }
    }

    bool RunProgram() {
        CSetupApp app(state, profile, driver, services);
        app.InitInstance(kExecutable);
        services.FlushPendingMessages();
        outcome = app.Outcome();
        return app.CountrySet();
    }

    std::vector<Message> Messages() const {
        std::vector<Message> out;
        for (const auto& m : presenter.Messages()) {
            out.push_back({m.caption, m.text, m.style});
        }
        return out;
    }
    std::string File() const { return profile.FileText(kSettingsPath).value_or("<none>"); }

    ProgramState state;
    MemoryProfile profile;
    FakeCommDriver driver;
    ScriptedPresenter presenter;
    WindowServices services{"countryset", presenter};
    std::string probeReply = "ATZE1\r\r\nOK\r\n";
    std::string countryReply;   // empty: echo plus OK
    std::string readBackReply;  // empty: echo, the code last set, OK
    std::string held;           // the code last set
    RunOutcome outcome;         // what the last RunProgram came to
    std::vector<std::string> written;
};

class AppTest : public ::testing::Test, public AppRun {};

}  // namespace countryset::testing
