#!/usr/bin/env python3
"""Checks the installed Debian package (tools/package --install-and-check runs
it after apt-get install): what dpkg knows of it, its files, the manual pages,
the installed ostrel-trace, one run of /usr/bin/ostrel on a private Xvfb,
ended by a 1 px mouse move, one on a private headless KWin, which lets the
installed program copy the screen by the package's application entry alone
(with TOOLS_DIR, the desktops' test helpers; skipped without KWin), and
ostrel-idle: its systemd user unit as systemd reads it, and a run that starts
/usr/bin/ostrel after an idle second.

Usage: installed_test.py PATH_TO_DEB [TOOLS_DIR]
"""
import gzip
import os
import runpy
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as h  # noqa: E402
import kwinsession as ks  # noqa: E402
import xsession as xs  # noqa: E402
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import idle_unit_check  # noqa: E402

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
PROGRAM = "/usr/bin/ostrel"
TRACE = "/usr/bin/ostrel-trace"
IDLE = "/usr/bin/ostrel-idle"
UNIT = "/usr/lib/systemd/user/ostrel-idle.service"
# Installed manual page -> its source in the tree (the version goes into @PROJECT_VERSION@).
MAN_PAGES = {"/usr/share/man/man1/ostrel.1.gz": "docs/ostrel.1.in",
             "/usr/share/man/man1/ostrel-trace.1.gz": "docs/ostrel-trace.1.in",
             "/usr/share/man/man1/ostrel-idle.1.gz": "docs/ostrel-idle.1.in"}
DESKTOP_ENTRY = "/usr/share/applications/ostrel.desktop"
FILES = [PROGRAM, TRACE, IDLE, UNIT, *MAN_PAGES, DESKTOP_ENTRY, "/usr/share/doc/ostrel/copyright",
         "/usr/share/doc/ostrel/changelog.gz"]
# The libraries the programs link: dpkg-shlibdeps must have turned each into a dependency.
DEPENDS = ["libc6", "libstdc++6", "libx11-6", "libxext6", "libxfixes3", "libpng16-16",
           "libsystemd0"]
# Loaded only when GNOME's screen cast is tried: recommended, not linked.
RECOMMENDS = ["libpipewire-0.3-0"]
MAN_ENV = dict(os.environ, LC_ALL="C.UTF-8", MANROFFSEQ="", MANWIDTH="80")


def run(*cmd, **kwargs):
    return subprocess.run(list(cmd), capture_output=True, text=True, check=False, timeout=60,
                          **kwargs)


def check_package(f, deb, version):
    """The installed package is this .deb, at the project's version, and complete."""
    status = run("dpkg-query", "-W", "-f", "${db:Status-Status} ${Version}", "ostrel").stdout
    if not f.check(status == f"installed {version}",
                   f"dpkg reports ostrel as '{status}', expected 'installed {version}'"):
        return False
    fields = dict(line.split(": ", 1) for line in
                  run("dpkg-deb", "-f", deb, "Version", "Depends", "Recommends").stdout.splitlines())
    f.check(fields.get("Version") == version, f"{deb} has version {fields.get('Version')}")
    depends = {alt.split()[0] for dep in fields.get("Depends", "").split(",") for alt in dep.split("|")
               if alt.strip()}
    missing = [name for name in DEPENDS if name not in depends]
    f.check(not missing, f"the package does not depend on {missing} (Depends: {fields.get('Depends')})")
    recommends = fields.get("Recommends", "")
    f.check(all(name in recommends for name in RECOMMENDS),
            f"the package does not recommend {RECOMMENDS} (Recommends: {recommends})")
    listed = set(run("dpkg", "-L", "ostrel").stdout.splitlines())
    for path in FILES:
        f.check(path in listed and os.path.isfile(path), f"{path} is not installed")
    for path in (PROGRAM, TRACE, IDLE):
        f.check(os.access(path, os.X_OK), f"{path} is not executable")
    # KWin lets the installed program copy the screen by this entry.
    with open(DESKTOP_ENTRY) as entry:
        keys = dict(line.split("=", 1) for line in entry.read().splitlines() if "=" in line)
    f.check(keys.get("Exec") == PROGRAM and keys.get("NoDisplay") == "true" and
            keys.get("X-KDE-DBUS-Restricted-Interfaces") == "org.kde.KWin.ScreenShot2",
            f"{DESKTOP_ENTRY} does not name {PROGRAM} for KWin's ScreenShot2: {keys}")
    # Each installed file against the md5sums in the package.
    verify = run("dpkg", "--verify", "ostrel")
    f.check(verify.returncode == 0 and not verify.stdout,
            f"installed files differ from the package: {verify.stdout.strip()}")
    return True


def check_man_pages(f, version):
    for installed, source in MAN_PAGES.items():
        name = os.path.basename(installed)[:-len(".1.gz")]
        if not f.check(os.path.isfile(installed), f"{installed} is missing"):
            continue
        with open(installed, "rb") as page:
            raw = page.read()
        # gzip -9n: no file name (flag 0x08), no time (bytes 4-7), best compression (byte 8).
        f.check(raw[3] & 0x08 == 0 and raw[4:8] == bytes(4) and raw[8] == 2,
                f"{installed} was not compressed with gzip -9n (header {raw[:10].hex()})")
        with open(os.path.join(ROOT, source), "rb") as page:
            f.check(gzip.decompress(raw) == page.read().replace(b"@PROJECT_VERSION@", version.encode()),
                    f"{installed} is not {source}")
        where = run("man", "-w", name).stdout.strip()
        f.check(where == installed, f"man -w {name} finds '{where}'")
        # lexgrog reads the NAME line as mandb does for whatis and apropos.
        whatis = run("lexgrog", installed).stdout
        f.check(f'"{name} - ' in whatis, f"lexgrog cannot read the NAME line of {installed}: {whatis!r}")
        for page in (os.path.join(ROOT, source), installed):
            shown = run("man", "--warnings", "-E", "UTF-8", "-l", page, env=MAN_ENV)
            f.check(shown.returncode == 0 and not shown.stderr and len(shown.stdout) > 500,
                    f"man -l {page}: status {shown.returncode}, warnings {shown.stderr!r}")


def check_tools(f, version):
    shown = run(TRACE, "--version")
    f.check(shown.returncode == 0 and shown.stdout == f"ostrel-trace {version}\n",
            f"ostrel-trace --version: status {shown.returncode}, printed {shown.stdout!r}")
    shown = run(IDLE, "--version")
    f.check(shown.returncode == 0 and shown.stdout == f"ostrel-idle {version}\n",
            f"ostrel-idle --version: status {shown.returncode}, printed {shown.stdout!r}")
    # The installed programs against the same checks the build's programs pass.
    for script, *args in (("tests/trace_check.py", TRACE),
                          ("tests/e2e/no_display_test.py", PROGRAM),
                          ("tests/e2e/idle_test.py", IDLE, PROGRAM, "bad arguments", "no session")):
        result = run(sys.executable, os.path.join(ROOT, script), *args)
        program = args[0]
        print(result.stdout, end="", flush=True)
        f.check(result.returncode == 0, f"{script} {program}: status {result.returncode} "
                f"{result.stderr.strip()}")


def check_run(f):
    with xs.desktop_session(1280, 720) as (x, desktop, pointer):
        with h.Saver(PROGRAM, env=x.env) as saver:
            if x.check_window(f, saver, PROGRAM) is None:
                return
            time.sleep(1.0)
            h.check_trails(f, desktop, x.screenshot(),
                           h.ticks_bound(time.monotonic() - saver.started), "a second after the start")
            # The window appeared under the resting pointer: the first move away ends the run.
            x.move(pointer[0] + 1, pointer[1])
            status = saver.wait(2.0)
            f.check(status == 0, f"after a 1 px move: exit status {status}, stderr {saver.stderr!r}")
        f.check(not x.windows(), "a Form1 window is left after the end")
        f.check(x.screenshot() == desktop, "the screen is not the desktop after the end")


def check_idle(f):
    """The installed unit as systemd reads it (its manual page looked up too),
    and the installed launcher starting the installed ostrel beside it."""
    if f.check(os.path.isfile(UNIT), f"{UNIT} is missing"):
        with open(UNIT) as unit:
            idle_unit_check.check_text(f, unit.read(), IDLE, UNIT)
        idle_unit_check.verify(f, UNIT, UNIT, man=True)
    with xs.desktop_session(640, 400) as (x, _, pointer):
        with h.Saver(IDLE, ["--after", "1s"], env=x.env) as launcher:
            window = x.wait_window(8, proc=launcher.proc)
            if not f.check(window is not None, f"{IDLE} started no saver (status "
                           f"{launcher.wait(0)}, stderr {launcher.stderr!r})"):
                return
            x.move(pointer[0] + 1, pointer[1])
            end = time.monotonic() + 3
            while x.windows() and time.monotonic() < end:
                time.sleep(0.01)
            f.check(not x.windows(), "the saver's window stayed 3 s after a move")
            launcher.proc.terminate()
            status = launcher.wait(5)
            f.check(status == 0, f"{IDLE}: status {status} after SIGTERM, stderr {launcher.stderr!r}")


def check_run_on_kwin(f, tools):
    """On KWin the installed program copies the screen through ScreenShot2,
    allowed by /usr/share/applications/ostrel.desktop and nothing else: the
    trails run over the desktop, not over black."""
    if ks.KWin.missing(tools):
        print(f"KWin run skipped: {ks.KWin.missing(tools)}")
        return
    with ks.KWin.session([h.Output(1280, 720)], tools) as kwin:
        o = kwin.outputs[0]
        with h.Saver(PROGRAM, env=kwin.env) as saver:
            time.sleep(1.5)
            shot = kwin.shot(o)
            foreign = [p for p, v in h.diff_pixels(o.desktop, shot).items()
                       if v not in h.TRAIL_XORS]
            f.check(shot != o.desktop and not foreign,
                    f"on KWin {PROGRAM} does not run over the desktop: {len(foreign)} pixels are "
                    f"not it (status {saver.wait(0)})")
            kwin.pointer().rel(1, 0)
            f.check(saver.wait(2.0) == 0, f"on KWin: status {saver.wait(0)}, stderr {saver.stderr!r}")


def main():
    deb = sys.argv[1]
    tools = sys.argv[2] if len(sys.argv) > 2 else None
    f = h.Failures()
    version = runpy.run_path(os.path.join(ROOT, "tests", "trace_check.py"))["project_version"]()
    if check_package(f, deb, version):
        check_man_pages(f, version)
        check_tools(f, version)
        check_run(f)
        check_run_on_kwin(f, tools)
        check_idle(f)
    return f.finish(f"installed package ostrel {version}")


if __name__ == "__main__":
    sys.exit(main())
