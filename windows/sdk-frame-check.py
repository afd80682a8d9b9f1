#!/usr/bin/env python3
"""Checks a PGM frame written by the SDK's capture example: 8-bit grey, and
the reference camera's test pattern, (x + 2y + counter) & 0xFF, after the
8-byte header (counter, width, height, little-endian) that opens it.

Usage: sdk-frame-check.py FRAME.pgm"""
import struct
import sys


def main() -> int:
    data = open(sys.argv[1], "rb").read()
    fields = data.split(b"\n", 3)
    if len(fields) != 4 or fields[0] != b"P5" or fields[2] != b"255":
        print(f"{sys.argv[1]}: not an 8-bit binary PGM", file=sys.stderr)
        return 1
    width, height = (int(v) for v in fields[1].split())
    pixels = fields[3]
    if len(pixels) != width * height:
        print(f"{sys.argv[1]}: {len(pixels)} pixel bytes for {width} x {height}", file=sys.stderr)
        return 1
    counter, w, h = struct.unpack("<IHH", pixels[:8])
    if (w, h) != (width, height):
        print(f"{sys.argv[1]}: the header says {w} x {h}, the file {width} x {height}", file=sys.stderr)
        return 1
    for i in range(8, len(pixels)):
        x, y = i % width, i // width
        if pixels[i] != (x + 2 * y + counter) & 0xFF:
            print(f"{sys.argv[1]}: pixel ({x}, {y}) is {pixels[i]}, the pattern says "
                  f"{(x + 2 * y + counter) & 0xFF}", file=sys.stderr)
            return 1
    print(f"{sys.argv[1]}: {width} x {height}, frame {counter}, the test pattern")
    return 0


if __name__ == "__main__":
    sys.exit(main())
