"""The whole update by the Windows program under Wine, against the simulator
behind COM1 of a fresh prefix: the successful road and two failure roads.

Each case runs twice, once with the Windows program and once with the
native one, each against a simulator of its own with the same options and
the same keys on standard input (a pipe: each byte is a key press, and at
its end no key can come any more). Both runs must show the same screen,
line ends aside (the Windows runtime writes "\\r\\n"), end with the same
exit status, and leave the simulator's report the same way.

Needs TLXUP_EXE (the Windows program), TLXUP (the native one), TLXSIM and
TLX_SOURCE_DIR in the environment.
"""
import os
import subprocess
import sys
import tempfile
import shutil
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
from harness import Sim  # noqa: E402
from wineprefix import Prefix, wine_available  # noqa: E402

TLXUP_EXE = os.environ.get("TLXUP_EXE", "")
TLXUP = os.environ.get("TLXUP", "")
IMAGE = os.path.join(os.environ.get("TLX_SOURCE_DIR", os.path.join(HERE, "..", "..")),
                     "firmware", "images", "VEL2346-2.57.img")
PROMPT = "\nPress any key to exit..."
COMPLETE = "\rUpdating firmware: 100% complete.\n"
NO_BOOT = "\nError: No response from the bootloader, check cables and power.\n"
MISMATCH = "\nError: FLASH firmware did not match update firmware.\n"
# The update loop takes one waiting key on its first pass, before it asks;
# the second key answers the question.
KEYS = b"xy"
RUN_LIMIT_S = 180
# Simulator report fields that both runs must leave alike.
SAME_FIELDS = ("mode", "versionQueries", "informationQueries", "downloadStarts", "recordPackets",
               "recordsAccepted", "resets", "naksSent", "version", "downloadComplete",
               "startPacketMatches", "firstMismatchedRecord", "imageMatches")


@unittest.skipIf(wine_available(), "Wine cannot run here: %s" % wine_available())
class UpdateUnderWine(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        for name, path in (("TLXUP_EXE", TLXUP_EXE), ("TLXUP", TLXUP), ("TLXSIM", os.environ.get("TLXSIM", ""))):
            if not os.path.isfile(path):
                raise RuntimeError("%s=%r is not a program; build the native and the Windows programs first"
                                   % (name, path))
        cls.prefix = Prefix()

    @classmethod
    def tearDownClass(cls):
        cls.prefix.remove()

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="tlxwineupd.")

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def run_windows(self, options):
        sim = Sim(self.work, "windows", list(options) + ["--link", self.prefix.port_link(1)], image=IMAGE)
        try:
            proc = subprocess.run(["wine", TLXUP_EXE, "1"], input=KEYS, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, env=self.prefix.env, timeout=RUN_LIMIT_S)
        finally:
            report = sim.stop()
        raw = proc.stdout.decode("latin-1")
        self.assertNotIn("\n", raw.replace("\r\n", ""), "a line end without its carriage return")
        return proc.returncode, raw.replace("\r\n", "\n"), report

    def run_native(self, options):
        sim = Sim(self.work, "native", options, image=IMAGE)
        try:
            proc = subprocess.run([TLXUP, "1"], input=KEYS, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  env=dict(os.environ, TLXUP_PORTS=sim.path), timeout=RUN_LIMIT_S)
        finally:
            report = sim.stop()
        return proc.returncode, proc.stdout.decode("latin-1"), report

    def run_both(self, options):
        status, screen, report = self.run_windows(options)
        native_status, native_screen, native_report = self.run_native(options)
        self.assertEqual(status, 1, screen[-800:])
        self.assertEqual(status, native_status)
        self.assertEqual(screen, native_screen)
        for field in SAME_FIELDS:
            self.assertEqual(report.get(field), native_report.get(field), field)
        self.assertTrue(screen.endswith(PROMPT + "\n"), screen[-300:])
        return screen, report

    def test_successful_road(self):
        screen, report = self.run_both(["--dsp-banks", "1", "--dsp-step-ms", "100"])
        self.assertIn("Continue with update to newer version? (Y,N) Y\n", screen)
        self.assertIn("\rUpdating firmware:   0% complete.", screen)
        self.assertIn(COMPLETE, screen)
        self.assertIn("\rUpdating DSPs: Bank = 1, Complete = 100%", screen)
        self.assertEqual(report["recordsAccepted"], 657)
        self.assertTrue(report["downloadComplete"])
        self.assertTrue(report["imageMatches"])
        self.assertEqual(report["version"], "2.57")
        self.assertEqual(report["resets"], 1)
        self.assertEqual((report["bootCommandsAt19200"], report["bootCommandsAtOtherRates"]), (3, 0))

    def test_boot_loader_silent(self):
        screen, report = self.run_both(["--bootloader-silent"])
        self.assertIn(NO_BOOT, screen)
        self.assertNotIn("Updating firmware", screen)
        self.assertEqual(report["informationQueries"], 3 + 1)    # the download's three, detection's one
        self.assertEqual(report["downloadStarts"], 0)
        self.assertEqual(report["resets"], 0)
        self.assertEqual(report["version"], "2.56")

    def test_flash_mismatch_at_a_record(self):
        screen, report = self.run_both(["--fail-record", "300"])
        self.assertIn(MISMATCH, screen)
        self.assertIn("\rUpdating firmware:  45% complete.", screen)
        self.assertNotIn(COMPLETE, screen)
        self.assertEqual(report["recordsAccepted"], 299)
        self.assertFalse(report["downloadComplete"])
        self.assertFalse(report["imageMatches"])
        self.assertEqual(report["resets"], 1)


if __name__ == "__main__":
    unittest.main()
