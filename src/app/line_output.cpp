#include "app/line_output.h"

namespace countryset {

void LineOutput::Write(std::string_view line) {
    const std::lock_guard lock(m_mutex);
    m_target.write(line.data(), static_cast<std::streamsize>(line.size()));
    m_target.flush();
}

LineStream::LineStream(LineOutput& output) : std::ostream(nullptr), m_buffer(output) {
    rdbuf(&m_buffer);
}

LineStream::~LineStream() {
    m_buffer.Hand(true);
}

void LineStream::Buffer::Hand(bool all) {
    const std::size_t end = m_kept.rfind('\n');
    const std::size_t whole = end == std::string::npos ? 0 : end + 1;
    const std::size_t handed = all ? m_kept.size() : whole;
    if (handed == 0) {
        return;
    }
    // An unfinished line handed over on its own gets its end, so it cannot run into another.
    std::string text = m_kept.substr(0, handed);
    if (text.back() != '\n') {
        text += '\n';
    }
    m_kept.erase(0, handed);
    m_output.Write(text);
}

LineStream::Buffer::int_type LineStream::Buffer::overflow(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof())) {
        return traits_type::not_eof(c);
    }
    m_kept += traits_type::to_char_type(c);
    if (traits_type::to_char_type(c) == '\n') {
        Hand(false);
    }
    return c;
}

std::streamsize LineStream::Buffer::xsputn(const char* s, std::streamsize n) {
    m_kept.append(s, static_cast<std::size_t>(n));
    if (std::string_view(s, static_cast<std::size_t>(n)).find('\n') != std::string_view::npos) {
        Hand(false);
    }
    return n;
}

// A flush in the middle of a line (std::flush after a part of it) keeps the part: only a line's
// end hands it over.
int LineStream::Buffer::sync() {
    Hand(false);
    return 0;
}

}  // namespace countryset
