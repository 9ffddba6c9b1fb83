// A line: what the comm driver needs of one open port, whatever carries it. A terminal device
// (termios on Linux, the system's comm calls on Windows) is one kind; a network line
// ("rfc2217://HOST:PORT", "socket://HOST:PORT") another. The driver keeps the handle table, the
// event mask, the time-outs and the overlapped-transfer bookkeeping for every kind alike
// (line_comm_driver.h); a line only moves bytes and sets its wires.
//
// The contract, which every kind passes (tests/posix/line_contract_test.cpp):
// - A line is made open, by its kind's opener, which fails with a PortOpenError instead. It
//   starts raw: no byte is translated, dropped or added on its way, no flow control of any
//   kind, input and output empty of anything from before the open as far as the kind can tell.
// - Every call may come from any thread, and calls on one line overlap: the watcher thread
//   waits and reads while the operator's thread writes, configures or purges, and Close may
//   come from the thread that releases every port as the process ends. A line serialises
//   inside what must not interleave (a protocol command inside a write, say).
// - No call blocks beyond its deadline or beyond a short bound of the kind's own (a network
//   line's wait for a server's confirmation), and none waits for ever on the far end, except
//   Wait and Write without a deadline, and those end at Close.
// - Close puts the line back as it was found (a terminal's settings and exclusive use; a network
//   line's connection ends), once; later calls fail. A wait or write in progress on another
//   thread returns promptly, with Closed. When Close returns, no call still in progress can
//   change the line any more (no byte written, no wire set after it). The object itself is
//   destroyed only when no call is in progress (the driver holds a reference for each).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "serial/comm_driver.h"

namespace countryset {

using LineClock = std::chrono::steady_clock;
using LineDeadline = LineClock::time_point;
// Waits without end (until woken, or until Close).
inline constexpr LineDeadline kNoDeadline = LineDeadline::max();

enum class LineWait {
    Input,     // Read will return at least one byte now
    Woken,     // Wake was called (once per call of Wake, at most one wait reports it)
    TimedOut,  // the deadline passed
    HungUp,    // the far end is gone (modem hung up, server closed the connection), nothing left
    Closed,    // Close was called
    Failed,    // the system refused the wait
};

enum class LineStatus {
    Ok,
    HungUp,  // nothing more will come: the device or the connection is gone
    Closed,  // Close was called
    Failed,  // any other error of the system
};

// The outcome of a transfer: the bytes moved, also when it ended in an error.
struct LineIo {
    std::uint32_t moved = 0;
    LineStatus status = LineStatus::Ok;
};

enum class ModemLine { Dtr, Rts };

class Line {
public:
    virtual ~Line() = default;

    // Applies the line settings of the record: bit rate, data bits, parity, stop bits, flow
    // control (both kinds), and DTR and RTS as fDtrControl and fRtsControl ask (raised unless
    // disabled). False when the line refuses any of it, or shows on read-back that it did not
    // take the rate or the data bits. A network line may take what its server does not confirm
    // within its short wait as applied; it says so in a note.
    virtual bool Configure(const DCB& dcb) = 0;
    // The settings the line holds as a record: what the device reports, where it can, else what
    // was last applied. Fields the line knows nothing of keep their defaults.
    virtual bool Settings(DCB* dcb) = 0;
    // Raises or drops one modem-control wire. A line that has no such wire (a pseudo-terminal, a
    // raw TCP connection) succeeds; one whose server does not confirm is noted, not failed.
    virtual bool SetModemLine(ModemLine wire, bool raised) = 0;
    // Discards what waits to be read (input) and what was written but not yet sent (output).
    virtual bool Purge(bool input, bool output) = 0;

    // The data bytes Read will return without waiting; false when the line cannot say (hung up,
    // closed, failed). A line may take bytes from the system into a buffer of its own to count
    // them (a network line decodes its protocol there).
    virtual bool Queued(std::uint32_t* count) = 0;
    // Up to count data bytes that are already there, without waiting: moved may be 0 with Ok.
    // A hang-up is reported only once every byte that came before it has been read.
    virtual LineIo Read(void* dest, std::uint32_t count) = 0;
    // Sends count bytes as they are (a network line escapes what its protocol needs), waiting
    // for room until the deadline; then moved may be short, with Ok.
    virtual LineIo Write(const void* src, std::uint32_t count, LineDeadline deadline) = 0;

    // Waits until input is there (only when forInput), Wake was called, the line hangs up or is
    // closed, or the deadline passes. Bytes that are not data (a protocol's own) are handled
    // here and waited past. With input already there, or a Wake pending, it returns at once.
    virtual LineWait Wait(bool forInput, LineDeadline deadline) = 0;
    // Ends a Wait in progress with Woken, or the next one to begin: a wake-up is never lost,
    // and one call of Wake ends one wait at most. Cheap, and safe from any thread.
    virtual void Wake() = 0;

    // See above. full: for a process about to end, also drops DTR and discards both queues
    // first (a plain close leaves that to the port logic, which does it before closing).
    virtual void Close(bool full) = 0;

    // Remarks for the trace, oldest first, each taken once: what the line tolerated rather than
    // failed on ("the server did not confirm DTR"). Plain text; the trace escapes it.
    virtual std::vector<std::string> TakeNotes() { return {}; }
};

// Network lines come from network_line.h: OpenNetworkLine takes the whole device text
// ("rfc2217://lab-ts1:7001"), connects within its bound and fails with one of the network
// problems of port_problem.h; IsNetworkDevice says from the text alone, without a look-up or a
// connection, whether a device names a network line.

}  // namespace countryset
