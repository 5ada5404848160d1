"""A fresh Wine prefix whose COM ports lead to pseudo-terminals.

Wine reaches COMn through the link `dosdevices/comN` of its prefix. Its
mount manager rewrites those links from the serial devices it finds each
time the prefix's server starts (COM1 would go to /dev/ttyS0), unless the
registry key HKLM\\Software\\Wine\\Ports names a device for the port. So
every port here is registered once, at a fixed path of our own
(`<root>/ports/comN`), and that path is a symbolic link that a test points
at whatever pseudo-terminal should sit behind the port: a test's own, or
the simulator's (its --link option makes the link itself).
"""
import os
import shutil
import subprocess
import tempfile

PORTS = 4


def wine_available():
    """The reason Wine cannot run Windows programs here, or None when it can."""
    if shutil.which("wine") is None:
        return "wine is not installed"
    if shutil.which("wineserver") is None:
        return "wineserver is not installed"
    return None


class Prefix:
    """A Wine prefix made for one suite in a directory of its own and
    removed with it. `env` runs Windows programs in it; `port_link(n)` is
    the path to point at the device for COMn."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="tlxwine.")
        self.path = os.path.join(self.root, "prefix")
        self.ports = os.path.join(self.root, "ports")
        os.mkdir(self.ports)
        self.env = dict(os.environ)
        self.env.update({
            "WINEPREFIX": self.path,
            "WINEDEBUG": "-all",
            # No Mono or Gecko installers, no desktop integration, no window.
            "WINEDLLOVERRIDES": "mscoree,mshtml,winemenubuilder.exe=",
            "DISPLAY": "",
        })
        self.env.pop("WAYLAND_DISPLAY", None)
        self._run(["wineboot", "-i"], timeout=300)
        for n in range(1, PORTS + 1):
            self._run(["reg", "add", r"HKLM\Software\Wine\Ports", "/v", "COM%d" % n,
                       "/t", "REG_SZ", "/d", self.port_link(n), "/f"], timeout=120)
        # The registry reaches the disk and the mount manager when the
        # server ends; it starts again with the ports set.
        self.stop_server()
        self.start_server()

    def _run(self, argv, timeout):
        result = subprocess.run(["wine"] + argv, env=self.env, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, timeout=timeout)
        if result.returncode != 0:
            raise RuntimeError("wine %s failed (%d): %s" % (" ".join(argv), result.returncode,
                                                             result.stdout.decode(errors="replace")[-2000:]))

    def port_link(self, n):
        return os.path.join(self.ports, "com%d" % n)

    def point_port(self, n, device):
        """Puts `device` behind COMn; None leaves COMn without a device."""
        link = self.port_link(n)
        if os.path.lexists(link):
            os.unlink(link)
        if device is not None:
            os.symlink(device, link)

    def start_server(self):
        """Starts the prefix's server on its own, with its output dropped.
        It opens the ports' devices and, as a session leader, takes a
        pseudo-terminal as its controlling terminal; when the other side
        closes, the hang-up makes it print its object table."""
        subprocess.run(["wineserver", "-p"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        # The prefix's services (the device manager among them) start with
        # the first program and keep its standard streams open for as long
        # as they run; start them here with none.
        subprocess.run(["wine", "wineboot"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)

    def stop_server(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)
        subprocess.run(["wineserver", "-w"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)

    def remove(self):
        try:
            self.stop_server()
        finally:
            shutil.rmtree(self.root, ignore_errors=True)
