#include "modem_sim.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "app/t35_table.h"

namespace countryset {

namespace {

long long MonotonicMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool MakeRaw(int fd) {
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0) {
        return false;
    }
    ::cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    ::cfsetispeed(&settings, B38400);
    ::cfsetospeed(&settings, B38400);
    return ::tcsetattr(fd, TCSANOW, &settings) == 0;
}

}  // namespace

ModemSim::ModemSim(ModemSimOptions options) : options_(std::move(options)) {}

ModemSim::~ModemSim() {
    Stop();
    CloseAll();
    if (stop_ >= 0) {
        ::close(stop_);
    }
    if (closes_ >= 0) {
        ::close(closes_);
    }
    if (log_ >= 0) {
        ::close(log_);
    }
    if (sentLog_ >= 0) {
        ::close(sentLog_);
    }
    if (linked_) {
        // Only our own link goes; another run may have taken the path over since.
        char target[512];
        ssize_t length = ::readlink(options_.linkPath.c_str(), target, sizeof target - 1);
        if (length >= 0 &&
            slavePath_ == std::string_view(target, static_cast<std::size_t>(length))) {
            ::unlink(options_.linkPath.c_str());
        }
    }
}

void ModemSim::CloseAll() {
    if (master_ >= 0) {
        ::close(master_);
        master_ = -1;
    }
    if (slave_ >= 0) {
        ::close(slave_);
        slave_ = -1;
    }
}

bool ModemSim::Open(std::string* error) {
    auto fail = [&](const std::string& what) {
        if (error) {
            *error = what + ": " + std::strerror(errno);
        }
        CloseAll();
        return false;
    };
    stop_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (stop_ < 0) {
        return fail("eventfd");
    }
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0) {
        return fail("posix_openpt");
    }
    char name[128];
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
        ::ptsname_r(master_, name, sizeof name) != 0) {
        return fail("pseudo-terminal setup");
    }
    slavePath_ = name;
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave_ < 0) {
        return fail(slavePath_);
    }
    // Both ends raw: an echoing slave would hand the modem its own replies back.
    if (!MakeRaw(slave_) || !MakeRaw(master_) ||
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK) != 0) {
        return fail("raw mode");
    }
    if (!options_.logPath.empty()) {
        log_ = ::open(options_.logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (log_ < 0) {
            return fail(options_.logPath);
        }
    }
    if (!options_.sentLogPath.empty()) {
        sentLog_ =
            ::open(options_.sentLogPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (sentLog_ < 0) {
            return fail(options_.sentLogPath);
        }
    }
    // Without it, a client that dies holding TIOCEXCL keeps others out until restart.
    closes_ = options_.releaseAbandoned ? ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC) : -1;
    if (closes_ >= 0 &&
        ::inotify_add_watch(closes_, slavePath_.c_str(), IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
        ::close(closes_);
        closes_ = -1;
    }
    const std::uint8_t country = LoadState().value_or(kDefaultCountry);
    country_.store(country, std::memory_order_release);
    dialogue_.emplace(options_, country);
    if (!options_.linkPath.empty()) {
        struct stat existing {};
        if (::lstat(options_.linkPath.c_str(), &existing) == 0) {
            if (!S_ISLNK(existing.st_mode)) {
                errno = EEXIST;
                return fail(options_.linkPath);
            }
            ::unlink(options_.linkPath.c_str());
        }
        if (::symlink(slavePath_.c_str(), options_.linkPath.c_str()) != 0) {
            return fail(options_.linkPath);
        }
        linked_ = true;
    }
    return true;
}

std::optional<std::uint8_t> ModemSim::LoadState() const {
    if (options_.statePath.empty()) {
        return std::nullopt;
    }
    std::ifstream file(options_.statePath);
    std::string line;
    while (std::getline(file, line)) {
        if (line.rfind("GCI=", 0) == 0 && line.size() >= 6 && HexDigit(line[4]) >= 0 &&
            HexDigit(line[5]) >= 0) {
            auto code = static_cast<std::uint8_t>(HexDigit(line[4]) * 16 + HexDigit(line[5]));
            if (T35Name(code)) {
                return code;
            }
        }
    }
    return std::nullopt;
}

void ModemSim::SaveState(std::uint8_t country) const {
    if (options_.statePath.empty()) {
        return;
    }
    // Written aside and renamed, so a run cut short never leaves half a file.
    const std::string temporary = options_.statePath + ".tmp";
    {
        std::ofstream file(temporary, std::ios::trunc);
        file << "GCI=" << Hex2(country) << "\n";
        if (!file) {
            return;
        }
    }
    std::rename(temporary.c_str(), options_.statePath.c_str());
}

void ModemSim::RequestStop() {
    const std::uint64_t one = 1;
    ssize_t ignored = ::write(stop_, &one, sizeof one);
    (void)ignored;
}

void ModemSim::Start() {
    thread_ = std::thread([this] { Run(); });
}

void ModemSim::Stop() {
    if (thread_.joinable()) {
        RequestStop();
        thread_.join();
    }
}

bool ModemSim::WaitStop(int milliseconds) {
    pollfd entry{stop_, POLLIN, 0};
    return ::poll(&entry, 1, milliseconds) > 0;
}

void ModemSim::Transcript(const char* direction, std::string_view bytes) {
    if (options_.verbose) {
        std::fprintf(stderr, "[%14lld us] %s \"%s\"\n", MonotonicMicros(), direction,
                     Escaped(bytes).c_str());
    }
}

void ModemSim::Run() {
    if (master_ < 0 || !dialogue_) {
        return;
    }
    std::array<char, 512> buffer;
    for (;;) {
        pollfd entries[3] = {{stop_, POLLIN, 0}, {master_, POLLIN, 0}, {closes_, POLLIN, 0}};
        if (::poll(entries, 3, -1) < 0 && errno != EINTR) {
            return;
        }
        if (entries[0].revents != 0) {
            return;
        }
        if (entries[2].revents != 0) {
            ReleaseAbandonedExclusion();
        }
        if (entries[1].revents == 0) {
            continue;
        }
        ssize_t count = ::read(master_, buffer.data(), buffer.size());
        if (count <= 0) {
            // The slave end is held here, so this is not a client leaving; do not spin on it.
            if (count < 0 && (errno == EAGAIN || errno == EINTR)) {
                continue;
            }
            if (WaitStop(50)) {
                return;
            }
            continue;
        }
        const std::string_view received(buffer.data(), static_cast<std::size_t>(count));
        Transcript("<-", received);
        if (log_ >= 0) {
            ssize_t ignored = ::write(log_, received.data(), received.size());
            (void)ignored;
        }
        std::vector<ModemOutput> out;
        dialogue_->Receive(received, out);
        const std::uint8_t country = dialogue_->Country();
        if (country != country_.load(std::memory_order_acquire)) {
            country_.store(country, std::memory_order_release);
            SaveState(country);
        }
        if (!SendAll(out)) {
            return;
        }
    }
}

bool ModemSim::SendAll(const std::vector<ModemOutput>& out) {
    for (const ModemOutput& piece : out) {
        if (piece.reply && options_.delayMs > 0 && WaitStop(options_.delayMs)) {
            return false;
        }
        if (!WriteBytes(piece.bytes)) {
            return false;
        }
    }
    return true;
}

bool ModemSim::WriteBytes(std::string_view bytes) {
    while (!bytes.empty()) {
        if (options_.hangupAfter >= 0 && sent_ >= options_.hangupAfter) {
            HangUp();
            return false;
        }
        std::size_t chunk = options_.pace ? 1 : bytes.size();
        if (options_.hangupAfter >= 0) {
            chunk = std::min<std::size_t>(chunk, options_.hangupAfter - sent_);
        }
        ssize_t written = ::write(master_, bytes.data(), chunk);
        if (written < 0) {
            if (errno != EAGAIN && errno != EINTR) {
                return false;
            }
            pollfd entries[2] = {{stop_, POLLIN, 0}, {master_, POLLOUT, 0}};
            ::poll(entries, 2, -1);
            if (entries[0].revents != 0) {
                return false;
            }
            continue;
        }
        Transcript("->", bytes.substr(0, static_cast<std::size_t>(written)));
        if (sentLog_ >= 0) {
            ssize_t ignored = ::write(sentLog_, bytes.data(), static_cast<std::size_t>(written));
            (void)ignored;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
        sent_ += written;
        if (options_.pace) {
            // One start bit, eight data bits, one stop bit at 38400 bit/s.
            std::this_thread::sleep_for(std::chrono::microseconds(260));
        }
    }
    if (options_.hangupAfter >= 0 && sent_ >= options_.hangupAfter) {
        HangUp();
        return false;
    }
    return true;
}

// The device stays open here, so the kernel never clears TIOCEXCL by itself: a client that
// ended without TIOCNXCL (killed, or leaving its port open at exit) would lock every later
// client out. When nobody holds the device's flock any more, the exclusion is abandoned.
void ModemSim::ReleaseAbandonedExclusion() {
    alignas(inotify_event) char events[1024];
    while (::read(closes_, events, sizeof events) > 0) {
    }
    int exclusive = 0;
    if (::ioctl(slave_, TIOCGEXCL, &exclusive) != 0 || exclusive == 0) {
        return;
    }
    if (::flock(slave_, LOCK_EX | LOCK_NB) == 0) {
        ::ioctl(slave_, TIOCNXCL);
        ::flock(slave_, LOCK_UN);
        Transcript("--", "released an abandoned exclusive open");
    }
}

void ModemSim::HangUp() {
    // Closing the master flushes what the client has not read yet, which a real line would have
    // delivered. So wait until the client has read it all: for as long as a live client may take
    // on a loaded machine while bytes wait, and until the queue has stayed empty a little while,
    // since written bytes reach it through the kernel's work queue, not at once.
    constexpr int kCheckMs = 5;
    constexpr int kQuietChecks = 10;
    constexpr int kPatienceMs = 20000;
    int quiet = 0;
    for (int waited = 0; waited < kPatienceMs && quiet < kQuietChecks; waited += kCheckMs) {
        int queued = 0;
        if (::ioctl(slave_, FIONREAD, &queued) != 0) {
            break;
        }
        quiet = queued == 0 ? quiet + 1 : 0;
        if (WaitStop(kCheckMs)) {
            break;
        }
    }
    Transcript("--", "hang-up");
    // Told before the line goes dead, so whoever sees the hang-up also sees the flag.
    hungUp_.store(true, std::memory_order_release);
    CloseAll();
}

}  // namespace countryset
