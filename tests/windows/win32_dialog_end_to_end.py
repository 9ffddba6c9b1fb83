#!/usr/bin/env python3
"""countryset.exe's native dialog under Wine on a display of its own, driven by xdotool.

The operator types a country and a port into the lists and presses Return; the Linux modem
simulator behind COM6 must receive the code, the success box is dismissed with Return, and the
settings file must hold the choice and be otherwise unchanged. Run inside xvfb-run.

Usage: win32_dialog_end_to_end.py WINE_RUN PREFIX COUNTRYSET_EXE MODEMSIM SAMPLE_SETTINGS
PREFIX is one for tests with windows only (see win32_dialog_xvfb-run).
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

from wine_modem import Modem, exit_unless_present, settings_text

WINE_RUN, PREFIX, PROGRAM, MODEMSIM, SAMPLE = sys.argv[1:6]
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
        self.modem = Modem(PREFIX, MODEM_PORT, MODEMSIM, os.path.join(self.folder, "modem.log"))
        self.process = None

    def tearDown(self):
        if self.process and self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.modem.stop()
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
            f.write(settings_text(SAMPLE, 0, 1))
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
        self.assertEqual(self.modem.received(), b"ATZE1\rAT+GCI=3D\rAT+GCI?\r")
        with open(self.settings, "rb") as f:
            # France is the eleventh of the sorted list.
            self.assertEqual(f.read(), settings_text(SAMPLE, 10, MODEM_PORT))


if __name__ == "__main__":
    exit_unless_present("win32_dialog_end_to_end.py", PROGRAM, MODEMSIM, SAMPLE)
    unittest.main(argv=sys.argv[:1], verbosity=2)
