// The log --log FILE keeps: one line per modem (JSON, or CSV with --log-format csv) saying when,
// where, on which device, what the modem calls itself, what it held before and after, and how
// the run ended, so a production line can show afterwards which modem got which country. The
// file is checked and opened as the trace file is (trace_file.h); each line reaches it in one
// write on a descriptor opened for appending, so lines from several ports, or from several
// programs, never interleave.
#pragma once

#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/run_outcome.h"

namespace countryset {

enum class LogFormat { Json, Csv };

// Where a run went and by whom, beside its outcome.
struct LogOrigin {
    std::string time;        // UTC, ISO 8601, to the millisecond
    std::string host;        // the machine's name
    std::string user;        // the user the program runs as
    std::string stableName;  // the device's name that survives a replug; empty when none
};

// "2026-12-09T02:43:19.123Z".
std::string UtcTimestamp(std::chrono::system_clock::time_point when);

// One log line, ending in a line feed. Text fields are escaped for the format: control bytes
// and bytes that are not UTF-8 never reach the file raw, so a line stays one line.
std::string LogLine(const RunOutcome& outcome, const LogOrigin& origin, LogFormat format);
// The CSV file's first line, naming its columns.
std::string CsvHeader();

class RunLog {
public:
    // Checks path as the trace file is checked, creating nothing: nullptr with *problem saying
    // why the log may not go there.
    static std::unique_ptr<RunLog> Check(const std::string& path,
                                         std::vector<std::string> untouchable, LogFormat format,
                                         std::string* problem);
    ~RunLog();
    RunLog(const RunLog&) = delete;
    RunLog& operator=(const RunLog&) = delete;

    // Appends the outcome's line, stamped now, with this machine, user and the device's stable
    // name. The file is opened at the first line. Safe from several threads at once.
    void Append(const RunOutcome& outcome);
    void Append(const RunOutcome& outcome, const LogOrigin& origin);
    // Why a line did not reach the file; empty when every one did (so far).
    std::string Problem() const;

private:
    RunLog(std::string path, std::vector<std::string> untouchable, LogFormat format);
    void Fail(const std::string& problem);

    const std::string m_path;
    const std::vector<std::string> m_untouchable;
    const LogFormat m_format;
    const std::string m_host;
    const std::string m_user;
    mutable std::mutex m_mutex;
    bool m_opened = false;
    std::FILE* m_file = nullptr;
    std::string m_problem;
};

}  // namespace countryset
