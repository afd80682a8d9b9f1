"""The release's version reaches every place that carries it.

VERSION at the top of the tree is the one number; the build gives it to the
tools, the C library and the Windows images, and scripts/set-version.sh
writes the copies that must stand alone. Each test reads one place as its
user would and compares it with VERSION; the C library and the tools are
version_test.cpp's.
"""
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

SOURCE = Path(os.environ.get("TAVRINOSCOPE_SOURCE", Path(__file__).resolve().parents[2]))
BUILD = Path(os.environ.get("TAVRINOSCOPE_BUILD", SOURCE / "build"))
VERSION = (SOURCE / "VERSION").read_text().strip()
MAJOR, MINOR, PATCH = (int(part) for part in VERSION.split("."))


def test_version_file_is_major_minor_patch():
    assert re.fullmatch(r"\d+\.\d+\.\d+", VERSION)


def test_public_header_macros():
    header = (SOURCE / "include/tavrinoscope/tavrinoscope.h").read_text()
    found = {name: int(value) for name, value in re.findall(r"#define TVS_VERSION_(MAJOR|MINOR|PATCH) (\d+)", header)}
    assert found == {"MAJOR": MAJOR, "MINOR": MINOR, "PATCH": PATCH}


def test_inf_driver_version():
    inf = (SOURCE / "windows/tavrinoscope.inf").read_text()
    match = re.search(r"^DriverVer\s*=\s*(\d\d/\d\d/\d{4}),([\d.]+)\s*$", inf, re.M)
    assert match, "no DriverVer line"
    assert match.group(2) == VERSION + ".0"


def test_python_package_version():
    init = (SOURCE / "python/tavrinoscope/__init__.py").read_text()
    assert re.search(r'^__version__ = "([^"]+)"$', init, re.M).group(1) == VERSION


def test_python_metadata_takes_the_package_version():
    # The metadata has no number of its own: setuptools reads __version__.
    pyproject = (SOURCE / "python/pyproject.toml").read_text()
    assert re.search(r'^dynamic = \[.*"version".*\]$', pyproject, re.M)
    assert re.search(r'^version = \{attr = "tavrinoscope.__version__"\}$', pyproject, re.M)
    assert not re.search(r'^version = "', pyproject, re.M)


def test_c_library_file_name():
    assert (BUILD / "lib" / f"libtavrinoscope.so.{VERSION}").is_file()


def test_python_package_and_library_agree():
    env = dict(os.environ, PYTHONPATH=str(SOURCE / "python"),
               TAVRINOSCOPE_LIBRARY=str(BUILD / "lib" / "libtavrinoscope.so"))
    result = subprocess.run([sys.executable, "-c", "import tavrinoscope as t; print(t.__version__, t.library_version())"],
                            capture_output=True, text=True, env=env, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == [VERSION, VERSION]


def test_debian_changelog_and_windows_resource_follow_version_file():
    # The .deb and the installer take VERSION when they are built; their own
    # checks (make deb-check, make installer-check) read it back.
    for script in ("packaging/deb/build.sh", "windows/installer/build.sh"):
        assert 'version=$(cat "$root/VERSION")' in (SOURCE / script).read_text(), script
