"""The Python examples run as printed, and the package installs offline with
pip into a virtual environment and finds the C library by itself."""
import os
import re
import struct
import subprocess
import sys
import zlib

from conftest import REPOSITORY, examples_dir


def run(args, cwd, env=None, timeout=120):
    return subprocess.run(args, cwd=cwd, env=env, capture_output=True, text=True, timeout=timeout)


def package_env():
    """The examples as run from the repository: the package from python/."""
    env = dict(os.environ)
    env["PYTHONPATH"] = str(REPOSITORY / "python")
    return env


def png_size(path):
    """Width and height of a PNG, after checking its signature and chunk CRCs."""
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    at, size = 8, None
    while at < len(data):
        (length,) = struct.unpack(">I", data[at:at + 4])
        kind, body = data[at + 4:at + 8], data[at + 8:at + 8 + length]
        (crc,) = struct.unpack(">I", data[at + 8 + length:at + 12 + length])
        assert zlib.crc32(kind + body) == crc
        if kind == b"IHDR":
            size = struct.unpack(">II", body[:8])
        at += 12 + length
    return size


def test_capture_example_writes_a_png(tmp_path):
    result = run([sys.executable, str(examples_dir() / "capture.py")], tmp_path, package_env())
    assert result.returncode == 0, result.stderr
    assert "frame.png: 640 x 480 frame 0" in result.stdout
    assert png_size(tmp_path / "frame.png") == (640, 480)


def test_stream_example_prints_rates_and_losses(tmp_path):
    result = run([sys.executable, str(examples_dir() / "stream.py"), "--seconds", "1.5"], tmp_path, package_env())
    assert result.returncode == 0, result.stderr
    # Losses are the stream test's to judge; the example must report them.
    assert re.search(r"^total: \d+ packets in [\d.]+ s, \d+ packets/s, lost \d+, failed \d+$",
                     result.stdout.splitlines()[-1])


def test_pip_installs_offline_and_finds_the_library(tmp_path):
    venv = tmp_path / "venv"
    made = run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)], tmp_path)
    assert made.returncode == 0, made.stderr
    python = venv / "bin" / "python"
    installed = run([str(python), "-m", "pip", "install", "--no-build-isolation", "--no-index", "--quiet",
                     str(REPOSITORY / "python")], tmp_path, timeout=300)
    assert installed.returncode == 0, installed.stdout + installed.stderr
    # No hint where anything is: the installed package finds the library
    # in the repository's build tree by itself.
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "TAVRINOSCOPE_LIBRARY")}
    script = ("import tavrinoscope\n"
              "with tavrinoscope.Camera(0) as cam:\n"
              "    frame = cam.frame()\n"
              "print(tavrinoscope.__file__, frame.shape, frame.dtype)\n")
    result = run([str(python), "-c", script], tmp_path, env=env)
    assert result.returncode == 0, result.stderr
    assert str(venv) in result.stdout
    assert "(480, 640) uint8" in result.stdout


def test_two_cameras_example_captures_and_streams_both(tmp_path):
    env = package_env()
    env.pop("TAVRINOSCOPE_CAMERAS", None)  # the example asks for two itself
    result = run([sys.executable, str(examples_dir() / "two_cameras.py"), "--seconds", "1"], tmp_path, env)
    assert result.returncode == 0, result.stderr
    for number in (0, 1):
        assert f"camera {number}: 1209:0001 serial 'TVS-000001', ready" in result.stdout
        assert f"camera {number}: frame 640 x 480" in result.stdout
        assert re.search(rf"camera {number}: \d+ packets in [\d.]+ s, \d+ packets/s, lost \d+, failed \d+",
                         result.stdout)
