#!/usr/bin/env python3
"""Ctrl-C during `usbcam stream` (and `capture --count`) on a terminal: the
command stops, its progress line is cleared and its summary printed on lines
of their own, exit status 0.

Runs usbcam on a pseudo-terminal and sends SIGINT once the first progress line
has appeared (not after a delay). The time limit only guards against a hang.
Usage: stream_interrupt.py PATH-TO-USBCAM"""
import os
import pty
import select
import signal
import subprocess
import sys
import tempfile
import time

SKIP = 77  # a machine too busy for the emulated bus's clock fails the stream
PROGRESS = b"(Ctrl-C stops)"
CLEAR = b"\r\x1b[K"


def read_until(fd, wanted, deadline):
    seen = b""
    while wanted is None or wanted not in seen:
        if time.monotonic() > deadline:
            raise SystemExit("timed out; output so far: %r" % seen)
        ready, _, _ = select.select([fd], [], [], 0.5)
        if not ready:
            continue
        try:
            chunk = os.read(fd, 4096)
        except OSError:  # the program has ended and closed the terminal
            break
        if not chunk:
            break
        seen += chunk
    return seen


def interrupted(program, args, progress):
    """Runs usbcam with args on a terminal, sends SIGINT once `progress` shows;
    returns (exit status, output), or None when the stream's requests failed."""
    master, slave = pty.openpty()
    with tempfile.TemporaryDirectory() as cwd:
        child = subprocess.Popen([program] + args, stdin=slave, stdout=slave, stderr=slave, cwd=cwd)
        os.close(slave)
        deadline = time.monotonic() + 90
        before = read_until(master, progress, deadline)
        if progress not in before:
            child.wait()
            if b"STATUS_UNSUCCESSFUL" in before:
                print("skipped: the emulated bus failed the stream (busy machine): %r" % before)
                return None
            raise SystemExit("usbcam ended before any progress: %r" % before)
        child.send_signal(signal.SIGINT)
        after = read_until(master, None, deadline)
        status = child.wait(timeout=max(1, deadline - time.monotonic()))
        os.close(master)
    return status, before + after


def check_capture(program):
    status, text = interrupted(program, ["capture", "--count", "100000", "-o", "f.pgm"], b"capture: ")
    clear = text.find(CLEAR, text.rfind(b"capture: "))
    summary = text[clear + len(CLEAR):] if clear >= 0 else b""
    if status != 0 or not summary.startswith(b"f-1.pgm: ") or b"\r\nstopped by Ctrl-C after " not in summary:
        raise SystemExit("capture --count: exit status %d, output %r" % (status, text))


def main():
    program = sys.argv[1]
    check_capture(program)
    result = interrupted(program, ["stream", "--setting", "1"], PROGRESS)
    if result is None:
        return SKIP
    status, text = result
    failures = []
    if status != 0:
        failures.append("exit status %d, not 0" % status)
    last = text.rfind(PROGRESS)
    clear = text.find(CLEAR, last)
    if clear < 0:
        failures.append("the last progress line was not cleared")
    summary = text[clear + len(CLEAR):] if clear >= 0 else b""
    lines = summary.split(b"\r\n")
    if len(lines) < 3 or not lines[0][:1].isdigit() or b" packets, " not in lines[0]:
        failures.append("the summary does not start a line of its own")
    if b"stopped by Ctrl-C; pipe 2, 1024-byte packets" not in summary:
        failures.append("the summary does not say Ctrl-C stopped it")
    if not summary.endswith(b"\r\n"):
        failures.append("the output does not end with a line break")
    if failures:
        raise SystemExit("; ".join(failures) + "\noutput: %r" % text)
    print("ok: %r" % summary)
    return 0


if __name__ == "__main__":
    sys.exit(main())
