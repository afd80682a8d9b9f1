"""Installs the tavrinoscope package. Besides the Python files, the installed
package records the repository it came from (tavrinoscope/_location.py), so
that it finds the C library that `make` builds there without further set-up."""
from pathlib import Path

from setuptools import setup
from setuptools.command.build_py import build_py

SOURCE_TREE = Path(__file__).resolve().parent.parent


class BuildWithLocation(build_py):
    def run(self) -> None:
        super().run()
        target = Path(self.build_lib) / "tavrinoscope" / "_location.py"
        target.write_text('"""Written at install: the repository the package came from."""\n'
                          f"SOURCE_TREE = {str(SOURCE_TREE)!r}\n")


setup(cmdclass={"build_py": BuildWithLocation})
