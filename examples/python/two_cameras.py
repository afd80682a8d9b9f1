#!/usr/bin/env python3
"""Two Tavrinoscope cameras at once: lists the cameras, captures a frame from
each, then streams both at once and prints each stream's counts.

    python3 examples/python/two_cameras.py [--seconds 2] [--setting 3]

On Linux the emulated machine plugs two cameras for this program (each on a
USB bus of its own) unless $TAVRINOSCOPE_CAMERAS says otherwise. Two
full-rate streams (setting 3) need two USB controllers: on one controller the
second camera's selection is refused for want of bus bandwidth, which this
program reports. The driver's transfer time-out is one value for both.
"""
import argparse
import os
import threading

os.environ.setdefault("TAVRINOSCOPE_CAMERAS", "2")

import tavrinoscope  # noqa: E402  (after the camera count is set)


def stream(cam: tavrinoscope.Camera, seconds: float, results: dict) -> None:
    with cam.stream(seconds=seconds) as s:
        for _ in s:
            pass
    results[cam] = (s.packets, s.lost, s.failed, s.elapsed)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=2.0, help="how long to stream (default 2)")
    parser.add_argument("--setting", type=int, default=3,
                        help="alternate setting with an isochronous IN pipe (default 3)")
    args = parser.parse_args()

    listed = tavrinoscope.cameras()
    for entry in listed:
        print(f"camera {entry.index}: {entry.vendor_id:04x}:{entry.product_id:04x} "
              f"serial {entry.serial_number!r}, {entry.state}")
    ready = [entry.index for entry in listed if entry.state == "ready"]
    if len(ready) < 2:
        raise SystemExit(f"two cameras needed, {len(ready)} ready")

    with tavrinoscope.Camera(ready[0]) as first, tavrinoscope.Camera(ready[1]) as second:
        for number, cam in zip(ready, (first, second)):
            frame = cam.frame()
            print(f"camera {number}: frame {frame.shape[1]} x {frame.shape[0]}")
        for number, cam in zip(ready, (first, second)):
            try:
                cam.select_setting(args.setting)
            except tavrinoscope.RefusedError as refused:
                raise SystemExit(f"camera {number}: setting {args.setting} refused "
                                 f"({cam.last_usb_status.name}): if that is USBD_STATUS_NO_BANDWIDTH, "
                                 "another device on its USB controller holds the bandwidth; try a "
                                 "smaller setting or another controller") from refused
        results: dict = {}
        threads = [threading.Thread(target=stream, args=(cam, args.seconds, results)) for cam in (first, second)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        for number, cam in zip(ready, (first, second)):
            packets, lost, failed, elapsed = results[cam]
            print(f"camera {number}: {packets} packets in {elapsed:.1f} s, "
                  f"{packets / elapsed:.0f} packets/s, lost {lost}, failed {failed}")
            cam.select_setting(0)


if __name__ == "__main__":
    main()
