// Program-wide state in one place with one owner (the application), so every run, and every
// test, starts from a fresh one.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "serial/modem_attach.h"
#include "serial/receive_ring.h"
#include "settings/settings_path.h"
#include "ui/country_dlg.h"

namespace countryset {

using TextBuffer = std::array<char, kReplyBufferSize>;

struct ProgramState {
    // Filled once at start-up; every read and write of the settings file uses it.
    char settingsPath[kSettingsPathSize] = {};
    std::string appName;

    // The receive ring's storage, allocated when the main window is created.
    std::unique_ptr<char[]> ringStorage;
    std::unique_ptr<ReceiveRing> ring;
    // Allocates the ring's storage; nullptr stands for "out of memory".
    std::function<std::unique_ptr<char[]>(std::size_t)> allocateRing = [](std::size_t size) {
        return std::unique_ptr<char[]>(new (std::nothrow) char[size]);
    };

    // List position of the chosen port: 0 for COM1 ... 7 for COM8.
    std::int32_t chosenPortPosition = 0;

    TextBuffer ReplyBuffer{};
    TextBuffer CommandText{};
    TextBuffer ExpectedReply{};

    CountryDialogState country;

    // After the modem's OK to the country, ask it what it holds (AT+GCI?); off for a modem known
    // to misbehave on the question.
    bool readBack = true;
    // A scripted run asks the modem what it holds before it sets anything (AT+GCI?) and sends no
    // country the modem already holds; the dialog keeps its sequence. Set by the scripted mode.
    bool readBefore = false;
    // --check: that question alone; nothing is sent to set, nothing is stored.
    bool checkOnly = false;
    // Store the choice (CurrentSet, CurrentCOM) after a set; off when several ports are set at
    // once, which would each store their own port.
    bool storeChoice = true;
    // The device a port name opens, for telling the operator; empty when not known.
    std::function<std::string(std::string_view)> portDevice;
};

}  // namespace countryset
