#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <streambuf>

#include "app/trace_file.h"

namespace countryset {

namespace {

// Writes straight to a descriptor it owns; the trace flushes every line.
class DescriptorBuffer : public std::streambuf {
public:
    explicit DescriptorBuffer(int fd) : m_fd(fd) { setp(m_buffer, m_buffer + sizeof m_buffer); }
    ~DescriptorBuffer() override {
        sync();
        ::close(m_fd);
    }
    DescriptorBuffer(const DescriptorBuffer&) = delete;
    DescriptorBuffer& operator=(const DescriptorBuffer&) = delete;

protected:
    int_type overflow(int_type c) override {
        if (sync() != 0) {
            return traits_type::eof();
        }
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            *pptr() = traits_type::to_char_type(c);
            pbump(1);
        }
        return traits_type::not_eof(c);
    }
    int sync() override {
        const char* at = pbase();
        while (at < pptr()) {
            const ssize_t written = ::write(m_fd, at, static_cast<std::size_t>(pptr() - at));
            if (written < 0 && errno == EINTR) {
                continue;
            }
            if (written <= 0) {
                setp(m_buffer, m_buffer + sizeof m_buffer);
                return -1;
            }
            at += written;
        }
        setp(m_buffer, m_buffer + sizeof m_buffer);
        return 0;
    }

private:
    int m_fd;
    char m_buffer[4096];
};

class TraceStream : public std::ostream {
public:
    explicit TraceStream(int fd) : std::ostream(nullptr), m_buffer(fd) { rdbuf(&m_buffer); }

private:
    DescriptorBuffer m_buffer;
};

}  // namespace

std::unique_ptr<std::ostream> OpenTraceFile(const std::string& path, std::string* problem) {
    // Not emptied at opening: a FIFO or a device must not be touched, nor a file found to be
    // something else.
    const int fd = ::open(
        path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0) {
        *problem = errno == ELOOP ? "it is a symbolic link" : std::strerror(errno);
        return nullptr;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        *problem = "it is not a regular file";
        return nullptr;
    }
    if (::ftruncate(fd, 0) != 0 || ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        *problem = std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<TraceStream>(fd);
}

}  // namespace countryset
