"""Exclusive use of the port and the terminal's settings after every way out."""
import fcntl
import os
import subprocess
import sys
import tempfile
import shutil
import termios
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from harness import Screen, Sim, run_piped  # noqa: E402

TLXUP = os.environ["TLXUP"]
IMAGE = os.path.join(os.environ["TLX_SOURCE_DIR"], "firmware", "images", "VEL2346-2.57.img")
QUESTION = "(Y,N) "
PROMPT = "\nPress any key to exit..."
NOT_OPENED = ("\nCOM1: Could not open port.\n\nNo updatable Tolvex devices found.\n" + PROMPT + "\n")


class Safety(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="tlxsafe.")
        self.sim = None
        self.screens = []

    def tearDown(self):
        for screen in self.screens:
            screen.kill()
        if self.sim:
            self.sim.stop()
        shutil.rmtree(self.work, ignore_errors=True)

    def start_sim(self, *options):
        self.sim = Sim(self.work, "sim", list(options) + ["--dsp-banks", "1", "--dsp-step-ms", "20"], image=IMAGE)
        return self.sim

    def screen(self, args, keep_terminal=False):
        env = dict(os.environ, TLXUP_PORTS=self.sim.path if self.sim else "")
        screen = Screen([TLXUP] + args, env=env, keep_terminal=keep_terminal)
        self.screens.append(screen)
        return screen

    def test_second_tlxup_on_the_same_port_cannot_open_it(self):
        self.start_sim()
        first = self.screen(["1"])
        self.assertTrue(first.wait_for(QUESTION, 30), first.text())
        status, out = run_piped([TLXUP, "1"], b"", env=dict(os.environ, TLXUP_PORTS=self.sim.path))
        self.assertEqual(status, 1)
        self.assertTrue(out.endswith(NOT_OPENED), out)

    def test_port_held_by_another_program_cannot_be_opened(self):
        self.start_sim()
        holder = os.open(self.sim.path, os.O_RDWR | os.O_NOCTTY)
        try:
            fcntl.flock(holder, fcntl.LOCK_EX | fcntl.LOCK_NB)
            status, out = run_piped([TLXUP, "1"], b"", env=dict(os.environ, TLXUP_PORTS=self.sim.path))
        finally:
            os.close(holder)
        self.assertEqual(status, 1)
        self.assertTrue(out.endswith(NOT_OPENED), out)
        status, out = run_piped([TLXUP, "1"], b"n", env=dict(os.environ, TLXUP_PORTS=self.sim.path))
        self.assertIn("compatible with this firmwware was found.", out, "free again once released")

    def assert_terminal_restored(self, screen, before):
        self.assertEqual(termios.tcgetattr(screen.terminal), before)

    def test_terminal_is_restored_after_every_way_out(self):
        cases = [
            ("normal exit", [], None, "q"),
            ("interrupt at the question", [], QUESTION, "\x03"),
            ("interrupt during the download", [], "Updating firmware:  10% complete.", "\x03"),
            ("device unplugged", ["--unplug-after-record", "20"], "No Tolvex device found", "q"),
        ]
        for name, options, wait_for, key in cases:
            with self.subTest(name):
                self.start_sim(*options)
                screen = self.screen(["1"], keep_terminal=True)
                before = screen.initial_settings
                self.assertTrue(screen.wait_for(QUESTION, 30), screen.text())
                if wait_for != QUESTION:
                    screen.type("y")
                if wait_for:
                    self.assertTrue(screen.wait_for(wait_for, 60), screen.text()[-500:])
                else:
                    screen.type("y")
                    self.assertTrue(screen.wait_for(PROMPT, 60), screen.text()[-500:])
                during = termios.tcgetattr(screen.terminal)
                self.assertNotEqual(during[3] & termios.ECHO, before[3] & termios.ECHO, "keys are read without echo")
                if key == "q" and wait_for:
                    self.assertTrue(screen.wait_for(PROMPT, 60), screen.text()[-500:])
                screen.type(key)
                status = screen.wait_exit(20)
                self.assertEqual(status, -2 if key == "\x03" else 1)
                self.assert_terminal_restored(screen, before)
                screen.kill()
                self.sim.stop()
                self.sim = None


if __name__ == "__main__":
    unittest.main()
