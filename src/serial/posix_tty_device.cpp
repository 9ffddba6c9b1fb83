#include "serial/posix_tty_device.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace countryset {

namespace {

std::string ReadSmallFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool IsTerminalDriver(std::string_view name) {
    return name.starts_with("tty") || name == "pts" || name == "rfcomm" || name == "ircomm";
}

bool SameDevice(const struct stat& a, const struct stat& b) {
    return (a.st_dev == b.st_dev && a.st_ino == b.st_ino) ||
           (S_ISCHR(a.st_mode) && S_ISCHR(b.st_mode) && a.st_rdev == b.st_rdev);
}

// The terminal the operator works in is never a modem: raw mode would take Enter, Ctrl-C and
// Ctrl-D away from them. That is /dev/tty itself, the controlling terminal under any name, and
// whatever terminal stdin, stdout or stderr is on.
bool IsOperatorsTerminal(int fd) {
    struct stat device {};
    if (::fstat(fd, &device) != 0) {
        return true;
    }
    struct stat other {};
    if (::stat("/dev/tty", &other) == 0 && SameDevice(device, other)) {
        return true;
    }
    // Answers only for the controlling terminal of our own session (or a pseudo-terminal master).
    const pid_t session = ::tcgetsid(fd);
    if (session != -1 && session == ::getsid(0)) {
        return true;
    }
    for (int standard : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (::fstat(standard, &other) == 0 && SameDevice(device, other)) {
            return true;
        }
    }
    return false;
}

std::string ProgramOf(long pid) {
    std::string name = ReadSmallFile("/proc/" + std::to_string(pid) + "/comm");
    while (!name.empty() && (name.back() == '\n' || name.back() == '\0')) {
        name.pop_back();
    }
    // A process names itself: only its printable bytes reach the operator's terminal.
    std::string shown;
    for (unsigned char c : name) {
        shown += c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?';
    }
    return (shown.empty() ? std::string("a program") : shown) + ", process " + std::to_string(pid);
}

bool Alive(long pid) {
    return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

// Who holds the device, where the system tells: a whole-file lock (/proc/locks), a lock file
// of the old convention, or, among the processes we may look at, one with it open.
std::string HolderOf(const std::string& path, const struct stat& node) {
    const long self = static_cast<long>(::getpid());
    if (auto pid = FlockHolder(ReadSmallFile("/proc/locks"), ::major(node.st_dev),
                               ::minor(node.st_dev), node.st_ino, self)) {
        return ProgramOf(*pid);
    }
    const std::string base = path.substr(path.find_last_of('/') + 1);
    for (const char* folder : {"/run/lock/", "/var/lock/"}) {
        const std::string text = ReadSmallFile(folder + std::string("LCK..") + base);
        const long pid = std::strtol(text.c_str(), nullptr, 10);
        if (pid != self && Alive(pid)) {
            return ProgramOf(pid);
        }
    }
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) {
        return {};
    }
    std::string found;
    while (dirent* entry = ::readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == self) {
            continue;
        }
        const std::string fds = "/proc/" + std::string(entry->d_name) + "/fd";
        DIR* dir = ::opendir(fds.c_str());
        if (dir == nullptr) {
            continue;  // another user's process
        }
        while (dirent* fd = ::readdir(dir)) {
            struct stat target {};
            if (fd->d_name[0] != '.' && ::stat((fds + "/" + fd->d_name).c_str(), &target) == 0 &&
                S_ISCHR(target.st_mode) && target.st_rdev == node.st_rdev) {
                found = ProgramOf(pid);
                break;
            }
        }
        ::closedir(dir);
        if (!found.empty()) {
            break;
        }
    }
    ::closedir(proc);
    return found;
}

// The group whose members may read and write the device, when there is one to join.
std::string GroupOf(const struct stat& node) {
    if ((node.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP) || node.st_gid == 0) {
        return {};
    }
    std::vector<char> buffer(16384);
    group entry{};
    group* result = nullptr;
    if (::getgrgid_r(node.st_gid, &entry, buffer.data(), buffer.size(), &result) != 0 ||
        result == nullptr) {
        return {};
    }
    return result->gr_name;
}

void Fail(PortOpenError& error, PortProblem problem, std::string detail = {}) {
    error.problem = problem;
    error.detail = std::move(detail);
}

}  // namespace

TtyDevice ClassifyByMajor(std::string_view procDevices, unsigned major, std::string* driver) {
    std::string_view rest = procDevices;
    bool characters = false;
    TtyDevice kind = TtyDevice::Unknown;
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (line.ends_with("devices:")) {
            characters = line == "Character devices:";
            continue;
        }
        const std::size_t first = line.find_first_not_of(' ');
        if (!characters || first == std::string_view::npos) {
            continue;
        }
        line.remove_prefix(first);
        const std::size_t space = line.find(' ');
        if (space == std::string_view::npos) {
            continue;
        }
        unsigned number = 0;
        std::string_view digits = line.substr(0, space);
        if (digits.empty() || digits.size() > 9 ||
            digits.find_first_not_of("0123456789") != std::string_view::npos) {
            continue;
        }
        for (char c : digits) {
            number = number * 10 + static_cast<unsigned>(c - '0');
        }
        if (number != major) {
            continue;
        }
        const std::string_view name = line.substr(space + 1);
        if (IsTerminalDriver(name)) {
            if (driver != nullptr) {
                driver->clear();
            }
            return TtyDevice::Terminal;
        }
        if (kind == TtyDevice::Unknown) {
            kind = TtyDevice::NotTerminal;
            if (driver != nullptr) {
                *driver = std::string(name);
            }
        }
    }
    return kind;
}

std::optional<long> FlockHolder(std::string_view procLocks, unsigned major, unsigned minor,
                                unsigned long inode, long self) {
    char wanted[64];
    std::snprintf(wanted, sizeof wanted, "%02x:%02x:%lu", major, minor, inode);
    std::istringstream lines{std::string(procLocks)};
    for (std::string line; std::getline(lines, line);) {
        // "1: FLOCK  ADVISORY  WRITE 812 00:05:123 0 EOF"; a waiting lock reads "1: -> FLOCK ...".
        std::istringstream fields(line);
        std::string id, type, mode, access, where;
        long pid = 0;
        if (!(fields >> id >> type) || type == "->" || type != "FLOCK" ||
            !(fields >> mode >> access >> pid >> where)) {
            continue;
        }
        if (where == wanted && pid > 0 && pid != self) {
            return pid;
        }
    }
    return std::nullopt;
}

TtyDevice ClassifyTtyDevice(const struct stat& info, std::string* driver) {
    if (!S_ISCHR(info.st_mode)) {
        return TtyDevice::NotDevice;
    }
    const unsigned major = ::major(info.st_rdev);
    // Pseudo-terminal slaves, which sysfs does not list.
    if (major >= 136 && major <= 143) {
        return TtyDevice::Terminal;
    }
    struct stat sysfs {};
    if (::stat("/sys/dev/char", &sysfs) != 0 || !S_ISDIR(sysfs.st_mode)) {
        // Without sysfs the kernel still names the driver behind each number.
        return ClassifyByMajor(ReadSmallFile("/proc/devices"), major, driver);
    }
    const std::string sys =
        "/sys/dev/char/" + std::to_string(major) + ":" + std::to_string(::minor(info.st_rdev));
    char resolved[PATH_MAX];
    if (::realpath((sys + "/subsystem").c_str(), resolved) == nullptr ||
        !std::string(resolved).ends_with("/tty")) {
        if (driver != nullptr) {
            ClassifyByMajor(ReadSmallFile("/proc/devices"), major, driver);
        }
        return TtyDevice::NotTerminal;
    }
    std::ifstream type(sys + "/type");
    int uart = -1;
    if (type >> uart && uart == 0) {
        return TtyDevice::NoUart;
    }
    return TtyDevice::Terminal;
}

// The name comes from a settings file that others may write, and the program often runs as
// root: a device of any other kind than a terminal is never opened at all. The node is looked
// at through a path handle, which does not open the device, and the device is then opened
// through that very handle, so a link swapped in meanwhile changes nothing.
int OpenPortDevice(const std::string& path, termios* original, PortOpenError& error) {
    error = PortOpenError{};
    error.device = path;
    const int node = ::open(path.c_str(), O_PATH | O_CLOEXEC);
    if (node < 0) {
        const int code = errno;
        if (code == ENOENT || code == ENOTDIR) {
            Fail(error, PortProblem::NoSuchDevice);
        } else if (code == EACCES) {
            Fail(error, PortProblem::PermissionDenied);
        } else {
            Fail(error, PortProblem::Other, std::strerror(code));
        }
        return -1;
    }
    struct stat info {};
    std::string driver;
    const TtyDevice kind =
        ::fstat(node, &info) == 0 ? ClassifyTtyDevice(info, &driver) : TtyDevice::NotDevice;
    if (kind != TtyDevice::Terminal) {
        ::close(node);
        if (kind == TtyDevice::NoUart) {
            Fail(error, PortProblem::NoHardware);
        } else if (kind == TtyDevice::Unknown) {
            Fail(error, PortProblem::NotTerminal);
        } else {
            Fail(error, PortProblem::NotTerminal,
                 kind == TtyDevice::NotDevice ? "not a device"
                 : driver.empty()             ? "a device of another kind"
                                              : "its driver is '" + driver + "'");
        }
        return -1;
    }
    int fd = ::open(("/proc/self/fd/" + std::to_string(node)).c_str(),
                    O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const int code = errno;
    ::close(node);
    if (fd < 0) {
        if (code == EACCES || code == EPERM) {
            Fail(error, PortProblem::PermissionDenied);
            error.group = GroupOf(info);
        } else if (code == EBUSY) {
            // Marked for exclusive use: by a running program, or left by one that ended.
            error.holder = HolderOf(path, info);
            Fail(error,
                 error.holder.empty() ? PortProblem::ExclusiveLeftBehind : PortProblem::InUse);
        } else if (code == ENOENT || code == ENXIO || code == ENODEV) {
            Fail(error, PortProblem::NoSuchDevice);
        } else {
            Fail(error, PortProblem::Other, std::strerror(code));
        }
        return -1;
    }
    struct stat opened {};
    if (::fstat(fd, &opened) != 0 || opened.st_rdev != info.st_rdev ||
        opened.st_ino != info.st_ino || opened.st_dev != info.st_dev) {
        ::close(fd);
        Fail(error, PortProblem::Other, "the device changed while it was opened");
        return -1;
    }
    // Exclusive like a serial port of the old model: flock against cooperating programs,
    // TIOCEXCL against any other opener.
    if (!::isatty(fd) || ::tcgetattr(fd, original) != 0) {
        ::close(fd);
        Fail(error, PortProblem::NotTerminal, "it answers no terminal requests");
        return -1;
    }
    if (IsOperatorsTerminal(fd)) {
        ::close(fd);
        Fail(error, PortProblem::OperatorsTerminal);
        return -1;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int lockCode = errno;
        ::close(fd);
        if (lockCode == EWOULDBLOCK) {
            error.holder = HolderOf(path, info);
            Fail(error, PortProblem::InUse);
        } else {
            Fail(error, PortProblem::Other, std::strerror(lockCode));
        }
        return -1;
    }
    if (::ioctl(fd, TIOCEXCL) != 0) {
        const int exclCode = errno;
        ::close(fd);
        Fail(error, PortProblem::Other, std::strerror(exclCode));
        return -1;
    }
    return fd;
}

}  // namespace countryset
