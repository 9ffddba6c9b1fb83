#!/usr/bin/python3
"""Resets the modem with echo on, then sets the country of installation (Germany, 42)."""
import sys

import serial


def exchange(port, command):
    port.write(command)
    expected = command + b"\r\nOK\r\n"
    reply = port.read_until(expected, len(expected))
    if reply != expected:
        sys.exit(f"unexpected reply to {command!r}: {reply!r}")


with serial.Serial(sys.argv[1], 38400, timeout=3) as port:
    exchange(port, b"ATZE1\r")
    exchange(port, b"AT+GCI=42\r")
