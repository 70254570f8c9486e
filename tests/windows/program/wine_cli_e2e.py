#!/usr/bin/env python3
"""flash3-cli.exe under Wine against the Linux flash3-sim, through Wine's COM
mapping: one case per call, as ctest runs them.

  wine_cli_e2e.py --case CASE --wine WINE64 --cli FLASH3-CLI.EXE --sim FLASH3-SIM
                  --source REPO --ports DIR --com N [--com N] --work DIR

Wine's registry maps each COM N given to DIR/com<N>; the case points that
path at a flash3-sim device of its own. The programs' output is judged as on
Linux, never its timing. Cases: completed, refused, wrong-answer, silent,
chatter, station, interrupt, list-ports, check.
"""

import argparse
import json
import os
import re
import signal
import subprocess
import sys
import time

FAILURES = []


def check(condition, what, detail=""):
    if not condition:
        FAILURES.append(what + (":\n" + detail if detail else ""))
    return condition


def windows_path(path):
    # Wine's drive Z: is the root of the Unix file system.
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Sim:
    """flash3-sim with its terminal linked where Wine looks for COM N."""

    def __init__(self, args, sim_args, links):
        self.links = links
        for link in links:
            if os.path.lexists(link):
                os.unlink(link)
        log = os.path.join(args.work, "sim.err")
        self.err_file = open(log, "w+")
        self.process = subprocess.Popen([args.sim] + sim_args, stdout=subprocess.PIPE, stderr=self.err_file,
                                        text=True)
        # The paths come on stdout once the links are in place.
        for _ in links:
            if not self.process.stdout.readline():
                raise RuntimeError("flash3-sim ended before its device was ready")

    def finish(self, timeout=20):
        try:
            code = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.send_signal(signal.SIGINT)
            code = self.process.wait(10)
            check(False, "flash3-sim did not end by itself: the port was left open")
        self.err_file.seek(0)
        self.err = self.err_file.read()
        self.err_file.close()
        return code

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
        return self.finish()


def run_wine(args, command, timeout=120):
    """Runs `command` under Wine and returns its exit status, stdout and stderr.

    The output goes to files, not pipes: a Wine service that the program
    happens to start inherits its handles and would hold a pipe open (and
    the wait for its end) for as long as the service lives."""
    with open(os.path.join(args.work, "out.txt"), "w+b") as out, open(os.path.join(args.work, "err.txt"), "w+b") as err:
        code = subprocess.run([args.wine] + command, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                              timeout=timeout).returncode
        out.seek(0)
        err.seek(0)
        return code, out.read().decode("utf-8", "replace").replace("\r\n", "\n"), \
            err.read().decode("utf-8", "replace").replace("\r\n", "\n")


def run_cli(args, cli_args, timeout=120):
    return run_wine(args, [args.cli] + cli_args, timeout)


def last_line(text):
    lines = text.strip("\n").split("\n")
    return lines[-1] if lines else ""


def faulty_image(args):
    # The worked example with one bad hex digit in its second record.
    path = os.path.join(args.work, "faulty image.pf3")
    with open(path, "wb") as f:
        f.write(b"T41:T0G:R41:E\r\n:T42:R2A:E\r\n:")
    return path


def sample(args):
    return os.path.join(args.source, "data", "sample.pf3")


def link(args, com):
    return os.path.join(args.ports, "com%d" % com)


def expect_24_hour_times(err):
    for prefix in ("Start time:    ", "Stop time:    "):
        lines = [l for l in err.split("\n") if l.startswith(prefix)]
        check(lines and all(re.fullmatch(re.escape(prefix) + r"\d\d:\d\d:\d\d", l) for l in lines),
              "the Debug log's %r lines are not 24-hour HH:mm:ss" % prefix.strip(), "\n".join(lines))


# ---------------------------------------------------------------- the cases

def case_completed(args):
    com = args.com[0]
    sim = Sim(args, ["--link", link(args, com), "--timeout", "120", sample(args)], [link(args, com)])
    code, out, err = run_cli(args, ["-p", str(com), "-q", windows_path(sample(args))])
    sim_code = sim.finish()
    check(code == 0, "exit status %d, not 0" % code, err)
    check(re.fullmatch(r"flash3-cli: completed: 5400 records, 4800 bytes to COM %d \(\\\\\.\\COM%d\) in \d+\.\d s"
                       % (com, com), last_line(err)), "the verdict line is not that of a completed run", err)
    check("Processing complete.  Exit this application." in out, "Status1 does not say the run completed", out)
    expect_24_hour_times(err)
    check(sim_code == 0 and "matched 4800 of 4800 expected; no mismatch; image completed" in sim.err,
          "the device did not get the whole image", sim.err)


def case_refused(args):
    com = args.com[0]
    image = faulty_image(args)
    sim = Sim(args, ["--link", link(args, com), "--timeout", "120", image], [link(args, com)])
    code, out, err = run_cli(args, ["-p", str(com), "-q", windows_path(image)])
    sim.stop()
    check(code == 2, "exit status %d, not 2" % code, err)
    check(re.match(r"flash3-cli: refused: the image has 1 faulty record \(first at line 1, column \d+: .*\); nothing "
                   r"was sent", last_line(err)), "the verdict line does not refuse the image", err)
    check("received 0 bytes" in sim.err, "the device was sent something", sim.err)


def case_wrong_answer(args):
    com = args.com[0]
    sim = Sim(args, ["--link", link(args, com), "--timeout", "120", "--wrong-answer", "3", sample(args)],
              [link(args, com)])
    code, out, err = run_cli(args, ["-p", str(com), "-q", windows_path(sample(args))])
    sim.finish()
    check(code == 1, "exit status %d, not 1" % code, err)
    check(re.fullmatch(r"flash3-cli: FAILED at line \d+, column \d+ \(record \d+ of 5400\): the device answered "
                       r"[0-9A-F]{2}, expected [0-9A-F]{2}", last_line(err)),
          "the verdict line is not that of a wrong answer", err)


def case_silent(args):
    com = args.com[0]
    sim = Sim(args, ["--link", link(args, com), "--timeout", "120", "--reply", "none", sample(args)],
              [link(args, com)])
    code, out, err = run_cli(args, ["-p", str(com), "-q", "--timeout", "3", windows_path(sample(args))])
    sim.finish()
    check(code == 1, "exit status %d, not 1" % code, err)
    check(last_line(err) == "flash3-cli: FAILED before the first record: no reply to the entry bytes E1 94; is the "
          "device waiting in FLASH3 boot mode?", "the verdict line is not that of a silent device", err)
    check(("COM %d (\\\\.\\COM%d)" % (com, com)) in err, "the hint does not name the port as Windows does", err)


def case_chatter(args):
    com = args.com[0]
    sim = Sim(args, ["--link", link(args, com), "--timeout", "120", "--chatter", "20", sample(args)],
              [link(args, com)])
    code, out, err = run_cli(args, ["-p", str(com), "-q", "--timeout", "3", windows_path(sample(args))])
    sim.finish()
    check(code == 1, "exit status %d, not 1" % code, err)
    check(last_line(err) == "flash3-cli: FAILED before the first record: the device kept sending after the entry "
          "bytes; the line never fell quiet (wrong speed, or not in FLASH3 boot mode?)",
          "the verdict line is not that of --timeout", err)


def case_station(args):
    coms = args.com[:2]
    prefix = os.path.join(args.work, "device")
    # Wine's COM path leads on to the device's link: COM a -> device0, COM b -> device1.
    for k, com in enumerate(coms):
        if os.path.lexists(link(args, com)):
            os.unlink(link(args, com))
        os.symlink(prefix + str(k), link(args, com))
    sim = Sim(args, ["--devices", "2", "--link-prefix", prefix, "--timeout", "120", sample(args)],
              [prefix + "0", prefix + "1"])
    log = os.path.join(args.work, "station.log")
    report = os.path.join(args.work, "report.json")
    for f in (log, report):
        if os.path.exists(f):
            os.unlink(f)
    cli_args = []
    for com in coms:
        cli_args += ["-p", str(com)]
    code, out, err = run_cli(args, cli_args + ["--log", windows_path(log), "--json", windows_path(report),
                                               windows_path(sample(args))])
    sim_code = sim.finish()
    check(code == 0, "exit status %d, not 0" % code, err)
    for com in coms:
        check(any(re.fullmatch(r"flash3-cli: COM%d: completed: 5400 records, 4800 bytes to COM %d \(\\\\\.\\COM%d\) "
                               r"in \d+\.\d s" % (com, com, com), l) for l in err.split("\n")),
              "no completed verdict for COM %d" % com, err)
    check(sim_code == 0, "a device did not get the whole image", sim.err)
    validate = subprocess.run([sys.executable, os.path.join(args.source, "tests", "validate_report.py"),
                               os.path.join(args.source, "docs", "flash3-report.schema.json"), report],
                              capture_output=True, text=True)
    check(validate.returncode == 0, "the report does not follow the schema", validate.stdout + validate.stderr)
    if os.path.exists(report):
        with open(report, encoding="utf-8") as f:
            data = json.load(f)
        text = json.dumps(data)
        check(data.get("image", {}).get("path") == windows_path(sample(args)),
              "the report does not name the image as Windows does", text[:2000])
        check(sorted(p.get("com") for p in data.get("ports", [])) == sorted(coms), "the report's ports", text[:2000])
        check(all(p.get("outcome") == "completed" for p in data.get("ports", [])), "a port not completed", text[:2000])
    with open(log, encoding="utf-8") as f:
        lines = f.read().split("\n")
    dated = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}([+-]\d\d:\d\d|Z) ")
    check(all(dated.match(l) for l in lines if l), "a log line without its date", "\n".join(lines[:20]))
    check(any(windows_path(sample(args)) in l for l in lines), "the log does not name the image as Windows does",
          "\n".join(lines[:20]))
    for com in coms:
        check(any(("flash3-cli: COM%d: completed" % com) in l for l in lines), "the log has no verdict for COM %d" % com)


def case_interrupt(args):
    com = args.com[0]
    trace = os.path.join(args.work, "trace.log")
    if os.path.exists(trace):
        os.unlink(trace)
    # Answers held back a little, so that the run is still going when Ctrl+C comes.
    sim = Sim(args, ["--link", link(args, com), "--timeout", "120", "--delay", "20", "--log", trace, sample(args)],
              [link(args, com)])
    out_file = open(os.path.join(args.work, "out.txt"), "w+b")
    err_file = open(os.path.join(args.work, "err.txt"), "w+b")
    cli = subprocess.Popen([args.wine, args.cli, "-p", str(com), "-q", windows_path(sample(args))],
                           stdin=subprocess.DEVNULL, stdout=out_file, stderr=err_file)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and cli.poll() is None:
        if os.path.exists(trace) and os.path.getsize(trace) > 2000:  # the image is on its way
            break
        time.sleep(0.05)
    cli.send_signal(signal.SIGINT)  # Wine hands it to the console as Ctrl+C
    cli.wait(60)
    out_file.seek(0)
    err_file.seek(0)
    out = out_file.read().decode("utf-8", "replace").replace("\r\n", "\n")
    err = err_file.read().decode("utf-8", "replace").replace("\r\n", "\n")
    out_file.close()
    err_file.close()
    # The device's session ends when the port is closed.
    sim.finish(timeout=20)
    check(cli.returncode == 130, "exit status %d, not 130" % cli.returncode, err)
    check(re.match(r"flash3-cli: interrupted at line \d+, column \d+ \(record \d+ of 5400\) after \d+ bytes; the device "
                   r"holds part of the image", last_line(err)), "the verdict line is not that of an interrupt", err)
    check("image not completed" in sim.err, "the device's summary", sim.err)


def case_list_ports(args):
    com = args.com[0]
    code, out, err = run_cli(args, ["--list-ports"])
    check(code == 0, "exit status %d, not 0" % code, err)
    check(any(re.match(r"COM%d\s+\\\\\.\\COM%d\s" % (com, com), l + " ") for l in out.split("\n")),
          "COM %d, which Wine maps, is not listed" % com, out)
    code, out, err = run_cli(args, ["--list-ports", "--json"])
    ports = json.loads(out) if code == 0 else []
    check(any(p["com"] == [com] and p["device"] == "\\\\.\\COM%d" % com and p["present"] for p in ports),
          "COM %d is not in the JSON list as present" % com, out)


def case_check(args):
    image = faulty_image(args)
    code, out, err = run_cli(args, ["--check", windows_path(image)])
    check(code == 1, "exit status %d, not 1" % code, out + err)
    name = windows_path(image)
    lines = out.strip("\n").split("\n")
    check(re.match(re.escape(name) + r":1:\d+: Nib\d not valid: 47 \('G'\)$", lines[0]),
          "the fault is not named by the path as given", out)
    check(lines[-1].startswith(name + ": 7 records (") and lines[-1].endswith("; 1 fault: do not flash"),
          "the summary line", out)
    code, out, err = run_cli(args, ["--check", windows_path(sample(args))])
    check(code == 0 and last_line(out).endswith("; clean"), "the sample is not clean", out + err)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--case", required=True)
    parser.add_argument("--wine", required=True)
    parser.add_argument("--cli", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--ports", required=True)
    parser.add_argument("--com", type=int, action="append", default=[])
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    globals()["case_" + args.case.replace("-", "_")](args)
    for failure in FAILURES:
        print("FAILED: " + failure, file=sys.stderr)
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
