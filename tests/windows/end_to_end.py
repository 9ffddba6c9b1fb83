#!/usr/bin/env python3
"""countryset.exe under Wine against the modem simulator behind a COM port.

The Windows program runs in a folder of its own (with a non-ASCII name, so its paths go through
the wide-character API) beside its settings file; the Linux simulator's pseudo-terminal stands
behind COM5 through the Wine prefix's port links (tests/windows/wine-run). Each case checks what
the modem received, what the operator was told, the exit status, and the settings file byte for
byte.

Usage: end_to_end.py WINE_RUN PREFIX COUNTRYSET_EXE MODEMSIM SAMPLE_SETTINGS
"""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from wine_modem import Modem, exit_unless_present, settings_text

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "network"))
from ser2net_server import SER2NET, SerialServer  # noqa: E402

WINE_RUN, PREFIX, PROGRAM, MODEMSIM, SAMPLE = sys.argv[1:6]
MODEM_PORT = 5  # COM5; the driver's own tests use COM3 and COM4
BEYOND_PORT = 12  # beyond the dialog's list (tests/windows/wine-run maps it)

SUCCESS = "Country set successfully."
CANT_FIND = "Can't find modem at the selected COM port."
CANT_INIT = "Can't initialise modem at the selected COM port."
CANT_SET = "Can't perform country setting on this model modem!"
class WindowsProgramTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="countryset-wine-Länder-")
        self.program = os.path.join(self.folder, "countryset.exe")
        shutil.copyfile(PROGRAM, self.program)
        self.settings = os.path.join(self.folder, "countryset.DAT")
        self.modem = None

    def tearDown(self):
        if self.modem:
            self.modem.stop()
        shutil.rmtree(self.folder, ignore_errors=True)

    def start_modem(self, *options):
        self.modem = Modem(PREFIX, MODEM_PORT, MODEMSIM, os.path.join(self.folder, "modem.log"),
                           *options)

    def write_settings(self, current_set=0, current_com=MODEM_PORT):
        text = settings_text(SAMPLE, current_set, current_com)
        with open(self.settings, "wb") as f:
            f.write(text)
        return text

    def read_settings(self):
        with open(self.settings, "rb") as f:
            return f.read()

    def run_program(self, typed):
        done = subprocess.run([WINE_RUN, PREFIX, self.program, "--console"],
                              input=typed.encode(), capture_output=True, timeout=120)
        return done.returncode, done.stdout.decode(errors="replace")

    def test_a_chosen_country_is_sent_checked_and_stored(self):
        self.start_modem()
        self.write_settings()
        code, out = self.run_program("12\n\n\n")  # Germany, OK, dismiss the message
        self.assertEqual(code, 0, out)
        self.assertIn(SUCCESS, out)
        self.assertEqual(self.modem.received(), b"ATZE1\rAT+GCI=42\rAT+GCI?\r")
        self.assertEqual(self.read_settings(), settings_text(SAMPLE, 11, MODEM_PORT))

    def test_a_country_spelled_beyond_ascii_is_found_by_its_name(self):
        # The ANSI code page gives the name's letters other bytes than the UTF-8 file holds (and
        # cannot spell some at all): the name must come from the wide command line.
        text = settings_text(SAMPLE, 0, MODEM_PORT)
        text = text.replace(b"Austria=0A", "Österreich=0A".encode())
        text = text.replace(b"Czech Republic=2E", "Česko=2E".encode())
        for name, code in (("Österreich", b"0A"), ("Česko", b"2E")):
            with self.subTest(name=name):
                self.start_modem()
                try:
                    with open(self.settings, "wb") as f:
                        f.write(text)
                    done = subprocess.run(
                        [WINE_RUN, PREFIX, self.program, "--country", name, "--port",
                         "COM%d" % MODEM_PORT],
                        capture_output=True, timeout=120, env=dict(os.environ, LC_ALL="C.UTF-8"))
                    self.assertEqual(done.returncode, 0, done.stderr.decode(errors="replace"))
                    self.assertEqual(self.modem.received(),
                                     b"ATZE1\rAT+GCI?\rAT+GCI=" + code + b"\rAT+GCI?\r")
                finally:
                    self.modem.stop()
                    self.modem = None

    def test_modem_faults_are_told_and_the_file_stays_as_it_was(self):
        for option, message in (("--silent", CANT_INIT), ("--error-gci", CANT_SET)):
            with self.subTest(option=option):
                self.start_modem(option)
                try:
                    before = self.write_settings(current_set=3)
                    code, out = self.run_program("\n\n\n")
                    self.assertEqual(code, 1, out)
                    self.assertIn(message, out)
                    self.assertNotIn(SUCCESS, out)
                    self.assertEqual(self.read_settings(), before)
                finally:
                    self.modem.stop()
                    self.modem = None

    def run_scripted(self, *args):
        done = subprocess.run([WINE_RUN, PREFIX, self.program, *args], capture_output=True,
                              timeout=120)
        return done.returncode, (done.stdout + done.stderr).decode(errors="replace")

    def test_a_port_beyond_the_list_is_reached_by_name_and_through_ports(self):
        # The simulator stands behind COM12. One settings file serves both systems: the Linux
        # entry is passed over here, the Windows one maps the list's COM1 to COM12.
        self.modem = Modem(PREFIX, BEYOND_PORT, MODEMSIM, os.path.join(self.folder, "modem.log"))
        text = settings_text(SAMPLE, 0, 1).replace(
            b";COM1=/dev/ttyUSB0", b"COM2=/dev/ttyUSB0\r\nCOM3=/dev/ttyUSB0\r\nCOM1=COM12")
        with open(self.settings, "wb") as f:
            f.write(text)
        code, out = self.run_scripted("--list-ports")
        self.assertEqual(code, 0, out)
        self.assertRegex(out, r"\nCOM1 +\\\\\.\\COM12 +yes")
        self.assertIn("\nCOM3 ", out)  # a POSIX path is no Windows port: COM3 is itself

        code, out = self.run_scripted("--country", "Germany")
        self.assertEqual(code, 0, out)
        self.assertEqual(self.modem.received(), b"ATZE1\rAT+GCI?\rAT+GCI=42\rAT+GCI?\r")
        stored = text.replace(b"CurrentSet=0\r\n", b"CurrentSet=11\r\n")
        self.assertEqual(self.read_settings(), stored)

        code, out = self.run_scripted("--country", "Japan", "--port", "com12")
        self.assertEqual(code, 0, out)
        self.assertEqual(self.read_settings(),
                         text.replace(b"CurrentSet=0\r\n", b"CurrentSet=19\r\n")
                         .replace(b"CurrentCOM=1\r\n", b"CurrentCOM=12\r\n"))

    def test_a_modem_behind_a_serial_server_is_reached_through_winsock(self):
        if not os.access(SER2NET, os.X_OK):
            if os.environ.get("COUNTRYSET_SER2NET_REQUIRED"):
                self.fail("%s is missing (scripts/install-deps installs it)" % SER2NET)
            self.skipTest("%s is not installed" % SER2NET)
        log = os.path.join(self.folder, "modem.log")
        server = SerialServer(MODEMSIM, self.folder, log)
        try:
            text = settings_text(SAMPLE, 0, 1).replace(
                b";COM1=/dev/ttyUSB0", b"COM1=rfc2217://127.0.0.1:%d\r\nCOM2=socket://localhost:%d"
                % (server.rfc2217, server.raw))
            with open(self.settings, "wb") as f:
                f.write(text)
            code, out = self.run_scripted("--list-ports")
            self.assertEqual(code, 0, out)
            self.assertRegex(out, r"\nCOM1 +rfc2217://127\.0\.0\.1:%d .*network" % server.rfc2217)
            sent = 0
            for port, country, code_sent in (("COM1", "Germany", b"42"), ("COM2", "France", b"3D")):
                with self.subTest(port=port):
                    code, out = self.run_scripted("--country", country, "--port", port, "--json")
                    self.assertEqual(code, 0, out)
                    self.assertIn('"outcome":"set_verified"', out)
                    with open(log, "rb") as f:
                        received = f.read()
                    self.assertEqual(received[sent:],
                                     b"ATZE1\rAT+GCI?\rAT+GCI=" + code_sent + b"\rAT+GCI?\r")
                    sent = len(received)
                    server.released()
        finally:
            server.stop()

    def test_a_missing_port_sends_nothing(self):
        # COM1 cannot be opened at all; COM2 opens under Wine but is no serial line.
        for port in (1, 2):
            with self.subTest(port=port):
                before = self.write_settings(current_com=port)
                code, out = self.run_program("\n\n\n")
                self.assertEqual(code, 1, out)
                self.assertIn(CANT_FIND, out)
                self.assertEqual(self.read_settings(), before)


if __name__ == "__main__":
    exit_unless_present("end_to_end.py", PROGRAM, MODEMSIM, SAMPLE)
    unittest.main(argv=sys.argv[:1], verbosity=2)
