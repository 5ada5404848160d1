"""Self-tests of the device simulator: a small client of its own opens the
simulator's port with termios, speaks the device's two languages and checks
the answers byte for byte. Nothing of the program's code is used."""
import os
import select
import signal
import subprocess
import sys
import tempfile
import termios
import time
import json
import unittest

TLXSIM = os.environ["TLXSIM"]
IMAGE = os.path.join(os.environ["TLX_SOURCE_DIR"], "firmware", "images", "VEL2346-2.57.img")
RATES = {19200: termios.B19200, 115200: termios.B115200, 9600: termios.B9600}


def packet(data):
    return bytes([len(data) + 2, sum(data) & 0xFF]) + bytes(data)


class Client:
    def __init__(self, *options):
        self.dir = tempfile.mkdtemp(prefix="tlxsimtest.")
        self.report = os.path.join(self.dir, "report.json")
        self.proc = subprocess.Popen([TLXSIM, "--report", self.report] + list(options),
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.path = self.proc.stdout.readline().decode().strip()
        self.fd = os.open(self.path, os.O_RDWR | os.O_NOCTTY)
        self.rate(19200)

    def rate(self, baud):
        attrs = termios.tcgetattr(self.fd)
        attrs[0] = 0
        attrs[1] = 0
        attrs[2] = termios.CS8 | termios.CREAD | termios.CLOCAL
        attrs[3] = 0
        attrs[4] = attrs[5] = RATES[baud]
        termios.tcsetattr(self.fd, termios.TCSANOW, attrs)
        time.sleep(0.02)

    def send(self, data):
        os.write(self.fd, data)

    def read(self, count=None, timeout=1.0):
        """Everything that comes until `count` bytes or a quiet `timeout`."""
        got = b""
        deadline = time.monotonic() + timeout
        while count is None or len(got) < count:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            ready, _, _ = select.select([self.fd], [], [], left)
            if not ready:
                break
            got += os.read(self.fd, 4096)
            if count is None:
                deadline = time.monotonic() + 0.2
        return got

    def close(self):
        os.close(self.fd)
        self.proc.send_signal(signal.SIGTERM)
        self.proc.wait(10)
        with open(self.report) as f:
            return json.load(f)


class Application(unittest.TestCase):
    def test_version_reply(self):
        c = Client()
        c.send(b"^V$")
        self.assertEqual(c.read(), b'^=V "VEL2346" 2.56,68,10,1F$')
        c.close()

    def test_reply_without_identity_after_empty_messages(self):
        c = Client("--no-identity", "--no-name", "--version", "2.57.03b", "--pre-message", "", "--pre-message", "+")
        c.send(b"^V$")
        self.assertEqual(c.read(), b'^$^+$^=V "" 2.57.03b(Beta)$')
        c.close()

    def test_wrong_rate_is_noise(self):
        c = Client()
        c.rate(115200)
        c.send(b"^V$")
        self.assertEqual(c.read(timeout=0.5), b"")
        report = c.close()
        self.assertEqual(report["versionQueries"], 0)
        self.assertEqual(report["noiseReceived"], 3)


class BootLoader(unittest.TestCase):
    def enter(self, *options):
        c = Client(*options)
        c.send(b"^BOOTL$^BOOTL$^BOOTL$")
        time.sleep(0.1)
        c.rate(115200)
        return c

    def test_information_query_new_layout(self):
        c = self.enter()
        c.send(b"\x00" * 8 + b"\x03\x26\x26")
        reply = c.read(1 + 67)
        self.assertEqual(reply[0], 0xCC)
        info = bytearray(65)
        info[0:2] = (0x0800).to_bytes(2, "little")
        info[2:4] = (68).to_bytes(2, "little")
        info[6:8] = (10).to_bytes(2, "little")
        info[28:32] = (0x02380000).to_bytes(4, "little")
        info[32:39] = b"VEL2346"
        self.assertEqual(reply[1:], packet(info))
        c.send(b"\xcc")
        c.close()

    def test_information_query_older_layout(self):
        c = Client("--start-in-bootloader", "--bootinfo-old")
        c.rate(115200)
        c.send(b"\x03\x26\x26")
        reply = c.read(1 + 47)
        info = bytearray(45)
        info[8:12] = (0x02380000).to_bytes(4, "little")
        info[12:19] = b"VEL2346"
        self.assertEqual(reply, b"\xcc" + packet(info))
        c.close()

    def test_command_status_and_nak(self):
        c = Client("--start-in-bootloader", "--fail-start-once")
        c.rate(115200)
        start = bytes([0x21, 0, 0, 0x20, 0, 0, 2, 0x3E, 0x3C, 1, 2, 3, 4, 5, 6, 7])
        c.send(packet(start))
        self.assertEqual(c.read(1), b"\xcc")
        c.send(b"\x03\x23\x23")
        self.assertEqual(c.read(4), b"\xcc\x03\x44\x44")
        c.send(b"\xcc")
        c.send(packet(start))
        self.assertEqual(c.read(1), b"\xcc")
        c.send(b"\x03\x23\x23")
        self.assertEqual(c.read(4), b"\xcc\x03\x40\x40")
        c.send(b"\xcc")
        c.send(b"\x03\x23\x24")    # bad checksum
        self.assertEqual(c.read(1), b"\x33")
        report = c.close()
        self.assertEqual(report["downloadStarts"], 2)
        self.assertEqual(report["naksSent"], 1)

    def test_older_layout_name_fills_all_33_bytes(self):
        c = Client("--start-in-bootloader", "--bootinfo-old", "--name", "N" * 33)
        c.rate(115200)
        c.send(b"\x03\x26\x26")
        reply = c.read(1 + 47)
        info = bytearray(45)
        info[8:12] = (0x02380000).to_bytes(4, "little")
        info[12:45] = b"N" * 33
        self.assertEqual(reply, b"\xcc" + packet(info))
        c.close()

    def test_reply_sent_while_the_port_is_at_another_rate_is_noise(self):
        c = Client("--start-in-bootloader", "--boot-delay-ms", "50", "--dsp-banks", "0")
        c.rate(115200)
        c.send(b"\x03\x25\x25")    # the port stays at 115200: the 19200 reply arrives garbled
        reply = c.read(timeout=0.6)
        version = b'^=V "VEL2346" 2.56,68,10,1F$'
        self.assertEqual(reply, b"\xcc" + b"\x00" * len(version))
        self.assertEqual(c.close()["noiseSent"], len(version))

    def test_failed_download_keeps_the_old_version(self):
        c = Client("--start-in-bootloader", "--fail-record", "2", "--boot-delay-ms", "50",
                   "--dsp-start-ms", "20", "--dsp-step-ms", "20")
        c.rate(115200)
        start = bytes([0x21, 0, 0, 0x20, 0, 0, 2, 0x3E, 0x3C, 1, 2, 3, 4, 5, 6, 7])
        for data, status in ((start, 0x40), (bytes([0x24, 1, 2, 3]), 0x40), (bytes([0x24, 4, 5, 6]), 0x44)):
            c.send(packet(data))
            self.assertEqual(c.read(1), b"\xcc")
            c.send(b"\x03\x23\x23")
            self.assertEqual(c.read(4), b"\xcc" + packet([status]))
            c.send(b"\xcc")
        c.send(b"\x03\x25\x25")
        time.sleep(0.01)
        c.rate(19200)
        # No DSP progress and no ready message after a refused record.
        self.assertEqual(c.read(timeout=0.8), b'\xcc^=V "VEL2346" 2.56,68,10,1F$')
        report = c.close()
        self.assertFalse(report["downloadComplete"])
        self.assertEqual(report["recordsAccepted"], 1)

    def test_ack_after_filler_and_reset_to_application(self):
        c = Client("--start-in-bootloader", "--ack-with-zero", "--boot-delay-ms", "50", "--dsp-start-ms", "20",
                   "--dsp-step-ms", "20")
        c.rate(115200)
        c.send(bytes(packet([0x24, 9, 9, 9])))
        self.assertEqual(c.read(2), b"\x00\xcc")
        c.send(b"\x03\x25\x25")
        time.sleep(0.01)
        c.rate(19200)
        self.assertEqual(c.read(), b"\x00\xcc" + b'^=V "VEL2346" 2.57,68,10,1F$'
                         + b"".join(b"^!100,%d,%d$" % (bank, step) for bank in (1, 2, 3) for step in range(6))
                         + b"^=P$")
        c.close()


class Download(unittest.TestCase):
    def test_report_matches_the_image(self):
        with open(IMAGE, "rb") as f:
            image = f.read()
        c = Client("--start-in-bootloader", "--image", IMAGE, "--dsp-banks", "0")
        c.rate(115200)
        buffer = bytearray(256)
        start = bytes([0x21]) + int.from_bytes(image[32:36], "little").to_bytes(4, "big") \
            + int.from_bytes(image[28:32], "little").to_bytes(4, "big") + image[44:51]
        buffer[0:16] = start
        packets = [bytes(start)]
        at = 84
        for _ in range(int.from_bytes(image[24:28], "little")):
            length = int.from_bytes(image[at:at + 2], "little")
            buffer[0] = 0x24
            buffer[1:length - 2] = image[at + 2:at + length - 1]
            packets.append(bytes(buffer[:length + 1]))
            at += length
        for data in packets:
            c.send(packet(data))
            self.assertEqual(c.read(1), b"\xcc")
            c.send(b"\x03\x23\x23")
            self.assertEqual(c.read(4), b"\xcc\x03\x40\x40")
            c.send(b"\xcc")
        report = c.close()
        self.assertTrue(report["imageMatches"])
        self.assertEqual(report["recordsAccepted"], 657)

    def test_report_names_the_first_wrong_record(self):
        with open(IMAGE, "rb") as f:
            image = f.read()
        c = Client("--start-in-bootloader", "--image", IMAGE)
        c.rate(115200)
        start = bytes([0x21]) + int.from_bytes(image[32:36], "little").to_bytes(4, "big") \
            + int.from_bytes(image[28:32], "little").to_bytes(4, "big") + image[44:51]
        length = int.from_bytes(image[84:86], "little")
        record = bytearray([0x24]) + image[86:84 + length - 1] + bytes(3)
        record[10] ^= 0x01    # one bit wrong in the first record
        for data in (start, bytes(record)):
            c.send(packet(data))
            self.assertEqual(c.read(1), b"\xcc")
            c.send(b"\x03\x23\x23")
            self.assertEqual(c.read(4), b"\xcc\x03\x40\x40")
            c.send(b"\xcc")
        report = c.close()
        self.assertTrue(report["startPacketMatches"])
        self.assertEqual(report["firstMismatchedRecord"], 1)
        self.assertFalse(report["imageMatches"])

    def test_unplug_after_record(self):
        c = Client("--start-in-bootloader", "--unplug-after-record", "1")
        c.rate(115200)
        c.send(packet([0x24, 1, 2, 3]))
        self.assertEqual(c.read(1), b"\xcc")
        c.send(b"\x03\x23\x23")
        self.assertEqual(c.read(4), b"\xcc\x03\x40\x40")
        time.sleep(0.2)
        with self.assertRaises(OSError):
            os.write(c.fd, b"\x00")
            os.read(c.fd, 1)
        self.assertEqual(c.close()["mode"], "unplugged")


if __name__ == "__main__":
    unittest.main(verbosity=2)
