#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/json_text.h"
#include "app/port_list.h"
#include "serial/network_line.h"
#include "serial/posix_tty_device.h"
#include "settings/port_devices.h"
#include "ui/shown_text.h"

namespace countryset {

namespace {

constexpr std::string_view kDev = "/dev";

class DeviceRoot {
public:
    DeviceRoot() {
        const char* root = std::getenv("COUNTRYSET_DEV_ROOT");
        m_root = root != nullptr && *root != '\0' ? root : std::string(kDev);
    }
    // Where a /dev path lies under the root; other paths stay as they are.
    std::string Local(const std::string& path) const {
        if (path == kDev || path.starts_with(std::string(kDev) + "/")) {
            return m_root + path.substr(kDev.size());
        }
        return path;
    }
    // The /dev form of a path under the root, as the settings file would name it.
    std::string Shown(const std::string& local) const {
        if (local.starts_with(m_root + "/")) {
            return std::string(kDev) + local.substr(m_root.size());
        }
        return local;
    }
    const std::string& Path() const { return m_root; }

private:
    std::string m_root;
};

std::string RealPath(const std::string& path) {
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : std::string();
}

// A terminal by what the kernel says of the device number, without opening the device.
enum class Kind { Missing, NotDevice, NotSerial, NoUart, Serial };

Kind DeviceKind(const std::string& local, struct stat& info) {
    if (::stat(local.c_str(), &info) != 0) {
        return Kind::Missing;
    }
    switch (ClassifyTtyDevice(info)) {
        case TtyDevice::NotDevice:
            return Kind::NotDevice;
        case TtyDevice::NoUart:
            return Kind::NoUart;
        case TtyDevice::Terminal:
            return Kind::Serial;
        case TtyDevice::NotTerminal:
        case TtyDevice::Unknown:
            break;
    }
    return Kind::NotSerial;
}

// Held the way our own driver holds a port: an exclusive flock on the device, seen in the
// kernel's lock table instead of by trying to take it.
bool Flocked(const struct stat& info) {
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream fields(line);
        std::string number, type, advisory, mode, pid, where;
        fields >> number >> type;
        if (type == "->") {
            continue;  // waiting for a lock, not holding one
        }
        fields >> advisory >> mode >> pid >> where;
        if (type != "FLOCK") {
            continue;
        }
        unsigned long major = 0;
        unsigned long minor = 0;
        unsigned long long inode = 0;
        if (std::sscanf(where.c_str(), "%lx:%lx:%llu", &major, &minor, &inode) == 3 &&
            major == ::major(info.st_dev) && minor == ::minor(info.st_dev) &&
            inode == static_cast<unsigned long long>(info.st_ino)) {
            return true;
        }
    }
    return false;
}

std::vector<std::string> Entries(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

std::vector<std::string> PresentPorts(PrivateProfile& profile, const char* settingsPath) {
    const DeviceRoot root;
    std::vector<std::string> ports;
    for (int n = 1; n <= 8; ++n) {
        const std::string port = "COM" + std::to_string(n);
        const std::string device = PortDevicePath(profile, settingsPath, port);
        struct stat info {};
        if (!device.empty() && DeviceKind(root.Local(device), info) == Kind::Serial) {
            ports.push_back(port);
        }
    }
    return ports;
}

int ListPorts(PrivateProfile& profile, const char* settingsPath, std::ostream& out, bool json) {
    const DeviceRoot root;
    std::set<std::string> reached;
    std::vector<std::string> freePorts;

    if (!json) {
        out << "Port  Device                          Exists  Serial   Held\n";
    }
    for (int n = 1; n <= 8; ++n) {
        const std::string port = "COM" + std::to_string(n);
        const std::string device = PortDevicePath(profile, settingsPath, port);
        if (IsNetworkDevice(device)) {
            // Shown as mapped; whether a server answers there is for a run to find out, and a
            // connection here could take the port from whoever holds it.
            if (json) {
                JsonWriter line;
                line.BeginObject().Key("port").String(port).Key("device").String(device);
                line.Key("exists").Null().Key("type").String("network").Key("held").Null();
                out << line.EndObject().Text() << "\n";
            } else {
                std::string shown = VisibleText(device);
                shown.resize(std::max<std::size_t>(shown.size(), 30), ' ');
                out << port << "  " << shown << "  -       network  -\n";
            }
            continue;
        }
        const std::string local = root.Local(device);
        struct stat info {};
        const Kind kind = device.empty() ? Kind::Missing : DeviceKind(local, info);
        const char* serial = kind == Kind::Serial      ? "yes"
                             : kind == Kind::NoUart    ? "no UART"
                             : kind == Kind::Missing   ? "-"
                             : kind == Kind::NotDevice ? "no file"
                                                       : "no";
        const char* held = kind == Kind::Missing ? "-" : Flocked(info) ? "yes" : "no";
        const auto pad = [](std::string text, std::size_t width) {
            text.resize(std::max(text.size(), width), ' ');
            return text;
        };
        if (json) {
            JsonWriter line;
            line.BeginObject().Key("port").String(port).Key("device").String(device);
            line.Key("exists").Bool(kind != Kind::Missing).Key("type");
            if (kind == Kind::Missing) {
                line.Null().Key("held").Null();
            } else {
                line.String(kind == Kind::Serial      ? "serial"
                            : kind == Kind::NoUart    ? "no_uart"
                            : kind == Kind::NotDevice ? "not_device"
                                                      : "not_serial");
                line.Key("held").Bool(Flocked(info));
            }
            out << line.EndObject().Text() << "\n";
        } else {
            out << port << "  " << pad(VisibleText(device), 30) << "  "
                << pad(kind == Kind::Missing ? "no" : "yes", 6) << "  " << pad(serial, 7) << "  "
                << held << "\n";
        }
        if (kind == Kind::Missing) {
            freePorts.push_back(port);
        } else if (const std::string real = RealPath(local); !real.empty()) {
            reached.insert(real);
        }
    }

    // USB modems come and go and change their ttyUSBn; the by-id names stay.
    std::vector<std::pair<std::string, std::string>> byId;  // real device, by-id link
    const std::string idFolder = root.Path() + "/serial/by-id";
    for (const std::string& name : Entries(idFolder)) {
        const std::string real = RealPath(idFolder + "/" + name);
        if (!real.empty()) {
            byId.emplace_back(real, idFolder + "/" + name);
        }
    }
    std::vector<std::string> unreached;
    for (const std::string& name : Entries(root.Path())) {
        if (!name.starts_with("ttyACM") && !name.starts_with("ttyUSB")) {
            continue;
        }
        const std::string local = root.Path() + "/" + name;
        const std::string real = RealPath(local);
        if (real.empty() || reached.count(real) != 0) {
            continue;
        }
        std::string stable = local;
        for (const auto& [target, link] : byId) {
            if (target == real) {
                stable = link;
                break;
            }
        }
        const std::string port =
            unreached.size() < freePorts.size() ? freePorts[unreached.size()] : "COMn";
        if (json) {
            // No port reaches it: the port it could be mapped to, and its stable name.
            JsonWriter line;
            line.BeginObject().Key("port").Null().Key("device").String(root.Shown(local));
            line.Key("stable_name").String(root.Shown(stable)).Key("free_port");
            if (port != "COMn") {
                line.String(port);
            } else {
                line.Null();
            }
            unreached.push_back(line.EndObject().Text());
            continue;
        }
        std::string line = "  " + VisibleText(root.Shown(local));
        if (stable != local) {
            line += "  " + VisibleText(root.Shown(stable));
        }
        line += "\n      [Ports] " + port + "=" + VisibleText(root.Shown(stable));
        unreached.push_back(line);
    }
    if (!json) {
        out << "\nSerial devices no port reaches:" << (unreached.empty() ? " none\n" : "\n");
    }
    for (const std::string& line : unreached) {
        out << line << "\n";
    }
    out.flush();
    return 0;
}

}  // namespace countryset
