#!/usr/bin/env python3
"""Reads the JUnit files of a flake check (build/flake/<preset>-<run>.xml) and
lists every test that failed in any run, with the runs it failed in. Exit
status 1 when there is one, 0 otherwise."""
import collections
import pathlib
import sys
import xml.etree.ElementTree as ElementTree


def failures(path):
    """The names of the failed (or errored) test cases of one JUnit file."""
    failed = []
    for case in ElementTree.parse(path).getroot().iter("testcase"):
        status = case.get("status", "")
        if status in ("fail", "failed") or case.find("failure") is not None \
                or case.find("error") is not None:
            failed.append(case.get("name"))
    return failed


def main(folder):
    files = sorted(pathlib.Path(folder).glob("*.xml"))
    if not files:
        print(f"flake check: no results in {folder}")
        return 1
    seen = collections.defaultdict(list)
    cases = 0
    for path in files:
        cases += sum(1 for _ in ElementTree.parse(path).getroot().iter("testcase"))
        for name in failures(path):
            seen[name].append(path.stem)
    if not seen:
        print(f"flake check: {len(files)} runs, {cases} test runs, no failure")
        return 0
    print(f"flake check: {len(seen)} tests failed in {len(files)} runs:")
    for name in sorted(seen):
        print(f"  {name}: {', '.join(seen[name])}")
    return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "build/flake"))
