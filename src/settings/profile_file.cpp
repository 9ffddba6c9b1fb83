#include "settings/profile_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>
#include <vector>

#include "settings/profile_text.h"

namespace countryset {
namespace {

// Settings files are a few hundred bytes; anything past this is not one (or is /dev/zero).
constexpr std::size_t kMaxProfileBytes = 16 * 1024 * 1024;
constexpr int kMaxLinkHops = 40;
constexpr std::size_t kMaxTempStem = 200;

FileWriteOps& SystemOps() {
    static FileWriteOps ops;
    return ops;
}

enum class ReadResult { kRead, kMissing, kFailed };

ReadResult ReadWholeFile(const std::string& path, std::string& text, struct stat& info) {
    text.clear();
    // Non-blocking so that a FIFO in the file's place cannot hang the program.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return (errno == ENOENT) ? ReadResult::kMissing : ReadResult::kFailed;
    }
    ReadResult result = ReadResult::kRead;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        result = ReadResult::kFailed;
    }
    char chunk[4096];
    while (result == ReadResult::kRead) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 || text.size() + static_cast<std::size_t>(n) > kMaxProfileBytes) {
            result = ReadResult::kFailed;
        } else if (n == 0) {
            break;
        } else {
            text.append(chunk, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    if (result != ReadResult::kRead) {
        text.clear();
    }
    return result;
}

bool UsablePath(std::string_view path) {
    return !path.empty() && path.find('\0') == std::string_view::npos;
}

// The text every read works on: a file that is missing or unreadable reads as empty, so each
// key takes its default.
std::string TextForReading(std::string_view path) {
    std::string text;
    struct stat info {};
    if (UsablePath(path)) {
        ReadWholeFile(std::string(path), text, info);
    }
    return text;
}

std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Follows symbolic links to the file that holds the text, so that a linked settings file stays
// a link. A dangling link resolves to the file it names, which the write then creates.
bool ResolveLinks(std::string path, std::string& target) {
    for (int hop = 0; hop < kMaxLinkHops; ++hop) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0) {
            if (errno != ENOENT) {
                return false;
            }
            target = path;
            return true;
        }
        if (!S_ISLNK(info.st_mode)) {
            target = path;
            return true;
        }
        // Only a link of our own or of root's is followed for a write: where operators may
        // write the settings folder, a link one of them planted must not lead another user's
        // run (root's above all) to rewrite a file of theirs.
        if (info.st_uid != ::geteuid() && info.st_uid != 0) {
            return false;
        }
        std::vector<char> link(PATH_MAX + 1);
        const ssize_t n = ::readlink(path.c_str(), link.data(), link.size());
        if (n <= 0 || static_cast<std::size_t>(n) >= link.size()) {
            return false;
        }
        std::string next(link.data(), static_cast<std::size_t>(n));
        if (next.front() != '/' && path.find('/') != std::string::npos) {
            next = DirectoryOf(path) + "/" + next;
        }
        path = std::move(next);
    }
    return false;
}

// Temporaries of writers that were killed before their rename would otherwise pile up beside
// the settings file; those whose process is gone are removed.
void RemoveStaleTemporaries(const std::string& directory, const std::string& stem) {
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) {
        return;
    }
    const std::string prefix = "." + stem + ".tmp";
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name(entry->d_name);
        if (!name.starts_with(prefix)) {
            continue;
        }
        const long pid = std::strtol(entry->d_name + prefix.size(), nullptr, 10);
        if (pid > 0 && pid != ::getpid() && ::kill(static_cast<pid_t>(pid), 0) != 0 &&
            errno == ESRCH) {
            ::unlinkat(::dirfd(dir), entry->d_name, 0);
        }
    }
    ::closedir(dir);
}

bool ReplaceFile(FileWriteOps& ops, const std::string& target, const std::string& text,
                 const struct stat* previous) {
    const std::string directory = DirectoryOf(target);
    std::string stem =
        target.substr(target.rfind('/') == std::string::npos ? 0 : target.rfind('/') + 1);
    if (stem.size() > kMaxTempStem) {
        stem.resize(kMaxTempStem);
    }
    // A new file gets the usual 0666 less the umask; an existing one keeps its mode.
    const mode_t mode = previous != nullptr ? (previous->st_mode & 07777) : 0666;

    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = directory + "/." + stem + ".tmp" + std::to_string(::getpid()) + "." +
               std::to_string(attempt);
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, mode);
        if (fd < 0 && errno != EEXIST) {
            return false;
        }
    }
    if (fd < 0) {
        return false;
    }

    bool ok = true;
    if (previous != nullptr) {
        // Ownership is kept where we may (as root); failing that the file becomes ours, as any
        // rewrite would make it. The mode goes last since a change of owner may clear bits.
        if (previous->st_uid != ::geteuid() || previous->st_gid != ::getegid()) {
            if (::fchown(fd, previous->st_uid, previous->st_gid) != 0) {
                errno = 0;
            }
        }
        ok = ::fchmod(fd, mode) == 0;
    }
    std::size_t done = 0;
    while (ok && done < text.size()) {
        const ssize_t n = ops.Write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            ok = false;
        } else {
            done += static_cast<std::size_t>(n);
        }
    }
    ok = ok && ops.Sync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    ok = ok && ops.Rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) {
        ::unlink(temp.c_str());
        return false;
    }
    // The rename itself reaches the disk with the folder's entry; a failure here no longer
    // endangers the old or the new text, so it is not reported.
    const int dirFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        (void)::fsync(dirFd);
        ::close(dirFd);
    }
    RemoveStaleTemporaries(directory, stem);
    return true;
}

}  // namespace

ssize_t FileWriteOps::Write(int fd, const void* data, std::size_t size) {
    return ::write(fd, data, size);
}

int FileWriteOps::Sync(int fd) {
    return ::fsync(fd);
}

int FileWriteOps::Rename(const char* from, const char* to) {
    return ::rename(from, to);
}

std::string ProfileFile::Text(std::string_view path) const {
    return TextForReading(path);
}

bool ProfileFile::WritePrivateProfileString(std::string_view section, std::string_view key,
                                            std::string_view text, std::string_view path) {
    std::string target;
    if (!UsablePath(path) || !ResolveLinks(std::string(path), target)) {
        return false;
    }
    std::string old;
    struct stat info {};
    const ReadResult read = ReadWholeFile(target, old, info);
    // A file that is there but cannot be read must not be replaced by one holding only this key.
    if (read == ReadResult::kFailed) {
        return false;
    }
    const std::optional<std::string> updated = WriteProfileValue(old, section, key, text);
    if (!updated) {
        return false;
    }
    if (read == ReadResult::kRead && *updated == old) {
        return true;
    }
    // Replacing the file by rename needs only the folder's permission; a file its owner made
    // read-only, or that we may not write, stays as it is. The mode check also holds for root.
    if (read == ReadResult::kRead &&
        ((info.st_mode & 0222) == 0 ||
         ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0)) {
        return false;
    }
    return ReplaceFile(ops_ != nullptr ? *ops_ : SystemOps(), target, *updated,
                       read == ReadResult::kRead ? &info : nullptr);
}

}  // namespace countryset
