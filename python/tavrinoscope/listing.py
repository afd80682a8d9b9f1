"""The cameras present: ``tavrinoscope.cameras()``.

>>> import tavrinoscope
>>> for entry in tavrinoscope.cameras():
...     print(entry.index, entry.serial_number, entry.state)
0 TVS-000001 ready

Each entry's ``index`` is the number ``Camera(index)`` opens. On Linux the
emulated machine plugs ``$TAVRINOSCOPE_CAMERAS`` cameras (default 1), each on
a USB bus of its own.
"""
from __future__ import annotations

import ctypes
from dataclasses import dataclass
from typing import List

from . import _library as native
from .camera import _check

_STATES = {1: "ready", 2: "not started", 3: "removing"}


class _CameraEntryStruct(ctypes.Structure):
    _fields_ = [("index", ctypes.c_uint32), ("state", ctypes.c_uint32), ("vendor_id", ctypes.c_uint16),
                ("product_id", ctypes.c_uint16), ("reserved", ctypes.c_uint32),
                ("serial_number", ctypes.c_char * 128)]


@dataclass(frozen=True)
class CameraEntry:
    """One camera present: its number, USB identity and state ("ready":
    it opens; "not started"; "removing": unplugged, handles still open)."""
    index: int
    state: str
    vendor_id: int
    product_id: int
    serial_number: str


def cameras() -> List[CameraEntry]:
    """Every camera present, in the order of their numbers. Each is opened
    for a moment; handles the program holds stay as they are."""
    lib = native.library()
    function = lib.tvs_list_cameras
    function.restype = ctypes.c_int32
    function.argtypes = [ctypes.POINTER(_CameraEntryStruct), ctypes.c_uint32, ctypes.POINTER(ctypes.c_uint32)]
    entries = (_CameraEntryStruct * 32)()
    count = ctypes.c_uint32(0)
    _check(function(entries, 32, ctypes.byref(count)), "cameras")
    return [CameraEntry(e.index, _STATES.get(e.state, "unknown"), e.vendor_id, e.product_id,
                        e.serial_number.decode("utf-8", "replace"))
            for e in entries[:min(count.value, 32)]]
