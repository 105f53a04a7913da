#!/usr/bin/env python3
"""Writes six firmware files that the build's firmware check accepts but that
are no card's firmware: the Windows build for real cards can then be compiled
and linked in CI. The .exe made from them must be deleted at once.

Flash images: the bitstream head, made-up bytes, sixteen zero bytes.
XSVF streams: the usual opening commands, data-register scans, a comment that
pads to the exact size, and XCOMPLETE.
"""
import random
import struct
import sys
from pathlib import Path

FLASH_HEAD = bytes([0xFF, 0xFF, 0xFF, 0xFF, 0x55, 0x99, 0xAA, 0x66,
                    0x0C, 0x00, 0x01, 0x80, 0x00, 0x00, 0x00, 0xE0])
XSVF_HEAD = bytes([0x07, 0x00, 0x12, 0x00, 0x12, 0x01, 0x04,
                   0x00, 0x00, 0x00, 0x00, 0x02, 0x08])
FLASH = {"flashImage150": 130012, "flashImage100": 166980,
         "flashImage50Pci": 97652, "flashImage50CardBus": 97652}
XSVF = {"xsvfStreamPci": 608591, "xsvfStreamCardBus": 608591}


def flash_image(size, rng):
    body = bytes(rng.getrandbits(8) for _ in range(size - len(FLASH_HEAD) - 16))
    return FLASH_HEAD + body + bytes(16)


def xsvf_stream(size, rng):
    out = bytearray(XSVF_HEAD)
    out.append(0xFE)                              # the instruction byte of XSIR 8
    out += b"\x08" + struct.pack(">I", 32)        # XSDRSIZE 32
    scan = 9                                      # XSDRTDO: code, 4 bytes TDI, 4 bytes TDO
    comment_min = 3                               # XCOMMENT, one character, terminator
    while len(out) + scan + comment_min + 1 <= size:
        out.append(0x09)
        out += bytes(rng.getrandbits(8) for _ in range(8))
    pad = size - len(out) - 1                     # room left before XCOMPLETE
    if pad > 0:
        if pad < comment_min:
            raise SystemExit("cannot pad the stream to its size")
        out.append(0x10)
        out += b"x" * (pad - 2) + b"\x00"
    out.append(0x00)                              # XCOMPLETE
    assert len(out) == size, (len(out), size)
    return bytes(out)


def main():
    if len(sys.argv) != 2:
        raise SystemExit("usage: make-test-firmware.py FOLDER")
    folder = Path(sys.argv[1])
    folder.mkdir(parents=True, exist_ok=True)
    rng = random.Random(20261208)
    for name, size in FLASH.items():
        (folder / f"{name}.bin").write_bytes(flash_image(size, rng))
    for name, size in XSVF.items():
        (folder / f"{name}.bin").write_bytes(xsvf_stream(size, rng))


if __name__ == "__main__":
    main()
