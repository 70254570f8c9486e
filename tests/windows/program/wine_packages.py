#!/usr/bin/env python3
"""The zip and the installer under Wine, as a Windows user would have them.

  wine_packages.py --case zip|installer --wine WINE64 --dist DIR --name NAME
                   --version X.Y.Z --exe-info EXE_INFO.EXE --work DIR

zip: unpacked into a folder with a blank in its name, it holds the programs,
their DLLs and plugins, README.md, the example image and ports.conf, and
nothing more; its flash3-cli.exe runs from there with no other DLLs to be
found, and a run leaves the folder as it was.
installer: /S installs it silently into Program Files with the Start menu
entries and an uninstaller that Windows lists; the installed flash3-cli.exe
runs; both programs carry their version and icon; /S uninstalls it, and the
Wine prefix's drive C then holds what it held before.
"""

import argparse
import os
import shutil
import subprocess
import sys
import time
import zipfile

SHIPPED = sorted([
    "flash3.exe", "flash3-cli.exe", "Qt6Core.dll", "Qt6Gui.dll", "Qt6Widgets.dll", "Qt6SerialPort.dll",
    "libstdc++-6.dll", "libgcc_s_seh-1.dll", "libwinpthread-1.dll", "platforms/qwindows.dll",
    "styles/qwindowsvistastyle.dll", "README.md", "sample.pf3", "ports.conf",
])
UNINSTALL_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\flash3"

failures = []


def check(condition, what, detail=""):
    if not condition:
        failures.append(what + (":\n" + detail if detail else ""))
    return condition


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def files_under(folder):
    found = []
    for root, _, names in os.walk(folder):
        for name in names:
            found.append(os.path.relpath(os.path.join(root, name), folder))
    return sorted(found)


def wine(args, command, with_build_dlls=False, timeout=120):
    env = dict(os.environ)
    if not with_build_dlls:
        env.pop("WINEPATH", None)  # the shipped programs find their DLLs beside them, or fail
    # Files, not pipes: a Wine service started meanwhile would inherit a pipe
    # and hold it (and the wait for its end) open for as long as it lives.
    with open(os.path.join(args.work, "out.txt"), "w+b") as out, open(os.path.join(args.work, "err.txt"), "w+b") as err:
        code = subprocess.run([args.wine] + command, env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                              timeout=timeout).returncode
        out.seek(0)
        err.seek(0)
        return code, out.read().decode("utf-8", "replace").replace("\r\n", "\n"), \
            err.read().decode("utf-8", "replace").replace("\r\n", "\n")


def check_identity(args, exe):
    code, out, err = wine(args, [args.exe_info, exe], with_build_dlls=True)
    info = dict(line.split("=", 1) for line in out.strip().split("\n") if "=" in line)
    check(code == 0 and info.get("ProductName") == "flash3" and info.get("ProductVersion") == args.version
          and info.get("FileVersionNumber") == args.version + ".0", "%s has no version information" % exe, out + err)
    check(int(info.get("icons", "0")) >= 1, "%s has no icon" % exe, out + err)


def case_zip(args):
    archive = os.path.join(args.dist, args.name + ".zip")
    with zipfile.ZipFile(archive) as z:
        names = sorted(n[len(args.name) + 1:] for n in z.namelist() if not n.endswith("/"))
        check(names == SHIPPED, "the zip holds other files than it should",
              "holds %s\nshould hold %s" % (names, SHIPPED))
        folder = os.path.join(args.work, "unpacked zip")
        shutil.rmtree(folder, ignore_errors=True)
        z.extractall(folder)
    home = os.path.join(folder, args.name)
    before = files_under(home)
    code, out, err = wine(args, [os.path.join(home, "flash3-cli.exe"), "--version"])
    check(code == 0 and out.strip() == "flash3-cli " + args.version, "flash3-cli.exe --version from the zip",
          out + err)
    code, out, err = wine(args, [os.path.join(home, "flash3-cli.exe"), "--check", windows_path(os.path.join(home, "sample.pf3"))])
    check(code == 0 and out.strip().endswith("; clean"), "flash3-cli.exe --check of the zip's sample", out + err)
    check(files_under(home) == before, "running from the zip's folder wrote into it", str(files_under(home)))
    shutil.rmtree(folder)


def shortcut_arguments(path):
    """The command-line arguments a .lnk file holds (its StringData is counted UTF-16)."""
    if not os.path.exists(path):
        return ""
    data = open(path, "rb").read()
    at = data.find("/k ".encode("utf-16-le"))
    if at < 2:
        return ""
    count = int.from_bytes(data[at - 2:at], "little")
    return data[at:at + 2 * count].decode("utf-16-le").split("\0")[0]  # Wine counts a closing NUL too


def prefix_files():
    drive = os.path.join(os.environ["WINEPREFIX"], "drive_c")
    skip = ("windows/temp/", "users/")  # temporary files and the users' profiles (the uninstaller's copy runs there)
    return sorted(f for f in files_under(drive) if not f.replace(os.sep, "/").startswith(skip))


def case_installer(args):
    setup = os.path.join(args.dist, args.name + "-setup.exe")
    drive = os.path.join(os.environ["WINEPREFIX"], "drive_c")
    home = os.path.join(drive, "Program Files", "flash3")
    menu = os.path.join(drive, "ProgramData", "Microsoft", "Windows", "Start Menu", "Programs")
    # A leftover of an earlier try would hide what this one does.
    shutil.rmtree(home, ignore_errors=True)
    for link in ("FLASH3.lnk", "FLASH3 Command Prompt.lnk"):
        if os.path.exists(os.path.join(menu, link)):
            os.unlink(os.path.join(menu, link))
    for key in (UNINSTALL_KEY, "HKLM\\Software\\flash3"):
        wine(args, ["reg", "delete", key, "/f"])
    before = prefix_files()

    check_identity(args, setup)
    code, out, err = wine(args, [setup, "/S"], timeout=300)
    check(code == 0, "the silent install exited %d" % code, out + err)
    installed = files_under(home)
    check(installed == sorted(SHIPPED + ["uninstall.exe"]), "Program Files\\flash3 holds other files than it should",
          str(installed))
    for link in ("FLASH3.lnk", "FLASH3 Command Prompt.lnk"):
        check(os.path.exists(os.path.join(menu, link)), "no Start menu entry %s" % link, str(os.listdir(menu)
                                                                                            if os.path.isdir(menu) else ""))
    prompt = shortcut_arguments(os.path.join(menu, "FLASH3 Command Prompt.lnk"))
    check(prompt.startswith("/k "), "the command prompt's shortcut does not keep its console", prompt)
    code, out, err = wine(args, ["cmd", "/c", prompt[3:]])
    check(code == 0 and out.strip().endswith("flash3-cli " + args.version),
          "flash3-cli is not found in the Start menu's command prompt", prompt + "\n" + out + err)
    code, out, err = wine(args, ["reg", "query", UNINSTALL_KEY])
    check(code == 0 and "flash3 " + args.version in out and "uninstall.exe" in out,
          "Windows does not list the uninstaller", out + err)
    code, out, err = wine(args, ["C:\\Program Files\\flash3\\flash3-cli.exe", "--version"])
    check(code == 0 and out.strip() == "flash3-cli " + args.version, "the installed flash3-cli.exe --version",
          out + err)
    for exe in ("flash3.exe", "flash3-cli.exe"):
        check_identity(args, os.path.join(home, exe))

    # The uninstaller hands over to a copy of itself and returns at once.
    code, out, err = wine(args, ["C:\\Program Files\\flash3\\uninstall.exe", "/S"])
    check(code == 0, "the silent uninstall exited %d" % code, out + err)
    deadline = time.monotonic() + 120
    while os.path.exists(home) and time.monotonic() < deadline:
        time.sleep(0.25)
    time.sleep(1)
    check(not os.path.exists(home), "Program Files\\flash3 is still there",
          str(files_under(home)) if os.path.exists(home) else "")
    after = prefix_files()
    check(after == before, "the uninstall left files behind",
          "\n".join(sorted(set(after) - set(before))) + "\n(gone: %s)" % sorted(set(before) - set(after)))
    for key in (UNINSTALL_KEY, "HKLM\\Software\\flash3"):
        code, out, err = wine(args, ["reg", "query", key])
        check(code != 0, "the registry key %s is still there" % key, out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for option in ("--case", "--wine", "--dist", "--name", "--version", "--exe-info", "--work"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    {"zip": case_zip, "installer": case_installer}[args.case](args)
    for failure in failures:
        print("FAILED: " + failure, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
