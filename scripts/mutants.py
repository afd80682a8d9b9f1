#!/usr/bin/env python3
"""Runs the driver's suites against a committed list of small deliberate faults.

Each mutant in mutants/*.txt names a file, a piece of its text that occurs
exactly once, and what to put in its place. The tool copies the working tree
(tracked and untracked, not ignored files) into a scratch tree under
build/mutants/, builds it there once, and then for each mutant in turn: puts
the fault into the scratch copy, rebuilds only the suites' test programs,
runs the suites (each test bounded in time, the run stopped at the first
failure), and takes the fault out again. The source tree itself is never
written, so an interrupted run leaves nothing behind; the next run brings the
scratch copy back in line with the source tree first.

A mutant that no test notices "survives". The run exits with 1 when a mutant
survives that is not marked equivalent, 2 when a mutant no longer applies (its
text is gone or occurs more than once) or does not build, or when the suites
fail without any fault; 0 otherwise.

Format of a mutants file (blocks separated by blank lines, '#' starts a
comment line):

    [id-of-the-mutant]
    file: usb/pipes.cpp
    find: if (PipeIndex >= info->NumberOfPipes) {
    replace: if (PipeIndex > info->NumberOfPipes) {
    why: a pipe index equal to the pipe count reads one entry past the table
    suites: ^client\\.        (optional: more CTest regexes, besides the default)
    equivalent: the reason     (optional: the fault cannot change behaviour;
                                the mutant is listed but not run)

In find and replace, \\n stands for a line break, \\t for a tab and \\\\ for a
backslash; everything else is taken as written, leading and trailing blanks
excepted.
"""

import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_SUITES = r"^driver\."
FIELDS = ("file", "find", "replace", "why", "suites", "equivalent")


class Mutant:
    def __init__(self, ident, source, line):
        self.id = ident
        self.source = source  # "mutants/x.txt:12"
        self.line = line
        self.file = ""
        self.find = ""
        self.replace = ""
        self.why = ""
        self.suites = ""
        self.equivalent = ""


def unescape(text):
    out = []
    i = 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            n = text[i + 1]
            if n in "nt\\":
                out.append({"n": "\n", "t": "\t", "\\": "\\"}[n])
                i += 2
                continue
        out.append(c)
        i += 1
    return "".join(out)


def load_mutants(paths):
    mutants = []
    errors = []
    seen = {}
    for path in paths:
        rel = os.path.relpath(path, ROOT)
        current = None
        with open(path, encoding="utf-8") as f:
            for number, raw in enumerate(f, 1):
                line = raw.rstrip("\n")
                stripped = line.strip()
                if not stripped or stripped.startswith("#"):
                    continue
                m = re.fullmatch(r"\[([A-Za-z0-9_.-]+)\]", stripped)
                if m:
                    current = Mutant(m.group(1), "%s:%d" % (rel, number), number)
                    if current.id in seen:
                        errors.append("%s: mutant id %s already used at %s"
                                      % (current.source, current.id, seen[current.id]))
                    seen[current.id] = current.source
                    mutants.append(current)
                    continue
                m = re.fullmatch(r"([a-z]+):\s?(.*)", line)
                if current is None or not m or m.group(1) not in FIELDS:
                    errors.append("%s:%d: expected [id] or one of %s"
                                  % (rel, number, ", ".join(FIELDS)))
                    continue
                value = m.group(2).strip()
                if m.group(1) in ("find", "replace"):
                    value = unescape(value)
                setattr(current, m.group(1), value)
    for mu in mutants:
        if not mu.file or not mu.find:
            errors.append("%s: mutant %s needs file and find" % (mu.source, mu.id))
        if mu.find == mu.replace:
            errors.append("%s: mutant %s changes nothing" % (mu.source, mu.id))
        if not mu.why:
            errors.append("%s: mutant %s says nothing of why" % (mu.source, mu.id))
    return mutants, errors


def run(cmd, cwd=None, env=None, log=None, timeout=None):
    """Runs cmd in its own process group; returns (exit code, seconds).
    Exit code None means the time-out ended it."""
    start = time.monotonic()
    out = open(log, "ab") if log else subprocess.DEVNULL
    try:
        proc = subprocess.Popen(cmd, cwd=cwd, env=env, stdout=out, stderr=subprocess.STDOUT,
                                start_new_session=True)
        try:
            code = proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
            code = None
        except BaseException:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
            raise
    finally:
        if log:
            out.close()
    return code, time.monotonic() - start


def source_files():
    out = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], cwd=ROOT,
                         check=True, stdout=subprocess.PIPE).stdout
    return sorted(p for p in out.decode().split("\0") if p and os.path.isfile(os.path.join(ROOT, p)))


def sync_scratch(scratch_src, manifest_path):
    """Makes the scratch tree hold the source tree's files. Only files whose
    content differs are written, so unchanged files keep their times and the
    scratch build stays incremental."""
    files = source_files()
    previous = set()
    if os.path.exists(manifest_path):
        with open(manifest_path, encoding="utf-8") as f:
            previous = set(f.read().split("\n")) - {""}
    written = 0
    for rel in files:
        src = os.path.join(ROOT, rel)
        dst = os.path.join(scratch_src, rel)
        with open(src, "rb") as f:
            data = f.read()
        try:
            with open(dst, "rb") as f:
                if f.read() == data:
                    continue
        except FileNotFoundError:
            os.makedirs(os.path.dirname(dst), exist_ok=True)
        with open(dst, "wb") as f:
            f.write(data)
        shutil.copymode(src, dst)
        written += 1
    for rel in previous - set(files):
        try:
            os.remove(os.path.join(scratch_src, rel))
        except FileNotFoundError:
            pass
    with open(manifest_path, "w", encoding="utf-8") as f:
        f.write("\n".join(files) + "\n")
    return written


def unbuilt_programs(build_dir):
    """Test programs CTest knows of but that were never built (their tests
    show as <program>_NOT_BUILT until then)."""
    out = subprocess.run(["ctest", "--test-dir", build_dir, "-N", "--show-only=json-v1"],
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    if out.returncode != 0:
        return []
    names = set()
    for test in json.loads(out.stdout.decode() or "{}").get("tests", []):
        name = test.get("name", "")
        if name.endswith("_NOT_BUILT"):
            names.add(name[: -len("_NOT_BUILT")])
    return sorted(names)


def test_programs(build_dir, regex):
    """Names of the test programs whose tests match regex (CTest's view)."""
    out = subprocess.run(["ctest", "--test-dir", build_dir, "-N", "-R", regex,
                          "--show-only=json-v1"], stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL)
    if out.returncode != 0:
        return []
    names = set()
    for test in json.loads(out.stdout.decode() or "{}").get("tests", []):
        command = test.get("command") or []
        # A test of the tree's own program builds that program; one run
        # through a shell or an interpreter (sh -c ..., python3 -m pytest
        # over the SDK's library), or whose program is not built yet, names
        # no target of its own: the whole tree is built for it ("all").
        if command and os.path.abspath(command[0]).startswith(os.path.abspath(build_dir) + os.sep):
            names.add(os.path.basename(command[0]))
        else:
            names.add("all")
    return sorted(names)


def suite_prefixes(regex):
    r"""'^usb\.BusVirtualTime|^kernel\.Ring' becomes '^usb\.|^kernel\.': every
    program that may hold a suite's tests, including a test added since the
    program was last built (CTest lists a program's tests only once built)."""
    parts = []
    for alternative in regex.split("|"):
        m = re.match(r"\^([A-Za-z0-9_]+)\\\.", alternative)
        parts.append("^%s\\." % m.group(1) if m else alternative)
    return "|".join(parts)


def first_failure(log):
    """The first failed test named in a CTest log, or ''."""
    try:
        with open(log, encoding="utf-8", errors="replace") as f:
            text = f.read()
    except FileNotFoundError:
        return ""
    m = re.search(r"Test\s+#\d+: (\S+) \.+\**\s*(Failed|Timeout|Subprocess aborted|"
                  r"SEGFAULT|Exception|Not Run|\*\*\*)", text)
    if m:
        return m.group(1) + (" (time-out)" if m.group(2) == "Timeout" else "")
    m = re.search(r"^\s*\d+ - (\S+) \((\w+)\)", text, re.M)
    return m.group(1) if m else ""


def read_text(path):
    try:
        with open(path) as f:
            return f.read()
    except OSError:
        return ""


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("lists", nargs="*",
                        help="mutant files (default: every mutants/*.txt)")
    parser.add_argument("--only", action="append", default=[],
                        help="run only mutants whose id contains this text (repeatable)")
    parser.add_argument("--list", action="store_true", help="list the mutants and exit")
    parser.add_argument("--suites", default=DEFAULT_SUITES,
                        help="CTest regex of the suites run for every mutant (default %(default)s)")
    parser.add_argument("--exclude", default="",
                        help="CTest regex of tests never run (for a test known to fail on its own)")
    parser.add_argument("--test-timeout", type=int, default=20,
                        help="seconds one test may take (default %(default)s)")
    parser.add_argument("--mutant-timeout", type=int, default=120,
                        help="seconds the tests of one mutant may take (default %(default)s)")
    parser.add_argument("--jobs", type=int, default=2, help="tests run at once (default %(default)s)")
    parser.add_argument("--scratch", default=os.path.join(ROOT, "build", "mutants"),
                        help="scratch folder (default build/mutants)")
    args = parser.parse_args()

    lists = args.lists or sorted(
        os.path.join(ROOT, "mutants", n) for n in os.listdir(os.path.join(ROOT, "mutants"))
        if n.endswith(".txt"))
    mutants, errors = load_mutants(lists)
    if errors:
        for e in errors:
            print("mutants: " + e, file=sys.stderr)
        return 2
    if args.only:
        mutants = [m for m in mutants if any(o in m.id for o in args.only)]
    if args.list:
        for m in mutants:
            mark = "  [equivalent]" if m.equivalent else ""
            print("%-40s %s%s\n    %s" % (m.id, m.file, mark, m.why))
        print("%d mutants" % len(mutants))
        return 0

    scratch = os.path.abspath(args.scratch)
    scratch_src = os.path.join(scratch, "src")
    build_dir = os.path.join(scratch_src, "build")
    logs = os.path.join(scratch, "logs")
    os.makedirs(scratch_src, exist_ok=True)
    shutil.rmtree(logs, ignore_errors=True)
    os.makedirs(logs)

    env = dict(os.environ)
    if shutil.which("ccache"):
        env.setdefault("CMAKE_CXX_COMPILER_LAUNCHER", "ccache")
        env.setdefault("CMAKE_C_COMPILER_LAUNCHER", "ccache")
        env["CCACHE_BASEDIR"] = scratch_src
        env.setdefault("CCACHE_NOHASHDIR", "1")

    # Every mutant must apply to the source tree as it is now.
    bad = []
    for m in mutants:
        path = os.path.join(ROOT, m.file)
        if not os.path.isfile(path):
            bad.append("%s: %s: no such file %s" % (m.source, m.id, m.file))
            continue
        with open(path, encoding="utf-8") as f:
            count = f.read().count(m.find)
        if count != 1:
            bad.append("%s: %s: the text to replace occurs %d times in %s"
                       % (m.source, m.id, count, m.file))
    if bad:
        for b in bad:
            print("mutants: " + b, file=sys.stderr)
        return 2

    started = time.monotonic()
    written = sync_scratch(scratch_src, os.path.join(scratch, "manifest.txt"))
    print("scratch tree %s (%d files updated)" % (os.path.relpath(scratch_src, ROOT), written),
          flush=True)

    setup_log = os.path.join(logs, "baseline.log")
    # Warnings stay warnings in the scratch build: a mutant that leaves a
    # variable unused is still the fault it names (the committed tree builds
    # with warnings as errors).
    configure = ["cmake", "--preset", "host", "-DUSBCAM_WARNINGS_AS_ERRORS=OFF"]
    if not os.path.exists(os.path.join(build_dir, "build.ninja")) or \
            "USBCAM_WARNINGS_AS_ERRORS:BOOL=OFF" not in read_text(os.path.join(build_dir, "CMakeCache.txt")):
        code, _ = run(configure, cwd=scratch_src, env=env, log=setup_log)
        if code != 0:
            print("mutants: configuring the scratch tree failed, see %s" % setup_log,
                  file=sys.stderr)
            return 2

    def programs_for(regex):
        return test_programs(build_dir, regex)

    def build(targets, log):
        cmd = ["cmake", "--build", build_dir]
        if targets:
            cmd += ["--target"] + targets
        return run(cmd, cwd=scratch_src, env=env, log=log)

    def test(regex, log):
        cmd = ["ctest", "--test-dir", build_dir, "-R", regex, "--timeout", str(args.test_timeout),
               "--stop-on-failure", "-j", str(args.jobs)]
        if args.exclude:
            cmd += ["-E", args.exclude]
        return run(cmd, cwd=scratch_src, env=env, log=log, timeout=args.mutant_timeout)

    def regex_of(m):
        return args.suites + ("|" + m.suites if m.suites else "")

    # Baseline: the suites pass without any fault. The first build of a new
    # scratch tree builds everything (the test lists come from the programs).
    wanted = set()
    for m in mutants:
        wanted.add(regex_of(m))
    # A test program never built yet (a new suite since the last run) shows
    # no tests: build those first, then until the list stands still.
    code = 0
    unbuilt = unbuilt_programs(build_dir)
    if unbuilt:
        code, _ = build(unbuilt, setup_log)
    known = sorted(set(p for r in wanted for p in programs_for(suite_prefixes(r))))
    while code == 0:
        code, seconds = build(known, setup_log)
        if code != 0:
            break
        now = sorted(set(p for r in wanted for p in programs_for(r)))
        if now == known:
            break
        known = now
    if code != 0 or not known:
        print("mutants: the scratch tree does not build, see %s" % setup_log, file=sys.stderr)
        return 2
    for regex in sorted(wanted):
        code, seconds = test(regex, setup_log)
        if code != 0:
            print("mutants: the suites %s fail without any fault, see %s" % (regex, setup_log),
                  file=sys.stderr)
            return 2
    print("baseline built and passed in %.0f s; %d mutants" % (time.monotonic() - started,
                                                               len(mutants)), flush=True)

    results = []
    for index, m in enumerate(mutants, 1):
        label = "[%d/%d] %s" % (index, len(mutants), m.id)
        if m.equivalent:
            results.append((m, "equivalent", 0.0, m.equivalent))
            print("%-52s equivalent: %s" % (label, m.equivalent), flush=True)
            continue
        path = os.path.join(scratch_src, m.file)
        with open(path, encoding="utf-8") as f:
            original = f.read()
        log = os.path.join(logs, m.id + ".log")
        t0 = time.monotonic()
        try:
            with open(path, "w", encoding="utf-8") as f:
                f.write(original.replace(m.find, m.replace, 1))
            regex = regex_of(m)
            code, _ = build(programs_for(regex), log)
            if code != 0:
                outcome, detail = "no-build", "see " + os.path.relpath(log, ROOT)
            else:
                code, _ = test(regex, log)
                if code == 0:
                    outcome, detail = "SURVIVED", m.why
                elif code is None:
                    outcome, detail = "killed", "the suites ran past %d s" % args.mutant_timeout
                else:
                    outcome, detail = "killed", first_failure(log)
        finally:
            # Back to the original; a new time, so that the next build
            # recompiles the file (ccache makes that cheap).
            with open(path, "w", encoding="utf-8") as f:
                f.write(original)
        seconds = time.monotonic() - t0
        results.append((m, outcome, seconds, detail))
        print("%-52s %-8s %5.0f s  %s" % (label, outcome, seconds, detail), flush=True)

    # Leave the scratch build matching the source tree for the next run.
    build(programs_for(args.suites), setup_log)

    killed = sum(1 for r in results if r[1] == "killed")
    survived = [r for r in results if r[1] == "SURVIVED"]
    broken = [r for r in results if r[1] == "no-build"]
    equivalent = sum(1 for r in results if r[1] == "equivalent")
    total = time.monotonic() - started
    summary = ("%d mutants: %d killed, %d survived, %d equivalent (not run), %d did not build; "
               "%.0f s" % (len(results), killed, len(survived), equivalent, len(broken), total))
    with open(os.path.join(scratch, "report.txt"), "w", encoding="utf-8") as f:
        for m, outcome, seconds, detail in results:
            f.write("%-40s %-10s %6.1f s  %s  (%s)\n" % (m.id, outcome, seconds, detail, m.source))
        f.write(summary + "\n")
    print(summary)
    for m, _, _, _ in survived:
        print("survived: %s (%s): %s" % (m.id, m.source, m.why))
    for m, _, _, detail in broken:
        print("did not build: %s (%s): %s" % (m.id, m.source, detail))
    if broken:
        return 2
    return 1 if survived else 0


def interrupted(signum, frame):
    raise KeyboardInterrupt


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, interrupted)
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        print("\nmutants: interrupted; the source tree was not changed", file=sys.stderr)
        sys.exit(130)
