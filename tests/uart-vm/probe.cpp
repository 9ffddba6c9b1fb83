// uart-probe: the test machine's own view of one of its serial lines. Prints facts as key=value
// words on one line; the host decides what they must be. Static, so it runs in a bare initramfs.
//
//   uart-probe set DEV plain|odd       start settings for a run
//   uart-probe state DEV               line, UART and free-port facts (opens the port last)
//   uart-probe held DEV                facts while another program holds the port
//   uart-probe wait-held DEV SECONDS   until the port is exclusive and at 38400 bit/s
//   uart-probe spawn PROGRAM ARGS...   PROGRAM with every signal at its default action
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/io.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>

namespace {

constexpr uid_t kNobody = 65534;
constexpr unsigned kModemControl = 4;  // MCR: bit 0 DTR, bit 1 RTS

std::string ErrnoName(int error) {
    switch (error) {
        case 0:
            return "ok";
        case EBUSY:
            return "EBUSY";
        case EWOULDBLOCK:
            return "EWOULDBLOCK";
        case EACCES:
            return "EACCES";
        case ENOENT:
            return "ENOENT";
        default:
            return "errno" + std::to_string(error);
    }
}

int OpenPort(const char* device) {
    return ::open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

unsigned SpeedValue(speed_t speed) {
    switch (speed) {
        case B1200:
            return 1200;
        case B9600:
            return 9600;
        case B38400:
            return 38400;
        case B115200:
            return 115200;
        default:
            return 0;
    }
}

// "38400-8N1" as the kernel keeps it for the line.
std::string LineText(const termios& t) {
    const tcflag_t size = t.c_cflag & CSIZE;
    const int bits = size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8;
    const char parity = (t.c_cflag & PARENB) == 0 ? 'N' : (t.c_cflag & PARODD) != 0 ? 'O' : 'E';
    return std::to_string(SpeedValue(cfgetospeed(&t))) + "-" + std::to_string(bits) + parity +
           ((t.c_cflag & CSTOPB) != 0 ? "2" : "1");
}

// Every field of the settings, so that "restored" means restored to the byte.
std::string TermiosHex(const termios& t) {
    char text[64];
    std::snprintf(text, sizeof text, "%x/%x/%x/%x/%x/%x/", unsigned(t.c_iflag), unsigned(t.c_oflag),
                  unsigned(t.c_cflag), unsigned(t.c_lflag), unsigned(cfgetispeed(&t)),
                  unsigned(cfgetospeed(&t)));
    std::string out = text;
    for (cc_t c : t.c_cc) {
        std::snprintf(text, sizeof text, "%02x", unsigned(c));
        out += text;
    }
    return out;
}

std::string FlowText(const termios& t) {
    std::string flow;
    if ((t.c_cflag & CRTSCTS) != 0) {
        flow += "rtscts,";
    }
    if ((t.c_iflag & (IXON | IXOFF)) != 0) {
        flow += "xonxoff,";
    }
    return flow.empty() ? "none" : flow.substr(0, flow.size() - 1);
}

// The UART's own modem-control register, read behind the driver: no open, so no DTR raised.
std::string UartLines(const char* device) {
    const char* name = std::strrchr(device, '/');
    std::ifstream portFile(std::string("/sys/class/tty/") + (name ? name + 1 : device) + "/port");
    unsigned long base = 0;
    std::string text;
    if (!(portFile >> text) || (base = std::strtoul(text.c_str(), nullptr, 16)) == 0 ||
        ::ioperm(base, 8, 1) != 0) {
        return "uart-dtr=? uart-rts=?";
    }
    const unsigned mcr = inb(static_cast<unsigned short>(base + kModemControl));
    return "uart-dtr=" + std::to_string(mcr & 1) + " uart-rts=" + std::to_string((mcr >> 1) & 1);
}

// Opens the port as an unprivileged user and takes the lock, in a child: "ok" or why not.
std::string OpenAsUser(const char* device) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) {
        return "pipe-failed";
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeFds[0]);
        int error = 0;
        if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
            error = EPERM;
        } else {
            const int fd = OpenPort(device);
            if (fd < 0) {
                error = errno;
            } else if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
                error = errno;
            }
        }
        const std::string name = ErrnoName(error);
        ssize_t ignored = ::write(pipeFds[1], name.data(), name.size());
        (void)ignored;
        ::_exit(0);
    }
    ::close(pipeFds[1]);
    char text[32] = {};
    ssize_t got = child > 0 ? ::read(pipeFds[0], text, sizeof text - 1) : -1;
    ::close(pipeFds[0]);
    if (child > 0) {
        ::waitpid(child, nullptr, 0);
    }
    return got > 0 ? std::string(text, static_cast<std::size_t>(got)) : "no-answer";
}

int Set(const char* device, std::string_view kind) {
    const int fd = OpenPort(device);
    termios t{};
    if (fd < 0 || ::tcgetattr(fd, &t) != 0) {
        std::perror(device);
        return 1;
    }
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | HUPCL);
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF);
    if (kind == "odd") {
        // Everything the program changes, changed some other way: 7E2 with both flow controls,
        // and no hang-up on close, so DTR drops only if the program drops it.
        cfsetspeed(&t, B1200);
        t.c_cflag |= CS7 | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD;
        t.c_iflag |= IXON | IXOFF | ICRNL;
        t.c_oflag |= OPOST | ONLCR;
        t.c_lflag |= ICANON | ECHO | ISIG;
    } else if (kind == "plain") {
        cfsetspeed(&t, B9600);
        t.c_cflag |= CS8 | HUPCL | CLOCAL | CREAD;
    } else {
        std::fprintf(stderr, "uart-probe: unknown setting %s\n", std::string(kind).c_str());
        return 2;
    }
    const int result = ::tcsetattr(fd, TCSANOW, &t);
    ::close(fd);
    return result == 0 ? 0 : 1;
}

int State(const char* device) {
    std::string facts = UartLines(device);  // before any open of ours raises DTR
    const int fd = OpenPort(device);
    termios t{};
    if (fd < 0 || ::tcgetattr(fd, &t) != 0) {
        std::printf("%s open=%s\n", facts.c_str(), ErrnoName(errno).c_str());
        return 0;
    }
    ::close(fd);
    facts += " line=" + LineText(t) + " flow=" + FlowText(t) + " termios=" + TermiosHex(t);
    std::printf("%s user-open=%s\n", facts.c_str(), OpenAsUser(device).c_str());
    return 0;
}

int Held(const char* device) {
    const int fd = OpenPort(device);  // root passes exclusive use
    termios t{};
    if (fd < 0 || ::tcgetattr(fd, &t) != 0) {
        std::printf("open=%s\n", ErrnoName(errno).c_str());
        return 0;
    }
    int lines = 0;
    int exclusive = -1;
    const bool haveLines = ::ioctl(fd, TIOCMGET, &lines) == 0;
    ::ioctl(fd, TIOCGEXCL, &exclusive);
    const int locked = ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : errno;
    ::close(fd);
    std::printf("line=%s flow=%s raw=%d dtr=%s rts=%s %s excl=%d root-flock=%s user-open=%s\n",
                LineText(t).c_str(), FlowText(t).c_str(),
                (t.c_lflag & (ICANON | ECHO | ISIG)) == 0 && (t.c_oflag & OPOST) == 0 &&
                    (t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP)) == 0,
                haveLines ? std::to_string((lines & TIOCM_DTR) != 0).c_str() : "?",
                haveLines ? std::to_string((lines & TIOCM_RTS) != 0).c_str() : "?",
                UartLines(device).c_str(), exclusive, ErrnoName(locked).c_str(),
                OpenAsUser(device).c_str());
    return 0;
}

int WaitHeld(const char* device, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        const int fd = OpenPort(device);
        int exclusive = 0;
        termios t{};
        if (fd >= 0) {
            const bool held = ::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0 &&
                              ::tcgetattr(fd, &t) == 0 && cfgetospeed(&t) == B38400;
            ::close(fd);
            if (held) {
                return 0;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return 1;
}

// A shell starts background jobs with SIGINT and SIGQUIT ignored; an operator's terminal does not.
int Spawn(char** argv) {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int signal = 1; signal < NSIG; ++signal) {
        ::sigaction(signal, &action, nullptr);
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execv(argv[0], argv);
    std::perror(argv[0]);
    return 127;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string_view command = argc > 1 ? argv[1] : "";
    if (command == "spawn" && argc > 2) {
        return Spawn(argv + 2);
    }
    if (argc < 3) {
        std::fputs("usage: uart-probe set|state|held|wait-held|spawn ...\n", stderr);
        return 2;
    }
    const char* device = argv[2];
    if (command == "set" && argc == 4) {
        return Set(device, argv[3]);
    }
    if (command == "state") {
        return State(device);
    }
    if (command == "held") {
        return Held(device);
    }
    if (command == "wait-held" && argc == 4) {
        return WaitHeld(device, std::atoi(argv[3]));
    }
    std::fputs("usage: uart-probe set|state|held|wait-held|spawn ...\n", stderr);
    return 2;
}
