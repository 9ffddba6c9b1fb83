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

namespace countryset {

namespace {

constexpr T35Country kCountries[] = {
    {"Japan", 0x00},         {"Argentina", 0x07},    {"Australia", 0x09},
    {"Austria", 0x0A},       {"Belgium", 0x0F},      {"Brazil", 0x16},
    {"Bulgaria", 0x1B},      {"Canada", 0x20},       {"Chile", 0x25},
    {"China", 0x26},         {"Cyprus", 0x2D},       {"Czech Republic", 0x2E},
    {"Denmark", 0x31},       {"Egypt", 0x36},        {"Finland", 0x3C},
    {"France", 0x3D},        {"Germany", 0x42},      {"Greece", 0x46},
    {"Hong Kong", 0x50},     {"Hungary", 0x51},      {"Iceland", 0x52},
    {"India", 0x53},         {"Indonesia", 0x54},    {"Ireland", 0x57},
    {"Israel", 0x58},        {"Italy", 0x59},        {"Korea", 0x61},
    {"Luxembourg", 0x69},    {"Malaysia", 0x6C},     {"Mexico", 0x73},
    {"Netherlands", 0x7B},   {"New Zealand", 0x7E},  {"Norway", 0x82},
    {"Philippines", 0x89},   {"Poland", 0x8A},       {"Portugal", 0x8B},
    {"Romania", 0x8E},       {"Saudi Arabia", 0x98}, {"Singapore", 0x9C},
    {"South Africa", 0x9F},  {"Spain", 0xA0},        {"Sweden", 0xA5},
    {"Switzerland", 0xA6},   {"Thailand", 0xA9},     {"Turkey", 0xAE},
    {"Ukraine", 0xB2},       {"UAE", 0xB3},          {"United Kingdom", 0xB4},
    {"United States", 0xB5}, {"Russia", 0xB8},       {"Slovakia", 0xC5},
    {"Slovenia", 0xC6},      {"Taiwan", 0xFE},
};

std::string Hex2(std::uint8_t value) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    return {kDigits[value >> 4], kDigits[value & 0x0F]};
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::string Escaped(std::string_view bytes) {
    std::string text;
    for (unsigned char c : bytes) {
        if (c == '\r') {
            text += "\\r";
        } else if (c == '\n') {
            text += "\\n";
        } else if (c == '\\') {
            text += "\\\\";
        } else if (c < 0x20 || c >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            text += hex;
        } else {
            text += static_cast<char>(c);
        }
    }
    return text;
}

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

std::span<const T35Country> KnownCountries() {
    return kCountries;
}

bool IsKnownCountry(std::uint8_t code) {
    for (const T35Country& country : kCountries) {
        if (country.code == code) {
            return true;
        }
    }
    return false;
}

std::string UnescapeArgument(std::string_view text) {
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            bytes += text[i];
            continue;
        }
        const char kind = text[++i];
        switch (kind) {
            case 'r':
                bytes += '\r';
                break;
            case 'n':
                bytes += '\n';
                break;
            case 't':
                bytes += '\t';
                break;
            case 'x': {
                int value = 0;
                int digits = 0;
                while (digits < 2 && i + 1 < text.size() && HexDigit(text[i + 1]) >= 0) {
                    value = value * 16 + HexDigit(text[++i]);
                    ++digits;
                }
                bytes += digits > 0 ? static_cast<char>(value) : 'x';
                break;
            }
            default:
                bytes += kind;
                break;
        }
    }
    return bytes;
}

// ---------------------------------------------------------------------------------------------

bool ParseSupportedSet(std::string_view text, std::bitset<256>& codes) {
    codes.reset();
    if (text.size() < 2 || text.front() != '(' || text.back() != ')') {
        return false;
    }
    text = text.substr(1, text.size() - 2);
    auto code = [](std::string_view digits, int& value) {
        value = 0;
        if (digits.empty() || digits.size() > 2) {
            return false;
        }
        for (char c : digits) {
            if (HexDigit(c) < 0) {
                return false;
            }
            value = value * 16 + HexDigit(c);
        }
        return true;
    };
    while (!text.empty()) {
        const std::size_t comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        if (comma != std::string_view::npos && text.empty()) {
            return false;
        }
        const std::size_t dash = item.find('-');
        int first = 0;
        int last = 0;
        if (!(dash == std::string_view::npos
                  ? code(item, first) && code(item, last)
                  : code(item.substr(0, dash), first) && code(item.substr(dash + 1), last)) ||
            first > last) {
            return false;
        }
        for (int c = first; c <= last; ++c) {
            codes.set(static_cast<std::size_t>(c));
        }
    }
    return true;
}

ModemDialogue::ModemDialogue(ModemSimOptions options, std::uint8_t country)
    : options_(std::move(options)), country_(country) {
    if (!options_.supported.empty() && ParseSupportedSet(options_.supported, supported_)) {
        supportedText_ = options_.supported;
        return;
    }
    supportedText_ = "(";
    for (const T35Country& known : kCountries) {
        supportedText_ += (supportedText_.back() == '(' ? "" : ",") + Hex2(known.code);
        supported_.set(known.code);
    }
    supportedText_ += ")";
}

std::string ModemDialogue::Receive(std::string_view bytes) {
    std::vector<ModemOutput> out;
    Receive(bytes, out);
    std::string all;
    for (const ModemOutput& piece : out) {
        all += piece.bytes;
    }
    return all;
}

void ModemDialogue::Send(std::vector<ModemOutput>& out, std::string_view bytes, bool reply) {
    if (bytes.empty()) {
        return;
    }
    if (!out.empty() && !reply && !out.back().reply) {
        out.back().bytes += bytes;  // keep echoed characters together
        return;
    }
    out.push_back(ModemOutput{std::string(bytes), reply});
}

void ModemDialogue::Receive(std::string_view bytes, std::vector<ModemOutput>& out) {
    if (options_.silent) {
        return;
    }
    for (char c : bytes) {
        // A line feed after the carriage return of a CR LF pair starts no new line.
        if (atLineStart_ && c != '\r' && c != '\n') {
            atLineStart_ = false;
            if (options_.stray > 0) {
                std::string noise(static_cast<std::size_t>(options_.stray), '~');
                Send(out, noise, false);
            }
        }
        if (echo_ && !options_.noEcho) {
            Send(out, std::string_view(&c, 1), false);
        }
        if (c == '\r') {
            ExecuteLine(out);
            line_.clear();
            overflow_ = false;
            atLineStart_ = true;
        } else if (c == '\b') {
            if (!line_.empty()) {
                line_.pop_back();
            }
        } else if (c == '\n' && line_.empty()) {
            // nothing: the tail of a CR LF pair
        } else if (line_.size() < kMaxLine) {
            line_ += c;
        } else {
            overflow_ = true;
        }
    }
}

void ModemDialogue::ExecuteLine(std::vector<ModemOutput>& out) {
    // Whatever comes before "AT" is line noise and is ignored, as is a line without it.
    std::size_t start = std::string::npos;
    for (std::size_t i = 0; i + 1 < line_.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(line_[i])) == 'A' &&
            std::toupper(static_cast<unsigned char>(line_[i + 1])) == 'T') {
            start = i + 2;
            break;
        }
    }
    if (start == std::string::npos && !overflow_) {
        return;
    }
    std::string info;
    const bool ok = !overflow_ && ExecuteCommands(std::string_view(line_).substr(start), info);
    if (options_.flood > 0) {
        std::string flood;
        for (int i = 0; i < options_.flood; ++i) {
            flood += i % 4 == 0 ? '\0' : static_cast<char>('a' + i % 26);
        }
        Send(out, flood, true);
        return;
    }
    std::string reply = ok ? info + ResultCode(true) + options_.extra : ResultCode(false);
    Send(out, reply, true);
}

bool ModemDialogue::ExecuteCommands(std::string_view body, std::string& info) {
    std::string commands;
    for (char c : body) {
        if (c != ' ') {
            commands += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
    }
    std::size_t at = 0;
    auto digit = [&](int fallback) {
        if (at < commands.size() && std::isdigit(static_cast<unsigned char>(commands[at]))) {
            return commands[at++] - '0';
        }
        return fallback;
    };
    while (at < commands.size()) {
        const char command = commands[at++];
        switch (command) {
            case 'E':
            case 'V': {
                const int value = digit(0);
                if (value > 1) {
                    return false;
                }
                (command == 'E' ? echo_ : verbose_) = value == 1;
                break;
            }
            case 'Z':
                if (digit(0) != 0) {
                    return false;
                }
                echo_ = true;  // the stored profile
                verbose_ = true;
                break;
            case '+': {
                if (commands.compare(at, 3, "GCI") != 0) {
                    return false;
                }
                at += 3;
                if (commands.compare(at, 2, "=?") == 0) {
                    at += 2;
                    if (options_.noGciTest) {
                        return false;
                    }
                    info += InfoText("+GCI: " + supportedText_);
                } else if (commands.compare(at, 1, "?") == 0) {
                    at += 1;
                    info += InfoText(options_.gciAnswer.empty() ? "+GCI: " + Hex2(country_)
                                                                : options_.gciAnswer);
                } else if (commands.compare(at, 1, "=") == 0) {
                    at += 1;
                    int value = 0;
                    int digits = 0;
                    while (at < commands.size() && HexDigit(commands[at]) >= 0) {
                        value = value * 16 + HexDigit(commands[at++]);
                        if (++digits > 2) {
                            return false;
                        }
                    }
                    if (digits == 0 || options_.errorGci || !supported_.test(value)) {
                        return false;
                    }
                    country_ = static_cast<std::uint8_t>(value);
                } else {
                    return false;
                }
                // An extended command ends at ';' or at the end of the line.
                if (at < commands.size()) {
                    if (commands[at] != ';') {
                        return false;
                    }
                    ++at;
                }
                break;
            }
            default:
                return false;
        }
    }
    return true;
}

std::string ModemDialogue::ResultCode(bool ok) const {
    if (verbose_) {
        return ok ? "\r\nOK\r\n" : "\r\nERROR\r\n";
    }
    return ok ? "0\r" : "4\r";
}

std::string ModemDialogue::InfoText(std::string_view text) const {
    std::string framed = verbose_ ? "\r\n" : "";
    return framed + std::string(text) + "\r\n";
}

// ---------------------------------------------------------------------------------------------

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
            if (IsKnownCountry(code)) {
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
