"""What the Windows program's end-to-end tests share: the simulator behind a Wine COM port, and
the sample settings file as a Windows editor saves it."""
import fcntl
import os
import subprocess
import sys


def settings_text(sample, current_set, current_com):
    """The sample settings with CRLF line ends and a stored choice: the country's position in
    the sorted list and the port's number."""
    with open(sample, "rb") as f:
        lines = f.read().replace(b"\r\n", b"\n").split(b"\n")
    out = []
    for line in lines:
        if line.startswith(b"CurrentSet="):
            line = b"CurrentSet=%d" % current_set
        elif line.startswith(b"CurrentCOM="):
            line = b"CurrentCOM=%d" % current_com
        out.append(line)
    return b"\r\n".join(out)


class Modem:
    """The Linux simulator with its device linked where the Wine prefix looks for COMn (see
    wine-run); one user of a port at a time, whichever test suite it belongs to."""

    def __init__(self, prefix, port, modemsim, log, *options):
        ports = os.path.join(os.path.dirname(prefix), "wine-ports")
        os.makedirs(ports, exist_ok=True)
        link = os.path.join(ports, "COM%d" % port)
        self.log = log
        self.lock = open(link + ".lock", "w")
        fcntl.flock(self.lock, fcntl.LOCK_EX)
        self.process = subprocess.Popen([modemsim, "--link", link, "--log", log, *options],
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        # The simulator prints its device once the link stands.
        if not self.process.stdout.readline():
            self.stop()
            raise RuntimeError("the modem simulator did not start")

    def received(self):
        with open(self.log, "rb") as f:
            return f.read()

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=60)
        self.process.stdout.close()
        self.lock.close()


def exit_unless_present(script, *paths):
    for path in paths:
        if not os.path.exists(path):
            print("%s: %s is missing (the simulator comes from the default preset's build: "
                  "cmake --build --preset default)" % (script, path), file=sys.stderr)
            sys.exit(1)
