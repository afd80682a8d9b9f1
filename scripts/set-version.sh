#!/bin/sh
# Sets the release's version: writes VERSION and the copies that must stand
# alone without the build (the public header's TVS_VERSION_*, the INF's
# DriverVer with today's date, the Python package's __version__). Everything
# else takes the version from VERSION when it is built; the test
# packaging.versions fails when any of them differs.
# Usage: scripts/set-version.sh MAJOR.MINOR.PATCH
set -eu
cd "$(dirname "$0")/.."
version=${1:-}
echo "$version" | grep -Eq '^[0-9]+\.[0-9]+\.[0-9]+$' || { echo "usage: $0 MAJOR.MINOR.PATCH" >&2; exit 2; }
major=${version%%.*}
rest=${version#*.}
minor=${rest%%.*}
patch=${rest#*.}

echo "$version" >VERSION
sed -i -e "s/^#define TVS_VERSION_MAJOR .*/#define TVS_VERSION_MAJOR $major/" \
       -e "s/^#define TVS_VERSION_MINOR .*/#define TVS_VERSION_MINOR $minor/" \
       -e "s/^#define TVS_VERSION_PATCH .*/#define TVS_VERSION_PATCH $patch/" include/tavrinoscope/tavrinoscope.h
sed -i "s|^DriverVer   = .*|DriverVer   = $(date -u +%m/%d/%Y),$version.0|" windows/tavrinoscope.inf
sed -i "s/^__version__ = .*/__version__ = \"$version\"/" python/tavrinoscope/__init__.py
echo "version $version: rebuild (make) and commit VERSION with the files above"
