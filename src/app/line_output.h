// Lines from several threads on one stream (stderr, a trace): each thread writes through a
// LineStream of its own, which hands the target whole lines only, so no two lines mix.
#pragma once

#include <mutex>
#include <ostream>
#include <streambuf>
#include <string>
#include <string_view>

namespace countryset {

class LineOutput {
public:
    explicit LineOutput(std::ostream& target) : m_target(target) {}
    LineOutput(const LineOutput&) = delete;
    LineOutput& operator=(const LineOutput&) = delete;

    // Writes line (which ends with its newline) in one piece and flushes it.
    void Write(std::string_view line);

private:
    std::mutex m_mutex;
    std::ostream& m_target;  // guarded by m_mutex
};

// An output stream for one thread at a time: what is written is kept until its line ends (or
// the stream is flushed or destroyed), then handed to the LineOutput whole.
class LineStream : public std::ostream {
public:
    explicit LineStream(LineOutput& output);
    ~LineStream() override;
    LineStream(const LineStream&) = delete;
    LineStream& operator=(const LineStream&) = delete;

private:
    class Buffer : public std::streambuf {
    public:
        explicit Buffer(LineOutput& output) : m_output(output) {}
        // Hands over what is kept: the whole lines, and with all also an unfinished one.
        void Hand(bool all);

    protected:
        int_type overflow(int_type c) override;
        std::streamsize xsputn(const char* s, std::streamsize n) override;
        int sync() override;

    private:
        LineOutput& m_output;
        std::string m_kept;
    };
    Buffer m_buffer;
};

}  // namespace countryset
