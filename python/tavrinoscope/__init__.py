"""Tavrinoscope camera SDK for Python: frames as NumPy arrays, isochronous
streams as iterators of packets, every driver request as a method.

>>> import tavrinoscope
>>> with tavrinoscope.Camera(0) as cam:
...     frame = cam.frame()      # numpy.ndarray, shape (480, 640), dtype uint8

The package calls the C library (``libtavrinoscope.so`` on Linux, which runs
the driver in its emulation; ``tavrinoscope.dll`` on Windows) through ctypes;
see ``tavrinoscope._library.candidate_paths`` for where it is found.
"""
from __future__ import annotations

from ._library import LibraryNotFoundError, library
from .camera import (Camera, DeviceInfo, EmulationState, Frame, Packet, PipeInfo, Stream, VendorResult,
                     emulation_state, emulation_wait)
from .errors import (BadFrameError, BadImageError, BufferTooSmallError, BusyError, CancelledError,
                     DeviceGoneError, EmulationError, InvalidArgumentError, IoError, NoBandwidthError, NoMemoryError,
                     NoStreamError, NotFoundError, NotSupportedError, RefusedError, TavrinoscopeError,
                     TransferTimeoutError, UsbError, VerifyError)
from .usb import UsbStatus
from .listing import CameraEntry, cameras

__version__ = "1.1.0"


def library_version() -> str:
    """The version of the C library loaded ("1.1.0")."""
    return library().tvs_version_string().decode()


__all__ = [
    "Camera", "DeviceInfo", "EmulationState", "Frame", "Packet", "PipeInfo", "Stream", "VendorResult",
    "UsbStatus", "emulation_state", "emulation_wait", "library_version", "LibraryNotFoundError",
    "TavrinoscopeError", "InvalidArgumentError", "NotFoundError", "DeviceGoneError", "TransferTimeoutError",
    "UsbError", "RefusedError", "NoMemoryError", "CancelledError", "NoStreamError", "VerifyError",
    "BadImageError", "BadFrameError", "BufferTooSmallError", "NotSupportedError", "EmulationError",
    "IoError", "BusyError", "NoBandwidthError",
    "CameraEntry", "cameras",
]
