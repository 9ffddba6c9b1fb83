#!/usr/bin/python3
"""The whole job through a serial server on loopback against the same modem on a local line.

Usage: bench/network_ports.py --build DIR [--rounds N] [--out FILE]

DIR holds src/app/countryset and tools/modemsim/countryset-modemsim (for instance build/bench,
which scripts/bench makes, or build/default). Needs Debian's ser2net (/usr/sbin/ser2net).
Prints a Markdown report (or writes it to FILE) and exits non-zero when a goal is missed.

One simulator on a pseudo-terminal; ser2net serves that pseudo-terminal on two loopback ports,
one Telnet with the Com Port Control option, one raw TCP, in two configurations: the server's
defaults (it gathers a serial port's bytes for some character times before it sends them on,
and leaves Nagle's algorithm on), and tuned for latency (`chardelay: false`, `tcp(nodelay)`);
the goal (under 1.5x the local line) is the tuned server's, the defaults' figures are reported.
The settings file maps COM1 to the pseudo-terminal itself, COM2 to rfc2217://127.0.0.1:P and
COM3 to socket://127.0.0.1:Q. Each round runs `countryset --country C --port COMn` once per port kind,
the kinds taking turns, each round asking for the other of two countries so every run sets a
new one. Measured: the wall time of whole runs (the program's start included), median over the
rounds. Between runs the harness waits until the server has let the device go (not timed).
Standard library only.
"""

import argparse
import datetime
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile

from several_ports import Program, finish, shown_build

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE, "tests", "network"))
from ser2net_server import SER2NET, SerialServer  # noqa: E402
COUNTRIES = ("Germany", "France")
GOAL = 1.5


def program(build, root, server):
    """The program with COM1 the local line, COM2 and COM3 the server's two kinds of port."""
    return Program(build, root, [server.device, "rfc2217://127.0.0.1:%d" % server.rfc2217,
                                 "socket://127.0.0.1:%d" % server.raw])


KINDS = (("local line", "COM1"), ("rfc2217://", "COM2"), ("socket://", "COM3"))


def measure(program, server, rounds):
    times = {port: [] for _, port in KINDS}
    turn = 0
    for i in range(rounds + 2):
        for _, port in KINDS:
            turn += 1
            server.released()
            wall = program.run("--country", COUNTRIES[turn % 2], "--port", port)
            if i >= 2:  # two rounds of warm-up
                times[port].append(wall)
    return times


CONFIGURATIONS = ((False, "the server's defaults"),
                  (True, "tuned for latency: `chardelay: false`, `tcp(nodelay)`"))


def report(results, load, command):
    lines = [
        "# The whole job through a serial server on loopback",
        "",
        "- Date: %s" % datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "- Machine: %d core(s), Linux %s; load average at start %s" %
        (os.cpu_count(), platform.release(), load),
        "- Server: %s" % subprocess.run([SER2NET, "-v"], capture_output=True,
                                        text=True).stdout.strip(),
        "- Command: `%s`" % command,
        "",
        "| Server | Port | Runs | Median wall | Min wall | Against the local line |",
        "|---|---|---|---|---|---|",
    ]
    met = True
    for tuned, what in CONFIGURATIONS:
        times = results[tuned]
        local = statistics.median(times["COM1"])
        for kind, port in KINDS:
            median = statistics.median(times[port])
            ratio = median / local
            goal = ""
            if port != "COM1" and tuned:
                ok = ratio < GOAL
                met = met and ok
                goal = " (goal under %.1fx: %s)" % (GOAL, "met" if ok else "missed")
            lines.append("| %s | %s (`--port %s`) | %d | %.2f ms | %.2f ms | %.2fx%s |" %
                         (what, kind, port, len(times[port]), median * 1000,
                          min(times[port]) * 1000, ratio, goal))
    return "\n".join(lines) + "\n", met


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--rounds", type=int, default=30)
    parser.add_argument("--out")
    args = parser.parse_args()
    if not os.access(SER2NET, os.X_OK):
        sys.stderr.write("network_ports: %s is missing (scripts/install-deps installs it)\n" %
                         SER2NET)
        return 1
    build = os.path.abspath(args.build)
    load = "%.2f %.2f %.2f" % os.getloadavg()
    results = {}
    for tuned, _ in CONFIGURATIONS:
        root = tempfile.mkdtemp(prefix="networkports", dir=os.environ.get("TMPDIR", "/tmp"))
        server = None
        try:
            server = SerialServer(os.path.join(build, "tools/modemsim/countryset-modemsim"), root,
                                  tuned=tuned)
            results[tuned] = measure(program(build, root, server), server, args.rounds)
        finally:
            if server is not None:
                server.stop()
            shutil.rmtree(root, ignore_errors=True)
    command = "bench/network_ports.py --build %s --rounds %d" % (shown_build(build), args.rounds)
    text, met = report(results, load, command)
    return finish(text, met, args.out)


if __name__ == "__main__":
    sys.exit(main())
