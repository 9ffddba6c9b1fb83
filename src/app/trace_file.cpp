#include "app/trace_file.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <iostream>
#include <streambuf>

#include "settings/settings_path.h"

namespace countryset {

// Gathers the trace and hands it to the file at each flush; the file is opened at the first.
// A failed write is remembered, and later lines are still tried.
class TraceFile::Buffer : public std::streambuf {
public:
    Buffer(std::string path, std::vector<std::string> untouchable)
        : m_path(std::move(path)), m_untouchable(std::move(untouchable)) {
        setp(m_chars, m_chars + sizeof m_chars);
    }
    ~Buffer() override { Close(); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    const std::string& Problem() const { return m_problem; }
    // Closing is the last chance for a write to fail. A trace that never started (no port
    // was opened) leaves the file untouched.
    const std::string& Close() {
        if (m_opened) {
            sync();
        }
        if (m_file != nullptr && std::fclose(m_file) != 0) {
            Fail(errno);
        }
        m_file = nullptr;
        return m_problem;
    }

protected:
    int_type overflow(int_type c) override {
        sync();
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            *pptr() = traits_type::to_char_type(c);
            pbump(1);
        }
        return traits_type::not_eof(c);
    }
    int sync() override {
        if (!m_opened) {
            Open();
        }
        const std::size_t size = static_cast<std::size_t>(pptr() - pbase());
        setp(m_chars, m_chars + sizeof m_chars);
        if (m_file == nullptr || size == 0) {
            return 0;
        }
        if (std::fwrite(m_chars, 1, size, m_file) != size || std::fflush(m_file) != 0) {
            Fail(errno);
            std::clearerr(m_file);
        }
        // Never a failure to the stream: it would drop every later line.
        return 0;
    }

private:
    void Open() {
        m_opened = true;
        bool empty = true;
        std::string problem;
        m_file = trace_file::OpenForAppend(m_path, m_untouchable, &empty, &problem);
        if (m_file == nullptr) {
            m_problem = "it cannot be opened: " + problem;
            return;
        }
        if (!empty) {
            // A trace added to an earlier one starts with a line that says when it began.
            const std::time_t now = std::time(nullptr);
            char date[64] = "an unknown time";
            if (const std::tm* utc = std::gmtime(&now)) {
                std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S UTC", utc);
            }
            if (std::fprintf(m_file, "---- trace of %s ----\n", date) < 0) {
                Fail(errno);
            }
        }
    }
    void Fail(int error) {
        if (m_problem.empty()) {
            m_problem = error != 0 ? std::strerror(error) : "a write failed";
        }
    }

    std::string m_path;
    std::vector<std::string> m_untouchable;
    bool m_opened = false;
    std::FILE* m_file = nullptr;
    std::string m_problem;
    char m_chars[4096];
};

TraceFile::TraceFile(std::string path, std::vector<std::string> untouchable, std::string appName)
    : m_buffer(std::make_unique<Buffer>(std::move(path), std::move(untouchable))),
      m_stream(std::make_unique<std::ostream>(m_buffer.get())),
      m_appName(std::move(appName)) {}

std::unique_ptr<TraceFile> TraceFile::Check(const std::string& path,
                                            std::vector<std::string> untouchable,
                                            std::string appName, std::string* problem) {
    *problem = trace_file::CheckPath(path, untouchable);
    if (!problem->empty()) {
        return nullptr;
    }
    return std::unique_ptr<TraceFile>(
        new TraceFile(path, std::move(untouchable), std::move(appName)));
}

TraceFile::~TraceFile() {
    m_stream.reset();
    if (const std::string& problem = m_buffer->Close(); !problem.empty()) {
        std::cerr << m_appName << ": the trace is incomplete: " << problem << "\n";
    }
}

std::ostream& TraceFile::Stream() {
    return *m_stream;
}

std::string TraceFile::Incomplete() {
    m_buffer->pubsync();
    return m_buffer->Problem();
}

std::vector<std::string> ProgramFiles(const std::string& executablePath) {
    std::vector<std::string> files;
    if (executablePath.empty()) {
        return files;
    }
    files.push_back(executablePath);
    char settings[kSettingsPathSize];
    if (MakeSettingsPath(executablePath, settings)) {
        files.emplace_back(settings);
    }
    // The desktop module's name (see ui/qt/qt_module.h), beside the program.
    const std::size_t slash = executablePath.find_last_of("/\\");
    files.push_back(executablePath.substr(0, slash == std::string::npos ? 0 : slash + 1) +
                    "countryset-qt.so");
    return files;
}

bool trace_file::AppendFirst(std::FILE* file, std::string_view header, std::string_view line,
                             int waitMs) {
    const bool locked = LockAppends(file, waitMs);
    std::string text;
    if (IsEmpty(file)) {
        text = header;
    }
    text += line;
    const bool written = AppendWhole(file, text);
    if (locked) {
        UnlockAppends(file);
    }
    return written;
}

}  // namespace countryset
