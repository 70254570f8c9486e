#!/usr/bin/env python3
"""flash3.exe under Wine on Xvfb, driven through its windows with xdotool as
an operator would: "Configure COM port", "Initialize", "Program FLASH" against
the Linux flash3-sim, then "Exit / Abort". After the run the file box, the port
box and Remaining / Completed / percentage must show text; the window is saved
as a picture (WORK/flash3-after-run.png) for a look.

  wine_gui.py --wine WINE64 --wine-env WINE_ENV.SH --exe FLASH3.EXE --sim FLASH3-SIM
              --source REPO --ports DIR --com N --work DIR

It runs in a Wine prefix of its own (WORK/wineprefix) that maps COM N to
DIR/com<N>.
"""

import argparse
import os
import signal
import subprocess
import sys
import time

# The main window's client area and its text boxes, in twips (main_window.cpp).
CLIENT_TWIPS = (7035, 6915)
BOXES = {
    "file box (Text1)": (2280, 2640, 4575, 285),
    "port box (Text2)": (2280, 3240, 4575, 285),
    "Remaining (Text3)": (5280, 6120, 735, 285),
    "Completed (Text4)": (5280, 6480, 735, 285),
    "percentage (Text5)": (6120, 6480, 735, 285),
}
TWIPS_PER_PIXEL = 15  # at 96 dots per inch, as Wine has it


def start_xvfb():
    read, write = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                            pass_fds=[write], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write)
    number = b""
    while not number.endswith(b"\n"):
        chunk = os.read(read, 16)
        if not chunk:
            raise RuntimeError("Xvfb did not start")
        number += chunk
    os.close(read)
    return xvfb, ":" + number.decode().strip()


def xdotool(*args, timeout=60):
    return subprocess.run(["xdotool"] + [str(a) for a in args], capture_output=True, text=True, timeout=timeout)


def find_window(title, timeout=90):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        found = xdotool("search", "--onlyvisible", "--name", title).stdout.split()
        if found:
            return found[0]
        time.sleep(0.25)
    raise RuntimeError("no window %r appeared" % title)


def press(window, *keys):
    for key in keys:
        xdotool("windowfocus", "--sync", window)
        xdotool("key", "--window", window, key)
        time.sleep(0.3)


def geometry(window):
    out = xdotool("getwindowgeometry", "--shell", window).stdout
    values = dict(line.split("=", 1) for line in out.split() if "=" in line)
    return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])


def grab(window, path):
    subprocess.run(["import", "-window", window, path], check=True, timeout=60)


def dark_pixels(picture, box):
    """Pixels darker than mid-grey inside `box` (x, y, w, h) of the picture."""
    x, y, w, h = box
    out = subprocess.run(["/usr/bin/convert", picture, "-crop", "%dx%d+%d+%d" % (w, h, x, y), "+repage",
                          "-colorspace", "Gray", "-threshold", "50%", "-format", "%[fx:w*h*(1-mean)]", "info:"],
                         capture_output=True, text=True, check=True).stdout
    return round(float(out))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for option in ("--wine", "--wine-env", "--exe", "--sim", "--source", "--ports", "--work"):
        parser.add_argument(option, required=True)
    parser.add_argument("--com", type=int, required=True)
    args = parser.parse_args()
    for name in ("exe", "sim", "source", "ports", "work", "wine_env"):
        setattr(args, name, os.path.abspath(getattr(args, name)))
    os.makedirs(args.work, exist_ok=True)
    failures = []

    link = os.path.join(args.ports, "com%d" % args.com)
    if os.path.lexists(link):
        os.unlink(link)
    image = os.path.join(args.source, "data", "sample.pf3")
    trace = os.path.join(args.work, "trace.log")
    if os.path.exists(trace):
        os.unlink(trace)
    sim_err = open(os.path.join(args.work, "sim.err"), "w+")
    sim = subprocess.Popen([args.sim, "--link", link, "--timeout", "300", "--log", trace, image],
                           stdout=subprocess.PIPE, stderr=sim_err, text=True)
    sim.stdout.readline()
    xvfb, display = start_xvfb()
    # A Wine prefix of this test's own, its server started on this display:
    # Wine's desktop process keeps the display of the program that started
    # it, and one started by a console program without a display would leave
    # every window invisible.
    os.environ["WINEPREFIX"] = os.path.join(os.path.abspath(args.work), "wineprefix")
    os.environ["DISPLAY"] = display
    subprocess.run(["bash", args.wine_env, "setup", args.wine, args.ports, str(args.com), str(args.com)], check=True,
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, timeout=300)
    program = None
    try:
        # COM 2, the dialog's choice when it opens, stands for the port Wine maps.
        env = dict(os.environ, FLASH3_COM2="\\\\.\\COM%d" % args.com)
        program = subprocess.Popen([args.wine, args.exe, "sample.pf3"], cwd=os.path.dirname(image), env=env,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        main_window = find_window("^KORVEN-7 voDOZUD Application - FLASH3$")
        time.sleep(1)
        # The focus starts on "Select Input File"; three tabs lead to "Configure COM port".
        press(main_window, "Tab", "Tab", "Tab", "space")
        dialog = find_window("COM Port Parameters")
        time.sleep(0.5)
        grab(dialog, os.path.join(args.work, "port-dialog.png"))
        press(dialog, "space")  # "Initialize" has the focus
        time.sleep(1)
        # Back on "Configure COM port": two back-tabs to "Program FLASH".
        press(main_window, "shift+Tab", "shift+Tab", "space")
        # The run is over when the device has seen the whole image and the line is quiet.
        deadline = time.monotonic() + 120
        last, still = -1, 0
        while time.monotonic() < deadline and still < 8:
            size = os.path.getsize(trace) if os.path.exists(trace) else 0
            still = still + 1 if size == last and size > 0 else 0
            last = size
            time.sleep(0.25)
        picture = os.path.join(args.work, "flash3-after-run.png")
        grab(main_window, picture)
        x, y, width, height = geometry(main_window)
        scale = width / (CLIENT_TWIPS[0] / TWIPS_PER_PIXEL)
        top = height - round(CLIENT_TWIPS[1] / TWIPS_PER_PIXEL * scale)  # the menu bar
        for name, (left, upper, w, h) in BOXES.items():
            box = (round(left * scale / TWIPS_PER_PIXEL) + 3, top + round(upper * scale / TWIPS_PER_PIXEL) + 3,
                   round(w * scale / TWIPS_PER_PIXEL) - 6, round(h * scale / TWIPS_PER_PIXEL) - 6)
            ink = dark_pixels(picture, box)
            if ink < 8:
                failures.append("the %s shows no text after the run (%d dark pixels in %r)" % (name, ink, box))
        # "Program FLASH" keeps the focus; the next tab stop is "Exit / Abort".
        press(main_window, "Tab", "space")
    except Exception as error:
        failures.append("driving the windows: %s" % error)
    code = None
    if program is not None:
        try:
            code = program.wait(60)
        except subprocess.TimeoutExpired:
            program.kill()
            failures.append("flash3.exe did not end after Exit / Abort")
    subprocess.run(["bash", args.wine_env, "cleanup"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    xvfb.terminate()
    xvfb.wait(10)
    try:
        sim.wait(30)
    except subprocess.TimeoutExpired:
        sim.send_signal(signal.SIGINT)
        sim.wait(10)
        failures.append("the device's session did not end: the port was left open")
    sim_err.seek(0)
    summary = sim_err.read()
    if "matched 4800 of 4800 expected; no mismatch; image completed" not in summary:
        failures.append("the device did not get the whole image:\n" + summary)
    if code != 0:
        failures.append("flash3.exe exited %s, not 0" % code)
    for failure in failures:
        print("FAILED: " + failure, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
