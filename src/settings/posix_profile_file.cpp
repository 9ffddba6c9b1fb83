// The settings file on POSIX systems. A write-back takes an advisory lock (flock) on the folder
// that holds the file, so the lock does not depend on the file keeping its inode, and renames the
// temporary over the file within that folder.
//
// The path is walked one component at a time through folder descriptors, each opened without
// following links; a symbolic link is followed only when it belongs to the user running the
// program or to root, and the file that is opened must be the one that was checked.
#include "settings/posix_file_write_ops.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <thread>
#include <utility>

#include "settings/settings_file_access.h"

namespace countryset {
namespace settings_file {
namespace {

constexpr int kMaxLinkHops = 40;
constexpr std::size_t kMaxTempStem = 200;
// Another run's write-back holds the lock for milliseconds; a lock held longer than this is
// not a write-back, and the choice is reported unsaved rather than waited for forever.
constexpr auto kLockWait = std::chrono::seconds(10);

constexpr const char* kForeignLink = "A symbolic link on its path belongs to another user";

FileWriteOps& OpsOrSystem(FileWriteOps* ops) {
    static FileWriteOps system;
    return ops != nullptr ? *ops : system;
}

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            Reset(std::exchange(other.fd_, -1));
        }
        return *this;
    }
    ~UniqueFd() { Reset(-1); }
    int Get() const { return fd_; }
    int Release() { return std::exchange(fd_, -1); }
    bool Valid() const { return fd_ >= 0; }
    void Reset(int fd) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

Outcome Failed(int error, const char* text = nullptr) {
    return {Found::kFailed, text != nullptr ? text : std::strerror(error)};
}

// Where the file lies: the folder that holds it and its name there, which is not a link.
struct Located {
    UniqueFd dir;  // opened with O_PATH
    std::string name;
};

void PushComponents(std::deque<std::string>& parts, std::string_view path) {
    std::deque<std::string> components;
    std::size_t pos = 0;
    while (pos <= path.size()) {
        const std::size_t slash = std::min(path.find('/', pos), path.size());
        const std::string_view part = path.substr(pos, slash - pos);
        if (!part.empty() && part != ".") {
            components.emplace_back(part);
        }
        pos = slash + 1;
    }
    parts.insert(parts.begin(), components.begin(), components.end());
}

// Walks the path one component at a time, each opened without following links, so that what
// is used next is what was just checked. Only links of our own or of root's are followed: where
// operators may write the settings folder, a link one of them planted must not lead another
// user's run (root's above all) to read or rewrite a file of theirs.
Outcome Locate(std::string_view path, Located& out) {
    UniqueFd dir(::open(path.starts_with('/') ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!dir.Valid()) {
        return Failed(errno);
    }
    std::deque<std::string> parts;
    PushComponents(parts, path);
    int hops = 0;
    while (!parts.empty()) {
        const std::string part = std::move(parts.front());
        parts.pop_front();
        const bool last = parts.empty();
        UniqueFd fd(::openat(dir.Get(), part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat info {};
        if (!fd.Valid() || ::fstat(fd.Get(), &info) != 0) {
            if (errno == ENOENT && last) {
                out.dir = std::move(dir);
                out.name = part;
                return {Found::kMissing, {}};
            }
            return errno == ENOENT ? Outcome{Found::kMissing, {}} : Failed(errno);
        }
        if (S_ISLNK(info.st_mode)) {
            if (info.st_uid != ::geteuid() && info.st_uid != 0) {
                return Failed(EPERM, kForeignLink);
            }
            if (++hops > kMaxLinkHops) {
                return Failed(ELOOP);
            }
            char target[PATH_MAX + 1];
            const ssize_t n = ::readlinkat(fd.Get(), "", target, sizeof target);
            if (n <= 0 || static_cast<std::size_t>(n) >= sizeof target) {
                return Failed(n < 0 ? errno : ENAMETOOLONG);
            }
            if (target[0] == '/') {
                dir.Reset(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
                if (!dir.Valid()) {
                    return Failed(errno);
                }
            }
            PushComponents(parts, std::string_view(target, static_cast<std::size_t>(n)));
            continue;
        }
        if (last) {
            out.dir = std::move(dir);
            out.name = part;
            return {Found::kFile, {}};
        }
        if (!S_ISDIR(info.st_mode)) {
            return Failed(ENOTDIR);
        }
        dir = std::move(fd);
    }
    return Failed(EISDIR);  // the path names a folder ("/", "x/..")
}

// Opens the regular file at name in the folder for reading, and only that file: its type and
// size are checked before it is opened (a FIFO or a device is never opened), and the file
// opened must be the one checked, or a swap in between would hand over another.
Outcome OpenChecked(FileWriteOps& ops, int dir, const std::string& name, UniqueFd& file,
                    struct stat& info) {
    struct stat checked {};
    if (::fstatat(dir, name.c_str(), &checked, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT ? Outcome{Found::kMissing, {}} : Failed(errno);
    }
    if (S_ISLNK(checked.st_mode)) {
        return Failed(ELOOP, kChanged);  // Locate left no link here
    }
    if (S_ISDIR(checked.st_mode)) {
        return Failed(EISDIR);
    }
    if (!S_ISREG(checked.st_mode)) {
        return Failed(EINVAL, kNotRegular);
    }
    if (static_cast<std::size_t>(checked.st_size) > kMaxSettingsFileBytes) {
        return Failed(EFBIG, kTooLarge);
    }
    ops.Checked(dir, name.c_str());
    file.Reset(
        ::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!file.Valid()) {
        return errno == ELOOP ? Failed(ELOOP, kChanged) : Failed(errno);
    }
    if (::fstat(file.Get(), &info) != 0) {
        return Failed(errno);
    }
    if (info.st_dev != checked.st_dev || info.st_ino != checked.st_ino ||
        (info.st_mode & S_IFMT) != (checked.st_mode & S_IFMT)) {
        file.Reset(-1);
        return Failed(EAGAIN, kChanged);
    }
    return {Found::kFile, {}};
}

Outcome ReadAll(int fd, const struct stat& info, std::string& text) {
    text.clear();
    // The size known up front saves the copies of a growing string; a file that grows
    // meanwhile still stops at the limit.
    text.reserve(
        std::min<std::size_t>(static_cast<std::size_t>(info.st_size), kMaxSettingsFileBytes) + 1);
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            text.clear();
            return Failed(errno);
        }
        if (n == 0) {
            return {Found::kFile, {}};
        }
        if (text.size() + static_cast<std::size_t>(n) > kMaxSettingsFileBytes) {
            text.clear();
            text.shrink_to_fit();
            return Failed(EFBIG, kTooLarge);
        }
        text.append(chunk, static_cast<std::size_t>(n));
    }
}

// Another run's write-back may hold the lock; it is waited for, within reason. A file system
// without flock on folders gets the write-back unserialised, as before locks existed, rather
// than none at all.
bool LockFolder(int dir) {
    const auto deadline = std::chrono::steady_clock::now() + kLockWait;
    while (::flock(dir, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Temporaries of writers that were killed before their rename would otherwise pile up beside
// the settings file; those whose process is gone are removed.
void RemoveStaleTemporaries(int dirFd, const std::string& stem) {
    const int copy = ::dup(dirFd);
    if (copy < 0) {
        return;
    }
    DIR* dir = ::fdopendir(copy);
    if (dir == nullptr) {
        ::close(copy);
        return;
    }
    ::rewinddir(dir);
    const std::string prefix = "." + stem + ".tmp";
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name(entry->d_name);
        if (!name.starts_with(prefix)) {
            continue;
        }
        const long pid = std::strtol(entry->d_name + prefix.size(), nullptr, 10);
        if (pid > 0 && pid != ::getpid() && ::kill(static_cast<pid_t>(pid), 0) != 0 &&
            errno == ESRCH) {
            ::unlinkat(dirFd, entry->d_name, 0);
        }
    }
    ::closedir(dir);
}

// What became of a replacement: kFolderRefused when the folder's permissions forbid the
// temporary or the rename (the old file is then whole and no temporary is left).
enum class Replaced { kDone, kFailed, kFolderRefused };

bool FolderRefused(int error) {
    return error == EACCES || error == EPERM;
}

// Writes all of text through ops, from where fd stands.
bool WriteAll(FileWriteOps& ops, int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ops.Write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

Replaced ReplaceFile(FileWriteOps& ops, int dir, const std::string& name, const std::string& text,
                     const struct stat* previous) {
    std::string stem = name;
    if (stem.size() > kMaxTempStem) {
        stem.resize(kMaxTempStem);
    }
    // A new file gets the usual 0666 less the umask; an existing one keeps its permissions, less
    // set-user-ID and set-group-ID, which a settings file has no use for.
    const mode_t mode = previous != nullptr ? (previous->st_mode & 01777) : 0666;

    std::string temp;
    UniqueFd fd;
    for (int attempt = 0; attempt < 100 && !fd.Valid(); ++attempt) {
        temp = "." + stem + ".tmp" + std::to_string(::getpid()) + "." + std::to_string(attempt);
        fd.Reset(::openat(dir, temp.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, mode));
        if (!fd.Valid() && errno != EEXIST) {
            return FolderRefused(errno) ? Replaced::kFolderRefused : Replaced::kFailed;
        }
    }
    if (!fd.Valid()) {
        return Replaced::kFailed;
    }

    bool ok = true;
    if (previous != nullptr) {
        // Ownership is kept where we may (as root); failing that the file becomes ours, as any
        // rewrite would make it. The mode goes last since a change of owner may clear bits.
        if (previous->st_uid != ::geteuid() || previous->st_gid != ::getegid()) {
            if (::fchown(fd.Get(), previous->st_uid, previous->st_gid) != 0) {
                errno = 0;
            }
        }
        ok = ::fchmod(fd.Get(), mode) == 0;
    }
    ok = ok && WriteAll(ops, fd.Get(), text);
    ok = ok && ops.Sync(fd.Get()) == 0;
    ok = (::close(fd.Release()) == 0) && ok;
    bool refused = false;
    if (ok && ops.Rename(dir, temp.c_str(), name.c_str()) != 0) {
        // A sticky folder lets us create the temporary but not rename it over another's file.
        refused = FolderRefused(errno);
        ok = false;
    }
    if (!ok) {
        ::unlinkat(dir, temp.c_str(), 0);
        return refused ? Replaced::kFolderRefused : Replaced::kFailed;
    }
    // The rename itself reaches the disk with the folder's entry; a failure here no longer
    // endangers the old or the new text, so it is not reported.
    (void)::fsync(dir);
    RemoveStaleTemporaries(dir, stem);
    return Replaced::kDone;
}

// For an operator who may write the file but not its folder: the file is rewritten where it
// lies (under the same folder lock), cut to the new length and flushed to disk. Unlike the
// replacement, a failure half-way can leave the file damaged; it is the only way left.
bool RewriteInPlace(FileWriteOps& ops, int dir, const std::string& name, const std::string& text,
                    const struct stat& previous) {
    UniqueFd fd(
        ::openat(dir, name.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat info {};
    if (!fd.Valid() || ::fstat(fd.Get(), &info) != 0) {
        return false;
    }
    // Only the file read under the lock is written.
    if (!S_ISREG(info.st_mode) || info.st_dev != previous.st_dev ||
        info.st_ino != previous.st_ino) {
        return false;
    }
    bool ok = WriteAll(ops, fd.Get(), text);
    ok = ok && ::ftruncate(fd.Get(), static_cast<off_t>(text.size())) == 0;
    ok = ok && ops.Sync(fd.Get()) == 0;
    ok = (::close(fd.Release()) == 0) && ok;
    return ok;
}

}  // namespace

Outcome ReadWhole(FileWriteOps* ops, std::string_view path, std::string& text) {
    Located located;
    Outcome outcome = Locate(path, located);
    UniqueFd file;
    struct stat info {};
    if (outcome.found == Found::kFile) {
        outcome = OpenChecked(OpsOrSystem(ops), located.dir.Get(), located.name, file, info);
    }
    if (outcome.found == Found::kFile) {
        outcome = ReadAll(file.Get(), info, text);
    }
    return outcome;
}

struct Rewrite::State {
    FileWriteOps& ops;
    Located located;
    UniqueFd dir;  // the checked folder, opened so that it can carry the lock
    bool existed = false;
    struct stat info {};
};

Rewrite::Rewrite(FileWriteOps* ops, std::string_view path)
    : state_(std::make_unique<State>(State{OpsOrSystem(ops), {}, {}, false, {}})) {
    if (Locate(path, state_->located).found == Found::kFailed || !state_->located.dir.Valid()) {
        return;
    }
    // A descriptor that can carry the lock, fsync and a listing; O_PATH ones can do none of it.
    UniqueFd dir(::openat(state_->located.dir.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.Valid() && LockFolder(dir.Get())) {
        state_->dir = std::move(dir);
    }
}

// Closing the folder's descriptor releases its lock.
Rewrite::~Rewrite() = default;

bool Rewrite::Locked() const {
    return state_->dir.Valid();
}

Outcome Rewrite::Read(std::string& text) {
    State& s = *state_;
    UniqueFd file;
    Outcome outcome = OpenChecked(s.ops, s.dir.Get(), s.located.name, file, s.info);
    if (outcome.found == Found::kFile) {
        outcome = ReadAll(file.Get(), s.info, text);
    }
    s.existed = outcome.found == Found::kFile;
    return outcome;
}

bool Rewrite::Replace(const std::string& text) {
    State& s = *state_;
    // Replacing the file by rename needs only the folder's permission; a file its owner made
    // read-only, or that we may not write, stays as it is. The mode check also holds for root.
    // Where the folder refuses the replacement, the file is rewritten in place instead.
    if (s.existed &&
        ((s.info.st_mode & 0222) == 0 || ::faccessat(s.dir.Get(), s.located.name.c_str(), W_OK,
                                                     AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0)) {
        return false;
    }
    const Replaced replaced =
        ReplaceFile(s.ops, s.dir.Get(), s.located.name, text, s.existed ? &s.info : nullptr);
    if (replaced == Replaced::kFolderRefused && s.existed) {
        return RewriteInPlace(s.ops, s.dir.Get(), s.located.name, text, s.info);
    }
    return replaced == Replaced::kDone;
}

}  // namespace settings_file

ssize_t FileWriteOps::Write(int fd, const void* data, std::size_t size) {
    return ::write(fd, data, size);
}

int FileWriteOps::Sync(int fd) {
    return ::fsync(fd);
}

int FileWriteOps::Rename(int dirFd, const char* from, const char* to) {
    return ::renameat(dirFd, from, dirFd, to);
}

void FileWriteOps::Checked(int, const char*) {}

}  // namespace countryset
