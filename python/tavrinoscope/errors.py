"""Exceptions: one class per status of the C library, each carrying the status
name, the driver's own status and, where it says more, the last USB status."""
from __future__ import annotations

from typing import Dict, Optional, Type


class TavrinoscopeError(Exception):
    """A call of the camera SDK failed.

    Attributes:
        status: the SDK status name, such as ``"TVS_ERROR_DEVICE_GONE"``.
        code: the SDK status value (negative).
        driver_status: the NTSTATUS the driver completed the request with
            (0 when the call sent none).
        driver_status_name: its name (``"STATUS_DELETE_PENDING"``), or None.
        usb_status: the camera's last USB status when the call read it, else None.
        hint: the next step, where the SDK knows it (a halted pipe: how to
            clear it), else None.
    """

    def __init__(self, code: int, status: str, message: str, driver_status: int = 0,
                 driver_status_name: Optional[str] = None, usb_status: Optional[int] = None,
                 action: str = "", hint: Optional[str] = None) -> None:
        self.code = code
        self.status = status
        self.message = message
        self.driver_status = driver_status
        self.driver_status_name = driver_status_name
        self.usb_status = usb_status
        self.action = action
        self.hint = hint
        text = f"{action + ': ' if action else ''}{status}: {message}"
        if driver_status:
            text += f" (driver: {driver_status_name or 'NTSTATUS'} 0x{driver_status:08X})"
        if usb_status is not None and usb_status < 0:
            from .usb import UsbStatus

            text += f" (last USB status: {UsbStatus(usb_status).name})"
        if hint:
            text += f"; {hint}"
        super().__init__(text)


class InvalidArgumentError(TavrinoscopeError, ValueError):
    """An argument was refused before anything was sent to the camera."""


class NotFoundError(TavrinoscopeError):
    """No camera with that number is plugged in and started."""


class DeviceGoneError(TavrinoscopeError):
    """The camera was unplugged or removed; close it."""


class TransferTimeoutError(TavrinoscopeError, TimeoutError):
    """The transfer did not finish within the driver's time-out."""


class UsbError(TavrinoscopeError):
    """The request failed on the USB side; ``usb_status`` says how when known."""


class RefusedError(TavrinoscopeError):
    """The driver refused the request for the camera's current state
    (no such pipe in the selected setting, wrong pipe type, size too large)."""


class NoMemoryError(TavrinoscopeError, MemoryError):
    """Memory ran out in the driver or the library."""


class CancelledError(TavrinoscopeError):
    """The request was cancelled (a pipe abort or a removal)."""


class NoStreamError(TavrinoscopeError):
    """No stream is running (never started, stopped, or ended because its requests failed)."""


class VerifyError(TavrinoscopeError):
    """The camera's memory read back differs from what was written."""


class BadImageError(TavrinoscopeError, ValueError):
    """The memory image is malformed or reaches beyond the camera's 64 KiB."""


class BadFrameError(TavrinoscopeError):
    """The camera sent no frame, or not one in its framed format."""


class BufferTooSmallError(TavrinoscopeError):
    """The buffer is too small for what came."""


class NotSupportedError(TavrinoscopeError):
    """Not available in this build of the library or on this camera."""


class EmulationError(TavrinoscopeError):
    """The emulated machine could not start or plug the camera (Linux)."""


class IoError(TavrinoscopeError, OSError):
    """A file could not be read or written."""


class BusyError(TavrinoscopeError):
    """The camera is busy with another request that runs one at a time (a
    segmented transfer); nothing was sent. Try again."""


class NoBandwidthError(UsbError):
    """The USB controller refused a setting: its periodic (isochronous,
    interrupt) bandwidth does not fit beside what other devices on that
    controller hold. The camera keeps its setting; select one that moves
    less, or plug the camera into another controller."""


_BY_NAME: Dict[str, Type[TavrinoscopeError]] = {
    "TVS_ERROR_INVALID_ARGUMENT": InvalidArgumentError,
    "TVS_ERROR_NOT_FOUND": NotFoundError,
    "TVS_ERROR_DEVICE_GONE": DeviceGoneError,
    "TVS_ERROR_TIMEOUT": TransferTimeoutError,
    "TVS_ERROR_USB": UsbError,
    "TVS_ERROR_REFUSED": RefusedError,
    "TVS_ERROR_NO_MEMORY": NoMemoryError,
    "TVS_ERROR_CANCELLED": CancelledError,
    "TVS_ERROR_NO_STREAM": NoStreamError,
    "TVS_ERROR_VERIFY": VerifyError,
    "TVS_ERROR_BAD_IMAGE": BadImageError,
    "TVS_ERROR_BAD_FRAME": BadFrameError,
    "TVS_ERROR_BUFFER_TOO_SMALL": BufferTooSmallError,
    "TVS_ERROR_NOT_SUPPORTED": NotSupportedError,
    "TVS_ERROR_EMULATION": EmulationError,
    "TVS_ERROR_IO": IoError,
    "TVS_ERROR_BUSY": BusyError,
    "TVS_ERROR_NO_BANDWIDTH": NoBandwidthError,
}


def error_class(status_name: str) -> Type[TavrinoscopeError]:
    """The exception class raised for an SDK status name."""
    return _BY_NAME.get(status_name, TavrinoscopeError)


def invalid(message: str, action: str = "") -> InvalidArgumentError:
    """An argument error found in Python, before the C library is called."""
    return InvalidArgumentError(-1, "TVS_ERROR_INVALID_ARGUMENT", message, action=action)
