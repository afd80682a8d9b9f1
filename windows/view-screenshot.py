#!/usr/bin/python3
"""Takes a screenshot of an X display and finds usbcam.exe's live view in it:
the camera's test pattern, pixel (x, y) = (x + 2y + counter) & 0xFF, drawn
one screen pixel per camera pixel, whose first 8 pixels are the frame header
(counter, width, height, little-endian).

usage: view-screenshot.py DISPLAY SHOT.png [WIDTH HEIGHT]

Writes the window's client area (picture and status strip) to SHOT.png and
prints "ok LEFT TOP COUNTER"; exits 1 with what is wrong when the pattern is
not on the screen (the window not there yet, a picture that is not the
camera's, or not drawn whole), the whole screen then in SHOT.png.
"""
import sys

from PIL import ImageGrab

STRIP = 60  # the status strip under the picture


def fail(message):
    print(message)
    sys.exit(1)


def main():
    display, out = sys.argv[1], sys.argv[2]
    width, height = (int(sys.argv[3]), int(sys.argv[4])) if len(sys.argv) >= 5 else (640, 480)
    shot = ImageGrab.grab(xdisplay=display).convert("RGB")
    shot.save(out)
    sw, sh = shot.size
    px = shot.load()
    grey = [[0] * sw for _ in range(sh)]
    for y in range(sh):
        row = grey[y]
        for x in range(sw):
            r, g, b = px[x, y]
            row[x] = r if r == g == b else -1
    # A pixel belongs to the pattern when its right neighbour is one more and
    # the one below two more; the pattern's pixels then share one offset
    # (value - x - 2y) & 0xFF, which the counter and the picture's place fix.
    offsets = {}
    for y in range(sh - 1):
        row, below = grey[y], grey[y + 1]
        for x in range(sw - 1):
            v = row[x]
            if v < 0 or row[x + 1] != (v + 1) & 0xFF or below[x] != (v + 2) & 0xFF:
                continue
            d = (v - x - 2 * y) & 0xFF
            entry = offsets.get(d)
            if entry is None:
                offsets[d] = [1, x, y, x, y]
            else:
                entry[0] += 1
                entry[1] = min(entry[1], x)
                entry[2] = min(entry[2], y)
                entry[3] = max(entry[3], x)
                entry[4] = max(entry[4], y)
    if not offsets:
        fail("no test pattern on the screen")
    count, d = max((entry[0], d) for d, entry in offsets.items())
    # The picture: the columns and rows most of whose pixels have the
    # pattern's value at that offset (elsewhere it matches by chance only).
    columns, rows = [0] * sw, [0] * sh
    for y in range(sh):
        row = grey[y]
        for x in range(sw):
            if row[x] == (x + 2 * y + d) & 0xFF:
                columns[x] += 1
                rows[y] += 1
    xs = [x for x in range(sw) if columns[x] >= max(columns) // 2]
    ys = [y for y in range(sh) if rows[y] >= max(rows) // 2]
    left, right, top, bottom = xs[0], xs[-1], ys[0], ys[-1]
    found_w, found_h = right - left + 1, bottom - top + 1
    if (found_w, found_h) != (width, height):
        fail("a pattern of %d x %d at (%d, %d), not the %d x %d frame one pixel per pixel"
             % (found_w, found_h, left, top, width, height))
    if count < 0.98 * (width - 1) * (height - 1):
        fail("only %d pixels of the %d x %d frame show the pattern" % (count, width, height))
    header = [grey[top][left + i] for i in range(8)]
    if min(header) < 0:
        fail("the frame header's pixels are not grey")
    counter = header[0] | header[1] << 8 | header[2] << 16 | header[3] << 24
    if (header[4] | header[5] << 8, header[6] | header[7] << 8) != (width, height):
        fail("the frame header says %d x %d" % (header[4] | header[5] << 8, header[6] | header[7] << 8))
    if grey[top][left + 8] != (8 + counter) & 0xFF:
        fail("the header's counter %d does not match the pattern beside it" % counter)
    shot.crop((left, top, min(sw, left + width), min(sh, top + height + STRIP))).save(out)
    print("ok %d %d %d" % (left, top, counter))


main()
