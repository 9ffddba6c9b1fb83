#!/usr/bin/python3
"""Several ports at once against one port at a time: 8 simulated modems on COM1..COM8.

Usage: bench/several_ports.py --build DIR [--rounds N] [--modems N] [--out FILE]

DIR holds src/app/countryset and tools/modemsim/countryset-modemsim (for instance build/bench,
which scripts/bench makes, or build/default). Prints a Markdown report (or writes it to FILE).

Measured, each as the wall time of whole runs of the program (its start included):
- one port: `countryset --country C --port COM1`, N runs, median;
- eight ports: `countryset --country C --port COM1-COM8`, N runs, median;
- a hundred modems through the eight ports: the eight-port run repeated (12 rounds of 8 and a
  last one of 4), against the same hundred modems set one run per modem, one after another,
  started by this harness and by a plain shell loop (as a line without the several-ports option
  would script it).
Each round asks for the other of two countries (Germany, France), so every modem takes a new
country in every run, as a fresh modem would. Standard library only.
"""

import argparse
import datetime
import os
import platform
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
COUNTRIES = ("Germany", "France")
PORTS = 8


class Modems:
    """Eight simulators, each on a pseudo-terminal of its own."""

    def __init__(self, build):
        exe = os.path.join(build, "tools/modemsim/countryset-modemsim")
        self.processes = []
        self.devices = []
        for _ in range(PORTS):
            process = subprocess.Popen([exe], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                       text=True)
            self.processes.append(process)
            device = process.stdout.readline().strip()
            if not device.startswith("/dev/"):
                self.stop()
                raise RuntimeError("simulator did not start")
            self.devices.append(device)

    def stop(self):
        for process in self.processes:
            process.send_signal(signal.SIGTERM)
        for process in self.processes:
            process.wait(timeout=10)


class Program:
    """The program in a folder of its own (no "." in the path), COM1, COM2 ... mapped to the
    devices in their order."""

    def __init__(self, build, root, devices):
        self.dir = tempfile.mkdtemp(prefix="several", dir=root)
        self.exe = os.path.join(self.dir, "countryset")
        built = os.path.join(build, "src/app/countryset")
        try:
            os.link(built, self.exe)
        except OSError:
            shutil.copy2(built, self.exe)
        with open(os.path.join(SOURCE, "data/countryset.DAT"), "rb") as f:
            text = f.read()
        mapping = b"".join(b"COM%d=%s\r\n" % (n + 1, d.encode()) for n, d in enumerate(devices))
        text = text.replace(b";COM1=/dev/ttyUSB0\r\n", mapping)
        with open(self.exe + ".DAT", "wb") as f:
            f.write(text)
        self.env = dict(os.environ)
        self.env.pop("DISPLAY", None)
        self.env.pop("WAYLAND_DISPLAY", None)

    def run(self, *args):
        """Wall seconds of one run; raises when it fails."""
        start = time.perf_counter()
        done = subprocess.run([self.exe, *args], stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=self.env)
        wall = time.perf_counter() - start
        if done.returncode != 0:
            raise RuntimeError("%s %s: %d %s" % (self.exe, " ".join(args), done.returncode,
                                                 done.stderr.decode(errors="replace")))
        return wall


def ports_range(count):
    return "COM1" if count == 1 else "COM1-COM%d" % count


def median(values):
    return statistics.median(values)


def measure(program, rounds, modems):
    turn = [0]

    def country():
        turn[0] += 1
        return COUNTRIES[turn[0] % 2]

    one = []
    eight = []
    # Warm-up: the page cache, the simulators' first clients.
    for _ in range(3):
        program.run("--country", country(), "--port", ports_range(PORTS))
    for _ in range(rounds):
        one.append(program.run("--country", country(), "--port", "COM1"))
        eight.append(program.run("--country", country(), "--port", ports_range(PORTS)))

    # A hundred modems: full rounds of eight and what is left.
    batches = [PORTS] * (modems // PORTS) + ([modems % PORTS] if modems % PORTS else [])
    start = time.perf_counter()
    for count in batches:
        program.run("--country", country(), "--port", ports_range(count))
    parallel = time.perf_counter() - start

    start = time.perf_counter()
    for i in range(modems):
        # One country per round of eight, as above.
        if i % PORTS == 0:
            name = country()
        program.run("--country", name, "--port", "COM%d" % (i % PORTS + 1))
    sequential = time.perf_counter() - start

    # The shell loop: the program once per modem, one after another.
    script = ('for i in $(seq 0 %d); do c=$([ $(( (i / %d) %% 2 )) = 0 ] && echo Germany || '
              'echo France); "$1" --country "$c" --port COM$(( i %% %d + 1 )) </dev/null '
              '>/dev/null 2>&1 || exit 1; done' % (modems - 1, PORTS, PORTS))
    start = time.perf_counter()
    loop = subprocess.run(["bash", "-c", script, "bash", program.exe], env=program.env)
    shell = time.perf_counter() - start
    if loop.returncode != 0:
        raise RuntimeError("the shell loop failed")
    return {"one": one, "eight": eight, "parallel": parallel, "sequential": sequential,
            "shell": shell, "batches": batches}


def report(figures, rounds, modems, command):
    one = median(figures["one"])
    eight = median(figures["eight"])
    lines = []
    add = lines.append
    add("# Several ports at once: %d modems on %d ports" % (modems, PORTS))
    add("")
    add("- Date: %s" % datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"))
    add("- Machine: %d core(s), Linux %s; load average at start %s (shared machine: absolute "
        "times carry noise)" % (os.cpu_count(), platform.release(), figures["load"]))
    add("- Command: `%s`" % command)
    add("")
    add("| What | Runs | Median wall | Min wall | Goal |")
    add("|---|---|---|---|---|")
    ratio = eight / one
    add("| One port (`--port COM1`) | %d | %.2f ms | %.2f ms | |" %
        (len(figures["one"]), one * 1000, min(figures["one"]) * 1000))
    add("| Eight ports at once (`--port COM1-COM8`) | %d | %.2f ms | %.2f ms | "
        "at most 1.5x one port: %.2fx, %s |" %
        (len(figures["eight"]), eight * 1000, min(figures["eight"]) * 1000, ratio,
         "met" if ratio <= 1.5 else "missed"))
    add("")
    parallel = figures["parallel"]
    sequential = figures["sequential"]
    shell = figures["shell"]
    add("| %d modems | Runs | Total wall | Per modem | Against sequential |" % modems)
    add("|---|---|---|---|---|")
    batches = figures["batches"]
    full = sum(1 for b in batches if b == PORTS)
    described = "%d rounds of %d" % (full, PORTS) + (
        ", one of %d" % batches[-1] if batches[-1] != PORTS else "")
    add("| Through eight ports at once (%s) | %d | %.3f s | %.2f ms | %.2fx (goal under 0.20x: "
        "%s) |" % (described, len(batches), parallel, parallel / modems * 1000,
                   parallel / sequential, "met" if parallel < sequential / 5 else "missed"))
    add("| One run per modem, one after another | %d | %.3f s | %.2f ms | 1.00x |" %
        (modems, sequential, sequential / modems * 1000))
    add("| The peers' loop: a shell loop running the program once per modem | %d | %.3f s | "
        "%.2f ms | %.2fx |" % (modems, shell, shell / modems * 1000, shell / sequential))
    add("")
    return "\n".join(lines) + "\n", ratio <= 1.5 and parallel < sequential / 5


def shown_build(build):
    """The build folder as a command line in the report gives it."""
    return os.path.relpath(build, SOURCE) if build.startswith(SOURCE) else build


def finish(text, met, out):
    """Writes the report to out (when given) and stdout; the exit status tells the goals."""
    if out:
        with open(out, "w") as f:
            f.write(text)
    sys.stdout.write(text)
    return 0 if met else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--rounds", type=int, default=30)
    parser.add_argument("--modems", type=int, default=100)
    parser.add_argument("--out")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    root = tempfile.mkdtemp(prefix="severalports", dir=os.environ.get("TMPDIR", "/tmp"))
    load = "%.2f %.2f %.2f" % os.getloadavg()
    modems = Modems(build)
    try:
        program = Program(build, root, modems.devices)
        figures = measure(program, args.rounds, args.modems)
    finally:
        modems.stop()
        shutil.rmtree(root, ignore_errors=True)
    figures["load"] = load
    command = "bench/several_ports.py --build %s --rounds %d --modems %d" % (
        shown_build(build), args.rounds, args.modems)
    text, met = report(figures, args.rounds, args.modems, command)
    return finish(text, met, args.out)


if __name__ == "__main__":
    sys.exit(main())
