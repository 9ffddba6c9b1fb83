// Which Qt platform to start, decided before Qt starts: Qt ends the process when its platform
// cannot open the display, and the program must fall back to the console instead.
#pragma once

#include <functional>
#include <string>

namespace countryset {

// The environment the choice depends on.
struct DisplayEnvironment {
    std::string qpaPlatform;     // QT_QPA_PLATFORM: "name[:options]" entries separated by ";"
    std::string display;         // DISPLAY
    std::string waylandDisplay;  // WAYLAND_DISPLAY
    std::string waylandSocket;   // WAYLAND_SOCKET: a connection handed down by the compositor
    std::string runtimeDir;      // XDG_RUNTIME_DIR
    std::string sessionType;     // XDG_SESSION_TYPE

    static DisplayEnvironment FromProcess();
};

// The checks that touch the system, replaceable in tests. Each must return, never abort.
struct DisplayProbes {
    std::function<bool(const std::string& display)> connectX11;
    std::function<bool(const std::string& socketPath)> connectWayland;
    std::function<bool(const std::string& platform)> hasPlugin;

    static DisplayProbes Real();
};

struct PlatformChoice {
    std::string platform;  // the QT_QPA_PLATFORM entry to start Qt with; empty: none works
    std::string whyNot;    // one line, when platform is empty
};

PlatformChoice ChooseQtPlatform(const DisplayEnvironment& env, const DisplayProbes& probes);

}  // namespace countryset
