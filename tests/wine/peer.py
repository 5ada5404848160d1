"""Runs the Win32 serial backend's conformance tests under Wine and plays
the device for them.

    peer.py TESTS.EXE [test arguments...]

A fresh Wine prefix is made, COM1 is led to a pseudo-terminal whose master
side this driver holds, and TESTS.EXE runs with its standard error and
standard input connected here. A line "@peer COMMAND ARGS" on its standard
error asks the device side to act; the answer is one line on its standard
input. Every other line of standard error is passed on. Commands:

    fresh                 a new pseudo-terminal behind COM1    -> ok
    send HEX [MS]         send bytes now, or MS ms from now    -> ok
    recv COUNT MS         read up to COUNT bytes for up to MS  -> HEX, or - for none
    drain                 read and drop what has arrived       -> count
    settings              the line as the terminal side has it -> name=value ...
    preset FLAG...        set parenb, cstopb, ixon, ixoff, crtscts, icrnl
                          on the terminal before the port opens -> ok
    hangup                the device goes away                 -> ok
    unplug / plug         COM1 leads nowhere / back            -> ok

The exit status is the test program's, or 2 when the driver failed.
"""
import os
import pty
import queue
import select
import subprocess
import sys
import termios
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from wineprefix import Prefix, wine_available  # noqa: E402

SPEEDS = {getattr(termios, name): int(name[1:]) for name in dir(termios)
          if name.startswith("B") and name[1:].isdigit()}
FLAGS = {  # name: (termios attribute index, bit)
    "parenb": (2, termios.PARENB), "cstopb": (2, termios.CSTOPB), "crtscts": (2, termios.CRTSCTS),
    "ixon": (0, termios.IXON), "ixoff": (0, termios.IXOFF), "icrnl": (0, termios.ICRNL),
    "istrip": (0, termios.ISTRIP), "opost": (1, termios.OPOST),
    "icanon": (3, termios.ICANON), "echo": (3, termios.ECHO), "isig": (3, termios.ISIG),
}
RUN_LIMIT_S = 600


class Device:
    def __init__(self, prefix):
        self.prefix = prefix
        self.master = self.slave = None
        self.path = None
        self.lock = threading.Lock()

    def fresh(self):
        self.close()
        self.master, self.slave = pty.openpty()
        self.path = os.ttyname(self.slave)
        self.prefix.point_port(1, self.path)

    def close(self):
        with self.lock:
            for fd in (self.master, self.slave):
                if fd is not None:
                    try:
                        os.close(fd)
                    except OSError:
                        pass
            self.master = self.slave = None

    def send(self, data, after_ms=0):
        def later():
            time.sleep(after_ms / 1000.0)
            with self.lock:
                if self.master is not None:
                    os.write(self.master, data)
        if after_ms > 0:
            threading.Thread(target=later, daemon=True).start()
        else:
            with self.lock:
                os.write(self.master, data)

    def recv(self, count, timeout_ms):
        got = b""
        deadline = time.monotonic() + timeout_ms / 1000.0
        while len(got) < count:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.master], [], [], left)[0]:
                break
            try:
                chunk = os.read(self.master, count - len(got))
            except OSError:
                break
            if not chunk:
                break
            got += chunk
        return got

    def drain(self):
        dropped = 0
        while select.select([self.master], [], [], 0.05)[0]:
            try:
                chunk = os.read(self.master, 65536)
            except OSError:
                break
            if not chunk:
                break
            dropped += len(chunk)
        return dropped

    def settings(self):
        attrs = termios.tcgetattr(self.slave)
        words = ["ispeed=%d" % SPEEDS.get(attrs[4], -1), "ospeed=%d" % SPEEDS.get(attrs[5], -1),
                 "csize=%d" % {termios.CS5: 5, termios.CS6: 6, termios.CS7: 7, termios.CS8: 8}[attrs[2] & termios.CSIZE]]
        for name, (index, bit) in sorted(FLAGS.items()):
            words.append("%s=%d" % (name, 1 if attrs[index] & bit else 0))
        return " ".join(words)

    def preset(self, names):
        attrs = termios.tcgetattr(self.slave)
        for name in names:
            index, bit = FLAGS[name]
            attrs[index] |= bit
        termios.tcsetattr(self.slave, termios.TCSANOW, attrs)


def answer(device, words):
    command, args = words[0], words[1:]
    if command == "fresh":
        device.fresh()
    elif command == "send":
        device.send(bytes.fromhex(args[0]), int(args[1]) if len(args) > 1 else 0)
    elif command == "recv":
        got = device.recv(int(args[0]), int(args[1]))
        return got.hex() if got else "-"
    elif command == "drain":
        return str(device.drain())
    elif command == "settings":
        return device.settings()
    elif command == "preset":
        device.preset(args)
    elif command == "hangup":
        device.close()
    elif command == "unplug":
        device.prefix.point_port(1, None)
    elif command == "plug":
        device.prefix.point_port(1, device.path)
    else:
        return "unknown command"
    return "ok"


def main(argv):
    if len(argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    reason = wine_available()
    if reason:
        print("peer.py: %s" % reason, file=sys.stderr)
        return 2
    prefix = Prefix()
    device = Device(prefix)
    device.fresh()
    try:
        proc = subprocess.Popen(["wine"] + argv[1:], env=prefix.env, stdin=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        lines = queue.Queue()

        def collect():
            for raw in proc.stderr:
                lines.put(raw)

        threading.Thread(target=collect, daemon=True).start()
        deadline = time.monotonic() + RUN_LIMIT_S
        ended_at = None
        try:
            # Until the program has ended and its last lines are in: a
            # service of the prefix may hold the other end of the pipe.
            while ended_at is None or time.monotonic() < ended_at + 0.5:
                if time.monotonic() > deadline:
                    print("peer.py: the tests ran past %d s" % RUN_LIMIT_S, file=sys.stderr)
                    break
                if ended_at is None and proc.poll() is not None:
                    ended_at = time.monotonic()
                try:
                    raw = lines.get(timeout=0.1)
                except queue.Empty:
                    continue
                line = raw.decode("latin-1").rstrip("\r\n")
                if not line.startswith("@peer "):
                    print(line, file=sys.stderr)
                    continue
                try:
                    reply = answer(device, line.split()[1:])
                except (OSError, ValueError, IndexError, KeyError, termios.error) as e:
                    reply = "error %s" % e
                try:
                    proc.stdin.write((reply + "\n").encode())
                    proc.stdin.flush()
                except BrokenPipeError:
                    pass
        finally:
            if proc.poll() is None:
                proc.kill()
            status = proc.wait()
        return status
    finally:
        device.close()
        prefix.remove()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
