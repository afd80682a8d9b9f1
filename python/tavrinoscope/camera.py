"""The camera: opening, information, frames, transfers, streams and requests."""
from __future__ import annotations

import ctypes
import time
import warnings
from dataclasses import dataclass, field
from pathlib import Path
from typing import Iterator, List, Optional, Union

import numpy as np

from . import _library as native
from .errors import BufferTooSmallError, TavrinoscopeError, error_class, invalid
from .usb import UsbStatus

PIPE_CONTROL, PIPE_ISOCHRONOUS, PIPE_BULK, PIPE_INTERRUPT = 0, 1, 2, 3
_PIPE_TYPES = {0: "control", 1: "isochronous", 2: "bulk", 3: "interrupt"}
_SPEEDS = {0: "unknown", 1: "full", 2: "high"}
_U32 = 0xFFFFFFFF
_FRAME_PIPE = 2


def _error(status: int, action: str, usb_status: Optional[int] = None, hint: Optional[str] = None,
           driver: Optional[int] = None) -> TavrinoscopeError:
    """The exception of a failed C call, with this thread's driver status
    (or the one given, read before later calls)."""
    lib = native.library()
    if driver is None:
        driver = lib.tvs_last_driver_status()
    name = lib.tvs_status_name(status).decode()
    driver_name = lib.tvs_driver_status_name(driver)
    return error_class(name)(status, name, lib.tvs_status_message(status).decode(), driver,
                             driver_name.decode() if driver_name else None,
                             None if usb_status is None else UsbStatus(usb_status), action, hint)


def _check(status: int, action: str, usb_status: Optional[int] = None) -> None:
    """Raises the exception of a failed C call."""
    if status != 0:
        raise _error(status, action, usb_status)


def _unsigned(value: object, bits: int, what: str, action: str) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise invalid(f"{what} must be an integer, not {type(value).__name__}", action)
    if not 0 <= int(value) < (1 << bits):
        raise invalid(f"{what} must be 0 to {(1 << bits) - 1}, not {value}", action)
    return int(value)


def _positive(value: object, bits: int, what: str, action: str) -> int:
    number = _unsigned(value, bits, what, action)
    if number == 0:
        raise invalid(f"{what} must be at least 1", action)
    return number


def _data(data: object, action: str) -> bytes:
    if isinstance(data, (bytes, bytearray, memoryview)):
        return bytes(data)
    if isinstance(data, np.ndarray):
        return data.tobytes()
    raise invalid(f"data must be bytes-like, not {type(data).__name__}", action)


@dataclass(frozen=True)
class PipeInfo:
    """One pipe of the selected setting."""

    index: int
    endpoint_address: int
    type: str  # "bulk", "interrupt", "isochronous" or "control"
    interval: int
    max_packet_size: int
    max_transfer_size: int

    @property
    def is_in(self) -> bool:
        """True for a device-to-host pipe."""
        return bool(self.endpoint_address & 0x80)


@dataclass(frozen=True)
class DeviceInfo:
    """The camera as the driver describes it."""

    vendor_id: int
    product_id: int
    bcd_device: int
    bcd_usb: int
    device_class: int
    speed: str  # "high", "full" or "unknown", inferred from the packet sizes
    manufacturer: str
    product: str
    serial_number: str
    interface_number: int
    alternate_setting: int
    setting_count: int
    driver_version: str
    pipes: List[PipeInfo] = field(default_factory=list)


@dataclass(frozen=True)
class Frame:
    """One captured frame: ``pixels`` of shape (height, width), dtype uint8.

    The first 8 bytes of the first row are the camera's header (counter,
    width, height) in place of pixels."""

    pixels: np.ndarray
    counter: int

    @property
    def width(self) -> int:
        return int(self.pixels.shape[1])

    @property
    def height(self) -> int:
        return int(self.pixels.shape[0])

    def save(self, path: Union[str, Path]) -> None:
        """Writes the frame as a PNG file (8-bit grey), with the system's own
        encoder through the C library (``tvs_save_png``). The path must end
        in ``.png``; IoError when the file cannot be written."""
        _save_png(path, self.pixels, "save")


@dataclass(frozen=True)
class Packet:
    """One isochronous packet: its payload and its USB status (0 when it arrived)."""

    payload: bytes
    status: UsbStatus

    @property
    def ok(self) -> bool:
        return self.status == 0


@dataclass(frozen=True)
class VendorResult:
    """What a device-to-host vendor request brought back.

    The driver reports such requests as done whatever the camera answered:
    look at ``usb_status`` (negative: a failure was recorded; compare with
    the value before when one was already there)."""

    data: bytes
    usb_status: UsbStatus


@dataclass(frozen=True)
class EmulationState:
    """The Linux library's emulated machine: whether it runs, the handles
    open, and the driver faults (leaks included) its verifier recorded in
    every machine shut down so far in this process."""

    running: bool
    open_cameras: int
    violations: int


def _save_png(path: Union[str, Path], pixels: np.ndarray, action: str) -> None:
    if not isinstance(path, (str, Path)):
        raise invalid(f"path must be a str or Path, not {type(path).__name__}", action)
    if Path(path).suffix.lower() != ".png":
        raise invalid(f"{path} does not end in .png: only PNG is written", action)
    if not isinstance(pixels, np.ndarray) or pixels.ndim != 2 or pixels.dtype != np.uint8 or pixels.size == 0:
        raise invalid("pixels must be a non-empty 2-dimensional numpy.ndarray of uint8", action)
    image = np.ascontiguousarray(pixels)
    height, width = image.shape
    _check(native.library().tvs_save_png(str(path).encode(), image.ctypes.data, width, height), action)


def emulation_state() -> EmulationState:
    """The emulated machine's state (Linux build only; NotSupportedError elsewhere)."""
    state = native.EmulationStateStruct()
    _check(native.library().tvs_emulation_get_state(ctypes.byref(state)), "emulation state")
    return EmulationState(bool(state.running), int(state.open_cameras), int(state.violations))


def emulation_wait(milliseconds: int) -> None:
    """Waits ``milliseconds`` of the emulated machine's time (Linux build
    only). Under virtual time (``Camera(virtual_time=True)`` or
    ``TAVRINOSCOPE_VIRTUAL_TIME=1``) the camera's time moves only while every
    thread that has used the library waits in it: a thread that would sleep
    or join another thread that needs the camera calls this instead."""
    action = "emulation_wait"
    _check(native.library().tvs_emulation_wait(_unsigned(milliseconds, 32, "milliseconds", action)), action)


class Camera:
    """An open camera.

    >>> with Camera(0) as cam:
    ...     frame = cam.frame()   # numpy.ndarray, shape (480, 640), dtype uint8

    Calls may be made from several threads at once; ``close`` only when no
    other thread uses the camera. On Linux the first camera opened in a
    process starts the emulated machine (with ``camera_profile``, else the
    profile named by ``TAVRINOSCOPE_CAMERA``, else the reference camera) and
    the last one closed stops it. With ``virtual_time`` (or
    ``TAVRINOSCOPE_VIRTUAL_TIME=1``) the machine that open starts runs on
    virtual bus time, for tests whose results must not depend on the
    machine's speed (see ``emulation_wait``).
    """

    def __init__(self, index: int = 0, *, camera_profile: Union[str, Path, None] = None,
                 virtual_time: bool = False) -> None:
        self._handle: Optional[ctypes.c_void_p] = None
        action = f"open camera {index}"
        index = _unsigned(index, 5, "index", action)  # 0 to 31
        lib = native.library()
        options = native.OpenOptions()
        if camera_profile is not None:
            options.camera_profile = str(camera_profile).encode()
        if virtual_time:
            options.flags |= native.OPEN_VIRTUAL_TIME
        handle = ctypes.c_void_p()
        _check(lib.tvs_open_ex(index, ctypes.byref(options), ctypes.byref(handle)), action)
        self._lib = lib
        self._handle = handle
        self.index = index
        self._frame_capacity = 640 * 480 + 512

    # ---- Life --------------------------------------------------------------

    def close(self) -> None:
        """Closes the camera (a stream still running is stopped). Idempotent."""
        if self._handle is not None:
            handle, self._handle = self._handle, None
            self._lib.tvs_close(handle)

    def __enter__(self) -> "Camera":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass

    @property
    def closed(self) -> bool:
        return self._handle is None

    def _h(self, action: str) -> ctypes.c_void_p:
        if self._handle is None:
            raise invalid("the camera is closed", action)
        return self._handle

    def _check_pipe(self, status: int, action: str, pipe: int) -> None:
        """Raises the exception of a failed transfer on a pipe. A USB error
        carries the camera's last USB status, and says how to clear the halt
        it leaves on the pipe (nothing clears it by itself: a reset is a
        request of its own, which the program decides on)."""
        if status == 0:
            return
        driver = self._lib.tvs_last_driver_status()
        usb: Optional[int] = None
        hint: Optional[str] = None
        if self._lib.tvs_status_name(status) == b"TVS_ERROR_USB" and self._handle is not None:
            value = ctypes.c_int32()
            if self._lib.tvs_get_last_usb_status(self._handle, ctypes.byref(value)) == 0:
                usb = value.value
            hint = (f"a USB error halts pipe {pipe} until it is reset: call reset_pipe({pipe}) "
                    "before its next transfer")
        raise _error(status, action, usb, hint, driver)

    # ---- Information -----------------------------------------------------

    @property
    def info(self) -> DeviceInfo:
        """Descriptors, strings, the selected setting with its pipes, the driver's version."""
        raw = native.DeviceInfoStruct()
        _check(self._lib.tvs_get_device_info(self._h("info"), ctypes.byref(raw)), "info")
        pipes = [PipeInfo(p.index, p.endpoint_address, _PIPE_TYPES.get(p.type, str(p.type)), p.interval,
                          p.max_packet_size, p.max_transfer_size) for p in raw.pipes[:raw.pipe_count]]
        return DeviceInfo(raw.vendor_id, raw.product_id, raw.bcd_device, raw.bcd_usb, raw.device_class,
                          _SPEEDS.get(raw.speed, "unknown"), raw.manufacturer.decode(errors="replace"),
                          raw.product.decode(errors="replace"), raw.serial_number.decode(errors="replace"),
                          raw.interface_number, raw.alternate_setting, raw.setting_count,
                          f"{raw.driver_version >> 16}.{raw.driver_version & 0xFFFF}", pipes)

    @property
    def last_usb_status(self) -> UsbStatus:
        """The last USB-level failure the driver recorded (never cleared; 0 when none yet)."""
        value = ctypes.c_int32()
        _check(self._lib.tvs_get_last_usb_status(self._h("last USB status"), ctypes.byref(value)),
               "last USB status")
        return UsbStatus(value.value)

    @property
    def frame_number(self) -> int:
        """The bus's current frame number."""
        value = ctypes.c_uint32()
        _check(self._lib.tvs_get_frame_number(self._h("frame number"), ctypes.byref(value)), "frame number")
        return int(value.value)

    @property
    def request_count(self) -> int:
        """Requests this camera handle has sent to the driver (diagnostics)."""
        return int(self._lib.tvs_request_count(self._h("request count")))

    def set_timeout(self, milliseconds: int) -> None:
        """Sets the driver's transfer time-out. It is one value for the whole
        driver: it applies to every camera."""
        action = "set_timeout"
        _positive(milliseconds, 31, "milliseconds", action)
        _check(self._lib.tvs_set_timeout(self._h(action), int(milliseconds)), action)

    # ---- Frames ------------------------------------------------------------

    def capture(self) -> Frame:
        """Captures one frame over the frame pipe (pipe 2 of setting 0)."""
        action = "capture"
        handle = self._h(action)
        for _ in range(2):
            buffer = np.empty(self._frame_capacity, dtype=np.uint8)
            info = native.FrameInfoStruct()
            status = self._lib.tvs_capture_frame(handle, buffer.ctypes.data, buffer.nbytes, ctypes.byref(info))
            if status == 0:
                size = info.width * info.height
                return Frame(buffer[:size].reshape(info.height, info.width), int(info.counter))
            if self._lib.tvs_status_name(status) == b"TVS_ERROR_BUFFER_TOO_SMALL" and info.width:
                # The frame is larger than guessed: the library said its size.
                self._frame_capacity = info.width * info.height + 512
                continue
            self._check_pipe(status, action, _FRAME_PIPE)
        raise BufferTooSmallError(-13, "TVS_ERROR_BUFFER_TOO_SMALL", "the frame outgrew its buffer twice",
                                  action=action)

    def frame(self) -> np.ndarray:
        """Captures one frame: a numpy.ndarray of shape (height, width), dtype uint8."""
        return self.capture().pixels

    def save_png(self, path: Union[str, Path]) -> Frame:
        """Captures one frame and writes it as a PNG file (see Frame.save);
        returns the frame."""
        frame = self.capture()
        _save_png(path, frame.pixels, "save_png")
        return frame

    # ---- Bulk and interrupt transfers ---------------------------------------

    def bulk_read(self, pipe: int, length: int, *, segmented: bool = False) -> bytes:
        """Reads up to ``length`` bytes from a bulk or interrupt pipe in one
        transfer (or, with ``segmented``, in 64 KiB segments all in flight)."""
        action = f"bulk_read pipe {pipe}"
        pipe = _unsigned(pipe, 32, "pipe", action)
        length = _unsigned(length, 32, "length", action)
        buffer = ctypes.create_string_buffer(max(length, 1))
        moved = ctypes.c_uint32()
        function = self._lib.tvs_bulk_read_segmented if segmented else self._lib.tvs_bulk_read
        self._check_pipe(function(self._h(action), pipe, buffer, length, ctypes.byref(moved)), action, pipe)
        return buffer.raw[:moved.value]

    def bulk_write(self, pipe: int, data: bytes, *, segmented: bool = False) -> int:
        """Writes ``data`` to a bulk or interrupt pipe; returns the bytes moved."""
        action = f"bulk_write pipe {pipe}"
        pipe = _unsigned(pipe, 32, "pipe", action)
        payload = _data(data, action)
        _unsigned(len(payload), 32, "data length", action)
        moved = ctypes.c_uint32()
        function = self._lib.tvs_bulk_write_segmented if segmented else self._lib.tvs_bulk_write
        self._check_pipe(function(self._h(action), pipe, payload, len(payload), ctypes.byref(moved)), action, pipe)
        return int(moved.value)

    # ---- Isochronous transfers and streams ----------------------------------

    def _iso_config(self, action: str, pipe: Optional[int], packet_size: Optional[int],
                    packets_per_request: int, slots: int, ring_packets: int) -> native.IsoConfigStruct:
        packets_per_request = _positive(packets_per_request, 32, "packets_per_request", action)
        slots = _positive(slots, 32, "slots", action)
        ring_packets = _positive(ring_packets, 32, "ring_packets", action)
        if pipe is None or packet_size is None:
            found = [p for p in self.info.pipes if p.type == "isochronous" and p.is_in]
            chosen = [p for p in found if pipe is None or p.index == pipe]
            if not chosen:
                raise invalid("the selected setting has no isochronous IN pipe"
                              f"{'' if pipe is None else f' {pipe}'}; select one with select_setting()", action)
            pipe = chosen[0].index if pipe is None else pipe
            packet_size = chosen[0].max_packet_size if packet_size is None else packet_size
        config = native.IsoConfigStruct()
        config.pipe = _unsigned(pipe, 32, "pipe", action)
        config.packet_size = _positive(packet_size, 32, "packet_size", action)
        config.packets_per_request = packets_per_request
        config.slot_count = slots
        config.ring_packets = ring_packets
        return config

    def iso_read(self, packets: int, pipe: Optional[int] = None, *, packet_size: Optional[int] = None,
                 packets_per_request: int = 16, slots: int = 4) -> List[Packet]:
        """Reads a fixed number of isochronous packets. ``pipe`` and
        ``packet_size`` default to the selected setting's first isochronous
        IN pipe and its packet size."""
        action = "iso_read"
        packets = _positive(packets, 32, "packets", action)
        config = self._iso_config(action, pipe, packet_size, packets_per_request, slots, 1)
        size = self._lib.tvs_iso_buffer_size(config.packet_size, packets)
        if size == 0:
            raise invalid("packets x packet_size is more than one request may carry", action)
        buffer = np.empty(size, dtype=np.uint8)
        info = (native.IsoPacketStruct * packets)()
        _check(self._lib.tvs_iso_read(self._h(action), ctypes.byref(config), packets, buffer.ctypes.data, size,
                                      info), action)
        view = memoryview(buffer)
        return [Packet(bytes(view[p.offset:p.offset + p.length]), UsbStatus(p.status)) for p in info]

    def stream(self, pipe: Optional[int] = None, *, packet_size: Optional[int] = None,
               packets_per_request: int = 16, slots: int = 8, ring_packets: int = 8192,
               seconds: Optional[float] = None, packets: Optional[int] = None) -> "Stream":
        """Starts a continuous isochronous stream and returns it: an iterator
        of :class:`Packet` that ends after ``seconds`` or ``packets`` (when
        given), with the count of lost packets in ``stream.lost``.

        ``pipe`` and ``packet_size`` default to the selected setting's first
        isochronous IN pipe (select one first: ``select_setting(1)`` or ``(3)``
        on the reference camera). The driver keeps ``slots`` requests of
        ``packets_per_request`` packets in flight and collects up to
        ``ring_packets`` packets; when they are not read in time, whole
        requests are dropped and counted as lost. Use it as a context manager
        so the stream stops however the loop ends."""
        action = "stream"
        if seconds is not None and not seconds > 0:
            raise invalid("seconds must be more than 0", action)
        if packets is not None:
            _positive(packets, 63, "packets", action)
        config = self._iso_config(action, pipe, packet_size, packets_per_request, slots, ring_packets)
        return Stream(self, config, seconds, packets)

    # ---- Requests to the camera -----------------------------------------------

    def vendor_read(self, request: int, value: int = 0, index: int = 0, length: int = 0) -> VendorResult:
        """Vendor request, device to host.

        The driver REPORTS SUCCESS WHATEVER THE CAMERA ANSWERED: the result
        carries the last USB status read right after the request; check it."""
        action = f"vendor_read 0x{request:02x}" if isinstance(request, int) else "vendor_read"
        request = _unsigned(request, 8, "request", action)
        value = _unsigned(value, 16, "value", action)
        index = _unsigned(index, 16, "index", action)
        length = _unsigned(length, 16, "length", action)
        buffer = ctypes.create_string_buffer(max(length, 1))
        received = ctypes.c_uint16()
        usb = ctypes.c_int32()
        _check(self._lib.tvs_vendor_read(self._h(action), request, value, index, buffer, length,
                                         ctypes.byref(received), ctypes.byref(usb)), action, usb.value)
        return VendorResult(buffer.raw[:received.value], UsbStatus(usb.value))

    def vendor_write(self, request: int, value: int = 0, index: int = 0, data: bytes = b"") -> UsbStatus:
        """Vendor request, host to device, with at most one data byte (the
        driver's vendor request carries no more; use control_transfer).

        The driver REPORTS SUCCESS WHATEVER THE CAMERA ANSWERED: the returned
        last USB status is the only sign of a refusal; check it."""
        action = f"vendor_write 0x{request:02x}" if isinstance(request, int) else "vendor_write"
        request = _unsigned(request, 8, "request", action)
        value = _unsigned(value, 16, "value", action)
        index = _unsigned(index, 16, "index", action)
        payload = _data(data, action)
        if len(payload) > 1:
            raise invalid("a vendor write carries at most one byte; use control_transfer", action)
        usb = ctypes.c_int32()
        _check(self._lib.tvs_vendor_write(self._h(action), request, value, index, payload or None, len(payload),
                                          ctypes.byref(usb)), action, usb.value)
        return UsbStatus(usb.value)

    def control_transfer(self, request: int, value: int = 0, index: int = 0, *, device_to_host: bool,
                         type: str = "vendor", recipient: str = "device",
                         data: bytes = b"", length: int = 0) -> bytes:
        """A class or vendor request to any recipient. Device to host: up to
        ``length`` bytes come back; host to device: ``data`` is sent. Its
        outcome is the request's own."""
        action = f"control_transfer 0x{request:02x}" if isinstance(request, int) else "control_transfer"
        types = {"class": 1, "vendor": 2}
        recipients = {"device": 0, "interface": 1, "endpoint": 2, "other": 3}
        if type not in types:
            raise invalid(f"type must be one of {sorted(types)}, not {type!r}", action)
        if recipient not in recipients:
            raise invalid(f"recipient must be one of {sorted(recipients)}, not {recipient!r}", action)
        request = _unsigned(request, 8, "request", action)
        value = _unsigned(value, 16, "value", action)
        index = _unsigned(index, 16, "index", action)
        if device_to_host:
            size = _unsigned(length, 32, "length", action)
            buffer = ctypes.create_string_buffer(max(size, 1))
        else:
            payload = _data(data, action)
            size = len(payload)
            buffer = ctypes.create_string_buffer(payload, max(size, 1))
        moved = ctypes.c_uint32()
        _check(self._lib.tvs_control_transfer(self._h(action), 1 if device_to_host else 0, types[type],
                                              recipients[recipient], request, value, index, buffer, size,
                                              ctypes.byref(moved)), action)
        return buffer.raw[:moved.value] if device_to_host else b""

    def set_feature(self, selector: int, index: int = 0) -> UsbStatus:
        """SET_FEATURE to the device.

        The driver ALWAYS REPORTS FAILURE for this request, whatever the
        camera answered, so this method does not raise for that reported
        failure (other errors, such as a camera gone, do raise). It returns
        the last USB status afterwards, the only sign of the outcome."""
        action = "set_feature"
        selector = _unsigned(selector, 16, "selector", action)
        index = _unsigned(index, 16, "index", action)
        usb = ctypes.c_int32()
        status = self._lib.tvs_set_feature(self._h(action), selector, index, ctypes.byref(usb))
        if self._lib.tvs_status_name(status) != b"TVS_ERROR_USB":
            _check(status, action, usb.value)
        return UsbStatus(usb.value)

    def load_memory(self, data: bytes, address: int = 0, *, verify: bool = True) -> UsbStatus:
        """Writes ``data`` into the camera's 64 KiB memory at ``address``
        (vendor request 0xA0) and, with ``verify``, reads it back
        (VerifyError on a difference).

        The driver's memory-load code reports success whatever the camera
        answered, so the library sends the load as control requests, whose
        status is their own: UsbError when the camera refused this load,
        whatever the last USB status held before. Returns the last USB
        status afterwards (on success it may hold an earlier failure)."""
        action = "load_memory"
        payload = _data(data, action)
        address = _unsigned(address, 16, "address", action)
        if address + len(payload) > 0x10000:
            raise invalid(f"{len(payload)} bytes at 0x{address:04x} reach beyond the camera's 64 KiB", action)
        usb = ctypes.c_int32()
        _check(self._lib.tvs_load_memory(self._h(action), address, payload, len(payload), 1 if verify else 0,
                                         ctypes.byref(usb)), action, usb.value)
        return UsbStatus(usb.value)

    def load_hex(self, hex_file: Union[str, Path, bytes], *, verify: bool = True) -> UsbStatus:
        """Loads an Intel HEX image (a path, or the text as bytes) into the
        camera's memory, as load_memory does for each run of bytes: the same
        outcome applies (UsbError when the camera refused the load; with
        ``verify``, the memory read back)."""
        action = "load_hex"
        if isinstance(hex_file, (bytes, bytearray)):
            text = bytes(hex_file)
        elif isinstance(hex_file, (str, Path)):
            try:
                text = Path(hex_file).read_bytes()
            except OSError as error:
                raise invalid(f"cannot read {hex_file}: {error.strerror}", action) from error
        else:
            raise invalid(f"hex_file must be a path or bytes, not {type(hex_file).__name__}", action)
        usb = ctypes.c_int32()
        _check(self._lib.tvs_load_hex(self._h(action), text, len(text), 1 if verify else 0, ctypes.byref(usb)),
               action, usb.value)
        return UsbStatus(usb.value)

    # ---- Interface, pipes and port --------------------------------------------

    def select_setting(self, alternate_setting: int, interface: int = 0) -> UsbStatus:
        """Selects an alternate setting; pipe numbers then refer to its pipes.

        The driver REPORTS SUCCESS WHATEVER THE CAMERA ANSWERED; the library
        reads the setting back and raises RefusedError when it is not the one
        asked for, NoBandwidthError (a UsbError) when the USB controller had
        not the bandwidth for it (another device holds it). Returns the last
        USB status afterwards."""
        action = f"select_setting {alternate_setting}"
        alternate_setting = _unsigned(alternate_setting, 8, "alternate_setting", action)
        interface = _unsigned(interface, 8, "interface", action)
        usb = ctypes.c_int32()
        _check(self._lib.tvs_select_setting(self._h(action), interface, alternate_setting, ctypes.byref(usb)),
               action, usb.value)
        return UsbStatus(usb.value)

    def reset_pipe(self, pipe: int) -> None:
        """Clears a halted pipe; its outcome is the request's own."""
        action = f"reset_pipe {pipe}"
        _check(self._lib.tvs_reset_pipe(self._h(action), _unsigned(pipe, 32, "pipe", action)), action)

    def abort_pipe(self, pipe: int) -> UsbStatus:
        """Cancels every transfer in flight on a pipe.

        The driver REPORTS SUCCESS WHATEVER THE ABORT DID: the returned last
        USB status is the only sign of a failure; check it."""
        action = f"abort_pipe {pipe}"
        usb = ctypes.c_int32()
        _check(self._lib.tvs_abort_pipe(self._h(action), _unsigned(pipe, 32, "pipe", action), ctypes.byref(usb)),
               action, usb.value)
        return UsbStatus(usb.value)

    def reset_port(self) -> UsbStatus:
        """Resets the camera's USB port.

        The driver REPORTS SUCCESS WHATEVER HAPPENED: the returned last USB
        status is the only sign of a failure; check it."""
        action = "reset_port"
        usb = ctypes.c_int32()
        _check(self._lib.tvs_reset_port(self._h(action), ctypes.byref(usb)), action, usb.value)
        return UsbStatus(usb.value)

    # ---- Emulation --------------------------------------------------------------

    def emulation_unplug(self) -> None:
        """Pulls the camera out of the emulated bus, as a user pulls the cable
        (Linux build only). Later requests raise DeviceGoneError; the camera
        still has to be closed."""
        _check(self._lib.tvs_emulation_unplug(self._h("unplug")), "unplug")

    def emulation_fail_next(self, endpoint: int, count: int = 1, usb_status: Optional[int] = None) -> None:
        """Makes the next ``count`` requests that reach ``endpoint`` (0: the
        control pipe, which carries vendor requests, memory loads and
        selections; 0x82: the frame pipe) fail on the emulated bus with
        ``usb_status``, a negative USBD_STATUS (Linux build only): to see how
        a program handles a camera that refuses. The arguments come in the
        C call's order (``tvs_emulation_fail_next``).

        The earlier order ``(endpoint, usb_status)`` with ``count`` by
        keyword still works: a failure status given as the second argument
        without a third is taken as ``usb_status`` (DeprecationWarning)."""
        action = "emulation_fail_next"
        if usb_status is None:
            if isinstance(count, int) and not isinstance(count, bool) and UsbStatus(count).failed:
                warnings.warn("emulation_fail_next(endpoint, usb_status) is the old order; "
                              "use emulation_fail_next(endpoint, count, usb_status)", DeprecationWarning,
                              stacklevel=2)
                count, usb_status = 1, count
            else:
                raise invalid("usb_status is missing: emulation_fail_next(endpoint, count, usb_status)", action)
        endpoint = _unsigned(endpoint, 8, "endpoint", action)
        count = _positive(count, 32, "count", action)
        status = UsbStatus(usb_status)
        if not status.failed:
            raise invalid("usb_status must be a failure (negative) status", action)
        _check(self._lib.tvs_emulation_fail_next(self._h(action), endpoint, count, int(status)), action)


class Stream:
    """A running isochronous stream: iterate over it for :class:`Packet` s.

    ``lost`` counts packets missing between those read (from the camera's
    sequence numbers; None when the camera does not number its packets),
    ``failed`` those that arrived with a failure status, ``packets`` all read.
    A read failure raises (DeviceGoneError when the camera went away,
    NoStreamError when the stream ended) and stops the stream."""

    _READ_PACKETS = 1024

    def __init__(self, camera: Camera, config: native.IsoConfigStruct, seconds: Optional[float],
                 packets: Optional[int]) -> None:
        self._camera = camera
        self._lib = camera._lib
        self.packet_size = int(config.packet_size)
        self.pipe = int(config.pipe)
        self._seconds = seconds
        self._limit = packets
        read = min(self._READ_PACKETS, int(config.ring_packets))
        self._read_packets = read
        self._size = self._lib.tvs_iso_buffer_size(self.packet_size, read)
        self._buffer = np.empty(self._size, dtype=np.uint8)
        self._info = (native.IsoPacketStruct * read)()
        _check(self._lib.tvs_stream_start(camera._h("stream"), ctypes.byref(config)), "stream start")
        self._running = True
        self._started = time.monotonic()

    def __enter__(self) -> "Stream":
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()

    def stop(self) -> None:
        """Asks the driver to stop the stream (idempotent; a camera gone meanwhile is not an error)."""
        if self._running:
            self._running = False
            if not self._camera.closed:
                status = self._lib.tvs_stream_stop(self._camera._handle)
                name = self._lib.tvs_status_name(status)
                if status != 0 and name != b"TVS_ERROR_DEVICE_GONE":
                    _check(status, "stream stop")

    def _stats(self) -> native.StreamStatsStruct:
        stats = native.StreamStatsStruct()
        _check(self._lib.tvs_stream_get_stats(self._camera._h("stream stats"), ctypes.byref(stats)), "stream stats")
        return stats

    @property
    def packets(self) -> int:
        """Packets read so far."""
        return int(self._stats().packets)

    @property
    def failed(self) -> int:
        """Packets read with a failure status."""
        return int(self._stats().failed)

    @property
    def lost(self) -> Optional[int]:
        """Packets missing between those read, or None when the camera does not number its packets."""
        stats = self._stats()
        return int(stats.lost) if stats.sequenced else None

    @property
    def elapsed(self) -> float:
        """Seconds since the stream started."""
        return time.monotonic() - self._started

    def __iter__(self) -> Iterator[Packet]:
        handle = self._camera._h("stream")
        taken = 0
        count = ctypes.c_uint32()
        view = memoryview(self._buffer)
        try:
            while self._running:
                if self._seconds is not None and self.elapsed >= self._seconds:
                    break
                want = self._read_packets
                if self._limit is not None:
                    if taken >= self._limit:
                        break
                    want = min(want, self._limit - taken)
                wait_ms = 100
                if self._seconds is not None:
                    wait_ms = max(1, min(wait_ms, int((self._seconds - self.elapsed) * 1000)))
                status = self._lib.tvs_stream_read_wait(handle, want, self._buffer.ctypes.data, self._size,
                                                        self._info, ctypes.byref(count), wait_ms)
                if self._lib.tvs_status_name(status) == b"TVS_ERROR_TIMEOUT":
                    continue  # nothing within the wait: look at the bounds again
                if status != 0:
                    error = _error(status, "stream read")
                    try:
                        self.stop()
                    except TavrinoscopeError:
                        pass
                    raise error
                if count.value == 0:
                    continue
                for p in self._info[:count.value]:
                    yield Packet(bytes(view[p.offset:p.offset + p.length]), UsbStatus(p.status))
                taken += count.value
        finally:
            if self._running:
                try:
                    self.stop()
                except TavrinoscopeError:
                    pass
