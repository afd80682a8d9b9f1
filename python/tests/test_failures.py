"""Failures as a caller meets them: every status of the C library raises the
exception docs/sdk.md names for it, every wrapper raises when its C call
fails, and iterators yield what was asked and no more."""
import re

import pytest

import tavrinoscope
from tavrinoscope import _library as native
from tavrinoscope import camera as camera_module
from conftest import REPOSITORY

STALL = 0xC0000004  # USBD_STATUS_STALL_PID


def documented_exceptions():
    """{status name: exception class} from the errors table of docs/sdk.md."""
    text = (REPOSITORY / "docs" / "sdk.md").read_text()
    table = {}
    for row in re.finditer(r"^\| `(\w+)`[^|]*\| `(TVS_\w+)` \|", text, re.M):
        assert row.group(2) not in table, f"{row.group(2)} documented twice"
        table[row.group(2)] = getattr(tavrinoscope, row.group(1))
    return table


def library_statuses():
    """{code: name} of every status the C library defines."""
    lib = native.library()
    names = {code: lib.tvs_status_name(code).decode() for code in range(-1, -200, -1)}
    return {code: name for code, name in names.items() if name != "TVS_ERROR_UNKNOWN"}


def test_every_status_raises_its_documented_exception():
    documented = documented_exceptions()
    statuses = library_statuses()
    assert set(statuses.values()) == set(documented), "statuses and the docs' table differ"
    for code, name in statuses.items():
        expected = documented[name]
        with pytest.raises(tavrinoscope.TavrinoscopeError) as caught:
            camera_module._check(code, "a call")
        assert type(caught.value) is expected, f"{name} raised {type(caught.value).__name__}"
        assert (caught.value.code, caught.value.status) == (code, name)
        assert name in str(caught.value)
    assert documented["TVS_ERROR_TIMEOUT"] is tavrinoscope.TransferTimeoutError
    assert issubclass(tavrinoscope.TransferTimeoutError, TimeoutError)
    assert issubclass(tavrinoscope.InvalidArgumentError, ValueError)


class FailingLibrary:
    """The C library with one function answering `status` without running."""

    def __init__(self, real, function, status):
        self._real = real
        self._function = function
        self._status = status
        self.called = 0

    def __getattr__(self, name):
        if name == self._function:
            def fail(*args):
                self.called += 1
                return self._status
            return fail
        return getattr(self._real, name)


CANCELLED = -8
PACKETS = dict(pipe=2, packet_size=1024)

# Each wrapper: (what it is, the C function it calls, the call).
WRAPPERS = [
    ("info", "tvs_get_device_info", lambda cam: cam.info),
    ("last_usb_status", "tvs_get_last_usb_status", lambda cam: cam.last_usb_status),
    ("frame_number", "tvs_get_frame_number", lambda cam: cam.frame_number),
    ("set_timeout", "tvs_set_timeout", lambda cam: cam.set_timeout(100)),
    ("capture", "tvs_capture_frame", lambda cam: cam.capture()),
    ("frame", "tvs_capture_frame", lambda cam: cam.frame()),
    ("save_png", "tvs_save_png", lambda cam: cam.save_png("frame.png")),
    ("bulk_read", "tvs_bulk_read", lambda cam: cam.bulk_read(1, 16)),
    ("bulk_read", "tvs_bulk_read_segmented", lambda cam: cam.bulk_read(1, 16, segmented=True)),
    ("bulk_write", "tvs_bulk_write", lambda cam: cam.bulk_write(1, b"x")),
    ("bulk_write", "tvs_bulk_write_segmented", lambda cam: cam.bulk_write(1, b"x", segmented=True)),
    ("iso_read", "tvs_iso_read", lambda cam: cam.iso_read(8, **PACKETS)),
    ("stream", "tvs_stream_start", lambda cam: cam.stream(**PACKETS)),
    ("vendor_read", "tvs_vendor_read", lambda cam: cam.vendor_read(0xA0, length=4)),
    ("vendor_write", "tvs_vendor_write", lambda cam: cam.vendor_write(0x40)),
    ("control_transfer", "tvs_control_transfer",
     lambda cam: cam.control_transfer(0xA0, device_to_host=True, length=4)),
    ("set_feature", "tvs_set_feature", lambda cam: cam.set_feature(1)),
    ("load_memory", "tvs_load_memory", lambda cam: cam.load_memory(b"x", 0x100)),
    ("load_hex", "tvs_load_hex", lambda cam: cam.load_hex(b":0100100001EE\n:00000001FF\n")),
    ("select_setting", "tvs_select_setting", lambda cam: cam.select_setting(0)),
    ("reset_pipe", "tvs_reset_pipe", lambda cam: cam.reset_pipe(0)),
    ("abort_pipe", "tvs_abort_pipe", lambda cam: cam.abort_pipe(0)),
    ("reset_port", "tvs_reset_port", lambda cam: cam.reset_port()),
    ("emulation_unplug", "tvs_emulation_unplug", lambda cam: cam.emulation_unplug()),
    ("emulation_fail_next", "tvs_emulation_fail_next", lambda cam: cam.emulation_fail_next(0, 1, STALL)),
    ("emulation_state", "tvs_emulation_get_state", lambda cam: tavrinoscope.emulation_state()),
    ("emulation_wait", "tvs_emulation_wait", lambda cam: tavrinoscope.emulation_wait(1)),
    ("Camera", "tvs_open_ex", lambda cam: tavrinoscope.Camera(0)),
]
# A stream's own calls, on a stream that runs.
STREAM_WRAPPERS = [
    ("__iter__", "tvs_stream_read_wait", lambda stream: next(iter(stream))),
    ("stop", "tvs_stream_stop", lambda stream: stream.stop()),
    ("packets", "tvs_stream_get_stats", lambda stream: stream.packets),
    ("failed", "tvs_stream_get_stats", lambda stream: stream.failed),
    ("lost", "tvs_stream_get_stats", lambda stream: stream.lost),
]
# Members that call nothing that can fail.
NO_C_STATUS = {"close", "closed", "request_count", "index", "elapsed", "packet_size", "pipe"}


def public_members(cls):
    return {name for name in dir(cls) if not name.startswith("_")}


def failing(monkeypatch, cam, function):
    """Makes `function` fail with TVS_ERROR_CANCELLED for cam and for the
    module-level calls."""
    library = FailingLibrary(native.library(), function, CANCELLED)
    monkeypatch.setattr(native, "_library", library)
    monkeypatch.setattr(cam, "_lib", library)
    return library


def test_every_wrapper_raises_when_its_c_call_fails(camera, monkeypatch):
    covered = {name for name, _, _ in WRAPPERS}
    assert public_members(tavrinoscope.Camera) - NO_C_STATUS <= covered | {"emulation_state"}, \
        "a Camera method without a failure case here"
    for name, function, call in WRAPPERS:
        with monkeypatch.context() as patch:
            library = failing(patch, camera, function)
            with pytest.raises(tavrinoscope.CancelledError) as caught:
                call(camera)
            assert library.called >= 1, f"{name} did not call {function}"
            assert caught.value.code == CANCELLED, name
    assert camera.info.vendor_id == 0x1209  # the real library again


def test_every_stream_wrapper_raises_when_its_c_call_fails(camera, monkeypatch):
    assert public_members(tavrinoscope.Stream) - NO_C_STATUS <= {name for name, _, _ in STREAM_WRAPPERS}
    camera.select_setting(1)
    for name, function, call in STREAM_WRAPPERS:
        with camera.stream(packets=64) as stream:
            with monkeypatch.context() as patch:
                library = failing(patch, camera, function)
                stream._lib = library
                with pytest.raises(tavrinoscope.CancelledError):
                    call(stream)
                assert library.called >= 1, f"Stream.{name} did not call {function}"
            stream._lib = camera._lib
    camera.select_setting(0)


@pytest.mark.parametrize("wanted", [1, 5, 1000, 1500])
def test_a_stream_yields_what_was_asked_and_no_more(camera, wanted):
    camera.select_setting(1)
    with camera.stream(packets=wanted, ring_packets=2048) as stream:
        packets = list(stream)
        # Nothing more after the end, however often it is asked.
        assert list(stream) == []
    assert len(packets) == wanted
    assert stream.packets == wanted  # nor read from the driver and dropped
    assert stream.lost == 0


def test_a_block_read_gives_the_packets_asked(camera):
    camera.select_setting(1)
    for wanted in (32, 64, 256):
        packets = camera.iso_read(wanted, packets_per_request=8)
        assert len(packets) == wanted
        assert all(len(p.payload) <= 1024 for p in packets)
