#include "ui/qt/display_probe.h"

#include <QDir>
#include <QLibraryInfo>
#include <QStringList>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#ifdef COUNTRYSET_HAVE_XCB
#include <xcb/xcb.h>
#endif

namespace countryset {

namespace {

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string::npos) {
            return parts;
        }
        start = end + 1;
    }
}

std::string Trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t");
    if (b == std::string::npos) {
        return "";
    }
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

bool ConnectUnixSocket(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // A path that does not fit the address cannot be connected to; never cut it.
    if (path.empty() || path.size() >= sizeof(address.sun_path)) {
        return false;
    }
    std::memcpy(address.sun_path, path.data(), path.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    const bool connected =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    ::close(fd);
    return connected;
}

bool ConnectX11(const std::string& display) {
#ifdef COUNTRYSET_HAVE_XCB
    // The whole handshake, authorisation included, as Qt's own connection will do it.
    xcb_connection_t* connection = xcb_connect(display.c_str(), nullptr);
    const bool ok = connection != nullptr && xcb_connection_has_error(connection) == 0;
    if (connection != nullptr) {
        xcb_disconnect(connection);
    }
    return ok;
#else
    // Without libxcb only a local display's socket can be tried; others are taken on trust.
    std::string rest = display;
    if (rest.rfind("unix:", 0) == 0) {
        rest = rest.substr(4);
    }
    if (rest.empty() || rest[0] != ':') {
        return !display.empty();
    }
    const std::string number = rest.substr(1, rest.find('.') - 1);
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    return ConnectUnixSocket("/tmp/.X11-unix/X" + number);
#endif
}

bool HasPlugin(const std::string& platform) {
    QStringList dirs;
    const std::string pluginPath = Env("QT_QPA_PLATFORM_PLUGIN_PATH");
    if (!pluginPath.empty()) {
        dirs << QString::fromStdString(pluginPath);
    }
    for (const std::string& dir : Split(Env("QT_PLUGIN_PATH"), ':')) {
        if (!dir.empty()) {
            dirs << QString::fromStdString(dir) + QStringLiteral("/platforms");
        }
    }
    dirs << QLibraryInfo::path(QLibraryInfo::PluginsPath) + QStringLiteral("/platforms");
    bool anyFolder = false;
    // Plugins are named after their platform: libqxcb.so, libqwayland-generic.so.
    const QString pattern = QStringLiteral("libq%1*").arg(QString::fromStdString(platform));
    for (const QString& path : dirs) {
        QDir dir(path);
        if (!dir.exists()) {
            continue;
        }
        anyFolder = true;
        if (!dir.entryList({pattern}, QDir::Files).isEmpty()) {
            return true;
        }
    }
    // No plugin folder at all: a Qt with built-in platforms, which cannot be looked at here.
    return !anyFolder;
}

bool IsHeadless(const std::string& name) {
    return name == "offscreen" || name == "minimal";
}

}  // namespace

DisplayEnvironment DisplayEnvironment::FromProcess() {
    return DisplayEnvironment{Env("QT_QPA_PLATFORM"), Env("DISPLAY"),
                              Env("WAYLAND_DISPLAY"), Env("WAYLAND_SOCKET"),
                              Env("XDG_RUNTIME_DIR"), Env("XDG_SESSION_TYPE")};
}

DisplayProbes DisplayProbes::Real() {
    return DisplayProbes{ConnectX11, ConnectUnixSocket, HasPlugin};
}

PlatformChoice ChooseQtPlatform(const DisplayEnvironment& env, const DisplayProbes& probes) {
    std::vector<std::string> candidates;
    const bool explicitChoice = !Trim(env.qpaPlatform).empty();
    if (explicitChoice) {
        for (const std::string& entry : Split(env.qpaPlatform, ';')) {
            if (!Trim(entry).empty()) {
                candidates.push_back(Trim(entry));
            }
        }
    } else if (env.sessionType == "wayland") {
        candidates = {"wayland", "xcb"};
    } else {
        candidates = {"xcb", "wayland"};
    }

    std::string firstReason;
    auto reject = [&](const std::string& reason) {
        if (firstReason.empty()) {
            firstReason = reason;
        }
    };
    for (const std::string& candidate : candidates) {
        const std::string name = candidate.substr(0, candidate.find(':'));
        if (name == "xcb") {
            if (env.display.empty()) {
                if (explicitChoice) {
                    reject("no X display: DISPLAY is not set");
                }
                continue;
            }
            if (!probes.connectX11(env.display)) {
                reject("cannot open the X display " + env.display);
                continue;
            }
        } else if (name.rfind("wayland", 0) == 0) {
            if (env.waylandDisplay.empty() && env.waylandSocket.empty() && !explicitChoice) {
                continue;
            }
            if (env.waylandSocket.empty()) {
                const std::string socketName =
                    env.waylandDisplay.empty() ? "wayland-0" : env.waylandDisplay;
                std::string path = socketName;
                if (socketName[0] != '/') {
                    if (env.runtimeDir.empty()) {
                        reject("no Wayland display: XDG_RUNTIME_DIR is not set");
                        continue;
                    }
                    path = env.runtimeDir + "/" + socketName;
                }
                if (!probes.connectWayland(path)) {
                    reject("cannot connect to the Wayland display " + socketName);
                    continue;
                }
            }
        } else if (!IsHeadless(name) && !explicitChoice) {
            continue;
        }
        // Anything else was asked for by name and cannot be tried without starting it.
        if (!probes.hasPlugin(name)) {
            reject("the Qt platform plugin \"" + name + "\" is not installed");
            continue;
        }
        return PlatformChoice{candidate, ""};
    }
    if (firstReason.empty()) {
        firstReason = "no display: DISPLAY and WAYLAND_DISPLAY are not set";
    }
    return PlatformChoice{"", firstReason};
}

}  // namespace countryset
