#!/usr/bin/env python3
"""Checks what the README, CONTRIBUTING.md and docs/*.md say against the tree.

Every claim a script can check:
- a link to a file of the tree leads to one, and an anchor to a heading there;
- a path in backquotes (`transfer/stream.cpp`, `tests/e2e/*.batch`) exists;
- a test named as CTest names it (`driver.StreamTest.X`, or `.Y` after one)
  is a TEST, TEST_F or TEST_P of the tests' sources;
- `make TARGET` names a target of the Makefile;
- every page of docs/ is linked from the README;
- every rule of the verifier (sim/kernel/verifier.h) has its row in
  docs/verifier.md, and every row there is a rule;
- every control code of usbcam_ioctl.h has its row, with its value, in
  docs/control-codes.md, and every row there is a code.

Usage: scripts/check-docs.py [SOURCE_DIR]. Prints each false claim with its
file and line; exit status 1 when there is one.
"""
import glob
import os
import re
import sys

ROOT = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), ".."))
TOP_DIRS = ("driver", "usb", "control", "transfer", "platform", "sim", "client", "tools", "tests",
            "bench", "fuzz", "sdk", "windows", "docs", "scripts", "mutants", "include", "python",
            "examples", ".ci")
SUITES = ("driver", "kernel", "usb", "client", "demo", "sdk", "fuzz")


def pages():
    found = [os.path.join(ROOT, "README.md"), os.path.join(ROOT, "CONTRIBUTING.md")]
    found += sorted(glob.glob(os.path.join(ROOT, "docs", "*.md")))
    return [p for p in found if os.path.exists(p)]


def slug(heading):
    s = heading.strip().lower()
    s = re.sub(r"[^\w\- ]", "", s)
    return s.replace(" ", "-")


def anchors(path):
    result = set()
    in_code = False
    for line in open(path, encoding="utf-8"):
        if line.startswith("```"):
            in_code = not in_code
        elif not in_code and line.startswith("#"):
            result.add(slug(line.lstrip("#")))
    return result


def test_names():
    """(suite class, test name) pairs of every TEST-like macro under tests/."""
    pairs = set()
    pattern = re.compile(r"\bTEST(?:_F|_P)?\(\s*(\w+)\s*,\s*(\w+)\s*\)")
    for path in glob.glob(os.path.join(ROOT, "tests", "**", "*.cpp"), recursive=True):
        pairs.update(pattern.findall(open(path, encoding="utf-8", errors="replace").read()))
    return pairs


def make_targets():
    targets = set()
    for line in open(os.path.join(ROOT, "Makefile"), encoding="utf-8"):
        m = re.match(r"^([\w.-]+)\s*:(?!=)", line)
        if m:
            targets.add(m.group(1))
    return targets


def main():
    problems = []
    tests = test_names()
    classes = {c for c, _ in tests}
    names = {n for _, n in tests}
    targets = make_targets()
    linked_from_readme = set()

    for page in pages():
        rel_page = os.path.relpath(page, ROOT)
        here = os.path.dirname(page)
        in_code = False
        for number, line in enumerate(open(page, encoding="utf-8"), 1):
            where = "%s:%d" % (rel_page, number)
            if line.startswith("```"):
                in_code = not in_code
                continue
            # Links to files of the tree.
            for target in re.findall(r"\]\(([^)\s]+)\)", line):
                if re.match(r"^[a-z]+:", target):
                    continue
                path, _, anchor = target.partition("#")
                full = os.path.normpath(os.path.join(here, path)) if path else page
                if not os.path.exists(full):
                    problems.append("%s: link to %s, which does not exist" % (where, target))
                    continue
                if rel_page == "README.md":
                    linked_from_readme.add(os.path.relpath(full, ROOT))
                if anchor and full.endswith(".md") and anchor not in anchors(full):
                    problems.append("%s: link to %s, which has no heading #%s" % (where, path or rel_page, anchor))
            if in_code:
                continue
            for quoted in re.findall(r"`([^`]+)`", line):
                # Paths of the tree.
                token = quoted.strip()
                if re.fullmatch(r"[\w.\-]+(/[\w.\-*]*)+", token) and token.split("/")[0] in TOP_DIRS:
                    if not glob.glob(os.path.join(ROOT, token)):
                        problems.append("%s: `%s` does not exist" % (where, token))
                # Tests as CTest names them.
                m = re.fullmatch(r"(%s)\.(?:\w+/)?(\w+|\*)\.(\w+|\*)" % "|".join(SUITES), token)
                if m:
                    cls, name = m.group(2), m.group(3)
                    if cls == "*":
                        ok = name == "*" or name in names
                    elif name == "*":
                        ok = cls in classes
                    else:
                        ok = (cls, name) in tests
                    if not ok and m.group(1) != "fuzz":
                        problems.append("%s: no test %s" % (where, token))
                m = re.fullmatch(r"\.([A-Z][a-z]\w*[A-Z]\w*)", token)
                if m and m.group(1) not in names:
                    problems.append("%s: no test named %s" % (where, m.group(1)))
                # Make targets.
                for target in re.findall(r"(?:^|\s)make ([a-z][\w-]*)", token):
                    if target not in targets:
                        problems.append("%s: no make target %s" % (where, target))

    for page in glob.glob(os.path.join(ROOT, "docs", "*.md")):
        rel = os.path.relpath(page, ROOT)
        if rel not in linked_from_readme:
            problems.append("README.md: does not link %s" % rel)

    rules_header = os.path.join(ROOT, "sim", "kernel", "verifier.h")
    rules_page = os.path.join(ROOT, "docs", "verifier.md")
    if os.path.exists(rules_header) and os.path.exists(rules_page):
        rules = set(re.findall(r"^SIM_RULE\((\w+)\);", open(rules_header).read(), re.M))
        rows = set(re.findall(r"^\| `([A-Z_]+)` \|", open(rules_page).read(), re.M))
        for rule in sorted(rules - rows):
            problems.append("docs/verifier.md: no row for the rule %s" % rule)
        for row in sorted(rows - rules):
            problems.append("docs/verifier.md: %s is no rule of sim/kernel/verifier.h" % row)

    headers = glob.glob(os.path.join(ROOT, "*", "usbcam_ioctl.h")) + \
        glob.glob(os.path.join(ROOT, "include", "*", "usbcam_ioctl.h"))
    codes_page = os.path.join(ROOT, "docs", "control-codes.md")
    if headers and os.path.exists(codes_page):
        text = open(headers[0]).read()
        codes = dict(re.findall(r"\((IOCTL_USBCAM_\w+) == (0x[0-9A-Fa-f]+)", text))
        rows = dict(re.findall(r"^\| `(IOCTL_USBCAM_\w+)` \| `(0x[0-9A-Fa-f]+)` \|", open(codes_page).read(), re.M))
        for code, value in sorted(codes.items()):
            if code not in rows:
                problems.append("docs/control-codes.md: no row for %s" % code)
            elif int(rows[code], 16) != int(value, 16):
                problems.append("docs/control-codes.md: %s is %s, not %s" % (code, value, rows[code]))
        for code in sorted(set(rows) - set(codes)):
            problems.append("docs/control-codes.md: %s is no control code" % code)

    for p in problems:
        print(p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
