"""The modem simulator on a pseudo-terminal, served by Debian's ser2net on two loopback ports:
Telnet with the Com Port Control option (RFC 2217), and raw TCP. Shared by the Windows program's
end-to-end tests and the network benchmark. Standard library only."""
import os
import signal
import socket
import subprocess
import time

SER2NET = "/usr/sbin/ser2net"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class SerialServer:
    """tuned: without the server's gathering of a port's bytes (`chardelay: false`) and with
    Nagle's algorithm off (`tcp(nodelay)`); otherwise the server's defaults."""

    def __init__(self, modemsim, folder, log=None, tuned=False):
        self.processes = []
        self.server = None
        sim = subprocess.Popen([modemsim] + (["--log", log] if log else []),
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.processes.append(sim)
        self.device = sim.stdout.readline().strip()
        if not self.device.startswith("/dev/"):
            self.stop()
            raise RuntimeError("the modem simulator did not start")
        self.rfc2217, self.raw = free_port(), free_port()
        tcp = "tcp(nodelay)" if tuned else "tcp"
        options = "      kickolduser: true\n" + ("      chardelay: false\n" if tuned else "")
        config = os.path.join(folder, "ser2net.yaml")
        with open(config, "w") as f:
            f.write("%YAML 1.1\n---\n")
            for name, accepter, port in (("rfc", "telnet(rfc2217)," + tcp, self.rfc2217),
                                         ("raw", tcp, self.raw)):
                f.write("connection: &%s\n    accepter: %s,127.0.0.1,%d\n    enable: on\n"
                        "    options:\n%s    connector: serialdev,%s,9600n81,local\n" %
                        (name, accepter, port, options, self.device))
        self.server = subprocess.Popen(
            [SER2NET, "-n", "-u", "-c", config, "-P", os.path.join(folder, "ser2net.pid")],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.processes.append(self.server)
        for port in (self.rfc2217, self.raw):
            self._wait_listening(port)
        self.released()

    def _wait_listening(self, port):
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                return
            except OSError:
                time.sleep(0.02)
        self.stop()
        raise RuntimeError("the serial server did not listen on %d" % port)

    def released(self):
        """Waits until no connection of the server holds the device: it keeps the device open
        while a client is connected, and the next client (or a local open, which takes the
        device exclusively) must find it free."""
        fds = "/proc/%d/fd" % self.server.pid
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            held = False
            for name in os.listdir(fds):
                try:
                    held = held or os.readlink(os.path.join(fds, name)) == self.device
                except OSError:
                    pass
            if not held:
                return
            time.sleep(0.01)
        raise RuntimeError("the serial server still holds %s" % self.device)

    def stop(self):
        for process in reversed(self.processes):
            process.send_signal(signal.SIGTERM)
            process.wait(timeout=30)
        if self.processes:
            self.processes[0].stdout.close()
        self.processes = []
