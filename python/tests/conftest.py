"""Shared pieces of the SDK's Python tests. They run against the C library
the build made (the environment names it) with the driver in the emulation."""
import os
from pathlib import Path

import pytest

import tavrinoscope

REPOSITORY = Path(__file__).resolve().parents[2]


@pytest.fixture
def camera():
    """The reference camera, freshly plugged, on virtual bus time (so that
    nothing a test sees depends on the machine's speed or load); the test
    must leave no fault behind (the emulation's verifier counts leaks and
    misuse)."""
    before = tavrinoscope.emulation_state().violations
    with tavrinoscope.Camera(0, virtual_time=True) as cam:
        yield cam
    state = tavrinoscope.emulation_state()
    assert not state.running and state.open_cameras == 0
    assert state.violations == before


def examples_dir() -> Path:
    return Path(os.environ.get("TAVRINOSCOPE_EXAMPLES", REPOSITORY / "examples" / "python"))


def join(thread):
    """Joins a thread that may need the camera's time: under virtual time a
    plain join would hold that time still."""
    while thread.is_alive():
        tavrinoscope.emulation_wait(1)
    thread.join()
