"""The command-line screens of the real program, on a terminal and on a pipe."""
import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from harness import Screen, run_piped  # noqa: E402

TLXUP = os.environ["TLXUP"]
BANNER = ("\nTolvex firmware update utility. Version 2.09"
          "\nCopyright (C) Tolvex Audio Systems. All rights reserved.\n")
USAGE = ("\nUse: TLXUP [x]\n\nWhere:"
         "\n   x    = Optional, If not 0, then this is a comport number between 1 and 99,"
         "\n          otherwise searches COM1 - COM16.")
PROMPT = "\nPress any key to exit..."


def invalid(shown):
    return ("\nCOM%s is an invalid COM port number.\n"
            "Choose a COM port number between 1 and 99\n" % shown)


class Screens(unittest.TestCase):
    def run_on_terminal(self, args, key=b"q"):
        screen = Screen([TLXUP] + args)
        try:
            self.assertTrue(screen.wait_for(PROMPT, 10), screen.text())
            time.sleep(0.2)
            self.assertIsNone(screen.proc.poll(), "the program waits for a key")
            screen.type(key)
            self.assertEqual(screen.wait_exit(10), 1)
            return screen.text()
        finally:
            screen.kill()

    def test_usage_on_terminal(self):
        self.assertEqual(self.run_on_terminal(["3", "4"]), BANNER + USAGE + PROMPT + "\n")

    def test_invalid_ports_on_terminal(self):
        for arg, shown in [("120", "120"), ("-5", "4294967291"), ("4294967296", "4294967295")]:
            with self.subTest(arg=arg):
                self.assertEqual(self.run_on_terminal([arg]), BANNER + invalid(shown) + PROMPT + "\n")

    def test_function_key_ends_the_wait(self):
        self.assertEqual(self.run_on_terminal(["120"], key=b"\x1b[15~"), BANNER + invalid("120") + PROMPT + "\n")

    def test_closed_input_exits_at_once(self):
        start = time.monotonic()
        status, out = run_piped([TLXUP, "3", "4"], b"", timeout=10)
        self.assertEqual((status, out), (1, BANNER + USAGE + PROMPT + "\n"))
        status, out = run_piped([TLXUP, "-5"], b"", timeout=10)
        self.assertEqual((status, out), (1, BANNER + invalid("4294967291") + PROMPT + "\n"))
        self.assertLess(time.monotonic() - start, 5)

    def test_no_ports_at_all(self):
        env = dict(os.environ, TLXUP_PORTS="")
        status, out = run_piped([TLXUP, "2"], b"", env=env, timeout=10)
        self.assertEqual(status, 1)
        self.assertEqual(out, BANNER + "\nCOM2: Could not open port."
                         "\n\nNo updatable Tolvex devices found.\n" + PROMPT + "\n")


if __name__ == "__main__":
    unittest.main()
