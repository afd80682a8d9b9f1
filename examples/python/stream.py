#!/usr/bin/env python3
"""Streams isochronous packets from a Tavrinoscope camera and prints, once a
second, the packets per second, the bytes per second and the packets lost.

    python3 examples/python/stream.py [--camera N] [--setting 3] [--seconds 5]
"""
import argparse

import tavrinoscope


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--camera", type=int, default=0, help="camera number (default 0)")
    parser.add_argument("--setting", type=int, default=3,
                        help="alternate setting with an isochronous IN pipe (default 3)")
    parser.add_argument("--seconds", type=float, default=5.0, help="how long to stream (default 5)")
    args = parser.parse_args()

    with tavrinoscope.Camera(args.camera) as cam:
        cam.select_setting(args.setting)
        with cam.stream(seconds=args.seconds) as stream:
            print(f"streaming pipe {stream.pipe}, {stream.packet_size}-byte packets, for {args.seconds:g} s")
            mark, packets, payload = stream.elapsed, 0, 0
            for packet in stream:
                packets += 1
                payload += len(packet.payload)
                now = stream.elapsed
                if now - mark >= 1.0:
                    print(f"{packets / (now - mark):8.0f} packets/s {payload / (now - mark) / 1e6:7.1f} MB/s "
                          f"lost {stream.lost} failed {stream.failed}")
                    mark, packets, payload = now, 0, 0
            lost = stream.lost
            print(f"total: {stream.packets} packets in {stream.elapsed:.1f} s, "
                  f"{stream.packets / stream.elapsed:.0f} packets/s, lost {lost}, failed {stream.failed}")
        cam.select_setting(0)


if __name__ == "__main__":
    main()
