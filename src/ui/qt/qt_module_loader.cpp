#include "ui/qt/qt_module_loader.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

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

#if defined(__x86_64__)
constexpr int kMachine = EM_X86_64;
#elif defined(__aarch64__)
constexpr int kMachine = EM_AARCH64;
#elif defined(__i386__)
constexpr int kMachine = EM_386;
#elif defined(__arm__)
constexpr int kMachine = EM_ARM;
#elif defined(__riscv)
constexpr int kMachine = EM_RISCV;
#elif defined(__powerpc64__)
constexpr int kMachine = EM_PPC64;
#elif defined(__s390x__)
constexpr int kMachine = EM_S390;
#else
constexpr int kMachine = -1;  // not checked
#endif

constexpr unsigned char kClass = sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32;
constexpr unsigned char kByteOrder =
    __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? ELFDATA2LSB : ELFDATA2MSB;
// A section table or a tag larger than these is no module of ours.
constexpr std::uint64_t kMostSections = 4096;
constexpr std::uint64_t kMostTagBytes = 4096;

bool ReadAt(int fd, void* into, std::uint64_t size, std::uint64_t offset) {
    auto* at = static_cast<char*>(into);
    while (size > 0) {
        const ssize_t n = ::pread(fd, at, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        at += n;
        offset += static_cast<std::uint64_t>(n);
        size -= static_cast<std::uint64_t>(n);
    }
    return true;
}

// Whether [offset, offset + count * size) lies within a file of fileSize bytes.
bool Within(std::uint64_t offset, std::uint64_t count, std::uint64_t size, std::uint64_t fileSize) {
    if (offset > fileSize || (size != 0 && count > (fileSize - offset) / size)) {
        return false;
    }
    return true;
}

// The loader maps a module's segments without asking whether the file holds them: a cut file
// ends the program with SIGBUS. So the file is read as the loader would read it first. Why it
// may not be loaded, for "cannot be loaded (...)"; empty when it may. *tag: its build tag.
std::string BrokenModule(int fd, std::uint64_t fileSize, std::string* tag) {
    ElfW(Ehdr) header{};
    if (fileSize < sizeof header || !ReadAt(fd, &header, sizeof header, 0)) {
        return "not a complete ELF file";
    }
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0) {
        return "not an ELF file";
    }
    if (header.e_ident[EI_CLASS] != kClass || header.e_ident[EI_DATA] != kByteOrder ||
        (kMachine >= 0 && header.e_machine != kMachine)) {
        return "built for another kind of machine";
    }
    if (header.e_type != ET_DYN) {
        return "not a shared object";
    }
    if (header.e_phentsize != sizeof(ElfW(Phdr)) || header.e_phnum == 0 ||
        !Within(header.e_phoff, header.e_phnum, sizeof(ElfW(Phdr)), fileSize)) {
        return "its program headers are missing or cut";
    }
    std::vector<ElfW(Phdr)> segments(header.e_phnum);
    if (!ReadAt(fd, segments.data(), segments.size() * sizeof(ElfW(Phdr)), header.e_phoff)) {
        return "its program headers cannot be read";
    }
    for (const ElfW(Phdr) & segment : segments) {
        if (segment.p_type == PT_LOAD && !Within(segment.p_offset, 1, segment.p_filesz, fileSize)) {
            return "the file is cut: a segment lies past its end";
        }
    }
    // The build tag, from its own section, read before any of the module's code can run.
    tag->clear();
    if (header.e_shentsize != sizeof(ElfW(Shdr)) || header.e_shnum == 0 ||
        header.e_shnum > kMostSections || header.e_shstrndx >= header.e_shnum ||
        !Within(header.e_shoff, header.e_shnum, sizeof(ElfW(Shdr)), fileSize)) {
        return "its section headers are missing or cut";
    }
    std::vector<ElfW(Shdr)> sections(header.e_shnum);
    if (!ReadAt(fd, sections.data(), sections.size() * sizeof(ElfW(Shdr)), header.e_shoff)) {
        return "its section headers cannot be read";
    }
    const ElfW(Shdr)& names = sections[header.e_shstrndx];
    constexpr std::size_t kNameSize = sizeof kQtModuleTagSection;
    for (const ElfW(Shdr) & section : sections) {
        char name[kNameSize] = {};
        if (section.sh_type != SHT_PROGBITS || section.sh_name >= names.sh_size ||
            names.sh_size - section.sh_name < kNameSize ||
            !Within(names.sh_offset, 1, names.sh_size, fileSize) ||
            !ReadAt(fd, name, kNameSize, names.sh_offset + section.sh_name) ||
            std::memcmp(name, kQtModuleTagSection, kNameSize) != 0) {
            continue;
        }
        if (section.sh_size == 0 || section.sh_size > kMostTagBytes ||
            !Within(section.sh_offset, 1, section.sh_size, fileSize)) {
            return "its build tag is cut";
        }
        std::string text(section.sh_size, '\0');
        if (!ReadAt(fd, text.data(), text.size(), section.sh_offset)) {
            return "its build tag cannot be read";
        }
        tag->assign(text.c_str());
        break;
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
    std::string tag;
    if (const std::string broken = BrokenModule(fd, static_cast<std::uint64_t>(st.st_size), &tag);
        !broken.empty()) {
        ::close(fd);
        return Fail(whyNot, prefix + "cannot be loaded (" + broken + ")");
    }
    if (tag != kQtModuleInterface) {
        ::close(fd);
        return Fail(whyNot, prefix + "belongs to another build of the program");
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
    std::unique_ptr<Presenter> presenter(module->create(&argc, argv, whyNot));
    // The reason may quote the environment (a display's name): never its control bytes.
    if (presenter == nullptr && whyNot != nullptr) {
        *whyNot = VisibleText(*whyNot);
    }
    return presenter;
}

}  // namespace countryset
