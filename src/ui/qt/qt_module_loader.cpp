#include "ui/qt/qt_module_loader.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "ui/qt/qt_module.h"
#include "ui/shown_text.h"

namespace countryset {

namespace {

std::unique_ptr<Presenter> Fail(std::string* whyNot, const std::string& reason) {
    if (whyNot != nullptr) {
        *whyNot = reason;
    }
    return nullptr;
}

// Why the opened file must not be loaded into a program that often runs as root; empty when it
// may be.
std::string Unsafe(const struct stat& st) {
    if (!S_ISREG(st.st_mode)) {
        return "is not a regular file";
    }
    if (st.st_uid != 0 && st.st_uid != ::geteuid()) {
        return "belongs to another user";
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return "is writable by other users";
    }
    return {};
}

}  // namespace

std::string QtModulePath(const std::string& programPath) {
    const std::size_t slash = programPath.rfind('/');
    if (slash == std::string::npos) {
        return {};
    }
    return programPath.substr(0, slash + 1) + kQtModuleFileName;
}

std::unique_ptr<Presenter> LoadQtPresenter(const std::string& modulePath, int& argc, char** argv,
                                           std::string* whyNot) {
    if (modulePath.empty()) {
        return Fail(whyNot,
                    "the desktop module cannot be found: the program's own path is unknown");
    }
    const std::string shownPath = VisibleText(modulePath);
    const std::string prefix = "desktop module " + shownPath + ": ";
    // Checked and loaded through one descriptor, so the file checked is the file loaded.
    // O_NONBLOCK: a FIFO in its place must not stop the program.
    const int fd = ::open(modulePath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return Fail(whyNot,
                    prefix + (errno == ELOOP ? "is a symbolic link" : std::strerror(errno)));
    }
    struct stat st {};
    std::string unsafe = ::fstat(fd, &st) != 0 ? std::string(std::strerror(errno)) : Unsafe(st);
    if (!unsafe.empty()) {
        ::close(fd);
        return Fail(whyNot, prefix + unsafe);
    }
    const std::string fdPath = "/proc/self/fd/" + std::to_string(fd);
    // Never closed: Qt's libraries do not expect to be unloaded, and a process loads it once.
    void* handle = ::dlopen(fdPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    ::close(fd);
    if (handle == nullptr) {
        const char* error = ::dlerror();
        return Fail(whyNot, prefix + "cannot be loaded (" +
                                VisibleText(error != nullptr ? error : "unknown error") + ")");
    }
    const auto entry =
        reinterpret_cast<CountrysetQtModuleEntry>(::dlsym(handle, kQtModuleEntryName));
    const CountrysetQtModule* module = entry != nullptr ? entry() : nullptr;
    if (module == nullptr || module->interface == nullptr || module->create == nullptr) {
        return Fail(whyNot, prefix + "has no entry point");
    }
    if (std::strcmp(module->interface, kQtModuleInterface) != 0) {
        return Fail(whyNot, prefix + "belongs to another build of the program");
    }
    return std::unique_ptr<Presenter>(module->create(&argc, argv, whyNot));
}

}  // namespace countryset
