"""Running the real programs for end-to-end tests.

`Screen` runs tlxup with its standard input and output on a pseudo-terminal,
as a user's terminal would be: keys are typed into it, and everything the
program writes is collected byte for byte.
"""
import fcntl
import os
import pty
import select
import signal
import subprocess
import termios
import time


class Screen:
    def __init__(self, argv, env=None, keep_terminal=False):
        """The terminal becomes the program's controlling terminal, so the
        interrupt key works as on a user's. With `keep_terminal` its slave
        side stays open here (`self.terminal`) to look at its settings."""
        self.master, slave = pty.openpty()
        attrs = termios.tcgetattr(slave)
        attrs[1] &= ~termios.ONLCR        # keep the program's bytes as written
        termios.tcsetattr(slave, termios.TCSANOW, attrs)
        self.initial_settings = termios.tcgetattr(slave)

        def take_terminal():
            os.setsid()
            fcntl.ioctl(0, termios.TIOCSCTTY, 0)

        self.proc = subprocess.Popen(argv, stdin=slave, stdout=slave, stderr=subprocess.PIPE,
                                     env=env, preexec_fn=take_terminal)
        self.terminal = slave if keep_terminal else None
        if not keep_terminal:
            os.close(slave)
        self.output = b""
        self.status = None

    def _pump(self, timeout):
        ready, _, _ = select.select([self.master], [], [], timeout)
        if not ready:
            return False
        try:
            data = os.read(self.master, 65536)
        except OSError:
            return False
        if not data:
            return False
        self.output += data
        return True

    def text(self):
        return self.output.decode("latin-1")

    def wait_for(self, needle, timeout):
        """Waits until `needle` has been written; True when it was."""
        deadline = time.monotonic() + timeout
        while needle not in self.text():
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            if not self._pump(min(left, 0.1)) and self.proc.poll() is not None:
                self._drain()
                return needle in self.text()
        return True

    def type(self, keys):
        os.write(self.master, keys.encode("latin-1") if isinstance(keys, str) else keys)

    def _drain(self):
        while self._pump(0.05):
            pass

    def wait_exit(self, timeout):
        """Waits for the program to end; returns its exit status or None."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            self._pump(0.05)
            if self.proc.poll() is not None:
                self._drain()
                self.status = self.proc.returncode
                return self.status
        return None

    def kill(self):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()
        for fd in (self.master, self.terminal):
            try:
                if fd is not None:
                    os.close(fd)
            except OSError:
                pass


def run_piped(argv, stdin_bytes=b"", env=None, timeout=30):
    """Runs a program with its standard input from a pipe; returns (status, output)."""
    proc = subprocess.run(argv, input=stdin_bytes, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          env=env, timeout=timeout)
    return proc.returncode, proc.stdout.decode("latin-1")


class Sim:
    """The device simulator on a pseudo-terminal of its own."""

    def __init__(self, workdir, name, options=(), image=None):
        self.report_path = os.path.join(workdir, name + ".json")
        self.log_path = os.path.join(workdir, name + ".log")
        argv = [os.environ["TLXSIM"], "--report", self.report_path, "--log", self.log_path]
        if image:
            argv += ["--image", image]
        argv += list(options)
        self.proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     start_new_session=True)
        line = self.proc.stdout.readline().decode().strip()
        if not line.startswith("/dev/"):
            self.proc.kill()
            raise RuntimeError("tlxsim did not start: %r %s" % (line, self.proc.stderr.read()))
        self.path = line

    def stop(self):
        """Ends the simulator and returns its report."""
        import json
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
        for stream in (self.proc.stdout, self.proc.stderr):
            if stream is not None:
                stream.close()
        with open(self.report_path) as f:
            return json.load(f)


class SilentPort:
    """A pseudo-terminal with nothing behind it: a port where no device answers."""

    def __init__(self):
        self.master, self.slave = pty.openpty()
        self.path = os.ttyname(self.slave)

    def close(self):
        for fd in (self.master, self.slave):
            try:
                os.close(fd)
            except OSError:
                pass
