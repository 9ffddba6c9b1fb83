#include "app/run_log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/json_text.h"
#include "app/platform.h"
#include "app/result_json.h"
#include "app/t35_table.h"
#include "app/trace_file.h"
#include "ui/shown_text.h"

namespace countryset {

namespace {

// How long a run waits for another process's header-or-line write to the same CSV file: such a
// write takes microseconds, so only a lock held on purpose lasts this long.
constexpr int kLockWaitMs = 2000;

// The bytes of text one at a time, with whole UTF-8 characters passed through as they are:
// each control byte or byte that is not UTF-8 goes to escape, everything else to keep.
template <typename Escape, typename Keep>
void EachByte(std::string_view text, Escape escape, Keep keep) {
    for (std::size_t at = 0; at < text.size();) {
        const auto byte = static_cast<unsigned char>(text[at]);
        if (byte >= 0x80) {
            const std::size_t length = Utf8SequenceAt(text, at);
            if (length == 0) {
                escape(byte);
                ++at;
            } else {
                keep(text.substr(at, length));
                at += length;
            }
        } else if (byte < 0x20 || byte == 0x7F) {
            escape(byte);
            ++at;
        } else {
            keep(text.substr(at, 1));
            ++at;
        }
    }
}

std::string JsonCode(const std::optional<std::uint8_t>& code) {
    return code ? "\"" + T35CodeText(*code) + "\"" : "null";
}

// A CSV field: control bytes and bytes that are not UTF-8 as \xHH (a backslash as \\), so a
// record stays one line; quoted when it holds a comma, a quote or spaces at its ends; and a
// field a spreadsheet would take for a formula starts with an apostrophe.
std::string CsvField(std::string_view text) {
    std::string escaped;
    EachByte(
        text,
        [&](unsigned char byte) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", byte);
            escaped += hex;
        },
        [&](std::string_view kept) { escaped += kept == "\\" ? "\\\\" : std::string(kept); });
    if (!escaped.empty() && std::strchr("=+-@", escaped.front()) != nullptr) {
        escaped.insert(0, "'");
    }
    if (escaped.find_first_of(",\"") == std::string::npos &&
        (escaped.empty() || (escaped.front() != ' ' && escaped.back() != ' '))) {
        return escaped;
    }
    std::string quoted = "\"";
    for (char c : escaped) {
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    }
    return quoted + "\"";
}

std::string CsvCode(const std::optional<std::uint8_t>& code) {
    return code ? T35CodeText(*code) : std::string();
}

}  // namespace

std::string UtcTimestamp(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const auto millis = floor<milliseconds>(when);
    const auto day = floor<days>(millis);
    const year_month_day date{day};
    const hh_mm_ss time{millis - day};
    char text[40];
    std::snprintf(
        text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
        static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
        static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
        static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
    return text;
}

std::string CsvHeader() {
    return "time,host,user,port,device,stable_name,country,country_code,code_before,code_after,"
           "outcome,reason,info,manufacturer,model,revision,serial\n";
}

std::string LogLine(const RunOutcome& outcome, const LogOrigin& origin, LogFormat format) {
    const ModemIdentity& id = outcome.identity;
    if (format == LogFormat::Csv) {
        std::string line;
        for (const std::string& field :
             {origin.time, origin.host, origin.user, outcome.port, outcome.device,
              origin.stableName, outcome.countryName, outcome.codeSent, CsvCode(outcome.codeBefore),
              CsvCode(outcome.codeRead), std::string(OutcomeKindName(outcome.kind)), outcome.reason,
              id.info, id.manufacturer, id.model, id.revision, id.serial}) {
            line += (line.empty() ? "" : ",") + CsvField(field);
        }
        return line + "\n";
    }
    const auto optional = [](const std::string& text) {
        return text.empty() ? std::string("null") : JsonString(text);
    };
    std::string identity = "null";
    if (id.asked) {
        identity = "{\"info\":" + JsonString(id.info) +
                   ",\"manufacturer\":" + JsonString(id.manufacturer) +
                   ",\"model\":" + JsonString(id.model) +
                   ",\"revision\":" + JsonString(id.revision) +
                   ",\"serial\":" + JsonString(id.serial) + "}";
    }
    return "{\"time\":" + JsonString(origin.time) + ",\"host\":" + JsonString(origin.host) +
           ",\"user\":" + JsonString(origin.user) + ",\"port\":" + JsonString(outcome.port) +
           ",\"device\":" + optional(outcome.device) +
           ",\"stable_name\":" + optional(origin.stableName) +
           ",\"country\":{\"name\":" + JsonString(outcome.countryName) +
           ",\"code\":" + JsonString(outcome.codeSent) +
           "},\"code_before\":" + JsonCode(outcome.codeBefore) +
           ",\"code_after\":" + JsonCode(outcome.codeRead) +
           ",\"outcome\":" + JsonString(OutcomeKindName(outcome.kind)) +
           ",\"reason\":" + JsonString(outcome.reason) + ",\"identity\":" + identity + "}\n";
}

RunLog::RunLog(std::string path, std::vector<std::string> untouchable, LogFormat format)
    : m_path(std::move(path)),
      m_untouchable(std::move(untouchable)),
      m_format(format),
      m_host(HostName()),
      m_user(UserName()) {}

std::unique_ptr<RunLog> RunLog::Check(const std::string& path, std::vector<std::string> untouchable,
                                      LogFormat format, std::string* problem) {
    *problem = trace_file::CheckPath(path, untouchable);
    if (!problem->empty()) {
        return nullptr;
    }
    return std::unique_ptr<RunLog>(new RunLog(path, std::move(untouchable), format));
}

RunLog::~RunLog() {
    if (m_file != nullptr) {
        std::fclose(m_file);
    }
}

void RunLog::Append(const RunOutcome& outcome) {
    LogOrigin origin;
    origin.time = UtcTimestamp(std::chrono::system_clock::now());
    origin.host = m_host;
    origin.user = m_user;
    origin.stableName = StableDeviceName(outcome.device);
    Append(outcome, origin);
}

void RunLog::Append(const RunOutcome& outcome, const LogOrigin& origin) {
    const std::string line = LogLine(outcome, origin, m_format);
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_opened) {
        m_opened = true;
        bool empty = true;
        std::string problem;
        m_file = trace_file::OpenForAppend(m_path, m_untouchable, &empty, &problem);
        if (m_file == nullptr) {
            Fail("it cannot be opened: " + problem);
            return;
        }
    }
    if (m_file == nullptr) {
        return;
    }
    // A CSV file gets its header from whichever run finds it empty, at the moment it writes.
    const bool written = m_format == LogFormat::Csv
                             ? trace_file::AppendFirst(m_file, CsvHeader(), line, kLockWaitMs)
                             : trace_file::AppendWhole(m_file, line);
    if (!written) {
        Fail(errno != 0 ? std::strerror(errno) : "a write failed");
    }
}

std::string RunLog::Problem() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_problem;
}

void RunLog::Fail(const std::string& problem) {
    if (m_problem.empty()) {
        m_problem = problem;
    }
}

}  // namespace countryset
