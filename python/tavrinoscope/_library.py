"""Finding and loading the C library, and its function prototypes (ctypes).

The same pure-Python code serves both builds of the library:
``libtavrinoscope.so`` on Linux (the driver in the emulation) and
``tavrinoscope.dll`` on Windows (the installed driver).
"""
from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
import threading
from pathlib import Path
from typing import List, Optional

LIBRARY_ENVIRONMENT = "TAVRINOSCOPE_LIBRARY"

if sys.platform == "win32":
    _FILE_NAMES = ["tavrinoscope.dll"]
    _BUILD_DIRS = [Path("build") / "windows" / "bin"]
else:
    _FILE_NAMES = ["libtavrinoscope.so", "libtavrinoscope.so.1"]
    _BUILD_DIRS = [Path("build") / "lib"]


class LibraryNotFoundError(OSError):
    """The C library could not be found or loaded; the message lists where it was sought."""


def candidate_paths() -> List[Path]:
    """Where the library is sought, in order.

    1. The file named by the environment variable ``TAVRINOSCOPE_LIBRARY``
       (when set, only that file: a missing one is an error that names it).
    2. The package's own directory (a library copied beside it).
    3. The repository the package is used from (``python/`` next to ``build/``).
    4. The repository the package was installed from, recorded at install.
    """
    paths: List[Path] = []
    named = os.environ.get(LIBRARY_ENVIRONMENT)
    if named:
        paths.append(Path(named))
    here = Path(__file__).resolve().parent
    paths += [here / name for name in _FILE_NAMES]
    trees = [here.parent.parent]
    try:
        from . import _location  # written by setup.py when the package is installed

        trees.append(Path(_location.SOURCE_TREE))
    except ImportError:
        pass
    for tree in trees:
        for build in _BUILD_DIRS:
            paths += [tree / build / name for name in _FILE_NAMES]
    return paths


_lock = threading.Lock()
_library: Optional[ctypes.CDLL] = None


def library() -> ctypes.CDLL:
    """The loaded C library, loaded and described on first use."""
    global _library
    with _lock:
        if _library is None:
            _library = _declare(_load())
        return _library


def _load() -> ctypes.CDLL:
    named = os.environ.get(LIBRARY_ENVIRONMENT)
    if named:
        # Named on purpose: that file or nothing, never another one found
        # elsewhere in its place.
        path = Path(named)
        if not path.is_file():
            raise LibraryNotFoundError(f"{LIBRARY_ENVIRONMENT} names {path}, which is not a file; "
                                       "build the library with `make` or unset the variable")
        try:
            return ctypes.CDLL(str(path))
        except OSError as error:
            raise LibraryNotFoundError(f"{LIBRARY_ENVIRONMENT} names {path}, which cannot be loaded: {error}") \
                from error
    tried = []
    for path in candidate_paths():
        if path.is_file():
            try:
                return ctypes.CDLL(str(path))
            except OSError as error:
                tried.append(f"{path} ({error})")
        else:
            tried.append(str(path))
    system = ctypes.util.find_library("tavrinoscope")
    if system:
        return ctypes.CDLL(system)
    raise LibraryNotFoundError(
        "cannot find the tavrinoscope C library; build it with `make` in the repository, "
        f"or name the file in {LIBRARY_ENVIRONMENT}. Looked at: " + ", ".join(tried))


# ---- The header's structures ------------------------------------------------

class OpenOptions(ctypes.Structure):
    _fields_ = [("camera_profile", ctypes.c_char_p), ("flags", ctypes.c_uint32), ("reserved", ctypes.c_uint32 * 7)]


OPEN_VIRTUAL_TIME = 0x1


class PipeInfoStruct(ctypes.Structure):
    _fields_ = [("index", ctypes.c_uint32), ("endpoint_address", ctypes.c_uint8), ("type", ctypes.c_uint8),
                ("interval", ctypes.c_uint8), ("reserved", ctypes.c_uint8),
                ("max_packet_size", ctypes.c_uint32), ("max_transfer_size", ctypes.c_uint32)]


MAX_PIPES = 32


class DeviceInfoStruct(ctypes.Structure):
    _fields_ = [("vendor_id", ctypes.c_uint16), ("product_id", ctypes.c_uint16), ("bcd_device", ctypes.c_uint16),
                ("bcd_usb", ctypes.c_uint16), ("device_class", ctypes.c_uint8), ("speed", ctypes.c_uint8),
                ("interface_number", ctypes.c_uint8), ("alternate_setting", ctypes.c_uint8),
                ("setting_count", ctypes.c_uint32), ("driver_version", ctypes.c_uint32),
                ("manufacturer", ctypes.c_char * 128), ("product", ctypes.c_char * 128),
                ("serial_number", ctypes.c_char * 128), ("pipe_count", ctypes.c_uint32),
                ("pipes", PipeInfoStruct * MAX_PIPES)]


class FrameInfoStruct(ctypes.Structure):
    _fields_ = [("width", ctypes.c_uint32), ("height", ctypes.c_uint32), ("counter", ctypes.c_uint32),
                ("bytes", ctypes.c_uint32)]


class IsoPacketStruct(ctypes.Structure):
    _fields_ = [("offset", ctypes.c_uint32), ("length", ctypes.c_uint32), ("status", ctypes.c_int32)]


class IsoConfigStruct(ctypes.Structure):
    _fields_ = [("pipe", ctypes.c_uint32), ("packet_size", ctypes.c_uint32),
                ("packets_per_request", ctypes.c_uint32), ("slot_count", ctypes.c_uint32),
                ("ring_packets", ctypes.c_uint32)]


class StreamStatsStruct(ctypes.Structure):
    _fields_ = [("packets", ctypes.c_uint64), ("bytes", ctypes.c_uint64), ("failed", ctypes.c_uint64),
                ("lost", ctypes.c_uint64), ("sequenced", ctypes.c_uint32), ("reserved", ctypes.c_uint32)]


class EmulationStateStruct(ctypes.Structure):
    _fields_ = [("running", ctypes.c_uint32), ("open_cameras", ctypes.c_uint32), ("violations", ctypes.c_uint64)]


def _declare(lib: ctypes.CDLL) -> ctypes.CDLL:
    c = ctypes
    cam = c.c_void_p
    st = c.c_int32
    u8, u16, u32, i32 = c.c_uint8, c.c_uint16, c.c_uint32, c.c_int32
    P = c.POINTER
    table = {
        "tvs_version": (u32, []),
        "tvs_version_string": (c.c_char_p, []),
        "tvs_status_name": (c.c_char_p, [st]),
        "tvs_status_message": (c.c_char_p, [st]),
        "tvs_last_driver_status": (u32, []),
        "tvs_driver_status_name": (c.c_char_p, [u32]),
        "tvs_usb_status_name": (c.c_char_p, [i32]),
        "tvs_open_ex": (st, [c.c_uint, P(OpenOptions), P(cam)]),
        "tvs_close": (None, [cam]),
        "tvs_request_count": (c.c_uint64, [cam]),
        "tvs_get_device_info": (st, [cam, P(DeviceInfoStruct)]),
        "tvs_get_frame_number": (st, [cam, P(u32)]),
        "tvs_get_last_usb_status": (st, [cam, P(i32)]),
        "tvs_set_timeout": (st, [cam, i32]),
        "tvs_capture_frame": (st, [cam, c.c_void_p, c.c_size_t, P(FrameInfoStruct)]),
        "tvs_bulk_read": (st, [cam, u32, c.c_void_p, u32, P(u32)]),
        "tvs_bulk_write": (st, [cam, u32, c.c_void_p, u32, P(u32)]),
        "tvs_bulk_read_segmented": (st, [cam, u32, c.c_void_p, u32, P(u32)]),
        "tvs_bulk_write_segmented": (st, [cam, u32, c.c_void_p, u32, P(u32)]),
        "tvs_iso_buffer_size": (c.c_size_t, [u32, u32]),
        "tvs_iso_read": (st, [cam, P(IsoConfigStruct), u32, c.c_void_p, c.c_size_t, P(IsoPacketStruct)]),
        "tvs_stream_start": (st, [cam, P(IsoConfigStruct)]),
        "tvs_stream_read": (st, [cam, u32, c.c_void_p, c.c_size_t, P(IsoPacketStruct), P(u32)]),
        "tvs_stream_read_wait": (st, [cam, u32, c.c_void_p, c.c_size_t, P(IsoPacketStruct), P(u32), u32]),
        "tvs_save_png": (st, [c.c_char_p, c.c_void_p, u32, u32]),
        "tvs_stream_stop": (st, [cam]),
        "tvs_stream_get_stats": (st, [cam, P(StreamStatsStruct)]),
        "tvs_vendor_read": (st, [cam, u8, u16, u16, c.c_void_p, u16, P(u16), P(i32)]),
        "tvs_vendor_write": (st, [cam, u8, u16, u16, c.c_void_p, u16, P(i32)]),
        "tvs_control_transfer": (st, [cam, c.c_int, u8, u8, u8, u16, u16, c.c_void_p, u32, P(u32)]),
        "tvs_set_feature": (st, [cam, u16, u16, P(i32)]),
        "tvs_load_memory": (st, [cam, u16, c.c_void_p, u32, c.c_int, P(i32)]),
        "tvs_load_hex": (st, [cam, c.c_char_p, c.c_size_t, c.c_int, P(i32)]),
        "tvs_select_setting": (st, [cam, u8, u8, P(i32)]),
        "tvs_reset_pipe": (st, [cam, u32]),
        "tvs_abort_pipe": (st, [cam, u32, P(i32)]),
        "tvs_reset_port": (st, [cam, P(i32)]),
        "tvs_emulation_get_state": (st, [P(EmulationStateStruct)]),
        "tvs_emulation_unplug": (st, [cam]),
        "tvs_emulation_fail_next": (st, [cam, u8, u32, i32]),
        "tvs_emulation_wait": (st, [u32]),
    }
    for name, (restype, argtypes) in table.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes
    return lib
