// The settings file on Windows. Paths go through the wide-character calls, so a folder of any
// name works; the text itself is bytes, as everywhere.
//
// Only a regular file is read: a device name (NUL, COM1, COM1.DAT) is refused before anything
// opens it, and a link (a reparse point that names another file: symbolic link, junction, mount
// point) is refused rather than followed, so that a run never reads or rewrites a file it did not
// mean to. Other reparse points mark files that are here in another form (cloud placeholders,
// deduplicated or compressed files): those are opened the ordinary way, which brings them in.
//
// A write-back holds a named mutex derived from the folder's identity (volume and file index,
// so every spelling of the path meets the same mutex), in the global namespace so that runs in
// other sessions are held too. The new text goes to a temporary in the same folder and is
// flushed, then ReplaceFileW puts it in the old file's place: it keeps the old file's
// attributes and security descriptor, as the POSIX side keeps mode and owner. A new file is
// moved into place with MoveFileExW and MOVEFILE_WRITE_THROUGH, never over a file that
// appeared meanwhile. A replacement the system leaves half done (the old file already off its
// name) is finished with MoveFileExW, and the temporary is never deleted while it may be the
// only copy.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include "settings/settings_file_access.h"
#include "settings/win32_file_write_ops.h"
#include "settings/win32_reparse_policy.h"
#include "settings/win32_wide_text.h"
// After <windows.h>:
#include <sddl.h>

namespace countryset {

HANDLE FileWriteOps::CreateNew(const wchar_t* path) {
    return ::CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
}

BOOL FileWriteOps::Write(HANDLE file, const void* data, DWORD size, DWORD* written) {
    return ::WriteFile(file, data, size, written, nullptr);
}

BOOL FileWriteOps::Flush(HANDLE file) {
    return ::FlushFileBuffers(file);
}

BOOL FileWriteOps::Replace(const wchar_t* replaced, const wchar_t* replacement) {
    return ::ReplaceFileW(replaced, replacement, nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                          nullptr);
}

BOOL FileWriteOps::Move(const wchar_t* from, const wchar_t* to) {
    return ::MoveFileExW(from, to, MOVEFILE_WRITE_THROUGH);
}

BOOL FileWriteOps::Delete(const wchar_t* path) {
    return ::DeleteFileW(path);
}

}  // namespace countryset

namespace countryset::settings_file {

ReparseAction ReparsePolicy(std::uint32_t attributes, std::uint32_t tag) {
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        return ReparseAction::kRead;
    }
    return IsReparseTagNameSurrogate(tag) ? ReparseAction::kRefuse : ReparseAction::kReopen;
}

namespace {

FileWriteOps& OpsOrSystem(FileWriteOps* ops) {
    static FileWriteOps system;
    return ops != nullptr ? *ops : system;
}

constexpr const char* kIsDirectory = "Is a directory";
constexpr const char* kReparsePoint = "It is a link (symbolic link, junction or mount point)";

constexpr DWORD kLockWaitMs = 10000;
// A run that is reading the file at start-up holds it open for a moment, and Windows refuses
// to replace an open file; that moment is waited out, within reason.
constexpr auto kReplaceWait = std::chrono::milliseconds(500);
constexpr std::size_t kMaxTempStem = 200;

class Handle {
public:
    Handle() = default;
    explicit Handle(HANDLE handle) : handle_(handle) {}
    Handle(Handle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    Handle& operator=(Handle&& other) noexcept {
        if (this != &other) {
            Reset(std::exchange(other.handle_, nullptr));
        }
        return *this;
    }
    ~Handle() { Reset(); }
    HANDLE Get() const { return handle_; }
    bool Valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    void Reset(HANDLE handle = nullptr) {
        if (Valid()) {
            ::CloseHandle(handle_);
        }
        handle_ = handle;
    }

private:
    HANDLE handle_ = nullptr;
};

// The system's text for an error, as a sentence fragment: no final full stop, no line break.
std::string SystemMessage(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD n = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring wide = n > 0 && text != nullptr ? std::wstring(text, n) : std::wstring();
    ::LocalFree(text);
    while (!wide.empty() && (wide.back() == L'.' || wide.back() == L' ' || wide.back() == L'\r' ||
                             wide.back() == L'\n')) {
        wide.pop_back();
    }
    std::string message = win32::Narrow(wide).value_or(std::string());
    if (message.empty()) {
        message = "System error " + std::to_string(error);
    }
    return message;
}

Outcome Failed(DWORD error) {
    return {Found::kFailed, SystemMessage(error)};
}

Outcome Failed(const char* reason) {
    return {Found::kFailed, reason};
}

// The path made full, as the system would resolve it. A name the system takes for a device
// (NUL, COM1.DAT in any folder, \\.\ paths) is refused here, before any open could act on it.
Outcome FullPath(std::string_view path, std::wstring& full) {
    const std::optional<std::wstring> wide = win32::Widen(path);
    if (!wide || wide->empty()) {
        return Failed(ERROR_NO_UNICODE_TRANSLATION);
    }
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = ::GetFullPathNameW(wide->c_str(), static_cast<DWORD>(buffer.size()),
                                           buffer.data(), nullptr);
        if (n == 0) {
            return Failed(::GetLastError());
        }
        if (n < buffer.size()) {
            buffer.resize(n);
            break;
        }
        buffer.resize(n);
    }
    const std::wstring_view view(buffer);
    const bool driveOrUnc = (view.size() >= 3 && view[1] == L':' && view[2] == L'\\') ||
                            (view.starts_with(L"\\\\") && !view.starts_with(L"\\\\.\\") &&
                             !view.starts_with(L"\\\\?\\"));
    const bool longDriveOrUnc = view.starts_with(L"\\\\?\\") &&
                                ((view.size() >= 7 && view[5] == L':' && view[6] == L'\\') ||
                                 view.substr(4).starts_with(L"UNC\\"));
    if (!driveOrUnc && !longDriveOrUnc) {
        return Failed(kNotRegular);
    }
    full = std::move(buffer);
    return {Found::kFile, {}};
}

Handle OpenForReading(const std::wstring& full, DWORD flags) {
    return Handle(::CreateFileW(
        full.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        flags | FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

// Opens the file for reading, and only a regular file: the first open does not follow a
// reparse point, a link is refused, and a folder or device that was opened is refused before a
// byte is read. Others may go on reading; a writer holding the file open makes this fail,
// which is better than reading half its text.
Outcome OpenChecked(const std::wstring& full, Handle& file, std::uint64_t& size,
                    DWORD& attributes) {
    file = OpenForReading(full, FILE_FLAG_OPEN_REPARSE_POINT);
    if (!file.Valid()) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            return {Found::kMissing, {}};
        }
        return Failed(error);
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (::GetFileType(file.Get()) != FILE_TYPE_DISK) {
        return Failed(kNotRegular);
    }
    if (!::GetFileInformationByHandle(file.Get(), &info)) {
        return Failed(::GetLastError());
    }
    FILE_ATTRIBUTE_TAG_INFO tag{info.dwFileAttributes, 0};
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
        !::GetFileInformationByHandleEx(file.Get(), FileAttributeTagInfo, &tag, sizeof tag)) {
        return Failed(::GetLastError());
    }
    switch (ReparsePolicy(tag.FileAttributes, tag.ReparseTag)) {
        case ReparseAction::kRead:
            break;
        case ReparseAction::kRefuse:
            return Failed(kReparsePoint);
        case ReparseAction::kReopen: {
            // The same file, or a link put in its place meanwhile would now be followed.
            Handle again = OpenForReading(full, 0);
            BY_HANDLE_FILE_INFORMATION reopened{};
            if (!again.Valid() || !::GetFileInformationByHandle(again.Get(), &reopened)) {
                return Failed(::GetLastError());
            }
            if (::GetFileType(again.Get()) != FILE_TYPE_DISK || !SameFile(info, reopened)) {
                return Failed(kChanged);
            }
            file = std::move(again);
            info = reopened;
            break;
        }
    }
    attributes = info.dwFileAttributes;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return Failed(kIsDirectory);
    }
    if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) {
        return Failed(kNotRegular);
    }
    size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    if (size > kMaxSettingsFileBytes) {
        return Failed(kTooLarge);
    }
    return {Found::kFile, {}};
}

Outcome ReadAll(HANDLE file, std::uint64_t size, std::string& text) {
    text.clear();
    text.reserve(static_cast<std::size_t>(size) + 1);
    char chunk[65536];
    for (;;) {
        DWORD n = 0;
        if (!::ReadFile(file, chunk, sizeof chunk, &n, nullptr)) {
            const DWORD error = ::GetLastError();
            text.clear();
            return Failed(error);
        }
        if (n == 0) {
            return {Found::kFile, {}};
        }
        // A file that grows meanwhile still stops at the limit.
        if (text.size() + n > kMaxSettingsFileBytes) {
            text.clear();
            text.shrink_to_fit();
            return Failed(kTooLarge);
        }
        text.append(chunk, n);
    }
}

Outcome ReadFile(const std::wstring& full, std::string& text, DWORD& attributes) {
    Handle file;
    std::uint64_t size = 0;
    Outcome outcome = OpenChecked(full, file, size, attributes);
    if (outcome.found == Found::kFile) {
        outcome = ReadAll(file.Get(), size, text);
    }
    return outcome;
}

// Everyone may wait for and release the write-back mutex, whichever user made it first.
Handle OpenLockMutex(const std::wstring& name) {
    SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::ConvertStringSecurityDescriptorToSecurityDescriptorW(
            L"D:(A;;0x00100001;;;WD)", SDDL_REVISION_1, &descriptor, nullptr)) {
        attributes.lpSecurityDescriptor = descriptor;
    }
    Handle mutex(::CreateMutexW(&attributes, FALSE, name.c_str()));
    ::LocalFree(descriptor);
    if (!mutex.Valid() && ::GetLastError() == ERROR_ACCESS_DENIED) {
        mutex.Reset(::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name.c_str()));
    }
    return mutex;
}

// Temporaries of writers that were ended before their move would otherwise pile up beside the
// settings file. Under the lock no other run has one under way, so every one left is stale.
void RemoveStaleTemporaries(const std::wstring& folder, const std::wstring& prefix) {
    WIN32_FIND_DATAW entry{};
    const std::wstring pattern = folder + L"\\" + prefix + L"*";
    const HANDLE find = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &entry,
                                           FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
            std::wstring_view(entry.cFileName).starts_with(prefix)) {
            ::DeleteFileW((folder + L"\\" + entry.cFileName).c_str());
        }
    } while (::FindNextFileW(find, &entry));
    ::FindClose(find);
}

bool WriteAll(FileWriteOps& ops, HANDLE file, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(text.size() - done, 1 << 20));
        DWORD n = 0;
        if (!ops.Write(file, text.data() + done, chunk, &n) || n == 0) {
            return false;
        }
        done += n;
    }
    return ops.Flush(file) != 0;
}

bool HeldByAnother(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
           error == ERROR_UNABLE_TO_REMOVE_REPLACED || error == ERROR_LOCK_VIOLATION;
}

// Whether the old file may be deleted now, which replacing it takes: another program's open
// without FILE_SHARE_DELETE, or the file's permissions, refuse it. Asking first also spares
// Wine's ReplaceFileW, which leaves a stray file in the folder whenever it fails.
DWORD DeletableNow(const std::wstring& full) {
    const Handle file(::CreateFileW(full.c_str(), DELETE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    return file.Valid() ? ERROR_SUCCESS : ::GetLastError();
}

// Whether something is known to be at path; when in doubt, no.
bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Puts temp in full's place; waits a moment while another process holds the old file open.
bool MoveIntoPlace(FileWriteOps& ops, const std::wstring& temp, const std::wstring& full,
                   bool existed) {
    if (!existed) {
        // Not over a file that appeared meanwhile: that one is someone's, and stays.
        return ops.Move(temp.c_str(), full.c_str()) != 0;
    }
    const auto deadline = std::chrono::steady_clock::now() + kReplaceWait;
    bool oldOffItsName = false;
    for (;;) {
        DWORD error = ERROR_SUCCESS;
        if (oldOffItsName) {
            if (ops.Move(temp.c_str(), full.c_str())) {
                return true;
            }
            error = ::GetLastError();
        } else {
            error = DeletableNow(full);
            if (error == ERROR_SUCCESS) {
                if (ops.Replace(full.c_str(), temp.c_str())) {
                    return true;
                }
                error = ::GetLastError();
                // Without a backup name, both mean that the old file has left its name (1177:
                // for another one) while the new text is whole in the temporary, which must now
                // take the name itself.
                if (error == ERROR_UNABLE_TO_MOVE_REPLACEMENT ||
                    error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
                    oldOffItsName = true;
                    continue;
                }
            }
        }
        if (!HeldByAnother(error) || std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace

Outcome ReadWhole(FileWriteOps*, std::string_view path, std::string& text) {
    std::wstring full;
    Outcome outcome = FullPath(path, full);
    if (outcome.found != Found::kFile) {
        return outcome;
    }
    DWORD attributes = 0;
    return ReadFile(full, text, attributes);
}

struct Rewrite::State {
    std::wstring full;    // the file
    std::wstring folder;  // the folder that holds it
    std::wstring name;    // its name there
    FileWriteOps* ops = nullptr;
    Handle mutex;
    bool locked = false;
    bool existed = false;
    DWORD attributes = 0;
};

Rewrite::Rewrite(FileWriteOps* ops, std::string_view path) : state_(std::make_unique<State>()) {
    State& s = *state_;
    s.ops = &OpsOrSystem(ops);
    if (FullPath(path, s.full).found != Found::kFile) {
        return;
    }
    const std::size_t slash = s.full.find_last_of(L'\\');
    if (slash == std::wstring::npos || slash + 1 == s.full.size()) {
        return;
    }
    s.folder = s.full.substr(0, slash);
    s.name = s.full.substr(slash + 1);
    // A folder handle for its identity alone; no access to its contents, so it is in no one's way.
    const Handle folder(::CreateFileW((s.folder + L"\\").c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!folder.Valid() || !::GetFileInformationByHandle(folder.Get(), &info)) {
        return;
    }
    wchar_t name[64];
    std::swprintf(name, std::size(name), L"Global\\countryset-settings-%08lx-%08lx%08lx",
                  static_cast<unsigned long>(info.dwVolumeSerialNumber),
                  static_cast<unsigned long>(info.nFileIndexHigh),
                  static_cast<unsigned long>(info.nFileIndexLow));
    s.mutex = OpenLockMutex(name);
    if (!s.mutex.Valid()) {
        return;
    }
    // An abandoned mutex is a run that ended mid-write; its temporary is removed as stale and
    // the file, replaced in one step or not at all, is whole.
    const DWORD waited = ::WaitForSingleObject(s.mutex.Get(), kLockWaitMs);
    s.locked = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
}

Rewrite::~Rewrite() {
    if (state_->locked) {
        ::ReleaseMutex(state_->mutex.Get());
    }
}

bool Rewrite::Locked() const {
    return state_->locked;
}

Outcome Rewrite::Read(std::string& text) {
    State& s = *state_;
    const Outcome outcome = ReadFile(s.full, text, s.attributes);
    s.existed = outcome.found == Found::kFile;
    return outcome;
}

bool Rewrite::Replace(const std::string& text) {
    State& s = *state_;
    // A file its owner made read-only stays as it is.
    if (s.existed && (s.attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        return false;
    }
    std::wstring stem = s.name;
    if (stem.size() > kMaxTempStem) {
        stem.resize(kMaxTempStem);
    }
    const std::wstring prefix = L"." + stem + L".tmp";
    FileWriteOps& ops = *s.ops;
    std::wstring temp;
    Handle file;
    for (int attempt = 0; attempt < 100 && !file.Valid(); ++attempt) {
        temp = s.folder + L"\\" + prefix + std::to_wstring(::GetCurrentProcessId()) + L"." +
               std::to_wstring(attempt);
        file.Reset(ops.CreateNew(temp.c_str()));
        const DWORD error = ::GetLastError();
        if (!file.Valid() && error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            return false;
        }
    }
    if (!file.Valid()) {
        return false;
    }
    const bool written = WriteAll(ops, file.Get(), text);
    file.Reset();
    const bool ok = written && MoveIntoPlace(ops, temp, s.full, s.existed);
    if (ok) {
        RemoveStaleTemporaries(s.folder, prefix);
    } else if (!s.existed || Exists(s.full)) {
        ops.Delete(temp.c_str());
    }
    // Otherwise the system took the old file off its name and the temporary holds the only
    // whole text: it stays for the operator, and a later write-back clears it away.
    return ok;
}

}  // namespace countryset::settings_file
