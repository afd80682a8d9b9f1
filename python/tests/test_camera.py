"""The Camera class against the reference camera in the emulation."""
import threading
from pathlib import Path

import numpy as np
import pytest

import tavrinoscope
from conftest import join

PROFILES = Path(__file__).resolve().parents[2] / "sim" / "usb" / "profiles"


def expected_pattern(width, height, counter):
    """The reference camera's frame: (x + 2y + counter) & 0xFF, its first 8
    bytes the header (counter, width, height, little-endian)."""
    y, x = np.indices((height, width))
    expected = ((x + 2 * y + counter) & 0xFF).astype(np.uint8)
    header = np.frombuffer(np.array([counter, width | height << 16], dtype="<u4").tobytes(), dtype=np.uint8)
    expected.reshape(-1)[:8] = header
    return expected


def test_frames_equal_the_test_pattern(camera):
    first = camera.capture()
    assert first.pixels.shape == (480, 640) and first.pixels.dtype == np.uint8
    np.testing.assert_array_equal(first.pixels, expected_pattern(640, 480, first.counter))
    second = camera.frame()
    np.testing.assert_array_equal(second, expected_pattern(640, 480, first.counter + 1))


def test_a_camera_profile_gives_its_own_frame_size():
    with tavrinoscope.Camera(0, camera_profile=PROFILES / "small-frame-camera.json") as cam:
        assert cam.info.product == "Tavrinoscope small frame"
        frame = cam.capture()
    assert frame.pixels.shape == (121, 160)
    np.testing.assert_array_equal(frame.pixels, expected_pattern(160, 121, frame.counter))


def test_a_half_second_stream_loses_nothing(camera):
    camera.select_setting(3)
    with camera.stream(packets=4000, ring_packets=16384) as stream:
        sizes = set()
        count = 0
        for packet in stream:
            count += 1
            if packet.ok:
                sizes.add(len(packet.payload))
    assert stream.lost == 0
    assert count == stream.packets == 4000
    assert sizes == {3072}
    # The stream has ended: another setting can be selected at once.
    camera.select_setting(0)
    assert camera.info.alternate_setting == 0


def test_unplug_mid_stream_raises_device_gone_and_leaks_nothing():
    before = tavrinoscope.emulation_state().violations
    seen = 0
    with pytest.raises(tavrinoscope.DeviceGoneError) as caught:
        with tavrinoscope.Camera(0, virtual_time=True) as cam:
            cam.select_setting(1)
            with cam.stream() as stream:
                for _ in stream:
                    seen += 1
                    if seen == 2000:
                        cam.emulation_unplug()
    assert seen >= 2000
    assert caught.value.status == "TVS_ERROR_DEVICE_GONE"
    assert caught.value.code == -3
    assert "TVS_ERROR_DEVICE_GONE" in str(caught.value)
    state = tavrinoscope.emulation_state()
    assert (state.running, state.open_cameras, state.violations) == (False, 0, before)


def test_bad_arguments_raise_before_reaching_the_driver(camera):
    sent = camera.request_count
    bad_calls = [
        lambda: camera.bulk_read(2, -1),
        lambda: camera.bulk_read("2", 16),
        lambda: camera.bulk_write(2, "text"),
        lambda: camera.iso_read(0, pipe=0, packet_size=1024),
        lambda: camera.iso_read(8, pipe=0, packet_size=0),
        lambda: camera.stream(pipe=0, packet_size=1024, slots=0),
        lambda: camera.stream(pipe=0, packet_size=1024, seconds=-1),
        lambda: camera.vendor_write(0x40, data=b"ab"),
        lambda: camera.vendor_read(0x1A0),
        lambda: camera.load_memory(b"x" * 32, address=0xFFF0),
        lambda: camera.load_hex(42),
        lambda: camera.select_setting(256),
        lambda: camera.set_timeout(0),
        lambda: camera.control_transfer(1, device_to_host=True, type="standard"),
        lambda: camera.reset_pipe(True),
    ]
    for call in bad_calls:
        with pytest.raises(tavrinoscope.InvalidArgumentError) as caught:
            call()
        assert caught.value.status == "TVS_ERROR_INVALID_ARGUMENT"
        assert isinstance(caught.value, ValueError)
    with pytest.raises(tavrinoscope.BadImageError):
        camera.load_hex(b":00000001FE\n")  # checksum wrong: refused by the library's parser
    assert camera.request_count == sent
    with pytest.raises(tavrinoscope.InvalidArgumentError):
        tavrinoscope.Camera(32)


def test_errors_carry_the_status_names(camera):
    with pytest.raises(tavrinoscope.NotFoundError) as caught:
        tavrinoscope.Camera(7)
    assert caught.value.status == "TVS_ERROR_NOT_FOUND"
    assert caught.value.driver_status_name == "STATUS_OBJECT_NAME_NOT_FOUND"
    # No pipe 9 in the selected setting: the driver refuses the read.
    with pytest.raises(tavrinoscope.RefusedError) as refused:
        camera.bulk_read(9, 16)
    assert refused.value.status == "TVS_ERROR_REFUSED"
    assert refused.value.driver_status_name == "STATUS_INVALID_PARAMETER"


def test_calls_the_driver_reports_as_done_whatever_happened(camera):
    # SET_FEATURE: the driver always reports failure; the method gives the
    # USB status instead of raising.
    usb = camera.set_feature(1)
    assert isinstance(usb, tavrinoscope.UsbStatus)
    # A setting the camera does not have: success from the driver, refused here.
    with pytest.raises(tavrinoscope.RefusedError):
        camera.select_setting(9)
    assert camera.info.alternate_setting == 0
    data = bytes((i * 7 + 1) & 0xFF for i in range(700))
    camera.load_memory(data, address=0x3000, verify=True)
    result = camera.vendor_read(0xA0, value=0x3000, length=700)
    assert result.data == data and not result.usb_status.failed
    camera.load_hex(b":0400100001020304E2\n:00000001FF\n")
    assert camera.vendor_read(0xA0, value=0x10, length=4).data == b"\x01\x02\x03\x04"


STALL = 0xC0000004  # USBD_STATUS_STALL_PID
NOT_RESPONDING = 0xC0000005  # USBD_STATUS_DEV_NOT_RESPONDING


def test_a_camera_that_refuses_is_not_reported_as_done(camera):
    # The driver reports the vendor request as done; the USB status says not.
    camera.emulation_fail_next(0, 1, STALL)
    result = camera.vendor_read(0xA0, value=0, length=16)
    assert result.usb_status.failed and result.usb_status.name == "USBD_STATUS_STALL_PID"
    # A load the camera refuses raises, though the driver reported success.
    camera.emulation_fail_next(0, 1, NOT_RESPONDING)
    with pytest.raises(tavrinoscope.UsbError) as caught:
        camera.load_memory(b"\x55" * 64, address=0x100, verify=False)
    assert caught.value.usb_status.name == "USBD_STATUS_DEV_NOT_RESPONDING"
    # Refused with the same status already recorded (the driver never
    # clears it): still the load's own failure, with or without verify.
    for verify in (False, True):
        camera.emulation_fail_next(0, 1, NOT_RESPONDING)
        with pytest.raises(tavrinoscope.UsbError):
            camera.load_memory(b"\x66" * 64, address=0x100, verify=verify)


def test_calls_from_several_threads_at_once(camera):
    """Frames on one thread while others read the camera's memory and its
    description, on the same handle."""
    data = bytes(range(256)) * 4
    camera.load_memory(data, address=0x8000)
    errors = []
    frames = []

    def run(work):
        try:
            for _ in range(5):
                work()
        except Exception as error:  # reported below
            errors.append(error)

    jobs = [lambda: frames.append(camera.capture()),
            lambda: errors.append("memory") if camera.vendor_read(0xA0, 0x8000, length=1024).data != data else None,
            lambda: errors.append("info") if camera.info.vendor_id != 0x1209 else None]
    threads = [threading.Thread(target=run, args=(job,)) for job in jobs]
    for thread in threads:
        thread.start()
    for thread in threads:
        join(thread)
    assert errors == []
    assert len(frames) == 5
    for frame in frames:
        np.testing.assert_array_equal(frame.pixels, expected_pattern(640, 480, frame.counter))
