"""Random line noise soak: runs of a whole update over a line that flips
bits and loses bytes at random (seeds printed), bounded in count and time.
Every run must end either with the image in the device or with a reported
failure; after a failure a clean run must bring the device to the image.
"100% complete" is only ever shown for a download the device accepted."""
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
RUNS = int(os.environ.get("TLX_SOAK_RUNS", "4"))
SEED = int(os.environ.get("TLX_SOAK_SEED", str(int(time.time()) % 100000)))
FLIP_RATE = os.environ.get("TLX_SOAK_FLIP_RATE", "0.00002")
DROP_RATE = os.environ.get("TLX_SOAK_DROP_RATE", "0.00001")
QUESTION = "(Y,N) "
PROMPT = "\nPress any key to exit..."
COMPLETE = "Updating firmware: 100% complete."
FAILURES = ("Error: ", "No Tolvex device found", "No updatable Tolvex devices found", "not compatible")
# Longest quiet stretch of a run: a detection on a dead line (two 4 s reads
# plus the boot loader entry's three) and then some.
QUIET_LIMIT_S = 40
TRIES = 4


class Soak(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="tlxsoak.")

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def update(self, name, options, tries):
        """Runs tlxup against a simulator, answering Y up to `tries` times.
        Returns (screen text, report)."""
        sim = Sim(self.work, name, list(options) + ["--dsp-banks", "0"], image=IMAGE)
        screen = Screen([TLXUP, "1"], env=dict(os.environ, TLXUP_PORTS=sim.path))
        try:
            answered = 0
            while True:
                start = time.monotonic()
                while time.monotonic() - start < QUIET_LIMIT_S:
                    if PROMPT in screen.text() or screen.text().count(QUESTION) > answered:
                        break
                    screen.wait_for(PROMPT, 0.2)
                text = screen.text()
                asked = text.count(QUESTION)
                if PROMPT in text:
                    screen.type("q")
                    self.assertEqual(screen.wait_exit(20), 1)
                    break
                self.assertGreater(asked, answered, "the run stalled: " + text[-400:])
                if answered == tries:
                    break    # still asking after its tries: a failure it reported each time
                screen.type("y")
                answered += 1
        finally:
            screen.kill()
            report = sim.stop()
        return screen.text(), report

    def test_noisy_line(self):
        rows = []
        print("\nsoak: %d runs, seeds %d..%d, flip rate %s, drop rate %s" % (RUNS, SEED, SEED + RUNS - 1,
                                                                          FLIP_RATE, DROP_RATE))
        deadline = time.monotonic() + 600
        for run in range(RUNS):
            if time.monotonic() > deadline:
                break
            seed = SEED + run
            with self.subTest(seed=seed):
                text, report = self.update("noisy%d" % seed, ["--flip-rate", FLIP_RATE, "--drop-rate", DROP_RATE,
                                                               "--seed", str(seed)], TRIES)
                if COMPLETE in text:
                    self.assertEqual(report["recordsAccepted"], 657, "100% shown for a download not accepted")
                    self.assertTrue(report["imageMatches"])
                updated = report.get("imageMatches") and report["recordsAccepted"] == 657
                if updated:
                    outcome, recovered = "updated", True
                else:
                    self.assertTrue(any(f in text for f in FAILURES), "a failure nobody reported: " + text[-400:])
                    outcome = "failed, reported"
                    clean_options = ["--start-in-bootloader"] if report["mode"] == "bootloader" else []
                    clean_text, clean = self.update("clean%d" % seed, clean_options, 1)
                    recovered = bool(clean["imageMatches"])
                    self.assertTrue(recovered, clean_text[-400:])
                rows.append((seed, outcome, report["bitsFlipped"], report["bytesLost"], "yes" if recovered else "NO"))
        print("%-8s %-18s %-8s %-8s %s" % ("seed", "outcome", "flipped", "lost", "recovered"))
        for row in rows:
            print("%-8d %-18s %-8d %-8d %s" % row)


if __name__ == "__main__":
    unittest.main()
