#!/usr/bin/env python3
"""Decodes an 8-bit greyscale PNG with nothing but zlib, independently of the
library that wrote it, and checks it against the camera's test pattern:
pixel (x, y) = (x + 2y + counter) & 0xFF, the first 8 bytes being the frame
header (counter, width, height, little-endian).

usage: png_check.py FILE [WIDTH HEIGHT]
       png_check.py FILE --same-as OTHER
Prints "ok WIDTH HEIGHT COUNTER" and exits 0, or prints what is wrong and exits 1.
With --same-as, both files are decoded and must hold the same pixels (two
encoders' files of one frame: usbcam.exe's and the Linux usbcam's).
"""
import struct
import sys
import zlib


def fail(message):
    print(message)
    sys.exit(1)


def decode(path):
    """(width, height, pixels) of an 8-bit greyscale PNG."""
    data = open(path, "rb").read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        fail("not a PNG signature")
    pos, idat, header = 8, b"", None
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        crc = struct.unpack(">I", data[pos + 8 + length:pos + 12 + length])[0]
        if zlib.crc32(kind + body) & 0xFFFFFFFF != crc:
            fail("bad CRC in chunk %r" % kind)
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        elif kind == b"IEND":
            break
        pos += 12 + length
    if header is None:
        fail("no IHDR")
    width, height, depth, colour, _, _, interlace = header
    if depth != 8 or colour != 0 or interlace != 0:
        fail("not 8-bit greyscale without interlace: depth %d colour %d" % (depth, colour))
    raw = zlib.decompress(idat)
    if len(raw) != height * (width + 1):
        fail("image data is %d bytes, expected %d" % (len(raw), height * (width + 1)))
    pixels, previous = bytearray(), bytearray(width)
    for y in range(height):
        kind = raw[y * (width + 1)]
        line = bytearray(raw[y * (width + 1) + 1:(y + 1) * (width + 1)])
        for x in range(width):
            a = line[x - 1] if x else 0
            b = previous[x]
            c = previous[x - 1] if x else 0
            if kind == 1:
                line[x] = (line[x] + a) & 0xFF
            elif kind == 2:
                line[x] = (line[x] + b) & 0xFF
            elif kind == 3:
                line[x] = (line[x] + (a + b) // 2) & 0xFF
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                pred = a if pa <= pb and pa <= pc else (b if pb <= pc else c)
                line[x] = (line[x] + pred) & 0xFF
            elif kind != 0:
                fail("unknown filter %d on row %d" % (kind, y))
        pixels += line
        previous = line
    return width, height, pixels


def main():
    if len(sys.argv) == 4 and sys.argv[2] == "--same-as":
        first, second = decode(sys.argv[1]), decode(sys.argv[3])
        if first[:2] != second[:2]:
            fail("%s is %dx%d, %s is %dx%d" % (sys.argv[1], first[0], first[1], sys.argv[3], second[0], second[1]))
        for i, (a, b) in enumerate(zip(first[2], second[2])):
            if a != b:
                fail("pixel (%d, %d): %d in %s, %d in %s"
                     % (i % first[0], i // first[0], a, sys.argv[1], b, sys.argv[3]))
        print("same %d %d" % first[:2])
        return
    width, height, pixels = decode(sys.argv[1])
    if len(sys.argv) >= 4 and (width, height) != (int(sys.argv[2]), int(sys.argv[3])):
        fail("size %dx%d, expected %sx%s" % (width, height, sys.argv[2], sys.argv[3]))
    counter, hw, hh = struct.unpack("<IHH", bytes(pixels[:8]))
    if (hw, hh) != (width, height):
        fail("header says %dx%d in a %dx%d image" % (hw, hh, width, height))
    for i in range(8, len(pixels)):
        x, y = i % width, i // width
        if pixels[i] != (x + 2 * y + counter) & 0xFF:
            fail("pixel (%d, %d) is %d, the pattern has %d" % (x, y, pixels[i], (x + 2 * y + counter) & 0xFF))
    print("ok %d %d %d" % (width, height, counter))


main()
