"""Faults on the wire, end to end: for each fault the simulator injects, the
run ends within the time the program's waits allow, shows the message the
fault calls for, never claims "100% complete" for a download the device did
not accept, and afterwards a clean run brings the device to the new image.
Prints a summary table."""
import os
import shutil
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from harness import Screen, Sim  # noqa: E402

TLXUP = os.environ["TLXUP"]
IMAGE = os.path.join(os.environ["TLX_SOURCE_DIR"], "firmware", "images", "VEL2346-2.57.img")
QUESTION = "(Y,N) "
PROMPT = "\nPress any key to exit..."
COMPLETE = "Updating firmware: 100% complete."
NO_BOOT = "\nError: No response from the bootloader, check cables and power.\n"
MISMATCH = "\nError: FLASH firmware did not match update firmware.\n"
GONE = "\nNo Tolvex device found on COM1.\n"

# The program's waits, in seconds: a read that gets no byte lasts 4 s
# whatever its budget; the boot loader gets 1 s to start.
READ = 4.0
BOOT_START = 1.0
SLACK = 3.0
# The information query's 4 s budget equals one read's wait, so when that
# wait ends just at the budget a second read starts: up to two reads.
INFO = 2 * READ
# A silent device costs a detection its version query and its information
# query.
DETECT_SILENT = READ + INFO
# Unplugged: reads fail at once, so each wait lasts its 2 s budget instead.
DETECT_GONE = 3 * 2.0


def lost(step, code):
    return "\nError: Lost(%d-%02X) communications with the bootloader, check cables and power.\n" % (step, code)


# name, simulator options, message, bound in seconds from Y to the next
# question or the exit prompt, whether the program asks again.
FAULTS = [
    ("boot loader silent", ["--bootloader-silent"], NO_BOOT, BOOT_START + 3 * INFO + DETECT_SILENT, False),
    ("boot loader answers the 3rd query", ["--answer-info-from", "3"], None, BOOT_START + 2 * INFO, None),
    ("BootInfo with a bad checksum", ["--bad-info-checksum"], NO_BOOT, BOOT_START + DETECT_SILENT, False),
    ("older BootInfo layout", ["--bootinfo-old"], None, BOOT_START + READ, None),
    ("ACK after filler", ["--ack-with-zero"], None, BOOT_START + READ, None),
    ("status 0x44 at the start", ["--fail-start-once"], MISMATCH, BOOT_START + READ, True),
    ("status 0x41 at the start", ["--fail-start-once", "--fail-code", "41"], lost(1, 5), BOOT_START + READ, True),
    ("status packet corrupted at the start", ["--bad-start-status-checksum"], lost(1, 3), BOOT_START + READ, True),
    ("status 0x44 at record 300", ["--fail-record", "300"], MISMATCH, BOOT_START + 2 * READ, True),
    ("NAK at record 1", ["--nak-record", "1"], lost(2, 1), BOOT_START + 2 * READ, True),
    ("no ACK at record 200", ["--no-ack-record", "200"], lost(2, 1), BOOT_START + 3 * READ, True),
    ("status packet corrupted at record 657", ["--bad-status-checksum-record", "657"], lost(2, 3),
     BOOT_START + 2 * READ, True),
    ("device silent after record 50", ["--silent-after-record", "50"], lost(2, 1),
     BOOT_START + READ + READ + DETECT_SILENT, False),
    ("device unplugged after record 100", ["--unplug-after-record", "100"], "communications with the bootloader",
     BOOT_START + 2 * 2.0 + DETECT_GONE, False),
    ("ready message before the download", ["--ready-before-download"], None, BOOT_START + READ, None),
]

summary = []


class FaultMatrix(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="tlxfault.")

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def run_update(self, options, name):
        sim = Sim(self.work, name, list(options) + ["--dsp-banks", "0"], image=IMAGE)
        screen = Screen([TLXUP, "1"], env=dict(os.environ, TLXUP_PORTS=sim.path))
        return sim, screen

    def clean_run(self, start_in_bootloader):
        options = ["--start-in-bootloader"] if start_in_bootloader else []
        sim, screen = self.run_update(options, "clean")
        try:
            self.assertTrue(screen.wait_for(QUESTION, 30), screen.text()[-500:])
            screen.type("y")
            self.assertTrue(screen.wait_for(PROMPT, 60), screen.text()[-500:])
            screen.type("q")
            screen.wait_exit(10)
        finally:
            screen.kill()
        return sim.stop()["imageMatches"]

    def test_faults(self):
        for name, options, message, bound, asks_again in FAULTS:
            with self.subTest(name):
                sim, screen = self.run_update(options, "fault")
                outcome = "?"
                try:
                    self.assertTrue(screen.wait_for(QUESTION, 30), screen.text()[-500:])
                    asked = screen.text().count(QUESTION)
                    start = time.monotonic()
                    screen.type("y")
                    deadline = start + bound + SLACK + 60
                    while time.monotonic() < deadline:
                        if screen.text().count(QUESTION) > asked or PROMPT in screen.text():
                            break
                        screen.wait_for(PROMPT, 0.2)
                    elapsed = time.monotonic() - start
                    text = screen.text()
                    ended = PROMPT in text
                    report_now = None
                    if message is not None:
                        self.assertIn(message, text)
                        self.assertLessEqual(elapsed, bound + SLACK, "took %.1f s" % elapsed)
                        self.assertEqual(not ended, asks_again)
                        outcome = "asked again" if asks_again else "ended"
                    else:
                        self.assertTrue(ended, text[-500:])
                        outcome = "updated"
                    if ended:
                        screen.type("q")
                        self.assertEqual(screen.wait_exit(20), 1)
                finally:
                    screen.kill()
                    report_now = sim.stop()
                if COMPLETE in screen.text():
                    self.assertEqual(report_now["recordsAccepted"], 657)
                    self.assertTrue(report_now["imageMatches"])
                if outcome == "updated":
                    recovered = report_now["imageMatches"]
                else:
                    recovered = self.clean_run(report_now["mode"] == "bootloader")
                self.assertTrue(recovered)
                summary.append((name, outcome, "%.1f s" % elapsed, "%.1f s" % (bound + SLACK),
                                "yes" if recovered else "NO"))

    @classmethod
    def tearDownClass(cls):
        print("\n%-40s %-12s %-9s %-9s %s" % ("fault", "outcome", "took", "bound", "recovered"))
        for row in summary:
            print("%-40s %-12s %-9s %-9s %s" % row)
        print("%d faults tried, %d runs" % (len(summary), 2 * len(summary)))


if __name__ == "__main__":
    unittest.main()
