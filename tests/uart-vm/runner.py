#!/usr/bin/env python3
"""countryset on the kernel's own 8250/16550 driver, in a QEMU machine.

Boots the machine with its second and third serial lines as host pseudo-terminals, serves them
with countryset-modemsim (a modem behind ttyS1, a silent one behind ttyS2) and checks, in one
table, what the guest reports on its console (exit status, messages, the probe's facts about the
line before, while and after countryset holds it) with what only the host can see: the UART's
programmed parameters in QEMU's trace and the bytes that crossed each line.
"""

import argparse
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import threading
import time
import tty

CODE = "42"
SUCCESS = "Country set successfully."
NO_MODEM = "Can't initialise modem at the selected COM port."
PROBE = b"ATZE1\r"
PROBE_REPLY = b"ATZE1\r\r\nOK\r\n"
COMMAND = f"AT+GCI={CODE}\r".encode()
READ_BACK = b"AT+GCI?\r"
READ_BACK_REPLY = f"AT+GCI?\r\r\n+GCI: {CODE}\r\n\r\nOK\r\n".encode()

# What each line has behind it: modemsim's options.
LINES = {"ttyS1": [], "ttyS2": ["--silent"]}

# Start settings as QEMU's trace shows them: (baud, parity, data bits, stop bits).
START = {"plain": (9600, "N", 8, 1), "odd": (1200, "E", 7, 2)}
HELD = (38400, "N", 8, 1)

# name, line, start settings, how the run ends, exit status, message the operator saw.
RUNS = [
    ("success", "ttyS1", "plain", "enter", 0, SUCCESS),
    ("success-odd", "ttyS1", "odd", "enter", 0, SUCCESS),
    ("timeout", "ttyS2", "odd", "enter", 1, NO_MODEM),
    ("sigterm", "ttyS2", "odd", "TERM@probe", 128 + signal.SIGTERM, None),
    ("sigint", "ttyS2", "plain", "INT@probe", 128 + signal.SIGINT, None),
    ("sighup", "ttyS2", "odd", "HUP@message", 128 + signal.SIGHUP, NO_MODEM),
    ("sigquit", "ttyS2", "plain", "QUIT@message", 128 + signal.SIGQUIT, NO_MODEM),
]

# The probe's facts, phase by phase; "same" means equal to the fact before the run.
FACTS = {
    "before": {"user-open": "ok"},
    "held": {
        "line": "38400-8N1",
        "flow": "none",
        "raw": "1",
        "dtr": "1",
        "rts": "1",
        "uart-dtr": "1",
        "uart-rts": "1",
        "excl": "1",
        "root-flock": "EWOULDBLOCK",
        "user-open": "EBUSY",
    },
    "after": {"line": "same", "flow": "same", "termios": "same", "uart-dtr": "0", "user-open": "ok"},
}

TRACE_RE = re.compile(r"serial_update_parameters baudrate=(\d+) parity='(.)' data=(\d+) stop=(\d+)")
PTY_RE = re.compile(r"char device redirected to (/dev/pts/\d+) \(label (serial\d)\)")

# Hang catchers only: a whole run takes well under a minute even on a loaded machine.
MACHINE_SECONDS = 300
SYNC_SECONDS = 60


def printable(data):
    return "".join(c if c.isprintable() else f"\\x{ord(c):02x}" for c in data)


class Relay:
    """Joins the guest's line (a QEMU pty) to a modem simulator's pty, byte for byte."""

    def __init__(self, guest_path, modem_path):
        self.guest = os.open(guest_path, os.O_RDWR | os.O_NOCTTY)
        self.modem = os.open(modem_path, os.O_RDWR | os.O_NOCTTY)
        for fd in (self.guest, self.modem):
            tty.setraw(fd)
        self.to_modem = bytearray()
        self.from_modem = bytearray()
        self.changed = threading.Condition()
        self.stop_read, self.stop_write = os.pipe()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        ends = {self.guest: (self.modem, self.to_modem), self.modem: (self.guest, self.from_modem)}
        while True:
            ready, _, _ = select.select([self.guest, self.modem, self.stop_read], [], [])
            if self.stop_read in ready:
                return
            for fd in ready:
                try:
                    data = os.read(fd, 4096)
                except OSError:
                    data = b""
                if not data:
                    continue
                target, record = ends[fd]
                os.write(target, data)
                with self.changed:
                    record.extend(data)
                    self.changed.notify_all()

    def wait_probes(self, count, seconds):
        with self.changed:
            return self.changed.wait_for(lambda: self.to_modem.count(PROBE) >= count, seconds)

    def close(self):
        os.write(self.stop_write, b"x")
        self.thread.join()
        for fd in (self.guest, self.modem, self.stop_read, self.stop_write):
            os.close(fd)


class Checks:
    def __init__(self):
        self.rows = []

    def expect(self, run, what, expected, got):
        self.rows.append((expected == got, run, what, str(expected), str(got)))

    def report(self):
        """One line per run whose checks all passed, one per failed check."""
        groups = {}
        for row in self.rows:
            groups.setdefault(row[1], []).append(row)
        for run, rows in groups.items():
            failed = [r for r in rows if not r[0]]
            if not failed:
                print(f"ok    {run}: {len(rows)} check{'s' if len(rows) > 1 else ''}")
            for _, _, what, expected, got in failed:
                print(f"FAIL  {run} {what}: expected {expected}, got {got}")
        failed = sum(1 for r in self.rows if not r[0])
        print(f"uart-vm: {len(self.rows) - failed} passed, {failed} failed")
        return failed == 0


# CTest reports this status as a skipped test (SKIP_RETURN_CODE), with the reason printed.
SKIPPED = 77


def cannot_run(reason):
    """Skipped where the machine was never set up for it; a failure where it was (scripts/test
    sets COUNTRYSET_UART_VM_REQUIRED after scripts/install-deps fetched the kernel)."""
    print(f"uart-vm: this machine cannot run the test machine: {reason}.\n"
          "uart-vm: scripts/install-deps brings QEMU, busybox and the kernel; on a machine that "
          "cannot run QEMU at all, leave the test out with `ctest -LE uart-vm` "
          "(COUNTRYSET_SKIP_UART_VM=1 for scripts/test).")
    sys.exit(1 if os.environ.get("COUNTRYSET_UART_VM_REQUIRED") else SKIPPED)


def start_modem(modemsim, work, line, options):
    log = os.path.join(work, f"modem-{line}.log")
    process = subprocess.Popen([modemsim, "--log", log, *options], stdout=subprocess.PIPE,
                               text=True)
    path = process.stdout.readline().strip()
    if not path.startswith("/dev/"):
        process.kill()
        sys.exit(f"uart-vm: countryset-modemsim did not start for {line}")
    return process, path


class Machine:
    """QEMU with the console on a pipe; reads its lines and answers its sync points."""

    def __init__(self, args, runs_text):
        self.trace_path = os.path.join(args.work, "trace.log")
        self.console_log = open(os.path.join(args.work, "console.log"), "w")
        command = [
            args.qemu, "-nodefaults", "-no-user-config", "-machine", "pc", "-accel", "tcg",
            "-m", "256M", "-smp", "1", "-display", "none", "-no-reboot",
            "-kernel", args.kernel, "-initrd", os.path.join(args.work, "initramfs.cpio.gz"),
            "-append", f"console=ttyS0,115200 panic=-1 loglevel=1 uartvm_code={CODE} "
                       f"uartvm_runs={runs_text}",
            "-serial", "stdio", "-serial", "pty", "-serial", "pty",
            "-trace", "serial_update_parameters", "-D", self.trace_path,
        ]
        self.process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT)
        self.deadline = time.monotonic() + MACHINE_SECONDS
        self.pending = b""
        self.trace_offset = 0
        self.last_parameters = None

    def lines(self):
        """The console's lines until the machine ends or the deadline passes."""
        fd = self.process.stdout.fileno()
        while True:
            while b"\n" in self.pending:
                line, self.pending = self.pending.split(b"\n", 1)
                text = line.decode("latin-1").rstrip("\r")
                self.console_log.write(text + "\n")
                self.console_log.flush()
                yield text
            left = self.deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError
            ready, _, _ = select.select([fd], [], [], min(left, 1.0))
            if ready:
                data = os.read(fd, 4096)
                if not data:
                    return
                self.pending += data

    def trace_parameters(self):
        """The UART parameters QEMU last programmed, as its trace shows them so far."""
        try:
            with open(self.trace_path, "rb") as trace:
                trace.seek(self.trace_offset)
                data = trace.read()
        except OSError:
            return self.last_parameters
        whole = data[:data.rfind(b"\n") + 1]  # a line still being written waits for next time
        self.trace_offset += len(whole)
        for match in TRACE_RE.finditer(whole.decode("latin-1")):
            baud, parity, bits, stop = match.groups()
            self.last_parameters = (int(baud), parity, int(bits), int(stop))
        return self.last_parameters

    def answer(self):
        self.process.stdin.write(b"\n")
        self.process.stdin.flush()

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        self.console_log.close()


class Report:
    """What the guest said on its console, and what the host saw at each of its sync points."""

    def __init__(self):
        self.booted = self.finished = False
        self.facts = {}  # (run, phase) -> {key: value}
        self.statuses = {}  # run -> exit status
        self.output = {}  # run -> the program's output lines
        self.trace = {}  # (run, "held" or "free") -> UART parameters
        self.probes_seen = []  # (line, count, whether the host saw it cross)

    def take(self, words, machine, relays):
        kind = words[0]
        if kind == "fact":
            self.facts[(words[1], words[2])] = dict(
                word.split("=", 1) for word in (words[3] if len(words) > 3 else "").split()
                if "=" in word)
        elif kind == "exit":
            self.statuses[words[1]] = int(words[2])
        elif kind == "out":
            self.output.setdefault(words[1], []).append(" ".join(words[2:]))
        elif kind == "sync":
            if words[1] == "probe":
                line, count = words[2], int(words[3])
                sent = line in relays and relays[line].wait_probes(count, SYNC_SECONDS)
                self.probes_seen.append((line, count, sent))
            else:
                self.trace[(words[2], words[1])] = machine.trace_parameters()
            machine.answer()
        elif kind == "ready":
            self.booted = True
        elif kind == "done":
            self.finished = True


def run_machine(args, modems, relays):
    report = Report()
    runs_text = ",".join(f"{name}:{line}:{start}:{end}" for name, line, start, end, _, _ in RUNS)
    machine = Machine(args, runs_text)
    try:
        for text in machine.lines():
            match = PTY_RE.search(text)
            if match:
                line = "ttyS" + match.group(2)[len("serial"):]
                if line in modems:
                    relays[line] = Relay(match.group(1), modems[line][1])
            elif text.startswith("@@"):
                report.take(text[2:].split(" ", 3), machine, relays)
    except TimeoutError:
        pass
    finally:
        machine.stop()
    return report


def evaluate(report, relays):
    checks = Checks()
    checks.expect("machine", "booted to its init", True, report.booted)
    checks.expect("machine", "ran every run to the end", True, report.finished)
    for line, count, sent in report.probes_seen:
        checks.expect(line, f"probe {count} crossed the line", True, sent)
    for name, line, start, end, status, message in RUNS:
        checks.expect(name, "exit status", status, report.statuses.get(name))
        if message:
            output = report.output.get(name, [])
            checks.expect(name, "message", message,
                          message if message in output else " | ".join(output)[-200:])
        before = report.facts.get((name, "before"), {})
        held = "@probe" not in end
        for phase in ["before", "held", "after"] if held else ["before", "after"]:
            got = report.facts.get((name, phase), {})
            for key, expected in FACTS[phase].items():
                if expected == "same":
                    expected = before.get(key)
                checks.expect(name, f"{phase} {key}", expected, got.get(key))
        if held:
            checks.expect(name, "held: UART programmed", HELD, report.trace.get((name, "held")))
        checks.expect(name, "after: UART programmed", START[start],
                      report.trace.get((name, "free")))

    checks.expect("host", "both lines served", sorted(LINES), sorted(relays))
    for line, relay in relays.items():
        runs = sum(1 for run in RUNS if run[1] == line)
        if LINES[line]:
            to_modem, from_modem = PROBE * runs, b""
        else:
            to_modem = (PROBE + COMMAND + READ_BACK) * runs
            from_modem = (PROBE_REPLY + COMMAND + b"\r\nOK\r\n" + READ_BACK_REPLY) * runs
        for what, expected, got in [("to", to_modem, relay.to_modem),
                                    ("from", from_modem, relay.from_modem)]:
            checks.expect(line, f"bytes {what} the modem", printable(expected.decode("latin-1")),
                          printable(bytes(got).decode("latin-1")))
    return checks


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--source", required=True)
    parser.add_argument("--work", required=True, help="build/uart-vm: kernel cache and builds")
    parser.add_argument("--modemsim", required=True)
    parser.add_argument("--cxx", default="c++")
    parser.add_argument("--launcher", default="")
    parser.add_argument("--qemu", default="qemu-system-x86_64")
    args = parser.parse_args()
    args.work = os.path.abspath(args.work)
    args.kernel = os.path.join(args.work, "kernel", "vmlinuz")

    if shutil.which(args.qemu) is None:
        cannot_run(f"{args.qemu} is not installed")
    if not os.path.isfile(args.kernel):
        cannot_run(f"no kernel image at {args.kernel}")
    if not os.path.isfile("/bin/busybox"):
        cannot_run("/bin/busybox is missing")

    here = os.path.dirname(os.path.abspath(__file__))
    if subprocess.run([os.path.join(here, "make-initramfs"), args.source, args.work, args.cxx,
                       args.launcher]).returncode != 0:
        print("uart-vm: the initramfs could not be built")
        return 1

    modems = {line: start_modem(args.modemsim, args.work, line, options)
              for line, options in LINES.items()}
    relays = {}
    try:
        report = run_machine(args, modems, relays)
    finally:
        for relay in relays.values():
            relay.close()
        for process, _ in modems.values():
            process.send_signal(signal.SIGTERM)
            process.wait()

    passed = evaluate(report, relays).report()
    console = os.path.join(args.work, "console.log")
    if not report.finished:
        with open(console) as transcript:
            print("uart-vm: the machine's console ended with:\n" +
                  "".join(transcript.readlines()[-20:]))
    if not passed:
        print(f"uart-vm: console transcript in {console}")
    return 0 if passed else 1


if __name__ == "__main__":
    sys.exit(main())
