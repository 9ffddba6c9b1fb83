// The file --trace=FILE writes. It never destroys a file: it is checked before the run and
// opened only when the first port is, an existing file is appended to (after a line with the
// date), and the program's own files, links, FIFOs and other users' files are refused. The
// program often runs as root, in folders other users can write: the file is opened without
// following a symbolic link, and only a regular file is taken.
#pragma once

#include <cstdio>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace countryset {

class TraceFile {
public:
    // Checks path without creating or changing anything: nullptr with *problem saying why the
    // trace may not go there. untouchable: files the trace never writes, however they are named
    // (compared as files, not as paths). appName prefixes the report of an incomplete trace.
    static std::unique_ptr<TraceFile> Check(const std::string& path,
                                            std::vector<std::string> untouchable,
                                            std::string appName, std::string* problem);
    // Tells on stderr when the trace did not reach the file in full.
    ~TraceFile();
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;

    // The file is opened at the stream's first flush.
    std::ostream& Stream();
    // Why the trace did not reach the file in full; empty when it did (so far).
    std::string Incomplete();

private:
    class Buffer;
    TraceFile(std::string path, std::vector<std::string> untouchable, std::string appName);

    std::unique_ptr<Buffer> m_buffer;
    std::unique_ptr<std::ostream> m_stream;
    std::string m_appName;
};

// The files of the program at executablePath that a trace must never write: the program, its
// settings file and its desktop module.
std::vector<std::string> ProgramFiles(const std::string& executablePath);

namespace trace_file {

// The platform's side. Why path may not be the trace (a link, not a regular file, another
// user's, one of the untouchable files, not writable); empty when it may. Changes nothing.
std::string CheckPath(const std::string& path, const std::vector<std::string>& untouchable);
// Opens path for appending after checking it again; nullptr with *problem when it may not be.
// *empty tells whether the file held nothing.
std::FILE* OpenForAppend(const std::string& path, const std::vector<std::string>& untouchable,
                         bool* empty, std::string* problem);

// Writes text at the end of the file opened by OpenForAppend in one write on its descriptor,
// past the stream's buffer, so that concurrent appenders never split it; false on failure
// (errno says why).
bool AppendWhole(std::FILE* file, std::string_view text);

// Appends line, preceded by header when the file is empty at that moment: the look and the
// write are one step against other processes appending to the same file this way, so two runs
// that start a new file together write one header. A process that holds the file's append lock
// for longer than waitMs does not hold the run: then the line goes out unguarded.
bool AppendFirst(std::FILE* file, std::string_view header, std::string_view line, int waitMs);

// The platform's side of AppendFirst. The lock is advisory and stands on no byte of the data,
// so plain appends are never blocked by it; false when it was not had within waitMs.
bool LockAppends(std::FILE* file, int waitMs);
void UnlockAppends(std::FILE* file);
// Whether the file holds nothing now.
bool IsEmpty(std::FILE* file);

}  // namespace trace_file

}  // namespace countryset
