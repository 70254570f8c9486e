#!/usr/bin/env python3
"""Soak: many runs in a row with random images and random faults.

Part 1: RUNS separate flash3-cli runs, each against its own flash3-sim. A
seeded random generator picks the image (lines, records per line) and one
fault; the verdict of every run (the CLI's exit status) must be the one the
fault calls for, and it must agree with what the device saw: the CLI says
"completed" exactly when the device got every byte of the image, and an image
it refuses leaves the device without a single byte.

Part 2: one long-lived flash3-soak-driver (the desktop program's windows,
offscreen) doing GUI_RUNS runs in a row against one persistent device, some
of them aborted part-way. Its open descriptors must not grow, nor its
resident memory beyond a small allowance, once the logs have filled.

    soak.py --build DIR [--runs N] [--seed S] [--gui-runs N] [--no-memory-check]

Exit status 0 when every verdict was right and nothing leaked or hung. A
wrong verdict is shown with its fault, the verdict expected and the one
given, and the last Debug lines of that run.
"""

import argparse
import collections
import json
import os
import random
import select
import signal
import subprocess
import sys
import tempfile
import time

COMPLETED, FAILED, REFUSED, INTERRUPTED = 0, 1, 2, 130
VERDICTS = {COMPLETED: "completed", FAILED: "failed", REFUSED: "refused", INTERRUPTED: "interrupted"}
# Debug lines shown for a run that went wrong.
DEBUG_LINES = 10
TICK_S = 0.005
# A run that has not ended this long after its tick model is hung.
HANG_ALLOWANCE_S = 10.0
# Resident memory may move a little as allocators settle; a leak per run does not.
RSS_ALLOWANCE_KIB = 2048


def model_seconds(lines):
    # 39 handshake ticks, then a burst and an answer per line.
    return (39 + 2 * lines) * TICK_S


class Sim:
    """flash3-sim on a pseudo-terminal; its first stdout line is the device."""

    def __init__(self, build, image, options, timeout_s):
        self.proc = subprocess.Popen(
            [os.path.join(build, "flash3-sim"), "--timeout", str(int(timeout_s))] + options + [image],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        ready, _, _ = select.select([self.proc.stdout], [], [], 10)
        if not ready:
            self.proc.kill()
            raise RuntimeError("flash3-sim did not start")
        self.device = self.proc.stdout.readline().strip()

    def finish(self, timeout_s=10):
        try:
            _, err = self.proc.communicate(timeout=timeout_s)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            _, err = self.proc.communicate()
            return None, err + "\n(flash3-sim did not end)"
        return self.proc.returncode, err


# Each fault: (name, weight, maker). A maker gets (rng, lines) and returns
# (sim options, expected CLI status, what to do to the host's image or None,
# seconds after the run starts at which to interrupt the CLI or None).
def _plain(rng, lines):
    return [], COMPLETED, None, None


def _reply_late_zero(rng, lines):
    return ["--reply", "00,91,26"], COMPLETED, None, None


def _reply_split(rng, lines):
    # The second byte well inside the 36 quiet ticks.
    return ["--reply", "91,w%d,26" % rng.randint(10, 60)], COMPLETED, None, None


def _noise(rng, lines):
    return ["--noise", str(rng.randint(1, 40))], COMPLETED, None, None


def _slow_device(rng, lines):
    # Well inside the 180 ms answer window, with room for a busy machine.
    return ["--delay", str(rng.randint(20, 110))], COMPLETED, None, None


def _rejected(rng, lines):
    return ["--reply", rng.choice(["91,26,00", "26,91", "91", "55,55"])], FAILED, None, None


def _silent(rng, lines):
    return ["--reply", "none"], FAILED, None, None


def _too_slow(rng, lines):
    return ["--delay", str(rng.randint(300, 500))], FAILED, None, None


def _wrong_answer(rng, lines):
    return ["--wrong-answer", str(rng.randint(1, lines))], FAILED, None, None


def _no_answer(rng, lines):
    return ["--no-answer", str(rng.randint(1, lines))], FAILED, None, None


def _unplug(rng, lines):
    # Every record counts, a line has at least a T, an R and an E: up to the
    # last R, so the device always vanishes before the run could complete.
    return ["--unplug-at", str(rng.randint(0, lines * 3 - 1))], FAILED, None, None


def _cut_image(rng, lines):
    # The CLI checks the image first and refuses a faulty one unsent; with
    # --force it plays it and fails where the image ends.
    if rng.random() < 0.5:
        return [], REFUSED, "cut", None
    return [], FAILED, "cut-force", None


def _interrupt(rng, lines):
    # The handshake alone takes 39 ticks; interrupt anywhere before the end.
    return [], INTERRUPTED, None, rng.uniform(0.02, model_seconds(lines) * 0.6)


FAULTS = [
    ("none", 6, _plain),
    ("reply 00 91 26", 1, _reply_late_zero),
    ("reply split", 1, _reply_split),
    ("noise", 1, _noise),
    ("slow device", 1, _slow_device),
    ("reply rejected", 1, _rejected),
    ("no reply", 1, _silent),
    ("device too slow", 1, _too_slow),
    ("wrong answer", 2, _wrong_answer),
    ("no answer", 2, _no_answer),
    ("unplug", 2, _unplug),
    ("image cut short", 1, _cut_image),
    ("interrupted", 1, _interrupt),
]


def write_image(build, path, lines, burst, seed):
    subprocess.run([os.path.join(build, "flash3-sim"), "--write-sample", path,
                    "--lines", str(lines), "--burst", str(burst), "--seed", str(seed)],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def cut_image(src, dst, rng):
    data = open(src, "rb").read()
    # Inside a record: a file cut at a record boundary is a well-formed shorter
    # image, which no reader can tell from the real thing.
    cut = rng.randint(2, max(3, len(data) - 4))
    if cut % 4 == 0:
        cut -= 1
    open(dst, "wb").write(data[:cut])


def one_cli_run(build, tmp, index, rng):
    lines = rng.randint(1, 24)
    burst = rng.randint(1, 16)
    image = os.path.join(tmp, "image%d.pf3" % (index % 4))
    write_image(build, image, lines, burst, rng.randint(1, 1 << 30))
    weights = [w for _, w, _ in FAULTS]
    name, _, maker = rng.choices(FAULTS, weights=weights)[0]
    options, expected, image_change, interrupt_at = maker(rng, lines)
    host_image = image
    cli_options = []
    if image_change in ("cut", "cut-force"):
        host_image = os.path.join(tmp, "cut.pf3")
        cut_image(image, host_image, rng)
        if image_change == "cut-force":
            cli_options.append("--force")

    limit = model_seconds(lines) + HANG_ALLOWANCE_S
    sim = Sim(build, image, options, limit + 5)
    start = time.monotonic()
    cli = subprocess.Popen([os.path.join(build, "flash3-cli"), "-q"] + cli_options
                           + ["--device", sim.device, host_image],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if interrupt_at is not None:
        # Once the CLI has written its first line its signal handling is in place.
        select.select([cli.stdout], [], [], 5)
        time.sleep(interrupt_at)
        cli.send_signal(signal.SIGINT)
    hung = False
    try:
        out, err = cli.communicate(timeout=limit)
    except subprocess.TimeoutExpired:
        hung = True
        cli.kill()
        out, err = cli.communicate()
    wall = time.monotonic() - start
    if not hung and cli.returncode == REFUSED:
        # Nothing was sent, so the device waits for a session that never comes.
        sim.proc.terminate()
    sim_status, sim_err = sim.finish()

    problems = []
    if hung:
        problems.append("the CLI did not end within %.1f s" % limit)
    elif cli.returncode != expected:
        problems.append("the CLI's verdict is wrong")
    if sim_status is None:
        problems.append("the device did not end")
    elif (cli.returncode == COMPLETED) != (sim_status == 0):
        problems.append("the CLI's verdict (%s) disagrees with the device's (%s)" % (cli.returncode, sim_status))
    if not hung and cli.returncode == REFUSED and "received 0 bytes" not in sim_err:
        problems.append("the CLI refused the image but sent bytes")
    verdict = "none (hung)" if hung else verdict_name(cli.returncode)
    return name, wall, problems, (options, cli_options, lines, burst, expected, verdict, out, err, sim_err)


def verdict_name(status):
    return "%s (%s)" % (status, VERDICTS.get(status, "?"))


def last_lines(text, count):
    lines = [l for l in text.splitlines() if l.strip()]
    return lines[-count:]


def cli_soak(build, runs, seed):
    rng = random.Random(seed)
    kinds = collections.Counter()
    failures = 0
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="flash3-soak-") as tmp:
        for i in range(1, runs + 1):
            name, wall, problems, detail = one_cli_run(build, tmp, i, rng)
            kinds[name] += 1
            if problems:
                failures += 1
                options, cli_options, lines, burst, expected, verdict, out, err, sim_err = detail
                print("run %d: fault %s (sim %s; CLI %s; %d lines of %d): expected verdict %s, got %s: %s" % (
                    i, name, " ".join(options) or "-", " ".join(cli_options) or "-", lines, burst,
                    verdict_name(expected), verdict, "; ".join(problems)))
                print("  device: " + sim_err.strip())
                print("  last Status lines:")
                for line in last_lines(out, 3):
                    print("    " + line)
                print("  last Debug lines:")
                for line in last_lines(err, DEBUG_LINES):
                    print("    " + line)
            if i % 100 == 0:
                print("soak: %d runs, %d wrong, %.0f s" % (i, failures, time.monotonic() - started), flush=True)
    elapsed = time.monotonic() - started
    print("soak: CLI runs: %d, wrong verdicts or hangs: %d, wall time %.1f s" % (runs, failures, elapsed))
    print("soak: faults: " + ", ".join("%s %d" % (k, kinds[k]) for k, _, _ in FAULTS if kinds[k]))
    return failures == 0


def descriptors(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


class Driver:
    def __init__(self, build, device, image, tmp):
        # Qt's chatter about the offscreen platform goes to a file, shown on failure.
        self.err_path = os.path.join(tmp, "driver.err")
        runtime = os.path.join(tmp, "runtime")
        os.makedirs(runtime, mode=0o700, exist_ok=True)
        env = dict(os.environ, XDG_RUNTIME_DIR=runtime)
        with open(self.err_path, "w") as err:
            self.proc = subprocess.Popen([os.path.join(build, "flash3-soak-driver"), "--device", device, image],
                                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=err,
                                         text=True, bufsize=1, env=env)

    def errors(self):
        lines = [l for l in open(self.err_path).read().splitlines() if "does not support" not in l]
        return "\n".join(lines[-40:])

    def read_line(self, timeout_s):
        ready, _, _ = select.select([self.proc.stdout], [], [], timeout_s)
        if not ready:
            return None
        return self.proc.stdout.readline().strip()

    def ask(self, command, timeout_s):
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()
        return self.read_line(timeout_s)

    def debug_lines(self, count):
        """The last Debug lines of the program's last run."""
        answer = self.ask("debug %d" % count, 10)
        if not answer or not answer.startswith("debug "):
            return ["(no Debug lines: the program answered %r)" % answer]
        return json.loads(answer[len("debug "):])


def gui_soak(build, runs, seed, check_memory):
    rng = random.Random(seed * 7919 + 1)
    lines = 12
    ok = True
    with tempfile.TemporaryDirectory(prefix="flash3-soak-gui-") as tmp:
        image = os.path.join(tmp, "image.pf3")
        write_image(build, image, lines, 16, seed)
        sim = Sim(build, image, ["--persist"], 3600)
        driver = Driver(build, sim.device, image, tmp)
        ready = driver.read_line(30)
        if not ready or not ready.startswith("ready "):
            print("soak: the long-lived program did not start: %r\n%s" % (ready, driver.errors()))
            driver.proc.kill()
            sim.proc.kill()
            return False
        pid = driver.proc.pid
        # The logs fill up to their caps during the first runs; measure after that.
        warm = max(1, runs // 4)
        before = None
        outcomes = collections.Counter()
        started = time.monotonic()
        for i in range(1, runs + 1):
            abort_ms = rng.randint(30, 150) if rng.random() < 0.25 else None
            command = "run" if abort_ms is None else "abort %d" % abort_ms
            fault = "none" if abort_ms is None else "aborted after %d ms" % abort_ms
            answer = driver.ask(command, model_seconds(lines) + HANG_ALLOWANCE_S + 60)
            if answer is None or not answer.startswith("done "):
                print("soak: run %d in the long-lived program: fault %s: %r" % (i, fault, answer))
                ok = False
                break
            outcome = answer.split()[2]
            outcomes[outcome] += 1
            want = "completed" if abort_ms is None else "aborted"
            if outcome != want:
                print("soak: run %d in the long-lived program: fault %s: expected verdict %s, got %s" % (
                    i, fault, want, outcome))
                print("  last Debug lines:")
                for line in driver.debug_lines(DEBUG_LINES):
                    print("    " + line)
                ok = False
            if i == warm:
                before = (descriptors(pid), rss_kib(pid))
        after = (descriptors(pid), rss_kib(pid)) if driver.proc.poll() is None else None
        bye = driver.ask("quit", 10) if after else None
        try:
            driver.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            driver.proc.kill()
            bye = None
        sim.proc.terminate()
        sim.finish()
        elapsed = time.monotonic() - started
        if bye != "bye":
            print("soak: the long-lived program did not exit cleanly: %r" % bye)
            ok = False
        if not ok:
            print(driver.errors())
        print("soak: long-lived program: %d runs (%s), wall time %.1f s" % (
            runs, ", ".join("%s %d" % kv for kv in sorted(outcomes.items())), elapsed))
        if before and after:
            print("soak: after run %d: %d descriptors, %d KiB resident; after run %d: %d descriptors, %d KiB resident"
                  % (warm, before[0], before[1], runs, after[0], after[1]))
            if after[0] > before[0]:
                print("soak: descriptors grew")
                ok = False
            if check_memory and after[1] - before[1] > RSS_ALLOWANCE_KIB:
                print("soak: resident memory grew by %d KiB" % (after[1] - before[1]))
                ok = False
        elif ok:
            print("soak: no figures from the long-lived program")
            ok = False
    return ok


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--runs", type=int, default=200)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--gui-runs", type=int, default=200)
    parser.add_argument("--no-memory-check", action="store_true")
    args = parser.parse_args()
    for program in ("flash3-cli", "flash3-sim", "flash3-soak-driver"):
        if not os.access(os.path.join(args.build, program), os.X_OK):
            print("soak: %s is not built in %s" % (program, args.build))
            return 2
    # The long-lived program shows its windows; headless unless told otherwise.
    os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")
    print("soak: seed %d" % args.seed, flush=True)
    ok = cli_soak(args.build, args.runs, args.seed)
    if args.gui_runs > 0:
        ok = gui_soak(args.build, args.gui_runs, args.seed, not args.no_memory_check) and ok
    print("soak: " + ("passed" if ok else "FAILED"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
