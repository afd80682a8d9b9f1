#!/usr/bin/env python3
"""Captures one frame from a Tavrinoscope camera and saves it as a PNG.

    python3 examples/python/capture.py [--camera N] [--output frame.png]

The frame comes as a numpy.ndarray of shape (height, width), dtype uint8;
the PNG is written with the standard library alone (Pillow users can write
PIL.Image.fromarray(frame).save("frame.png") instead).
"""
import argparse
import struct
import zlib

import numpy as np

import tavrinoscope


def write_png(path: str, image: np.ndarray) -> None:
    """An 8-bit greyscale PNG of a 2-D uint8 array."""
    height, width = image.shape
    rows = np.hstack([np.zeros((height, 1), dtype=np.uint8), image])  # filter byte 0 per row

    def chunk(kind: bytes, data: bytes) -> bytes:
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    with open(path, "wb") as file:
        file.write(b"\x89PNG\r\n\x1a\n")
        file.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0)))
        file.write(chunk(b"IDAT", zlib.compress(rows.tobytes(), 6)))
        file.write(chunk(b"IEND", b""))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--camera", type=int, default=0, help="camera number (default 0)")
    parser.add_argument("--output", default="frame.png", help="PNG file to write (default frame.png)")
    args = parser.parse_args()

    with tavrinoscope.Camera(args.camera) as cam:
        info = cam.info
        print(f"camera {args.camera}: {info.vendor_id:04x}:{info.product_id:04x} {info.product}, "
              f"{info.speed} speed, driver {info.driver_version}")
        frame = cam.capture()
    write_png(args.output, frame.pixels)
    print(f"{args.output}: {frame.width} x {frame.height} frame {frame.counter}, "
          f"mean grey level {frame.pixels.mean():.1f}")


if __name__ == "__main__":
    main()
