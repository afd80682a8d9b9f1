"""USB status values as the driver reports them."""
from __future__ import annotations


class UsbStatus(int):
    """A USBD_STATUS value (signed 32-bit; negative on failure).

    ``name`` is its symbolic name (``"USBD_STATUS_STALL_PID"``); ``failed`` is
    True for a failure. The driver records the last failure per camera and
    never clears it, so a value may come from an earlier request.
    """

    def __new__(cls, value: int) -> "UsbStatus":
        value = int(value) & 0xFFFFFFFF
        if value >= 0x80000000:
            value -= 0x100000000
        return super().__new__(cls, value)

    @property
    def failed(self) -> bool:
        return self < 0

    @property
    def name(self) -> str:
        from ._library import library

        known = library().tvs_usb_status_name(int(self))
        return known.decode() if known else f"USBD_STATUS 0x{int(self) & 0xFFFFFFFF:08X}"

    def __repr__(self) -> str:
        return f"UsbStatus({self.name})"
