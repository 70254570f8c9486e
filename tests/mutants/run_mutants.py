#!/usr/bin/env python3
"""Planted faults as a standing check: every patch in tests/mutants/ is a small
mistake a person could make. Each is applied alone to a copy of the source,
built incrementally, and run against the tests it names; a fault that no test
notices has SURVIVED, and the run exits 1.

A patch is a unified diff (as `git diff` writes it) after a header of its own:
    Promise: what the fault breaks, in a user's words
    Tests: a ctest -R regular expression (optional; the whole suite without it)
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))


def header(patch):
    fields = {}
    with open(patch, encoding="utf-8") as f:
        for line in f:
            if line.startswith("diff --git") or line.startswith("--- "):
                break
            m = re.match(r"^(\w+):\s*(.*)$", line)
            if m:
                fields[m.group(1).lower()] = m.group(2).strip()
    return fields


def tracked_files():
    out = subprocess.run(["git", "ls-files", "-z"], cwd=ROOT, check=True, capture_output=True).stdout
    return [p for p in out.decode().split("\0") if p]


def sync_tree(tree):
    """Copies the work tree's files into `tree`, touching only those that
    differ, so that the build there stays incremental."""
    wanted = set()
    for rel in tracked_files():
        src = os.path.join(ROOT, rel)
        if not os.path.isfile(src) or os.path.islink(src):
            continue
        wanted.add(rel)
        dst = os.path.join(tree, rel)
        if os.path.isfile(dst) and same_content(src, dst):
            continue
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        shutil.copy2(src, dst)
    for folder, _, files in os.walk(tree):
        for name in files:
            rel = os.path.relpath(os.path.join(folder, name), tree)
            if rel not in wanted:
                os.remove(os.path.join(folder, name))


def same_content(a, b):
    if os.path.getsize(a) != os.path.getsize(b):
        return False
    with open(a, "rb") as fa, open(b, "rb") as fb:
        return fa.read() == fb.read()


def run(cmd, cwd, log, env=None, timeout=None):
    with open(log, "ab") as out:
        out.write(("\n$ " + " ".join(cmd) + "\n").encode())
        out.flush()
        try:
            return subprocess.run(cmd, cwd=cwd, stdout=out, stderr=subprocess.STDOUT, env=env,
                                  timeout=timeout).returncode
        except subprocess.TimeoutExpired:
            return -1


def apply(tree, patch, log, reverse=False):
    # The copy lies inside the repository's folder: git must not take it for
    # a part of the repository (it would skip every path as outside it).
    env = dict(os.environ, GIT_CEILING_DIRECTORIES=os.path.dirname(tree))
    cmd = ["git", "apply", "--verbose"] + (["-R"] if reverse else []) + [patch]
    return run(cmd, tree, log, env=env) == 0


def failed_tests(build):
    path = os.path.join(build, "Testing", "Temporary", "LastTestsFailed.log")
    if not os.path.exists(path):
        return []
    names = []
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            parts = line.strip().split(":", 1)
            if len(parts) == 2:
                names.append(parts[1])
    return names


def ctest(build, pattern, log):
    failed_log = os.path.join(build, "Testing", "Temporary", "LastTestsFailed.log")
    if os.path.exists(failed_log):
        os.remove(failed_log)
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", TMPDIR=os.path.join(build, "test-tmp"))
    shutil.rmtree(env["TMPDIR"], ignore_errors=True)
    os.makedirs(env["TMPDIR"])
    cmd = ["ctest", "--timeout", "120", "-j2"] + (["-R", pattern] if pattern else [])
    code = run(cmd, build, log, env=env, timeout=1800)
    return code, failed_tests(build)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--work", default=os.path.join(ROOT, "build-mutants"), help="scratch folder")
    parser.add_argument("only", nargs="*", help="names of the faults to plant (default: all)")
    args = parser.parse_args()

    patches = sorted(p for p in os.listdir(HERE) if p.endswith(".patch"))
    if args.only:
        patches = [p for p in patches if any(o in p for o in args.only)]
    if not patches:
        print("mutants: no fault to plant", file=sys.stderr)
        return 2
    tree = os.path.join(args.work, "tree")
    build = os.path.join(args.work, "build")
    log = os.path.join(args.work, "mutants.log")
    os.makedirs(tree, exist_ok=True)
    open(log, "w").close()
    started = time.time()

    sync_tree(tree)
    if not os.path.exists(os.path.join(build, "build.ninja")):
        if run(["cmake", "-S", tree, "-B", build, "-G", "Ninja"], ROOT, log) != 0:
            print("mutants: cannot configure (see %s)" % log, file=sys.stderr)
            return 2
    if run(["cmake", "--build", build, "--parallel", "2"], ROOT, log) != 0:
        print("mutants: the unchanged source does not build (see %s)" % log, file=sys.stderr)
        return 2
    # The tests must pass as the code stands, or a failure says nothing of a fault.
    patterns = [header(os.path.join(HERE, p)).get("tests", "") for p in patches]
    union = "" if "" in patterns else "|".join("(%s)" % p for p in patterns)
    code, failed = ctest(build, union, log)
    if code != 0:
        print("mutants: the tests fail without any fault planted: %s (see %s)" % (", ".join(failed) or "?", log),
              file=sys.stderr)
        return 2

    caught = survived = broken = 0
    width = max(len(p) for p in patches) - len(".patch")
    for name in patches:
        patch = os.path.join(HERE, name)
        label = name[: -len(".patch")]
        fields = header(patch)
        t0 = time.time()
        if not apply(tree, patch, log):
            print("BROKEN    %-*s  does not apply to the source as it stands" % (width, label), flush=True)
            broken += 1
            continue
        try:
            if run(["cmake", "--build", build, "--parallel", "2"], ROOT, log) != 0:
                print("BROKEN    %-*s  does not build" % (width, label), flush=True)
                broken += 1
                continue
            code, failed = ctest(build, fields.get("tests", ""), log)
        finally:
            if not apply(tree, patch, log, reverse=True):
                sync_tree(tree)
        seconds = time.time() - t0
        if code != 0:
            caught += 1
            shown = ", ".join(failed[:3]) + (" and %d more" % (len(failed) - 3) if len(failed) > 3 else "")
            print("caught    %-*s  by %s (%.0f s)" % (width, label, shown or "a test run that failed", seconds),
                  flush=True)
        else:
            survived += 1
            print("SURVIVED  %-*s  %s (%.0f s)" % (width, label, fields.get("promise", ""), seconds), flush=True)
    # Leave the copy as the source is, so that the next run starts from a clean build.
    run(["cmake", "--build", build, "--parallel", "2"], ROOT, log)
    print("mutants: %d planted in %.0f s; the log of builds and tests: %s" % (len(patches), time.time() - started, log))
    summary = "%d caught, %d survived" % (caught, survived)
    if broken:
        summary = "%d broken, %s" % (broken, summary)
    print(summary)
    return 0 if survived == 0 and broken == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
