"""Several cameras: the listing, $TAVRINOSCOPE_CAMERAS, two streams at once."""
import threading

import pytest

import tavrinoscope


@pytest.fixture
def three_cameras(monkeypatch):
    """The emulated machine of the next open plugs three cameras."""
    monkeypatch.setenv("TAVRINOSCOPE_CAMERAS", "3")
    before = tavrinoscope.emulation_state().violations
    yield
    state = tavrinoscope.emulation_state()
    assert not state.running and state.open_cameras == 0
    assert state.violations == before


def test_cameras_lists_every_camera_plugged(three_cameras):
    listed = tavrinoscope.cameras()
    assert [entry.index for entry in listed] == [0, 1, 2]
    for entry in listed:
        assert entry.state == "ready"
        assert (entry.vendor_id, entry.product_id) == (0x1209, 0x0001)
        assert entry.serial_number == "TVS-000001"
    # The listing left nothing open: the machine has stopped again.
    assert not tavrinoscope.emulation_state().running


def test_an_open_camera_is_listed_and_stays_open(three_cameras):
    with tavrinoscope.Camera(1) as second:
        assert [entry.index for entry in tavrinoscope.cameras()] == [0, 1, 2]
        assert second.info.serial_number == "TVS-000001"
        assert tavrinoscope.emulation_state().open_cameras == 1


def test_two_cameras_stream_at_once_each_its_own_packets(three_cameras):
    counts = {}
    errors = []

    def run(cam, index):
        try:
            with cam.stream(seconds=1.0, ring_packets=16384) as stream:
                sizes = set()
                for packet in stream:
                    if packet.ok:
                        sizes.add(len(packet.payload))
            counts[index] = (stream.packets, sizes)
        except Exception as error:  # reported below, in the test's thread
            errors.append(error)

    with tavrinoscope.Camera(0) as first, tavrinoscope.Camera(1) as second:
        first.select_setting(3)
        second.select_setting(3)  # another bus: the full rate fits
        assert second.info.alternate_setting == 3
        threads = [threading.Thread(target=run, args=(cam, i)) for i, cam in enumerate((first, second))]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    assert errors == []
    for index in (0, 1):
        packets, sizes = counts[index]
        assert packets > 1000 and sizes == {3072}


def test_a_bad_camera_count_is_refused(monkeypatch):
    monkeypatch.setenv("TAVRINOSCOPE_CAMERAS", "33")
    with pytest.raises(tavrinoscope.EmulationError):
        tavrinoscope.Camera(0)
    assert not tavrinoscope.emulation_state().running


def test_an_unplugged_camera_is_removing_then_gone_from_the_list(three_cameras):
    with tavrinoscope.Camera(0):
        with tavrinoscope.Camera(1) as second:
            second.emulation_unplug()
            states = {entry.index: entry.state for entry in tavrinoscope.cameras()}
            assert states == {0: "ready", 1: "removing", 2: "ready"}
        # Its last handle closed, its number is free: the list has a gap.
        assert [entry.index for entry in tavrinoscope.cameras()] == [0, 2]


def test_a_setting_the_bus_has_no_bandwidth_for_is_told(monkeypatch):
    """Two cameras on one bus: beside the first's full-rate stream the
    second's settings 3 and 1 do not fit (NoBandwidthError, a UsbError), its
    setting 0 does, and the first stream loses nothing meanwhile."""
    monkeypatch.setenv("TAVRINOSCOPE_CAMERAS", "2")
    monkeypatch.setenv("TAVRINOSCOPE_CAMERAS_ON_ONE_BUS", "1")
    before = tavrinoscope.emulation_state().violations

    def take(packets, count):
        for _ in range(count):
            assert next(packets).ok

    with tavrinoscope.Camera(0, virtual_time=True) as first, tavrinoscope.Camera(1) as second:
        first.select_setting(3)
        with first.stream(ring_packets=16384) as stream:
            packets = iter(stream)
            take(packets, 200)
            with pytest.raises(tavrinoscope.NoBandwidthError) as caught:
                second.select_setting(3)
            assert isinstance(caught.value, tavrinoscope.UsbError)
            assert caught.value.status == "TVS_ERROR_NO_BANDWIDTH"
            assert caught.value.usb_status.name == "USBD_STATUS_NO_BANDWIDTH"
            assert "bandwidth" in str(caught.value)
            assert second.info.alternate_setting == 0
            take(packets, 200)
            with pytest.raises(tavrinoscope.NoBandwidthError):
                second.select_setting(1)
            second.select_setting(0)
            take(packets, 200)
            assert stream.lost == 0 and stream.failed == 0
        first.select_setting(2)
        second.select_setting(3)
    state = tavrinoscope.emulation_state()
    assert not state.running and state.violations == before
