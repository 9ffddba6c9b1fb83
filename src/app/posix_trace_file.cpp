#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "app/trace_file.h"

namespace countryset::trace_file {

namespace {

// Why the file described by info may not take the trace; empty when it may.
std::string Refused(const struct stat& info, const std::vector<std::string>& untouchable) {
    if (S_ISLNK(info.st_mode)) {
        return "it is a symbolic link";
    }
    if (!S_ISREG(info.st_mode)) {
        return "it is not a regular file";
    }
    if (info.st_uid != ::geteuid()) {
        return "it belongs to another user";
    }
    for (const std::string& path : untouchable) {
        struct stat own {};
        if (::stat(path.c_str(), &own) == 0 && own.st_dev == info.st_dev &&
            own.st_ino == info.st_ino) {
            return "it is one of the program's own files";
        }
    }
    return {};
}

}  // namespace

std::string CheckPath(const std::string& path, const std::vector<std::string>& untouchable) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0) {
        if (std::string refused = Refused(info, untouchable); !refused.empty()) {
            return refused;
        }
        return ::access(path.c_str(), W_OK) == 0 ? std::string() : std::strerror(errno);
    }
    if (errno != ENOENT) {
        return std::strerror(errno);
    }
    // A new file: its folder must take it.
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    return ::access(folder.c_str(), W_OK | X_OK) == 0 ? std::string() : std::strerror(errno);
}

std::FILE* OpenForAppend(const std::string& path, const std::vector<std::string>& untouchable,
                         bool* empty, std::string* problem) {
    // Never emptied: appended to. O_NONBLOCK: a FIFO put in its place since the check must not
    // hold the run.
    const int fd = ::open(
        path.c_str(),
        O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0) {
        *problem = errno == ELOOP ? "it is a symbolic link" : std::strerror(errno);
        return nullptr;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        *problem = std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    *problem = Refused(info, untouchable);
    if (problem->empty() && ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        *problem = std::strerror(errno);
    }
    std::FILE* file = problem->empty() ? ::fdopen(fd, "a") : nullptr;
    if (file == nullptr) {
        if (problem->empty()) {
            *problem = std::strerror(errno);
        }
        ::close(fd);
        return nullptr;
    }
    *empty = info.st_size == 0;
    return file;
}

bool AppendWhole(std::FILE* file, std::string_view text) {
    const int fd = ::fileno(file);
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// flock: held by the open file, so it keeps out another process, and another descriptor of
// this one, alike. Tried without blocking: a user who may read the file could hold it for ever.
bool LockAppends(std::FILE* file, int waitMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        if (::flock(::fileno(file), LOCK_EX | LOCK_NB) == 0) {
            return true;
        }
        if ((errno != EWOULDBLOCK && errno != EINTR) ||
            std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void UnlockAppends(std::FILE* file) {
    ::flock(::fileno(file), LOCK_UN);
}

bool IsEmpty(std::FILE* file) {
    struct stat info {};
    return ::fstat(::fileno(file), &info) == 0 && info.st_size == 0;
}

}  // namespace countryset::trace_file
