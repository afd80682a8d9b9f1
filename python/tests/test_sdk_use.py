"""The SDK as a program uses it: errors that say how to go on, frames saved
as PNG files, argument orders as in C, the library named in the environment,
a camera closed with its stream running, and the names docs/sdk.md lists."""
import os
import re
import struct
import subprocess
import sys
import zlib

import numpy as np
import pytest

import tavrinoscope
from conftest import REPOSITORY

STALL = 0xC0000004  # USBD_STATUS_STALL_PID


def png_header(path):
    """(width, height, bit depth, colour type) of a PNG whose chunks are whole."""
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    at, header = 8, None
    while at < len(data):
        (length,) = struct.unpack(">I", data[at:at + 4])
        kind, body = data[at + 4:at + 8], data[at + 8:at + 8 + length]
        (crc,) = struct.unpack(">I", data[at + 8 + length:at + 12 + length])
        assert zlib.crc32(kind + body) == crc
        if kind == b"IHDR":
            header = struct.unpack(">IIBB", body[:10])
        at += 12 + length
    return header


def test_a_usb_error_on_a_pipe_carries_its_status_and_how_to_clear_it(camera):
    camera.emulation_fail_next(0x82, 1, STALL)
    with pytest.raises(tavrinoscope.UsbError) as caught:
        camera.frame()
    error = caught.value
    assert error.usb_status == tavrinoscope.UsbStatus(STALL)
    assert "USBD_STATUS_STALL_PID" in str(error)
    assert "reset_pipe(2)" in error.hint and error.hint in str(error)
    # The halt stays until the program clears it, as the hint says.
    with pytest.raises(tavrinoscope.UsbError):
        camera.frame()
    camera.reset_pipe(2)
    assert camera.frame().shape == (480, 640)
    # Errors of other kinds carry no hint.
    with pytest.raises(tavrinoscope.RefusedError) as refused:
        camera.bulk_read(9, 16)
    assert refused.value.hint is None


def test_a_frame_saved_as_png(camera, tmp_path):
    frame = camera.capture()
    frame.save(tmp_path / "frame.png")
    assert png_header(tmp_path / "frame.png") == (640, 480, 8, 0)  # 8-bit grey
    saved = camera.save_png(str(tmp_path / "next.png"))
    assert saved.counter == frame.counter + 1
    assert png_header(tmp_path / "next.png") == (640, 480, 8, 0)
    with pytest.raises(tavrinoscope.InvalidArgumentError):
        frame.save(tmp_path / "frame.jpg")
    with pytest.raises(tavrinoscope.IoError):
        frame.save(tmp_path / "no-such-directory" / "frame.png")
    # Any 2-dimensional uint8 array, a view included.
    tavrinoscope.Frame(frame.pixels[::2, ::2], 0).save(tmp_path / "half.png")
    assert png_header(tmp_path / "half.png")[:2] == (320, 240)


def test_fail_next_takes_the_c_order(camera):
    camera.emulation_fail_next(0, 2, STALL)  # (endpoint, count, usb_status), as tvs_emulation_fail_next
    for _ in range(2):
        assert camera.vendor_read(0xA0, length=4).usb_status == tavrinoscope.UsbStatus(STALL)
    before = camera.request_count
    with pytest.raises(tavrinoscope.InvalidArgumentError):
        camera.emulation_fail_next(0, 1)  # no status
    with pytest.warns(DeprecationWarning):
        camera.emulation_fail_next(0, STALL)  # the earlier order still works
    assert camera.request_count == before
    with pytest.raises(tavrinoscope.UsbError):
        camera.load_memory(b"\x01", 0x100, verify=False)


def test_a_missing_library_file_is_an_error_naming_it(tmp_path):
    missing = tmp_path / "libtavrinoscope.so"
    env = dict(os.environ, TAVRINOSCOPE_LIBRARY=str(missing), PYTHONPATH=str(REPOSITORY / "python"))
    script = "import tavrinoscope\ntavrinoscope.Camera(0)\n"
    result = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=60)
    assert result.returncode != 0
    assert "LibraryNotFoundError" in result.stderr
    assert str(missing) in result.stderr


def test_closing_a_camera_stops_the_stream_it_started(camera):
    other = tavrinoscope.Camera(0)
    other.select_setting(1)
    stream = other.stream(ring_packets=1024)
    packets = iter(stream)  # kept: a generator dropped would stop the stream itself
    assert next(packets).ok
    other.close()
    # No stream left on the pipe: the selection goes through at once.
    before = camera.frame_number
    camera.select_setting(0)
    assert camera.info.alternate_setting == 0
    assert camera.frame_number - before < 100
    stream.stop()  # nothing left to stop: no error


def documented_members():
    text = (REPOSITORY / "docs" / "sdk.md").read_text()
    return re.findall(r"^\| `(Camera|Frame|Stream|tavrinoscope)\.(\w+)` \| (\w+) \|", text, re.M)


def test_each_documented_name_exists_with_its_documented_kind():
    rows = documented_members()
    assert len(rows) > 30
    owners = {"Camera": tavrinoscope.Camera, "Frame": tavrinoscope.Frame, "Stream": tavrinoscope.Stream}
    for owner, name, kind in rows:
        where = f"{owner}.{name}"
        if owner == "tavrinoscope":
            assert kind == "function" and callable(getattr(tavrinoscope, name, None)), where
            continue
        cls = owners[owner]
        if kind == "attribute":
            assert name in getattr(cls, "__dataclass_fields__", {}), where
            continue
        member = getattr(cls, name, None)
        assert member is not None, f"{where} is documented but does not exist"
        if kind == "property":
            assert isinstance(member, property), f"{where} is documented as a property"
        else:
            assert kind == "method" and callable(member) and not isinstance(member, property), \
                f"{where} is documented as a {kind}"
    # And the other way: every public member of Camera is in the table.
    documented = {name for owner, name, _ in rows if owner == "Camera"}
    public = {name for name in dir(tavrinoscope.Camera) if not name.startswith("_")}
    assert public <= documented, f"not in docs/sdk.md: {sorted(public - documented)}"
