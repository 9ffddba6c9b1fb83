#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>

#include "ui/console_input.h"

namespace countryset {
namespace {

class ConsoleInput : public std::streambuf {
protected:
    int_type underflow() override {
        for (;;) {
            if (!std::cout.good()) {
                return traits_type::eof();
            }
            pollfd entries[2] = {{STDIN_FILENO, POLLIN, 0}, {STDOUT_FILENO, 0, 0}};
            if (::poll(entries, 2, -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return traits_type::eof();
            }
            if ((entries[1].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 ||
                entries[0].revents == 0) {
                return traits_type::eof();
            }
            const ssize_t got = ::read(STDIN_FILENO, m_buffer, sizeof m_buffer);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                return traits_type::eof();
            }
            setg(m_buffer, m_buffer, m_buffer + got);
            return traits_type::to_int_type(m_buffer[0]);
        }
    }

private:
    char m_buffer[256];
};

}  // namespace

std::unique_ptr<std::streambuf> MakeConsoleInput() {
    return std::make_unique<ConsoleInput>();
}

}  // namespace countryset
