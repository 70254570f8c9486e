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

Part 3: STATION_RUNS station runs: one flash3-sim serving N devices (N
random in --station-ports) and one flash3-cli flashing all N at once, every
device with a fault of its own drawn from those of Part 1 that leave the
host's image alone. Every port's outcome in the JSON report must be the one
its fault calls for and agree with its device's summary (completed exactly
when the device got the whole image with no mismatch and gave every answer);
the CLI's exit status must follow from the outcomes and the station's from
its devices. One station run in six is interrupted (SIGINT to the CLI at a
random moment once every port has sent its entry bytes): exit 130, every
port aborted, every device ended. The report must validate against the
schema and every line of the log must begin with a date and time to the
millisecond.

    soak.py --build DIR [--runs N] [--seed S] [--gui-runs N] [--no-memory-check]
            [--station-runs N] [--station-ports MIN-MAX] [--station-lines MIN-MAX]

Exit status 0 when every verdict was right and nothing leaked or hung. A
wrong verdict is shown with its fault, the verdict expected and the one
given, and the last Debug lines of that run; in a station run, of every
port that went wrong.
"""

import argparse
import collections
import json
import os
import random
import re
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


# Station runs: one flash3-sim serving many devices, one flash3-cli flashing
# them all at once.
REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SCHEMA = os.path.join(REPO, "docs", "flash3-report.schema.json")
VALIDATOR = os.path.join(REPO, "tests", "validate_report.py")
# One station run in this many is interrupted as a whole: the second of
# every such block, so that even the two runs of the short soak have one.
STATION_INTERRUPT_EVERY = 6
# Share of a run's ports given a fault that fails them; 0: every port should
# complete, so the all-completed exit status gets its turn as well.
STATION_FAILING_SHARES = (0.0, 0.1, 0.25, 0.5)
# A date and time to the millisecond, as every log line begins.
LOG_LINE_START = re.compile(r"^\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}(Z|[+-]\d{2}:?\d{2})?[ \t]")
DEVICE_SUMMARY = re.compile(r"^device (\d+) \((.*?)\): (.*)$")
OUTCOME_OF = {COMPLETED: "completed", FAILED: "failed"}


def _per_device_faults():
    """The single runs' faults that concern one device alone, split into those the
    port should complete and those that should fail it."""
    completing, failing = [], []
    for fault in FAULTS:
        _, expected, image_change, interrupt_at = fault[2](random.Random(0), 2)
        if image_change is not None or interrupt_at is not None:
            continue
        (completing if expected == COMPLETED else failing).append(fault)
    return completing, failing


STATION_COMPLETING, STATION_FAILING = _per_device_faults()


def aim(options, device):
    """A single run's device options, aimed at device DEVICE of a station."""
    assert len(options) % 2 == 0
    aimed = []
    for i in range(0, len(options), 2):
        aimed += [options[i], "%s@%d" % (options[i + 1], device)]
    return aimed


def wait_for_lines(path, count, proc, timeout_s):
    """The first COUNT lines of the file PATH, once they are there; fewer if
    PROC ends or TIMEOUT_S passes first."""
    deadline = time.monotonic() + timeout_s
    while True:
        with open(path) as f:
            lines = f.read().splitlines()
        if len(lines) >= count or proc.poll() is not None or time.monotonic() > deadline:
            return lines[:count]
        time.sleep(0.01)


def wait_for_handshakes(path, ports, proc, timeout_s):
    """Waits until every port has sent its entry bytes (its "Program Mode = 102"
    line on stdout), so that every device has had bytes and ends when its line
    closes. Returns how many ports were seen."""
    pattern = re.compile(r"^(COM\d+): Program Mode = 102")
    seen = set()
    offset = 0
    pending = ""
    deadline = time.monotonic() + timeout_s
    while len(seen) < ports and proc.poll() is None and time.monotonic() < deadline:
        with open(path) as f:
            f.seek(offset)
            chunk = f.read()
            offset = f.tell()
        pending += chunk
        *complete, pending = pending.split("\n")
        for line in complete:
            m = pattern.match(line)
            if m:
                seen.add(m.group(1))
        if len(seen) < ports:
            time.sleep(0.005)
    return len(seen)


def read_text(path):
    try:
        with open(path, errors="replace") as f:
            return f.read()
    except OSError:
        return ""


def stop(proc):
    if proc.poll() is None:
        proc.kill()
        proc.wait()


def device_passed(summary):
    """Whether a device's summary line tells of a pass: the whole image, no
    mismatch and nothing else (no bytes beyond the image, no answer withheld
    or inverted, not unplugged). A spoiled last answer still leaves the image
    completed."""
    if summary is None:
        return False
    parts = summary.split("; ")
    return parts[1:] == ["no mismatch", "image completed"]


def one_station_run(build, tmp, index, rng, ports_range, lines_range):
    ports = rng.randint(*ports_range)
    lines = rng.randint(*lines_range)
    burst = rng.randint(1, 16)
    interrupted = index % STATION_INTERRUPT_EVERY == 2
    # Interrupted runs keep every port going until the signal comes.
    failing_share = 0.0 if interrupted else rng.choice(STATION_FAILING_SHARES)
    run_dir = os.path.join(tmp, "run%d" % index)
    os.makedirs(run_dir)
    image = os.path.join(run_dir, "image.pf3")
    write_image(build, image, lines, burst, rng.randint(1, 1 << 30))

    plan = []  # per device: (fault name, its options, the outcome called for)
    sim_options = []
    for k in range(ports):
        pool = STATION_FAILING if rng.random() < failing_share else STATION_COMPLETING
        name, _, maker = rng.choices(pool, weights=[w for _, w, _ in pool])[0]
        options, expected, _, _ = maker(rng, lines)
        options = aim(options, k)
        sim_options += options
        plan.append((name, options, "aborted" if interrupted else OUTCOME_OF[expected]))
    all_complete = all(outcome == "completed" for _, _, outcome in plan)
    if interrupted:
        expected_status = INTERRUPTED
    else:
        expected_status = COMPLETED if all_complete else FAILED
    # After every port has sent its entry bytes; well before the first could end.
    interrupt_at = rng.uniform(0.0, model_seconds(lines) * 0.5) if interrupted else None

    limit = model_seconds(lines) + HANG_ALLOWANCE_S
    prefix = os.path.join(run_dir, "dev")
    paths = ["%s%d" % (prefix, k) for k in range(ports)]
    report = os.path.join(run_dir, "report.json")
    log = os.path.join(run_dir, "run.log")
    files = {name: os.path.join(run_dir, name) for name in ("sim.out", "sim.err", "cli.out", "cli.err")}
    sim_command = [os.path.join(build, "flash3-sim"), "--devices", str(ports), "--link-prefix", prefix,
                   "--timeout", str(int(limit + 5))] + sim_options + [image]
    cli_command = [os.path.join(build, "flash3-cli"), "-q", "--json", report, "--log", log]
    for path in paths:
        cli_command += ["-p", path]
    cli_command.append(image)

    problems = []
    hung = False
    cli = None
    cli_status = sim_status = None
    started = time.monotonic()
    with open(files["sim.out"], "w") as sim_out, open(files["sim.err"], "w") as sim_err:
        sim = subprocess.Popen(sim_command, stdout=sim_out, stderr=sim_err, text=True)
    try:
        listed = wait_for_lines(files["sim.out"], ports, sim, 10)
        if len(listed) < ports:
            problems.append("flash3-sim listed %d of %d devices" % (len(listed), ports))
        else:
            with open(files["cli.out"], "w") as cli_out, open(files["cli.err"], "w") as cli_err:
                cli = subprocess.Popen(cli_command, stdout=cli_out, stderr=cli_err, text=True)
            started = time.monotonic()
            if interrupted:
                seen = wait_for_handshakes(files["cli.out"], ports, cli, limit)
                if seen < ports:
                    problems.append("before the interrupt only %d of %d ports had sent their entry bytes"
                                    % (seen, ports))
                time.sleep(interrupt_at)
                if cli.poll() is None:
                    cli.send_signal(signal.SIGINT)
            try:
                cli_status = cli.wait(timeout=max(0.1, limit - (time.monotonic() - started)))
            except subprocess.TimeoutExpired:
                hung = True
                stop(cli)
        try:
            sim_status = sim.wait(timeout=10)
        except subprocess.TimeoutExpired:
            pass
    finally:
        # Whatever went wrong, nothing of this run outlives it.
        if cli is not None:
            stop(cli)
        stop(sim)
    wall = time.monotonic() - started

    out, err = read_text(files["cli.out"]), read_text(files["cli.err"])
    summaries = {}
    for line in read_text(files["sim.err"]).splitlines():
        m = DEVICE_SUMMARY.match(line)
        if m:
            k = int(m.group(1))
            if k in summaries:
                problems.append("device %d gave two summaries" % k)
            elif k >= ports or m.group(2) != paths[k]:
                problems.append("a summary for no device of this station: %r" % line)
            summaries[k] = line

    if cli is not None:
        if hung:
            problems.append("the CLI did not end within %.1f s" % limit)
        elif cli_status != expected_status:
            problems.append("the CLI's exit status is %s, expected %s" % (
                verdict_name(cli_status), verdict_name(expected_status)))
    if sim_status is None:
        problems.append("the station of devices did not end")
    elif (sim_status == 0) != all_complete:
        problems.append("the station's exit status is %d, expected %s" % (sim_status, "0" if all_complete else "1"))
    missing = [k for k in range(ports) if k not in summaries]
    if missing and cli is not None:
        problems.append("no summary from device(s) %s" % ", ".join(map(str, missing)))

    # The report, port by port.
    port_problems = {}  # device -> what is wrong with its port
    entries = {}
    if cli is not None and not hung:
        try:
            with open(report) as f:
                document = json.load(f)
        except (OSError, ValueError) as e:
            problems.append("no readable report: %s" % e)
            document = None
        if document is not None:
            check = subprocess.run([sys.executable, VALIDATOR, SCHEMA, report],
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            if check.returncode != 0:
                problems.append("the report does not validate against the schema: "
                                + "; ".join(check.stdout.strip().splitlines()[:5]))
            if document.get("exitStatus") != cli_status:
                problems.append("the report's exitStatus is %r, the CLI's %r" % (document.get("exitStatus"), cli_status))
            for entry in document.get("ports", []) if isinstance(document.get("ports"), list) else []:
                device = entry.get("device") if isinstance(entry, dict) else None
                if device not in paths:
                    problems.append("the report names a port %r that was not asked for" % (device,))
                elif paths.index(device) in entries:
                    problems.append("the report names %s twice" % device)
                else:
                    entries[paths.index(device)] = entry
            absent = [paths[k] for k in range(ports) if k not in entries]
            if absent:
                problems.append("the report leaves out %s" % ", ".join(absent))
        verdict_lines = set(l for l in err.splitlines() if l.startswith("flash3-cli: COM"))
        for k, entry in sorted(entries.items()):
            wrong = []
            outcome = entry.get("outcome")
            if outcome != plan[k][2]:
                wrong.append("expected %s, got %s" % (plan[k][2], outcome))
            passed = device_passed(summaries.get(k))
            if (outcome == "completed") != passed:
                wrong.append("the report says %s, but the device %s" % (
                    outcome, "passed" if passed else "did not pass"))
            line = "flash3-cli: COM%s: %s" % (entry.get("com"), entry.get("verdict"))
            if line not in verdict_lines:
                wrong.append("no verdict line %r on stderr" % line)
            if wrong:
                port_problems[k] = wrong

        log_lines = read_text(log).splitlines()
        if not log_lines:
            problems.append("the log is empty")
        undated = [l for l in log_lines if not LOG_LINE_START.match(l)]
        if undated:
            problems.append("%d log line(s) without a date and time to the millisecond, first: %r"
                            % (len(undated), undated[0]))

    detail = dict(ports=ports, lines=lines, burst=burst, interrupt_at=interrupt_at, plan=plan,
                  expected_status=expected_status, cli_status=cli_status, hung=hung, sim_status=sim_status,
                  summaries=summaries, entries=entries, port_problems=port_problems, out=out, err=err,
                  sim_err=read_text(files["sim.err"]), sim_command=sim_command, wall=wall)
    return problems, detail


def port_debug_lines(err, com, count):
    prefix = "COM%s: " % com
    return [l for l in err.splitlines() if l.startswith(prefix)][-count:]


def show_station_run(index, seed, problems, d):
    what = "interrupted after %.3f s" % d["interrupt_at"] if d["interrupt_at"] is not None else "not interrupted"
    got = "none (hung)" if d["hung"] else verdict_name(d["cli_status"]) if d["cli_status"] is not None else "not run"
    print("station run %d (seed %d, %.1f s): %d ports, %d lines of %d, %s: expected exit status %s, got %s; "
          "station %s: %s" % (
        index, seed, d["wall"], d["ports"], d["lines"], d["burst"], what, verdict_name(d["expected_status"]), got,
        d["sim_status"] if d["sim_status"] is not None else "did not end",
        "; ".join(problems) or "%d port(s) wrong" % len(d["port_problems"])))
    print("  station: " + " ".join(d["sim_command"][1:]))
    shown = d["port_problems"] if d["port_problems"] else {}
    for k, wrong in sorted(shown.items()):
        name, options, _ = d["plan"][k]
        entry = d["entries"].get(k, {})
        print("  port COM%s (device %d, fault %s: %s): %s" % (
            entry.get("com"), k, name, " ".join(options) or "-", "; ".join(wrong)))
        print("    verdict: %s" % entry.get("verdict"))
        print("    device: %s" % d["summaries"].get(k, "(no summary)"))
        print("    last Debug lines:")
        for line in port_debug_lines(d["err"], entry.get("com"), DEBUG_LINES):
            print("      " + line)
    if problems and not shown:
        # Nothing to pin on one port: the run's own last lines.
        print("  devices:")
        for line in last_lines(d["sim_err"], 4):
            print("    " + line)
        print("  last lines on the CLI's stderr:")
        for line in last_lines(d["err"], DEBUG_LINES):
            print("    " + line)


def station_soak(build, runs, seed, ports_range, lines_range):
    # A generator of its own: the single runs' draws stay as they were.
    rng = random.Random(seed * 104729 + 3)
    kinds = collections.Counter()
    outcomes = collections.Counter()
    statuses = collections.Counter()
    failures = 0
    ports_total = 0
    interrupts = 0
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="flash3-soak-station-") as tmp:
        for i in range(1, runs + 1):
            problems, d = one_station_run(build, tmp, i, rng, ports_range, lines_range)
            ports_total += d["ports"]
            interrupts += d["interrupt_at"] is not None
            kinds.update(name for name, _, _ in d["plan"])
            outcomes.update(str(e.get("outcome")) for e in d["entries"].values())
            statuses["hung" if d["hung"] else str(d["cli_status"])] += 1
            if problems or d["port_problems"]:
                failures += 1
                show_station_run(i, seed, problems, d)
            if i % 10 == 0:
                print("soak: %d station runs, %d wrong, %.0f s" % (i, failures, time.monotonic() - started),
                      flush=True)
    elapsed = time.monotonic() - started
    print("soak: station runs: %d (%d ports in all, %d of the runs interrupted), wrong verdicts or hangs: %d, wall time %.1f s" % (
        runs, ports_total, interrupts, failures, elapsed))
    if runs:
        print("soak: station faults: " + ", ".join("%s %d" % (k, kinds[k]) for k, _, _ in FAULTS if kinds[k]))
        print("soak: station outcomes: " + ", ".join("%s %d" % kv for kv in sorted(outcomes.items()))
              + "; the CLI's exit statuses: " + ", ".join("%s %d" % kv for kv in sorted(statuses.items())))
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


def count_range(text):
    """MIN-MAX (or a single number) as a pair, for the station options."""
    try:
        low, _, high = text.partition("-")
        low, high = int(low), int(high or low)
    except ValueError:
        raise argparse.ArgumentTypeError("%r is not MIN-MAX" % text)
    if not 1 <= low <= high:
        raise argparse.ArgumentTypeError("%r: want 1 <= MIN <= MAX" % text)
    return low, high


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--runs", type=int, default=200)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--gui-runs", type=int, default=200)
    parser.add_argument("--no-memory-check", action="store_true")
    # Few by default: the short soak under ctest passes no station options.
    # ./run.sh soak asks for more.
    parser.add_argument("--station-runs", type=int, default=2,
                        help="station runs, one flash3-sim of many devices and one flash3-cli each (default 2)")
    parser.add_argument("--station-ports", type=count_range, default=(8, 32), metavar="MIN-MAX",
                        help="ports of a station run, drawn at random (default 8-32)")
    parser.add_argument("--station-lines", type=count_range, default=(2, 12), metavar="MIN-MAX",
                        help="lines of a station run's image, drawn at random (default 2-12)")
    args = parser.parse_args()
    if args.station_ports[1] > 99:
        parser.error("--station-ports: a station has at most 99 COM numbers")
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
    if args.station_runs > 0:
        ok = station_soak(args.build, args.station_runs, args.seed, args.station_ports, args.station_lines) and ok
    print("soak: " + ("passed" if ok else "FAILED"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
