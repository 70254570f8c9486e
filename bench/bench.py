#!/usr/bin/env python3
"""Benchmarks of flash3: runs the real programs (flash3-cli against flash3-sim,
the desktop program offscreen) and the helpers of bench/, prints one table and
writes it as Markdown.

    bench.py [--smoke] [--only IDS] [--out FILE] BUILD_DIR

--smoke runs every benchmark once at a tiny size (for the ctest smoke test);
--only 1,3,7 measures those figures again and keeps the other rows of the
previous full run (BUILD_DIR/bench-results.json).

Every value in the table is the median of the figure's runs, followed by the
lowest and the highest of them: "X (min A, max B)"; a figure judged against its
target is judged by that median.
"""

import argparse
import datetime
import json
import os
import platform
import random
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

TICK_S = 0.005
# A run against a device that answers at once: E1 and 94 take one tick each,
# the reply is taken on the next, 36 quiet ticks follow (the last of them also
# starts the reader), then every line takes a tick for its burst of T records
# and one for its R answer.
HANDSHAKE_TICKS = 2 + 1 + 36
MIB = 1 << 20

HERE = os.path.dirname(os.path.abspath(__file__))


class BenchError(Exception):
    pass


# ---------------------------------------------------------------- processes

class Timed:
    """A child process timed from just before its spawn to its exit, with its
    own resource usage (peak resident memory) from wait4."""

    def __init__(self, argv, env=None, cwd=None, stdout=subprocess.DEVNULL, stderr=None):
        self.argv = argv
        self.start = time.monotonic_ns()
        self.proc = subprocess.Popen(argv, env=env, cwd=cwd, stdout=stdout, stderr=stderr)
        self.end = None
        self.status = None
        self.maxrss_kib = None
        self.cpu_s = None

    def wait(self, timeout=None):
        if timeout is not None:
            # wait4 cannot time out: a watchdog kills a hung child instead.
            timer = threading.Timer(timeout, self._kill)
            timer.start()
        try:
            _, status, usage = os.wait4(self.proc.pid, 0)
        finally:
            if timeout is not None:
                timer.cancel()
        self.end = time.monotonic_ns()
        self.status = os.waitstatus_to_exitcode(status)
        self.proc.returncode = self.status  # reaped here, not by Popen
        self.maxrss_kib = usage.ru_maxrss
        self.cpu_s = usage.ru_utime + usage.ru_stime
        return self.status

    def _kill(self):
        try:
            self.proc.kill()
        except ProcessLookupError:
            pass

    @property
    def seconds(self):
        return (self.end - self.start) / 1e9


class Sim:
    """flash3-sim on a fresh pseudo-terminal; its exit status tells whether the
    device saw every byte of IMAGE."""

    def __init__(self, bench, image=None, timeout=600, extra=()):
        self.err = tempfile.TemporaryFile(dir=bench.work)
        argv = [bench.exe("flash3-sim"), "--timeout", str(timeout), *extra]
        if image:
            argv.append(image)
        self.proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=self.err, text=True)
        self.pty = self.proc.stdout.readline().strip()
        if not self.pty.startswith("/"):
            self.stop()
            raise BenchError("flash3-sim printed no pty path: " + self.stderr())

    def finish(self, timeout=30):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.stop()
            return None

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()

    def stderr(self):
        self.err.seek(0)
        return self.err.read().decode(errors="replace").strip()


# ---------------------------------------------------------------- helpers

def median(values):
    return statistics.median(values)


def percentile(sorted_values, p):
    """Nearest-rank percentile of an ascending list."""
    if not sorted_values:
        raise BenchError("no values")
    rank = max(1, int(-(-p * len(sorted_values) // 100)))
    return sorted_values[min(rank, len(sorted_values)) - 1]


def fmt_ms(seconds, digits=1):
    return f"{seconds * 1000:.{digits}f} ms"


def spread(values, number, unit=""):
    """The median of repeated runs, then their lowest and highest (in the same
    unit), e.g. "17.4 ms (min 16.9, max 18.0)"; "(1 run)" at smoke sizes."""
    if not values:
        raise BenchError("no values")
    text = number(median(values)) + unit
    if len(values) == 1:
        return text + " (1 run)"
    return f"{text} (min {number(min(values))}, max {number(max(values))})"


def ms_spread(seconds_list, digits=1):
    return spread(seconds_list, lambda x: f"{x * 1000:.{digits}f}", " ms")


def count(n, word):
    return f"{n} {word}" + ("" if n == 1 else "s")


def runs_text(values, number):
    return ", ".join(number(x) for x in values)


def loadavg():
    try:
        return os.getloadavg()[0]
    except OSError:
        return float("nan")


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def parse_fields(line):
    return dict(re.findall(r"(\w+)=(\S+)", line))


# ---------------------------------------------------------------- the benchmarks

class Bench:
    def __init__(self, build, smoke):
        self.build = build
        self.smoke = smoke
        self.work = tempfile.mkdtemp(prefix="flash3-bench-", dir=build)
        self.runtime = os.path.join(self.work, "runtime")
        os.mkdir(self.runtime, 0o700)
        self.rows = []
        self.notes = []
        self._images = {}
        # Sizes: the full ones, or tiny ones that only keep the benchmarks alive.
        # A full run repeats every figure at least 3 times (its value is the median).
        if smoke:
            self.lines, self.runs, self.rounds = 20, 1, 1
            self.pairs = 8
            self.idle_s, self.idle_runs = 1.0, 1
            self.small, self.large = 64 * 1024, 1 * MIB
            self.memory_runs = 1
            self.check_runs = 1
            self.log_lines, self.log_runs = 1000, 1
            self.start_runs = 1
            self.station_ports, self.station_rounds = 8, 1
        else:
            self.lines, self.runs, self.rounds = 300, 5, 5
            self.pairs = 8
            self.idle_s, self.idle_runs = 10.0, 3
            self.small, self.large = 1 * MIB, 100 * MIB
            self.memory_runs = 3
            self.check_runs = 5
            self.log_lines, self.log_runs = 100000, 5
            self.start_runs = 11
            self.station_ports, self.station_rounds = 64, 3

    def exe(self, name):
        return os.path.join(self.build, name)

    def has(self, name):
        return os.access(self.exe(name), os.X_OK)

    def cleanup(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def row(self, fid, figure, value, target, holds, detail=None):
        self.rows.append({"id": fid, "figure": figure, "value": value, "target": target, "holds": holds,
                          "detail": detail})
        mark = {True: "yes", False: "no", None: "n/a"}[holds]
        print(f"  [{fid}] {figure}: {value} (target {target}: {mark})" + (f"; {detail}" if detail else ""),
              file=sys.stderr, flush=True)

    def gui_env(self, **extra):
        env = dict(os.environ)
        env.update(QT_QPA_PLATFORM="offscreen", XDG_RUNTIME_DIR=self.runtime)
        env.pop("QT_FATAL_WARNINGS", None)
        env.update(extra)
        return env

    # ---- images

    def sample_image(self, lines):
        """A typical image: per line 16 T records, one R, one E."""
        key = ("sample", lines)
        if key not in self._images:
            path = os.path.join(self.work, f"sample-{lines}.pf3")
            subprocess.run([self.exe("flash3-sim"), "--write-sample", path, "--lines", str(lines),
                            "--seed", "1", "--burst", "16"], check=True, stdout=subprocess.DEVNULL)
            self._images[key] = path
        return self._images[key]

    def typical_image(self, size):
        """A typical image of about `size` bytes (72 bytes a line)."""
        return self.generated_image("typical", size, with_answer=True)

    def fast_image(self, size):
        """Only T and E records (16 T per line): the whole image goes out in
        one burst, so even a large one runs in reasonable time."""
        return self.generated_image("fast", size, with_answer=False)

    def generated_image(self, kind, size, with_answer):
        key = (kind, size)
        if key not in self._images:
            path = os.path.join(self.work, f"{kind}-{size}.pf3")
            rng = random.Random(7)
            lines = []
            for _ in range(4096):
                data = [rng.randrange(256) for _ in range(16)]
                check = 0
                for b in data:
                    check ^= b
                answer = f"R{check:02X}:" if with_answer else ""
                lines.append("".join(f"T{b:02X}:" for b in data) + answer + "E\r\n:")
            block = "".join(lines).encode()
            line_size = len(lines[0])
            count = max(1, size // line_size)
            whole, rest = divmod(count, len(lines))
            with open(path, "wb") as f:
                for _ in range(whole):
                    f.write(block)
                f.write(block[:rest * line_size])
            self._images[key] = path
        return self._images[key]

    # ---- one run of flash3-cli against flash3-sim

    def start_run(self, image, sim, tick_log=None):
        env = dict(os.environ)
        env.pop("FLASH3_TICK_LOG", None)
        if tick_log:
            env["FLASH3_TICK_LOG"] = tick_log
        return Timed([self.exe("flash3-cli"), "--quiet", "--port", "2", "--device", sim.pty, image],
                     env=env, stderr=subprocess.DEVNULL)

    def check_run(self, run, sim, what):
        sim_status = sim.finish()
        if run.status != 0 or sim_status != 0:
            raise BenchError(f"{what}: flash3-cli exit {run.status}, flash3-sim exit {sim_status}: "
                             + sim.stderr()[-300:])

    # ---- figures 1 and 3

    def fig_tick_fidelity(self):
        image = self.sample_image(self.lines)
        model = (HANDSHAKE_TICKS + 2 * self.lines) * TICK_S
        ratios, per_run = [], []
        for i in range(self.runs):
            log = os.path.join(self.work, f"ticks-{i}.txt")
            sim = Sim(self, image, timeout=model * 5 + 10)
            run = self.start_run(image, sim, tick_log=log)
            run.wait(timeout=model * 5 + 10)
            self.check_run(run, sim, "figure 1")
            ratios.append(run.seconds / model)
            with open(log) as f:
                intervals = sorted(int(x) / 1e6 for x in f if x.strip())
            if not intervals:
                raise BenchError("figure 3: no tick intervals recorded")
            per_run.append(intervals)
        r = median(ratios)
        three = lambda x: f"{x:.3f}"
        self.row("1", "Tick fidelity: run time / tick model", spread(ratios, three), "<= 1.02", r <= 1.02,
                 f"{self.lines}-line sample image, model {HANDSHAKE_TICKS + 2 * self.lines} ticks = {model:.3f} s; "
                 f"median of {count(len(ratios), 'run')}: {runs_text(ratios, three)}")

        # Each run's median, 99th percentile and longest interval; the row gives
        # the median run of each.
        meds = [median(s) for s in per_run]
        p99s = [percentile(s, 99) for s in per_run]
        tops = [s[-1] for s in per_run]
        med, p99 = median(meds), median(p99s)
        holds = abs(med - TICK_S) <= 0.0002 and p99 < 0.007
        pooled = sorted(x for s in per_run for x in s)
        self.row("3", "Tick jitter (intervals during figure 1)",
                 f"median {ms_spread(meds, 2)}, p99 {ms_spread(p99s, 2)}, longest {ms_spread(tops, 2)}",
                 "median 5 ± 0.2 ms, p99 < 7 ms", holds,
                 f"each run's median, 99th percentile and longest interval, median of "
                 f"{count(len(per_run), 'run')}; "
                 f"all {len(pooled)} intervals together: median {fmt_ms(median(pooled), 2)}, "
                 f"p99 {fmt_ms(percentile(pooled, 99), 2)}, max {fmt_ms(pooled[-1], 2)}")

    # ---- figure 2

    def fig_many_ports(self):
        image = self.sample_image(self.lines)
        model = (HANDSHAKE_TICKS + 2 * self.lines) * TICK_S
        worst_per_round = []
        for _ in range(self.rounds):
            sims = [Sim(self, image, timeout=model * 10 + 20) for _ in range(self.pairs)]
            runs = [self.start_run(image, sim) for sim in sims]
            waiters = [threading.Thread(target=r.wait, kwargs={"timeout": model * 10 + 20}) for r in runs]
            for w in waiters:
                w.start()
            for w in waiters:
                w.join()
            for run, sim in zip(runs, sims):
                self.check_run(run, sim, "figure 2")
            worst_per_round.append(max(r.seconds for r in runs) / model)
        w = median(worst_per_round)
        three = lambda x: f"{x:.3f}"
        self.row("2", f"Many ports: worst run time / tick model, {self.pairs} pairs at once",
                 spread(worst_per_round, three), "<= 1.05", w <= 1.05,
                 f"the slowest of the {self.pairs} runs in each round, median of "
                 f"{count(len(worst_per_round), 'round')}: {runs_text(worst_per_round, three)}")

    # ---- figure 10

    def station_sim(self, image, ports, timeout):
        """One flash3-sim serving `ports` devices; returns it and their paths."""
        prefix = os.path.join(self.work, f"station-{random.randrange(1 << 30)}-dev")
        err = tempfile.TemporaryFile(dir=self.work)
        proc = subprocess.Popen([self.exe("flash3-sim"), "--devices", str(ports), "--link-prefix", prefix,
                                 "--timeout", str(int(timeout)), image],
                                stdout=subprocess.PIPE, stderr=err, text=True)
        paths = [proc.stdout.readline().strip() for _ in range(ports)]
        if not all(p.startswith("/") for p in paths):
            proc.kill()
            proc.wait()
            err.seek(0)
            raise BenchError("flash3-sim --devices printed no pty paths: " + err.read().decode(errors="replace"))
        return proc, err, [f"{prefix}{k}" for k in range(ports)]

    def finish_station_sim(self, proc, err, what):
        try:
            status = proc.wait(60)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
            status = None
        if status != 0:
            err.seek(0)
            raise BenchError(f"{what}: flash3-sim exit {status}: " + err.read().decode(errors="replace")[-400:])

    def station_durations(self, report_paths):
        durations = []
        for path in report_paths:
            with open(path) as f:
                report = json.load(f)
            for port in report["ports"]:
                if port["outcome"] != "completed":
                    raise BenchError(f"a port of {path} ended {port['outcome']}: {port['verdict']}")
                durations.append(port["durationSeconds"])
        return durations

    def fig_station(self):
        image = self.sample_image(self.lines)
        model = (HANDSHAKE_TICKS + 2 * self.lines) * TICK_S
        n = self.station_ports
        one = {"worst": [], "cpu": [], "wall": []}
        many = {"worst": [], "cpu": [], "wall": []}
        for r in range(self.station_rounds):
            # One flash3-cli driving every port.
            proc, err, links = self.station_sim(image, n, model * 10 + 30)
            report = os.path.join(self.work, f"station-{r}.json")
            argv = [self.exe("flash3-cli"), "--quiet", "--json", report]
            for link in links:
                argv += ["-p", link]
            run = Timed(argv + [image], stderr=subprocess.DEVNULL)
            run.wait(timeout=model * 10 + 30)
            self.finish_station_sim(proc, err, "figure 10 (one process)")
            if run.status != 0:
                raise BenchError(f"figure 10: flash3-cli exit {run.status}")
            one["worst"].append(max(self.station_durations([report])) / model)
            one["cpu"].append(run.cpu_s / run.seconds)
            one["wall"].append(run.seconds / model)

            # The same ports, one flash3-cli each, all at once.
            proc, err, links = self.station_sim(image, n, model * 10 + 30)
            reports = [os.path.join(self.work, f"station-{r}-{k}.json") for k in range(n)]
            began = time.monotonic_ns()
            runs = [Timed([self.exe("flash3-cli"), "--quiet", "--json", reports[k], "-p", links[k], image],
                          stderr=subprocess.DEVNULL) for k in range(n)]
            waiters = [threading.Thread(target=x.wait, kwargs={"timeout": model * 10 + 30}) for x in runs]
            for w in waiters:
                w.start()
            for w in waiters:
                w.join()
            wall = (max(x.end for x in runs) - began) / 1e9
            self.finish_station_sim(proc, err, "figure 10 (one process per port)")
            if any(x.status != 0 for x in runs):
                raise BenchError("figure 10: a flash3-cli of the 64 processes failed")
            many["worst"].append(max(self.station_durations(reports)) / model)
            many["cpu"].append(sum(x.cpu_s for x in runs) / wall)
            many["wall"].append(max(x.seconds for x in runs) / model)

        three = lambda x: f"{x:.3f}"
        pct = lambda x: f"{100 * x:.1f} %"
        worst, cpu = median(one["worst"]), median(one["cpu"])
        rounds = count(self.station_rounds, "round")
        self.row("10a", f"Station: {n} ports from one flash3-cli, worst run time / tick model",
                 spread(one["worst"], three), "<= 1.02", worst <= 1.02,
                 f"{self.lines}-line sample image, {n} devices of one flash3-sim; each port's run from \"Program "
                 f"FLASH\" to its end (the report's durationSeconds), the slowest port per round, median of {rounds}; "
                 f"the whole process from spawn to exit: {spread(one['wall'], three)}")
        self.row("10b", f"Station: CPU time of the one flash3-cli over its run, {n} ports",
                 spread(one["cpu"], pct), "<= 25 % of one core", cpu <= 0.25,
                 f"user + system time / wall time of the process, median of {rounds}")
        self.row("10c", f"Beside it: {n} ports as {n} separate flash3-cli processes",
                 f"worst run time / tick model {spread(many['worst'], three)}; CPU {spread(many['cpu'], pct)}",
                 "-", None,
                 f"the same devices and image in the same rounds; CPU is all {n} processes' user + system time "
                 f"over the wall time from the first spawn to the last exit (start-up included); "
                 f"the slowest process from spawn to exit: {spread(many['wall'], three)}")

    # ---- figure 4

    def idle_runs_text(self, runs):
        """What the detail of an idle row says about its runs."""
        ended = sum(r["threads_ended"] for r in runs)
        switches = ", ".join(f"{r['voluntary']}/{r['involuntary']}" for r in runs)
        return (f"{count(len(runs), 'run')} of {self.idle_s:g} s; context switches per run (voluntary/involuntary) "
                f"{switches}, wake-ups per run "
                f"{runs_text([r['wakeups'] for r in runs], str)}, ticks per run "
                f"{runs_text([r['ticks'] for r in runs], str)}, "
                f"{count(max(r['threads'] for r in runs), 'thread')}"
                + (f"; {count(ended, 'thread')} ended during a span, their switches not counted" if ended else ""))

    @staticmethod
    def idle_run(f, what):
        """One idle span's fields. Wake-ups are the kernel's context switches of
        all threads, less the one voluntary switch that belongs to the
        measurement (the sleep that the timer ending the span wakes)."""
        voluntary, involuntary = int(f["voluntary"]), int(f["involuntary"])
        if voluntary < 1:
            raise BenchError(f"{what}: the program never slept during the idle span: {f!r}")
        wall_s = int(f["wall_us"]) / 1e6
        wakeups = voluntary - 1 + involuntary
        return {"cpu_us": int(f["cpu_us"]), "wall_s": wall_s, "ticks": int(f["ticks"]), "wakeups": wakeups,
                "voluntary": voluntary, "involuntary": involuntary,
                "rate": wakeups / wall_s, "share": int(f["cpu_us"]) / int(f["wall_us"]) * 100,
                "threads": int(f["threads"]), "threads_ended": int(f["threads_ended"])}

    def idle_rows(self, wake_id, cpu_id, what, runs, detail):
        rates = [r["rate"] for r in runs]
        shares = [r["share"] for r in runs]
        rate, share = median(rates), median(shares)
        self.row(wake_id, f"Idle wake-ups, {what} (port open, no run)",
                 spread(rates, lambda x: f"{x:.2f}", " per second"), "0 per second", rate == 0,
                 detail + self.idle_runs_text(runs))
        self.row(cpu_id, f"Idle CPU, {what} (port open, no run)",
                 spread(shares, lambda x: f"{x:.3f}", " % of one core"), "< 0.1 %", share < 0.1,
                 f"user and system time of all threads over the same spans as {wake_id}; CPU per run "
                 + runs_text([r["cpu_us"] / 1000 for r in runs], lambda x: f"{x:.1f} ms"))

    def fig_idle(self):
        seconds = self.idle_s
        runs = []
        for _ in range(self.idle_runs):
            sim = Sim(self, None, timeout=seconds + 60)
            try:
                out = subprocess.run([self.exe("flash3-bench-idle"), sim.pty, str(seconds)], capture_output=True,
                                     text=True, timeout=seconds + 60)
            finally:
                sim.stop()
            if out.returncode != 0:
                raise BenchError("flash3-bench-idle: " + out.stderr.strip())
            runs.append(self.idle_run(parse_fields(out.stdout), "flash3-bench-idle"))
        self.idle_rows("4a", "4c", "CLI", runs,
                       "flash3-bench-idle; wake-ups are the kernel's context switches of all threads "
                       "(/proc/self/task/*/status) less the one that ends the span; ")

        if not (self.has("flash3") and self.probe_ready()):
            self.row("4b", "Idle wake-ups, desktop offscreen (port open, no run)", "n/a (no desktop build)",
                     "0 per second", None)
            self.row("4d", "Idle CPU, desktop offscreen (port open, no run)", "n/a (no desktop build)", "< 0.1 %",
                     None)
            return
        runs, timers, focus = [], {}, set()
        for _ in range(self.idle_runs):
            sim = Sim(self, None, timeout=seconds + 60)
            try:
                f = self.probe("idle", timeout=seconds + 60, FLASH3_COM2=sim.pty, FLASH3_PROBE_SECONDS=str(seconds))
            finally:
                sim.stop()
            if f.get("port") != "ok":
                raise BenchError("flash3 idle: the port did not open: " + repr(f))
            runs.append(self.idle_run(f, "flash3 idle probe"))
            # The probe's own timer that ends the span is no news.
            for item in f["timers"].split(","):
                name, _, times = item.rpartition("x")
                own = name.startswith("QSingleShotTimer<") and name.endswith(f"@{int(seconds * 1000)}ms")
                if name and not own:
                    timers[name] = timers.get(name, 0) + int(times)
            focus.add(f["focus"])
        fired = ", ".join(f"{name} {n} times" for name, n in sorted(timers.items())) or "none"
        self.idle_rows("4b", "4d", "desktop offscreen", runs,
                       "flash3 with the probe, main window active, focus on " + ", ".join(sorted(focus))
                       + f"; timers that fired besides the probe's own, in all runs: {fired}; ")

    # ---- the probe in the desktop program

    def probe_ready(self):
        return os.path.isdir(os.path.join(self.build, "bench-plugins", "generic"))

    def probe(self, mode, timeout, **extra):
        out = os.path.join(self.work, f"probe-{mode}.txt")
        if os.path.exists(out):
            os.remove(out)
        env = self.gui_env(QT_PLUGIN_PATH=os.path.join(self.build, "bench-plugins"),
                           QT_QPA_GENERIC_PLUGINS="flash3benchprobe", FLASH3_PROBE=mode, FLASH3_PROBE_OUT=out,
                           **extra)
        run = Timed([self.exe("flash3")], env=env, cwd=self.work, stderr=subprocess.DEVNULL)
        run.wait(timeout=timeout)
        if not os.path.exists(out):
            raise BenchError(f"flash3 with the {mode} probe wrote nothing (exit {run.status})")
        with open(out) as f:
            fields = parse_fields(f.read())
        if "error" in fields:
            raise BenchError(f"flash3 {mode} probe: {fields['error']}")
        fields["_start_ns"] = run.start
        return fields

    # ---- figure 5

    def fig_memory(self):
        small, large = self.small, self.large
        label = lambda n: f"{n / MIB:g} MiB" if n >= MIB else f"{n / 1024:g} KiB"
        mib = lambda kib: f"{kib / 1024:.1f}"
        signed = lambda x: f"{x:+.2f}"
        # Each run measures both sizes, so a difference never mixes runs.
        peaks, diffs = [], []
        for _ in range(self.memory_runs):
            rss = {}
            for size in (small, large):
                image = self.typical_image(size)
                run = Timed([self.exe("flash3-cli"), "--check", image])
                run.wait(timeout=300)
                if run.status != 0:
                    raise BenchError(f"--check on {image}: exit {run.status}")
                rss[size] = run.maxrss_kib
            peaks.append(rss)
            diffs.append((rss[large] - rss[small]) / 1024)
        d = median(diffs)
        self.row("5a", f"Memory, --check: peak RSS {label(large)} minus {label(small)} image",
                 spread(diffs, signed, " MiB"), "< 2 MiB", d < 2.0,
                 f"median of {count(len(diffs), 'run')}; peak RSS per run (MiB) "
                 + ", ".join(f"{mib(p[small])} and {mib(p[large])}" for p in peaks))

        peaks, diffs, durations = [], [], []
        for _ in range(self.memory_runs):
            rss = {}
            for size in (small, large):
                image = self.fast_image(size)
                sim = Sim(self, image, timeout=3600)
                run = self.start_run(image, sim)
                run.wait(timeout=3600)
                self.check_run(run, sim, f"figure 5 run on {label(size)}")
                rss[size] = run.maxrss_kib
                if size == large:
                    durations.append(run.seconds)
            peaks.append(rss)
            diffs.append((rss[large] - rss[small]) / 1024)
        d = median(diffs)
        self.row("5b", f"Memory, full run: peak RSS {label(large)} minus {label(small)} image",
                 spread(diffs, signed, " MiB"), "< 2 MiB", d < 2.0,
                 "images of T and E records only, every byte verified by flash3-sim; "
                 f"median of {count(len(diffs), 'run')}; peak RSS per run (MiB) "
                 + ", ".join(f"{mib(p[small])} and {mib(p[large])}" for p in peaks)
                 + f"; the large runs took {runs_text(durations, lambda x: f'{x:.0f} s')}")

    # ---- figure 6

    def fig_check(self):
        image = self.typical_image(self.large)
        size = os.path.getsize(image)
        with open(image, "rb") as f:  # in the page cache, as a just-built image is
            while f.read(MIB):
                pass
        times = []
        for _ in range(self.check_runs):
            run = Timed([self.exe("flash3-cli"), "--check", image])
            run.wait(timeout=300)
            if run.status != 0:
                raise BenchError(f"--check: exit {run.status}")
            times.append(run.seconds)
        rates = [size / MIB / t for t in times]
        rate = median(rates)
        self.row("6", f"Check throughput, --check on a {size / MIB:.0f} MiB image",
                 spread(rates, lambda x: f"{x:.0f}", " MiB/s"), ">= 100 MB/s", rate >= 100,
                 f"median of {count(len(times), 'run')}, start-up included; "
                 f"times {runs_text(times, lambda x: fmt_ms(x, 0))}")

    # ---- figure 7

    def fig_log(self):
        if not self.has("flash3-bench-log"):
            self.row("7a", "Log posting: step total", "n/a (no desktop build)", "< 1 s", None)
            self.row("7b", "Log posting: longest gap between visible updates", "n/a (no desktop build)",
                     "<= 100 ms", None)
            return
        totals, gaps, paints = [], [], []
        for _ in range(self.log_runs):
            out = subprocess.run([self.exe("flash3-bench-log"), str(self.log_lines), self.work],
                                 capture_output=True, text=True, timeout=300, env=self.gui_env())
            if out.returncode != 0:
                raise BenchError("flash3-bench-log: " + out.stderr.strip()[-300:])
            f = parse_fields(out.stdout)
            if int(f["rows"]) <= 0:
                raise BenchError("flash3-bench-log: the Status1 list stayed empty")
            totals.append(int(f["total_us"]) / 1e6)
            gaps.append(int(f["max_gap_us"]) / 1e6)
            paints.append(int(f["paints"]))
        t, g = median(totals), median(gaps)
        self.row("7a", f"Log posting: one step, {self.log_lines} progress lines, total", ms_spread(totals, 0),
                 "< 1 s", t < 1.0, "flash3-bench-log, desktop window offscreen; median of "
                                   f"{count(len(totals), 'run')}: {runs_text(totals, lambda x: fmt_ms(x, 0))}")
        self.row("7b", "Log posting: longest gap between visible updates", ms_spread(gaps, 1), "<= 100 ms",
                 g <= 0.1, f"the longest gap of each run, median of {count(len(gaps), 'run')}: "
                           f"{runs_text(gaps, lambda x: fmt_ms(x, 1))}; {median(paints):g} repaints of Status1 "
                           "during the step (median)")

    # ---- figure 9

    def fig_preflight(self):
        mib = self.large // MIB
        if not self.has("flash3-bench-check"):
            self.row("9a", f"Check before a run, {mib} MiB image", "n/a (no desktop build)", "< 2 s", None)
            self.row("9b", "Check before a run: longest pause of the window", "n/a (no desktop build)",
                     "<= 100 ms", None)
            return
        totals, gaps = [], []
        for _ in range(self.check_runs):
            out = subprocess.run([self.exe("flash3-bench-check"), str(mib), self.work],
                                 capture_output=True, text=True, timeout=600, env=self.gui_env())
            if out.returncode != 0:
                raise BenchError("flash3-bench-check: " + out.stderr.strip()[-300:])
            f = parse_fields(out.stdout)
            totals.append(int(f["check_us"]) / 1e6)
            gaps.append(int(f["max_gap_us"]) / 1e6)
        t, g = median(totals), median(gaps)
        self.row("9a", f"Check before a run, {mib} MiB image, desktop", ms_spread(totals, 0), "< 2 s", t < 2.0,
                 f"\"Program FLASH\" until the run's first step is due, real 5 ms timer; median of "
                 f"{count(len(totals), 'run')}: {runs_text(totals, lambda x: fmt_ms(x, 0))}")
        self.row("9b", "Check before a run: longest pause of the window", ms_spread(gaps, 1), "<= 100 ms",
                 g <= 0.1, f"longest time without a paint of the window's check indicator; median of "
                           f"{count(len(gaps), 'run')}: {runs_text(gaps, lambda x: fmt_ms(x, 1))}")

    # ---- figure 8

    def fig_startup(self):
        times = []
        for _ in range(self.start_runs):
            run = Timed([self.exe("flash3-cli"), "--version"])
            run.wait(timeout=30)
            if run.status != 0:
                raise BenchError(f"flash3-cli --version: exit {run.status}")
            times.append(run.seconds)
        t = median(times)
        self.row("8a", "Start-up, flash3-cli --version", ms_spread(times), "< 50 ms", t < 0.05,
                 f"median of {count(len(times), 'run')}, until it has exited")

        if not (self.has("flash3") and self.probe_ready()):
            self.row("8b", "Start-up, desktop until its window is shown", "n/a (no desktop build)",
                     "< 400 ms", None)
            return
        times = []
        for _ in range(self.start_runs):
            f = self.probe("startup", timeout=30)
            times.append((int(f["shown_ns"]) - f["_start_ns"]) / 1e9)
        t = median(times)
        self.row("8b", "Start-up, desktop until its window is shown", ms_spread(times), "< 400 ms", t < 0.4,
                 f"median of {count(len(times), 'run')}, offscreen, until the main window's first paint")


FIGURES = [
    ("1", "fig_tick_fidelity", ("1", "3")),
    ("2", "fig_many_ports", ("2",)),
    ("4", "fig_idle", ("4a", "4b", "4c", "4d")),
    ("5", "fig_memory", ("5a", "5b")),
    ("6", "fig_check", ("6",)),
    ("7", "fig_log", ("7a", "7b")),
    ("8", "fig_startup", ("8a", "8b")),
    ("9", "fig_preflight", ("9a", "9b")),
    ("10", "fig_station", ("10a", "10b", "10c")),
]
ROW_ORDER = ["1", "2", "3", "4a", "4b", "4c", "4d", "5a", "5b", "6", "7a", "7b", "8a", "8b", "9a", "9b", "10a", "10b", "10c"]
FIGURE_NAMES = {"1": "tick fidelity", "2": "many ports", "3": "tick jitter", "4a": "idle wake-ups (CLI)",
                "4b": "idle wake-ups (desktop)", "4c": "idle CPU (CLI)", "4d": "idle CPU (desktop)",
                "5a": "memory (check)", "5b": "memory (run)",
                "6": "check throughput", "7a": "log posting (total)", "7b": "log posting (updates)",
                "8a": "start-up (CLI)", "8b": "start-up (desktop)", "9a": "check before a run",
                "9b": "check before a run (window)", "10a": "station run time", "10b": "station CPU",
                "10c": "station as separate processes"}


# ---------------------------------------------------------------- output

def holds_text(holds, markdown=False):
    return {True: "yes", False: "**no**" if markdown else "no", None: "n/a"}[holds]


def table_text(rows, notes):
    header = ("#", "Figure", "Measured", "Target", "Holds")
    cells = [(r["id"], r["figure"], r["value"], r["target"], holds_text(r["holds"])) for r in rows]
    widths = [max(len(str(c[i])) for c in [header] + cells) for i in range(5)]
    line = lambda c: "  ".join(str(c[i]).ljust(widths[i]) for i in range(5)).rstrip()
    out = [line(header), line(["-" * w for w in widths])] + [line(c) for c in cells]
    details = [f"  {r['id']}: {r['detail']}" for r in rows if r.get("detail")]
    if details or notes:
        out += ["", "Details:"] + details + [f"  {n}" for n in notes]
    return "\n".join(out)


def table_markdown(rows, meta):
    took = f" (about {meta['minutes']:.0f} minutes)" if meta.get("minutes") else ""
    out = ["# Benchmark results", "",
           f"Measured {meta['date']} on {meta['cores']} cores ({meta['cpu']}), {meta['os']}, Qt {meta['qt']}; "
           f"Release build. Reproduce with `./run.sh bench`{took}.", "",
           "| # | Figure | Measured | Target | Holds |",
           "|---|---|---|---|---|"]
    for r in rows:
        out.append(f"| {r['id']} | {r['figure']} | {r['value']} | {r['target']} | {holds_text(r['holds'], True)} |")
    out += ["", "Details:", ""]
    out += [f"- {r['id']}: {r['detail']}" for r in rows if r.get("detail")]
    out += [f"- {n}" for n in meta.get("notes", [])]
    out += ["- Each value is the median of the figure's runs, and the target is judged by it; in brackets the "
            "lowest and the highest run. Sizes are in MiB (1048576 bytes), so a rate in MiB/s is the stricter "
            "reading of a \"MB/s\" target. "
            "Wall times run from just before a program is started until it has exited (or, for the desktop "
            "window, has painted). The tick model counts 39 ticks for the handshake (E1, 94, the reply, 36 "
            "quiet ticks) and 2 per line (the burst, the answer), 5 ms each."]
    return "\n".join(out) + "\n"


def qt_version():
    for argv in (["qtpaths6", "--qt-version"], ["dpkg-query", "-W", "-f", "${Version}", "libqt6core6"]):
        try:
            out = subprocess.run(argv, capture_output=True, text=True, timeout=10)
            if out.returncode == 0 and out.stdout.strip():
                return out.stdout.strip().split("+")[0].split("-")[0]
        except (OSError, subprocess.SubprocessError):
            pass
    return "6"


def main():
    ap = argparse.ArgumentParser(description="flash3 benchmarks")
    ap.add_argument("build", help="build folder with flash3-cli, flash3-sim and the bench helpers")
    ap.add_argument("--smoke", action="store_true", help="every benchmark once at a tiny size")
    ap.add_argument("--only", help="comma-separated figures (1,2,4,5,6,7,8,9,10; 3 comes with 1) to measure again")
    ap.add_argument("--out", help="Markdown file (default: bench/results.md, or BUILD/bench-smoke.md with --smoke)")
    args = ap.parse_args()

    build = os.path.abspath(args.build)
    for name in ("flash3-cli", "flash3-sim", "flash3-bench-idle"):
        if not os.access(os.path.join(build, name), os.X_OK):
            sys.exit(f"bench: {name} is missing from {build}")
    out_md = args.out or (os.path.join(build, "bench-smoke.md") if args.smoke else os.path.join(HERE, "results.md"))
    state = os.path.join(build, "bench-smoke.json" if args.smoke else "bench-results.json")

    only = set(args.only.replace("3", "1").split(",")) if args.only else None
    previous, previous_notes, previous_date, previous_minutes = {}, [], "?", None
    if only:
        try:
            with open(state) as f:
                saved = json.load(f)
            previous = {r["id"]: r for r in saved["rows"]}
            previous_notes = [n for n in saved["meta"].get("notes", []) if "measured again" not in n]
            previous_date = saved["meta"].get("date", "?")
            previous_minutes = saved["meta"].get("minutes")
        except (OSError, ValueError, KeyError):
            previous = {}

    began = time.monotonic()
    bench = Bench(build, args.smoke)
    print(f"flash3 benchmarks{' (smoke sizes)' if args.smoke else ''}: {build}", file=sys.stderr, flush=True)
    failed = False
    try:
        for key, method, ids in FIGURES:
            if only and key not in only:
                continue
            load = loadavg()
            print(f"figure {key} (load average {load:.2f})", file=sys.stderr, flush=True)
            if load > 1.5 and not args.smoke:
                bench.notes.append(f"Figure {key} began at a one-minute load average of {load:.2f}"
                                   " (the figures before it count in that average, as does any other work).")
            before = len(bench.rows)
            # The smoke test judges no timing, yet on a machine kept busy a run
            # can miss its 180 ms answer window: there a figure gets two more tries.
            tries = 3 if args.smoke else 1
            for attempt in range(1, tries + 1):
                try:
                    getattr(bench, method)()
                    break
                except (BenchError, subprocess.SubprocessError, OSError, KeyError, ValueError) as e:
                    if attempt < tries:
                        print(f"  figure {key}, try {attempt}: {e}; trying again", file=sys.stderr, flush=True)
                        del bench.rows[before:]
                        continue
                    failed = True
                    have = {r["id"] for r in bench.rows[before:]}
                    for fid in ids:
                        if fid not in have:
                            bench.row(fid, FIGURE_NAMES[fid], f"error: {e}", "-", False)
    finally:
        bench.cleanup()

    rows = {r["id"]: r for r in previous.values()}
    rows.update({r["id"]: r for r in bench.rows})
    ordered = [rows[i] for i in ROW_ORDER if i in rows]
    meta = {"date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M"), "cores": os.cpu_count(),
            "cpu": cpu_model(), "os": f"{platform.system()} {platform.release()}", "qt": qt_version(),
            "notes": bench.notes}
    # How long a full run takes, for the table's reader.
    meta["minutes"] = previous_minutes if only else None if args.smoke else (time.monotonic() - began) / 60
    if only and previous:
        meta["notes"] = previous_notes + meta["notes"] + [
            f"Figure(s) {', '.join(sorted(only))} measured again at this date; the other rows come from the "
            f"previous full run of {previous_date}."]
    print(table_text(ordered, meta["notes"]))
    with open(out_md, "w") as f:
        f.write(table_markdown(ordered, meta))
    with open(state, "w") as f:
        json.dump({"meta": meta, "rows": ordered}, f, indent=1)
    print(f"\nwritten to {out_md}", file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
