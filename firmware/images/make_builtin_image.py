#!/usr/bin/env python3
"""Remakes VEL2346-2.57.img, the stand-in image of slot 0, with tlximage.

Its payload is a fixed pattern, not device firmware: 656 pieces of 234
bytes and one of 70, each byte from a xorshift32 sequence plus the index of
its record, so that a shifted, repeated or stale byte in a download shows.

    python3 firmware/images/make_builtin_image.py build/dev/bin/tlximage
"""
import os
import subprocess
import sys
import tempfile

PIECE = 234                # a record of 236 bytes less its 2-byte length
PAYLOAD_SIZE = 656 * PIECE + 70


def payload():
    state = 0x23460257
    data = bytearray()
    for i in range(PAYLOAD_SIZE):
        state ^= (state << 13) & 0xFFFFFFFF
        state ^= state >> 17
        state ^= (state << 5) & 0xFFFFFFFF
        data.append(((state >> 24) + i // PIECE) & 0xFF)
    return bytes(data)


def main():
    tool = sys.argv[1] if len(sys.argv) > 1 else "tlximage"
    here = os.path.dirname(os.path.abspath(__file__))
    with tempfile.NamedTemporaryFile(suffix=".bin", delete=False) as f:
        f.write(payload())
        payload_path = f.name
    try:
        subprocess.run([tool, "pack", "--payload", payload_path,
                        "--output", os.path.join(here, "VEL2346-2.57.img"),
                        "--family", "68", "--pcb-revision", "10",
                        "--version", "0x02390000",
                        "--flash-start", "0x2000", "--flash-length", "147004",
                        "--start-bytes", "01:23:45:67:89:AB:CD",
                        "--model", "VEL2346", "--record-length", "236"],
                       check=True)
    finally:
        os.remove(payload_path)


if __name__ == "__main__":
    main()
