#!/usr/bin/env python3
"""countryset.exe's native dialog under Wine on a display of its own, driven by xdotool.

The operator types a country and a port into the lists and presses Return; the Linux modem
simulator behind COM6 must receive the code, the success box is dismissed with Return, and the
settings file must hold the choice and be otherwise unchanged. Run inside xvfb-run.

Usage: win32_dialog_end_to_end.py WINE_RUN PREFIX COUNTRYSET_EXE MODEMSIM SAMPLE_SETTINGS
PREFIX is one for tests with windows only (see win32_dialog_xvfb-run).
"""
import fcntl
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

WINE_RUN, PREFIX, PROGRAM, MODEMSIM, SAMPLE = sys.argv[1:6]
PORTS = os.path.join(os.path.dirname(PREFIX), "wine-ports")
MODEM_PORT = 6  # the driver's tests and the console's end-to-end test use COM3 to COM5
HANG = 60  # seconds: only a hang takes this long


def wine():
    for path in ("/usr/lib/wine/wine64", shutil.which("wine64"), shutil.which("wine")):
        if path and os.access(path, os.X_OK):
            return path
    raise RuntimeError("no Wine")


def xdotool(*args):
    return subprocess.run(["xdotool", *args], capture_output=True, text=True,
                          timeout=HANG).stdout.split()


def settings_text(current_set, current_com):
    with open(SAMPLE, "rb") as sample:
        lines = sample.read().replace(b"\r\n", b"\n").split(b"\n")
    out = []
    for line in lines:
        if line.startswith(b"CurrentSet="):
            line = b"CurrentSet=%d" % current_set
        elif line.startswith(b"CurrentCOM="):
            line = b"CurrentCOM=%d" % current_com
        out.append(line)
    return b"\r\n".join(out)


class NativeDialogTest(unittest.TestCase):
    def setUp(self):
        # The prefix, with its COM port links, is wine-run's to make. Nothing reads its output: a
        # Wine server it leaves running would hold a captured pipe open for a minute. With no window manager on
        # the display, Wine waits two seconds for one at each window that closes; windows it
        # manages itself close at once.
        subprocess.run([WINE_RUN, PREFIX, "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v",
                        "Managed", "/d", "N", "/f"], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=10 * HANG)
        # A Wine session's desktop lives on the display of the program that started it, or on
        # none: the session begins anew, on this display.
        for option in ("-k", "-w"):
            subprocess.run(["wineserver", option], env=dict(os.environ, WINEPREFIX=PREFIX),
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=HANG)
        self.folder = tempfile.mkdtemp(prefix="countryset-wine-dialog-")
        self.program = os.path.join(self.folder, "countryset.exe")
        shutil.copyfile(PROGRAM, self.program)
        self.settings = os.path.join(self.folder, "countryset.DAT")
        self.log = os.path.join(self.folder, "modem.log")
        link = os.path.join(PORTS, "COM%d" % MODEM_PORT)
        os.makedirs(PORTS, exist_ok=True)
        self.lock = open(link + ".lock", "w")
        fcntl.flock(self.lock, fcntl.LOCK_EX)
        self.modem = subprocess.Popen([MODEMSIM, "--link", link, "--log", self.log],
                                      stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        if not self.modem.stdout.readline():
            raise RuntimeError("the modem simulator did not start")
        self.process = None

    def tearDown(self):
        if self.process and self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.modem.terminate()
        self.modem.wait(timeout=HANG)
        self.modem.stdout.close()
        self.lock.close()
        shutil.rmtree(self.folder, ignore_errors=True)

    def window(self, *search, other_than=()):
        deadline = time.monotonic() + HANG
        while time.monotonic() < deadline:
            found = [w for w in xdotool("search", "--onlyvisible", *search) if w not in other_than]
            if found:
                return found[0]
            if self.process.poll() is not None:
                self.fail("the program ended with %d before its window showed" %
                          self.process.returncode)
            time.sleep(0.1)
        self.fail("no window %s" % (search,))

    def test_typed_choice_is_sent_and_stored(self):
        with open(self.settings, "wb") as f:
            f.write(settings_text(0, 1))
        env = dict(os.environ, WINEPREFIX=PREFIX, WINEARCH="win64", WINEDEBUG="-all",
                   WINEDLLOVERRIDES="mscoree,mshtml=")
        self.process = subprocess.Popen([wine(), self.program], cwd=self.folder, env=env,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        dialog = self.window("--name", "^Country Setting$")
        xdotool("windowfocus", "--sync", dialog)
        # The focus starts on OK; Cancel, then the country list, then the port list.
        xdotool("key", "Tab", "Tab")
        xdotool("type", "--delay", "50", "fra")
        xdotool("key", "Tab")
        xdotool("type", "--delay", "50", "com%d" % MODEM_PORT)
        xdotool("key", "Return")
        box = self.window("--class", "countryset", other_than=(dialog,))
        xdotool("windowfocus", "--sync", box)
        xdotool("key", "Return")
        self.assertEqual(self.process.wait(timeout=HANG), 0)
        with open(self.log, "rb") as log:
            self.assertEqual(log.read(), b"ATZE1\rAT+GCI=3D\r")
        with open(self.settings, "rb") as f:
            # France is the eleventh of the sorted list.
            self.assertEqual(f.read(), settings_text(10, MODEM_PORT))


if __name__ == "__main__":
    for path in (PROGRAM, MODEMSIM, SAMPLE):
        if not os.path.exists(path):
            print("win32_dialog_end_to_end.py: %s is missing (the simulator comes from the "
                  "default preset's build)" % path, file=sys.stderr)
            sys.exit(1)
    unittest.main(argv=sys.argv[:1], verbosity=2)
