"""The whole update: the real tlxup on a terminal against the device
simulator, checked on the screen, byte for byte, and on the simulator's
report of what went over the wire."""
import os
import shutil
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from harness import Screen, SilentPort, Sim  # noqa: E402

TLXUP = os.environ["TLXUP"]
IMAGE = os.path.join(os.environ["TLX_SOURCE_DIR"], "firmware", "images", "VEL2346-2.57.img")
RECORDS = 657
BANNER = ("\nTolvex firmware update utility. Version 2.09"
          "\nCopyright (C) Tolvex Audio Systems. All rights reserved.\n")
FOUND = "A Tolvex device compatible with this firmwware was found.\n"
NEWER_QUESTION = ("\n\nThis update is newer than the firmware inside the VEL2346.\n"
                  "\n Current Version: 2.56, Model: VEL2346"
                  "\n Update Version:  2.57, Model: VEL2346"
                  "\n\nContinue with update to newer version? (Y,N) ")
PROMPT = "\nPress any key to exit..."
FAST_DSP = ["--dsp-start-ms", "50", "--dsp-step-ms", "20"]


def progress(upto=RECORDS, complete=True):
    text = "\n" + "".join("\rUpdating firmware: %3u%% complete." % (i * 100 // RECORDS) for i in range(upto))
    return text + ("\rUpdating firmware: 100% complete.\n" if complete else "")


def dsp(banks=3):
    text = ""
    for bank in range(1, banks + 1):
        text += "\n" + "".join("\rUpdating DSPs: Bank = %u, Complete = %3u%%" % (bank, (s + 1) * 100 // 6)
                               for s in range(6))
    return text


def lost(step, code):
    return "\nError: Lost(%d-%02X) communications with the bootloader, check cables and power.\n" % (step, code)


MISMATCH = "\nError: FLASH firmware did not match update firmware.\n"


class Update(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="tlxe2e.")
        self.sims = []
        self.silent = []
        self.screen = None

    def tearDown(self):
        if self.screen:
            self.screen.kill()
        for sim in self.sims:
            try:
                sim.stop()
            except Exception:
                pass
        for port in self.silent:
            port.close()
        shutil.rmtree(self.work, ignore_errors=True)

    def sim(self, *options):
        sim = Sim(self.work, "sim%d" % len(self.sims), list(options) + FAST_DSP, image=IMAGE)
        self.sims.append(sim)
        return sim

    def silent_port(self):
        port = SilentPort()
        self.silent.append(port)
        return port.path

    def start(self, ports, args=()):
        env = dict(os.environ, TLXUP_PORTS=":".join(ports))
        self.screen = Screen([TLXUP] + list(args), env=env)
        return self.screen

    def expect(self, text, timeout=30):
        self.assertTrue(self.screen.wait_for(text, timeout), "waited for %r; screen:\n%r" % (text, self.screen.text()[-3000:]))

    def finish(self, timeout=10):
        """Answers the exit prompt and returns the whole screen."""
        self.expect(PROMPT)
        self.screen.type("q")
        self.assertEqual(self.screen.wait_exit(timeout), 1)
        return self.screen.text()

    def assert_download(self, report, downloads=1):
        """Every record arrived at 115200 baud with the bytes the device expects."""
        self.assertTrue(report["imageMatches"], report.get("firstMismatchedRecord"))
        packets = [p for p in report["packets"] if p["command"] in (0x21, 0x24)]
        records = [p for p in packets if p["command"] == 0x24]
        self.assertEqual(len(records), RECORDS * downloads)
        last_run = records[-RECORDS:]
        for p in last_run[:-1]:
            self.assertEqual((p["length"], p["sizeByte"]), (237, 239))
            self.assertTrue(p["data"].endswith("000000"))
        self.assertEqual((last_run[-1]["length"], last_run[-1]["sizeByte"]), (73, 75))
        with open(IMAGE, "rb") as f:
            image = f.read()
        record656 = image[84 + 655 * 236:84 + 656 * 236]
        self.assertEqual(last_run[-1]["data"][-6:], record656[71:74].hex())
        self.assertTrue(all(p["baud"] == 115200 and p["checksumOk"] for p in packets))

    def test_successful_road(self):
        sim = self.sim("--dsp-step-ms", "150")
        self.start(["", self.silent_port(), sim.path])
        self.expect(NEWER_QUESTION, 30)
        self.screen.type("y")
        self.expect("\rUpdating DSPs: Bank = 1, Complete =  33%")
        self.screen.type("k")    # a key during monitoring has no effect
        screen = self.finish(30)
        self.assertEqual(screen, BANNER + "\nCOM1: Could not open port.\nCOM2: No Tolvex devices detected."
                         "\nCOM3: " + FOUND + NEWER_QUESTION + "Y\n" + progress() + dsp() + PROMPT + "\n")
        report = sim.stop()
        self.assert_download(report)
        self.assertEqual((report["bootCommandsAt19200"], report["bootCommandsAtOtherRates"]), (3, 0))
        self.assertEqual(report["resets"], 1)
        self.assertEqual(report["version"], "2.57")

    @unittest.skipUnless(shutil.which("valgrind"), "valgrind is not installed")
    def test_successful_update_under_valgrind(self):
        sim = self.sim()
        env = dict(os.environ, TLXUP_PORTS=sim.path)
        log = os.path.join(self.work, "memcheck.log")
        self.screen = Screen(["valgrind", "--tool=memcheck", "--error-exitcode=99", "--log-file=" + log,
                              TLXUP, "1"], env=env)
        self.expect(NEWER_QUESTION, 120)
        self.screen.type("y")
        self.expect(PROMPT, 300)
        self.screen.type("q")
        status = self.screen.wait_exit(60)
        with open(log) as f:
            summary = f.read()
        self.assertEqual(status, 1, summary[-2000:])
        self.assertIn("ERROR SUMMARY: 0 errors", summary)
        self.assert_download(sim.stop())

    def test_no_then_yes(self):
        sim = self.sim()
        self.start([sim.path], ["1"])
        self.expect(NEWER_QUESTION)
        self.screen.type("n")
        self.expect("N\n\nUpdate cancelled.\n\n" + NEWER_QUESTION)
        self.screen.type("Y")
        screen = self.finish(30)
        self.assertEqual(screen, BANNER + "\nCOM1: " + FOUND + NEWER_QUESTION + "N\n\nUpdate cancelled.\n\n"
                         + NEWER_QUESTION + "Y\n" + progress() + dsp() + PROMPT + "\n")
        self.assert_download(sim.stop())

    def test_device_waiting_in_its_boot_loader(self):
        sim = self.sim("--start-in-bootloader")
        self.start([sim.path], ["1"])
        self.expect(NEWER_QUESTION, 30)
        self.screen.type("y")
        self.finish(30)
        report = sim.stop()
        self.assert_download(report)
        self.assertEqual(report["bootCommandsAt19200"] + report["bootCommandsAtOtherRates"], 0)

    def test_boot_loader_never_answers(self):
        sim = self.sim("--bootloader-silent")
        self.start([sim.path], ["1"])
        self.expect(NEWER_QUESTION)
        self.screen.type("y")
        screen = self.finish(60)
        # Three unanswered queries, no reset; the device now answers neither side.
        self.assertEqual(screen, BANNER + "\nCOM1: " + FOUND + NEWER_QUESTION + "Y\n"
                         "\nError: No response from the bootloader, check cables and power.\n"
                         "\nNo Tolvex device found on COM1.\n" + PROMPT + "\n")
        report = sim.stop()
        # Four 21-byte commands: once at 19200, then after each failed try at
        # 115200. The last one is followed at once by the switch back to 19200,
        # and a pseudo-terminal cannot tell the simulator which rate it left at.
        self.assertEqual(report["bootCommandsAt19200"] + report["bootCommandsAtOtherRates"], 12)
        self.assertGreaterEqual(report["bootCommandsAtOtherRates"], 6)
        self.assertEqual(report["informationQueries"], 3 + 1)    # the download's three, detection's one
        self.assertEqual(report["resets"], 0)

    def test_flash_mismatch_at_start_then_retry_from_boot_loader(self):
        sim = self.sim("--fail-start-once")
        self.start([sim.path], ["1"])
        self.expect(NEWER_QUESTION)
        self.screen.type("y")
        self.expect(MISMATCH + NEWER_QUESTION, 30)
        self.screen.type("y")
        screen = self.finish(30)
        self.assertEqual(screen, BANNER + "\nCOM1: " + FOUND + NEWER_QUESTION + "Y\n" + MISMATCH
                         + NEWER_QUESTION + "Y\n" + progress() + dsp() + PROMPT + "\n")
        report = sim.stop()
        self.assert_download(report)
        self.assertEqual(report["resets"], 1, "no reset after the failed start")
        self.assertEqual(report["bootCommandsAt19200"], 3, "the second download starts in the boot loader")

    def test_flash_mismatch_at_a_record_then_second_download(self):
        sim = self.sim("--fail-record", "5")
        self.start([sim.path], ["1"])
        self.expect(NEWER_QUESTION)
        self.screen.type("y")
        self.expect(MISMATCH + NEWER_QUESTION, 30)
        self.screen.type("y")
        screen = self.finish(30)
        self.assertEqual(screen, BANNER + "\nCOM1: " + FOUND + NEWER_QUESTION + "Y\n" + progress(5, False)
                         + MISMATCH + NEWER_QUESTION + "Y\n" + progress() + dsp() + PROMPT + "\n")
        report = sim.stop()
        self.assertTrue(report["imageMatches"])
        self.assertEqual(report["resets"], 2)
        self.assertEqual(report["bootCommandsAt19200"], 6)

    def test_device_unplugged_mid_download(self):
        sim = self.sim("--unplug-after-record", "10")
        self.start([sim.path], ["1"])
        self.expect(NEWER_QUESTION)
        started = time.monotonic()
        self.screen.type("y")
        screen = self.finish(60)
        elapsed = time.monotonic() - started
        # The cable goes after record 10's status; which write of record 11
        # fails first (size, checksum or data byte) depends on the moment.
        head = BANNER + "\nCOM1: " + FOUND + NEWER_QUESTION + "Y\n" + progress(11, False)
        tail = "\nNo Tolvex device found on COM1.\n" + PROMPT + "\n"
        self.assertIn(screen, [head + lost(2, code) + tail for code in (1, 2, 3)])
        self.assertNotIn("100% complete", screen)
        # Lost record: its ACK wait (2 s budget), the reset's version wait (2 s),
        # then detection on the vanished port (2 s + 2 s + 2 s) and the exit.
        self.assertLess(elapsed, 20)

    def test_devices_the_image_does_not_fit(self):
        for options, name in [(["--pcb", "3", "--no-name"], "PCB revision 3"),
                              (["--family", "69"], "a family the table does not list"),
                              (["--family", "45", "--pcb", "1", "--name", "Marlow"], "another family")]:
            with self.subTest(name):
                sim = self.sim(*options)
                self.start(["", "", "", sim.path], ["4"])
                screen = self.finish(20)
                self.assertEqual(screen, BANNER + "\nCOM4: A Tolvex device was found, but it does not match this firmware."
                                 "\n\nNo updatable Tolvex devices found.\n" + PROMPT + "\n")
                self.screen.kill()

    def test_silence_after_download_ends_after_30_seconds(self):
        sim = self.sim("--dsp-banks", "1", "--no-ready")
        self.start([sim.path], ["1"])
        self.expect(NEWER_QUESTION)
        self.screen.type("y")
        self.expect("\rUpdating DSPs: Bank = 1, Complete = 100%")
        last_progress = time.monotonic()
        self.expect(PROMPT, 40)
        waited = time.monotonic() - last_progress
        self.assertGreater(waited, 29.5)
        self.assertLess(waited, 33)
        self.screen.type("q")
        self.assertEqual(self.screen.wait_exit(10), 1)
        self.assertTrue(self.screen.text().endswith(progress() + dsp(1) + PROMPT + "\n"))

    def test_endless_dsp_progress_keeps_the_program_waiting(self):
        sim = self.sim("--dsp-endless", "--dsp-step-ms", "2000")
        self.start([sim.path], ["1"])
        self.expect(NEWER_QUESTION)
        self.screen.type("y")
        self.expect("\rUpdating DSPs: Bank = 1, Complete =  16%")
        started = time.monotonic()
        while time.monotonic() - started < 34:
            self.assertNotIn(PROMPT, self.screen.text(), "progress less than 30 s apart keeps it running")
            self.screen.wait_for(PROMPT, 1)
        self.assertIn("\rUpdating DSPs: Bank = 3, Complete =  50%", self.screen.text())
        self.assertIsNone(self.screen.proc.poll())

    def test_other_device_messages_and_early_ready(self):
        sim = self.sim("--ready-before-download", "--extra-bang")
        self.start([sim.path], ["1"])
        self.expect(NEWER_QUESTION)
        time.sleep(0.3)
        self.assertNotIn(PROMPT, self.screen.text(), "a ready message before the download does not end the program")
        self.screen.type("y")
        screen = self.finish(30)
        # This device also says it is ready right after its restart: the
        # program ends on that, with the device's other message shown as sent.
        self.assertTrue(screen.endswith(progress() + "!7,Flash erased$" + PROMPT + "\n"), screen[-400:])


if __name__ == "__main__":
    unittest.main()
