#!/usr/bin/env python3
"""End-to-end cases of ostrel-idle, the idle launcher, one table.

Most cases run the launcher on a private Xvfb (X11 SYNC idle time) with a
fake ostrel beside it: the launcher is copied into a temporary folder, where
it finds the fake as its own folder's `ostrel`. The fake records each start
(its time on the monotonic clock, its descriptors) and each end in that
folder, and does what the case's `mode` file says: run until SIGTERM (and
take `term_delay` seconds to end), fail at once, fail only the first time,
or ignore SIGTERM (mode `fail` is killed by SIGKILL on every second start,
so that a saver's death by a signal counts as a failure too). One case runs
the real ostrel instead, which real input
ends. Input comes from xdotool; `xset s reset` stands for an application
holding the screen saver off (what `xdg-screensaver reset` does).

The holds' cases run real clients, each holding longer than three idle
times, then letting go: a browser's calls to org.freedesktop.ScreenSaver
(which the launcher serves on a private session bus, and on headless KWin;
GNOME's shell serves it there), the same browser leaving the bus instead,
a client of XScreenSaverSuspend, mpv playing a video made with ffmpeg,
`xdg-screensaver suspend`, `systemd-inhibit --what=idle` against a mock
logind (logind_inhibit_template.py), a mock power manager's HasInhibit;
and two launchers for one display.

Usage: idle_test.py PATH_TO_OSTREL_IDLE PATH_TO_OSTREL [CASE_WORD...]
(only the cases whose name contains one of the words).
"""
import glob
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import desktopsession as ds  # noqa: E402
import gnomesession as gs  # noqa: E402
import harness as h  # noqa: E402
import kwinsession as ks  # noqa: E402
import waysession as ws  # noqa: E402
import xsession as xs  # noqa: E402

LOGIND_TEMPLATE = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                               "logind_inhibit_template.py")
AFTER = 3.0
# "About AFTER seconds after the last input": the alarm fires to the
# millisecond; the slack is for a loaded machine.
EARLY, LATE = 0.3, 1.2

FAKE_SAVER = r'''#!@PYTHON@
import json, os, signal, sys, time
here = os.path.dirname(os.path.abspath(__file__))
def record(**entry):
    entry["pid"] = os.getpid()
    entry["at"] = time.monotonic()
    with open(os.path.join(here, "record"), "a") as f:
        f.write(json.dumps(entry) + "\n")
fds = {}
for fd in os.listdir("/proc/self/fd"):
    try:
        fds[fd] = os.readlink(f"/proc/self/fd/{fd}")
    except OSError:
        pass  # the listing's own descriptor
with open(os.path.join(here, "mode")) as f:
    mode, term_delay = f.read().split()
records = os.path.join(here, "record")
starts = sum('"start"' in line for line in open(records)) if os.path.exists(records) else 0
# The handler is in place before the start is recorded: a test signals as
# soon as it reads the start, and a loaded machine once let SIGTERM's default
# end the saver meant to ignore it.
def on_term(number, frame):
    record(event="term")
    time.sleep(float(term_delay))
    record(event="exit", status=0)
    sys.exit(0)
signal.signal(signal.SIGTERM, signal.SIG_IGN if mode == "ignore-term" else on_term)
record(event="start", fds=fds, args=sys.argv[1:])
if mode == "fail" and starts % 2 == 1:
    record(event="exit", status=-9)
    os.kill(os.getpid(), signal.SIGKILL)
if mode == "fail" or (mode == "fail-once" and starts == 0):
    record(event="exit", status=3)
    sys.exit(3)
if mode == "brief":
    time.sleep(0.3)
    record(event="exit", status=0)
    sys.exit(0)
while True:
    signal.pause()
'''


class Folder:
    """A temporary folder holding a copy of the launcher and, beside it, the
    fake saver (or a link to the real one)."""

    def __init__(self, launcher, saver=None, with_saver=True):
        self.dir = tempfile.mkdtemp(prefix="ostrel-idle-test-")
        self.launcher = os.path.join(self.dir, "ostrel-idle")
        shutil.copy2(launcher, self.launcher)
        if with_saver:
            path = os.path.join(self.dir, "ostrel")
            if saver is None:
                with open(path, "w") as f:
                    f.write(FAKE_SAVER.replace("@PYTHON@", sys.executable))
                os.chmod(path, 0o755)
            else:
                os.symlink(os.path.abspath(saver), path)
        self.mode("run")

    def mode(self, mode, term_delay=0.0):
        with open(os.path.join(self.dir, "mode"), "w") as f:
            f.write(f"{mode} {term_delay}")

    def records(self, event=None):
        try:
            with open(os.path.join(self.dir, "record")) as f:
                entries = [json.loads(line) for line in f if line.strip()]
        except FileNotFoundError:
            return []
        return [e for e in entries if event is None or e["event"] == event]

    def wait_starts(self, count, timeout):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            starts = self.records("start")
            if len(starts) >= count:
                return starts
            time.sleep(0.01)
        return self.records("start")

    def remove(self):
        shutil.rmtree(self.dir, ignore_errors=True)


class Case(h.Case):
    """One case: its checks, the launchers it started and their folders
    (ended and removed by stop())."""

    def __init__(self, name, failures, programs, tools):
        super().__init__(name, failures)
        self.idle, self.ostrel = programs
        self.tools = tools
        self.folders = []

    def folder(self, **kwargs):
        folder = Folder(self.idle, **kwargs)
        self.folders.append(folder)
        return folder

    def launch(self, folder, env, args=("--after", f"{AFTER:g}s")):
        return self.saver(folder.launcher, list(args), env=env)

    def stop(self):
        super().stop()
        for folder in self.folders:
            folder.remove()

    def stderr_lines(self, run):
        return run.stderr.decode(errors="replace").splitlines()


def x_session():
    return xs.Xvfb([h.Output(640, 400)])


def inputs(session, times):
    """Moves the session's pointer 1 px to and fro at these times (s after
    the call); returns the time the last move had been made."""
    pointer = session.pointer()
    began = time.monotonic()
    last = began
    for i, at in enumerate(times):
        time.sleep(max(0.0, began + at - time.monotonic()))
        pointer.rel(1 if i % 2 else -1, 0)
        last = time.monotonic()
    return last


def session(kind, tools):
    """A private X11 (Xvfb), GNOME or KWin session with one output; Skip when
    its parts are missing."""
    if kind == "x11":
        return x_session()
    return {"gnome": gs.GnomeShell, "kwin": ks.KWin}[kind].session([h.Output(800, 500)], tools)


def after_input(kind, saver_off=False):
    def case(t):
        """The launcher, after input while it ran: it starts the saver about
        AFTER seconds after the last input the session saw (X11's SYNC idle
        time, GNOME's idle monitor, KWin's idle notification), and not
        before. On X11 the saver gets no argument and no descriptor of the
        launcher's (the session's connection, the signals). With saver_off,
        the user's own `xset s off` made before the launcher starts: a
        setting, not an application's hold."""
        with session(kind, t.tools) as d:
            if saver_off:
                d.run("xset", "s", "off")
            d.pointer().rel(1, 0)  # the session is active as the launcher starts
            folder = t.folder()
            run = t.launch(folder, d.env)
            last = inputs(d, [0.5, 1.5, 2.5])
            starts = folder.wait_starts(1, AFTER + 5)
            if not t.check(len(starts) == 1, f"{len(starts)} starts within {AFTER + 5:g} s of the "
                           f"last input (status {run.wait(0)}, stderr {run.stderr!r})"):
                return
            delay = starts[0]["at"] - last
            print(f"{t.name}: the saver started {delay:.3f} s after the last input", flush=True)
            t.check(AFTER - EARLY <= delay <= AFTER + LATE, f"started {delay:.3f} s after the last "
                    f"input, expected about {AFTER:g} s")
            if kind == "x11":
                t.check(starts[0]["args"] == [], f"the saver got arguments {starts[0]['args']}")
                leaked = {fd: target for fd, target in starts[0]["fds"].items()
                          if int(fd) > 2 and not target.startswith("/proc/")}
                t.check(not leaked, f"the saver inherited the launcher's descriptors {leaked}")
            run.proc.send_signal(signal.SIGTERM)
            t.check(run.wait(5) == 0, f"status {run.wait(0)} after SIGTERM")
    return case


def real_saver(t):
    """The real ostrel: input ends it, the launcher goes on, and the next idle
    time starts it again; SIGTERM to the launcher ends both."""
    with x_session() as x:
        x.move(200, 200)
        folder = t.folder(saver=t.ostrel)
        run = t.launch(folder, x.env)
        window = x.wait_window(AFTER + 8, proc=run.proc)
        if not t.check(window is not None, f"no saver window (status {run.wait(0)}, stderr "
                       f"{run.stderr!r})"):
            return
        time.sleep(0.5)
        x.move(201, 200)
        moved = time.monotonic()
        gone = wait_for(lambda: not x.windows(), 3)
        t.check(gone, "the saver's window is still there 3 s after a move")
        t.check(run.running_after(0), f"the launcher ended with the saver (status {run.wait(0)})")
        window = x.wait_window(AFTER + 8, proc=run.proc)
        if t.check(window is not None, "the saver did not start again at the next idle time"):
            delay = time.monotonic() - moved
            print(f"{t.name}: shown again {delay:.3f} s after the move", flush=True)
            t.check(AFTER - EARLY <= delay <= AFTER + LATE + 1.0,
                    f"shown again {delay:.3f} s after the move, expected about {AFTER:g} s")
        run.proc.send_signal(signal.SIGTERM)
        status = run.wait(5)
        t.check(status == 0, f"status {status} after SIGTERM (stderr {run.stderr!r})")
        t.check(not x.windows(), "the saver's window is left after the launcher's end")


def inhibitor(t):
    """`xset s reset` every second (an application holding the screen saver
    off) keeps the saver from starting; after the last one it starts about
    AFTER seconds later."""
    with x_session() as x:
        folder = t.folder()
        t.launch(folder, x.env)
        began = time.monotonic()
        last = began
        while time.monotonic() < began + 2 * AFTER + 1:
            x.run("xset", "s", "reset")
            last = time.monotonic()
            time.sleep(1.0)
        early = folder.records("start")
        t.check(not early, "started while held off" +
                (f", {early[0]['at'] - began:.2f} s after the first reset" if early else ""))
        starts = folder.wait_starts(1, AFTER + 5)
        if t.check(len(starts) == 1, "no start after the resets stopped"):
            delay = starts[0]["at"] - last
            print(f"{t.name}: started {delay:.3f} s after the last reset", flush=True)
            t.check(AFTER - EARLY <= delay <= AFTER + LATE, f"started {delay:.3f} s after the last "
                    "reset")


def by_signal(number):
    def case(t):
        """The signal while the saver runs: the saver is sent SIGTERM and has
        ended before the launcher ends, with status 0."""
        with x_session() as x:
            folder = t.folder()
            folder.mode("run", term_delay=0.3)
            run = t.launch(folder, x.env, args=("--after", "1s"))
            if not t.check(len(folder.wait_starts(1, 6)) == 1, "the saver did not start"):
                return
            run.proc.send_signal(number)
            status = run.wait(5)
            t.check(status == 0, f"status {status} (stderr {run.stderr!r})")
            exits = folder.records("exit")
            t.check(len(folder.records("term")) == 1, "the saver got no SIGTERM")
            t.check(exits and run.exited_at is not None and exits[0]["at"] < run.exited_at,
                    "the launcher ended before its saver")
    return case


def saver_ignores_term(t):
    """A saver that ignores SIGTERM is killed after the grace time (5 s); the
    launcher still ends with 0 and says so."""
    with x_session() as x:
        folder = t.folder()
        folder.mode("ignore-term")
        run = t.launch(folder, x.env, args=("--after", "1s"))
        starts = folder.wait_starts(1, 6)
        if not t.check(len(starts) == 1, "the saver did not start"):
            return
        sent = time.monotonic()
        run.proc.send_signal(signal.SIGTERM)
        status = run.wait(10)
        took = (run.exited_at or time.monotonic()) - sent
        t.check(status == 0 and 4.5 <= took <= 7, f"status {status} {took:.2f} s after SIGTERM")
        t.check(not os.path.exists(f"/proc/{starts[0]['pid']}"), "the saver outlived the launcher")
        t.check(any("killing" in line for line in t.stderr_lines(run)),
                f"nothing said about the kill: {t.stderr_lines(run)}")


def bad_arguments(t):
    """Junk arguments: status 2 at once, one line on stderr, nothing started."""
    with x_session() as x:
        folder = t.folder()
        for args in (["--after", "abc"], ["--after"], ["--after", "0s"], ["--after", "25h"],
                     ["--after=1.5m"], ["--bogus"], ["extra"]):
            run = t.launch(folder, x.env, args=args)
            status = run.wait(3)
            lines = t.stderr_lines(run)
            t.check(status == 2, f"{args}: status {status}")
            t.check(len(lines) == 1 and lines[0].startswith("ostrel-idle: "),
                    f"{args}: stderr {lines}, expected one line")
            t.check(run.stdout == b"", f"{args}: printed {run.stdout!r}")
        t.check(not folder.records("start"), "a saver was started")


def blanks_first(t):
    """The session's own blanking comes before --after (the X server's screen
    saver after 2 s): one line says so at the start, and watching goes on."""
    with x_session() as x:
        x.run("xset", "s", "2")
        folder = t.folder()
        run = t.launch(folder, x.env, args=["--after", "1m"])
        time.sleep(1.0)
        run.proc.send_signal(signal.SIGTERM)
        status = run.wait(5)
        lines = t.stderr_lines(run)
        t.check(status == 0, f"status {status}")
        t.check(len(lines) == 1 and "blanks the screen after 2s" in lines[0] and
                "xset s" in lines[0], f"stderr {lines}, expected one warning naming xset")
        x.run("xset", "s", "600")
        run = t.launch(folder, x.env, args=["--after", "1m"])
        time.sleep(1.0)
        run.proc.send_signal(signal.SIGTERM)
        run.wait(5)
        t.check(t.stderr_lines(run) == [], f"a warning with the blanking later: {t.stderr_lines(run)}")


def gnome_blanks_first(t):
    """GNOME's screen-blank delay (idle-delay) before --after: the warning
    names the setting."""
    with session("gnome", t.tools) as d:
        d.gsettings("org.gnome.desktop.session", "idle-delay", "30")
        run = t.launch(t.folder(), d.env, args=["--after", "1m"])
        time.sleep(1.5)
        run.proc.send_signal(signal.SIGTERM)
        status = run.wait(5)
        lines = t.stderr_lines(run)
        t.check(status == 0 and len(lines) == 1 and "after 30s" in lines[0] and
                "idle-delay" in lines[0], f"status {status}, stderr {lines}")


def fails_once(t):
    """A saver that fails at once is logged; the launcher watches on and the
    next idle time (after input) starts it again."""
    with x_session() as x:
        folder = t.folder()
        folder.mode("fail-once")
        run = t.launch(folder, x.env, args=("--after", "1s"))
        if not t.check(len(folder.wait_starts(1, 6)) == 1, "the saver did not start"):
            return
        time.sleep(2.5)
        t.check(run.running_after(0), f"the launcher ended (status {run.wait(0)})")
        t.check(len(folder.records("start")) == 1, "started again with no input in between")
        last = inputs(x, [0])
        starts = folder.wait_starts(2, 6)
        t.check(len(starts) == 2, "not started again at the next idle time")
        if len(starts) == 2:
            t.check(starts[1]["at"] - last >= 1.0 - EARLY, "started again too early")
        run.proc.send_signal(signal.SIGTERM)
        t.check(run.wait(5) == 0, f"status {run.wait(0)} after SIGTERM")
        lines = t.stderr_lines(run)
        t.check(len(lines) == 1 and "ended with status 3" in lines[0],
                f"stderr {lines}, expected one line about the failure")


def three_failures(t):
    """Three failures in a row within a minute (exit 3, SIGKILL, exit 3):
    status 1, with a line for each failure and one that says the launcher
    gives up."""
    with x_session() as x:
        folder = t.folder()
        folder.mode("fail")
        run = t.launch(folder, x.env, args=("--after", "1s"))
        for n in (1, 2, 3):
            if not t.check(len(folder.wait_starts(n, 6)) == n, f"start {n} did not come"):
                return
            if n < 3:
                t.check(run.running_after(0.3), f"ended after {n} failures")
                inputs(x, [0])
        status = run.wait(5)
        lines = t.stderr_lines(run)
        t.check(status == 1, f"status {status} after three failures")
        t.check(len(lines) == 4 and "giving up" in lines[-1] and "signal 9" in lines[1],
                f"stderr {lines}")


def no_session_sway(t):
    """Headless sway 1.7 has no idle protocol, and there is no GNOME on the
    (absent) session bus: status 1, one line naming swayidle."""
    with ws.Sway.session([h.Output(640, 400)]) as sway:
        env = {k: v for k, v in sway.env.items() if k != "DBUS_SESSION_BUS_ADDRESS"}
        no_session_run(t, t.folder(), env, "ext_idle_notifier_v1")


def no_session_at_all(t):
    """No display, compositor or session bus at all: status 1, one line."""
    with tempfile.TemporaryDirectory() as runtime:
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "XAUTHORITY")}
        env["XDG_RUNTIME_DIR"] = runtime
        no_session_run(t, t.folder(), env, "DISPLAY")


def no_session_run(t, folder, env, named):
    run = t.launch(folder, env)
    status = run.wait(10)
    lines = t.stderr_lines(run)
    print(f"{t.name}: status {status}, stderr {lines}", flush=True)
    t.check(status == 1, f"status {status}")
    t.check(len(lines) == 1 and "swayidle" in lines[0] and named in lines[0],
            f"stderr {lines}: expected one line naming swayidle and {named}")
    t.check(not folder.records("start"), "a saver was started")


def saver_on_path(t):
    """With no ostrel beside the launcher, the first on PATH runs; with none
    there either, status 1 and one line, which names one beside it that is
    not executable."""
    with x_session() as x:
        alone = t.folder(with_saver=False)
        other = t.folder()
        env = dict(x.env, PATH=f"relative:{other.dir}:/usr/bin:/bin")
        run = t.launch(alone, env, args=("--after", "1s"))
        t.check(len(other.wait_starts(1, 6)) == 1, f"the ostrel on PATH was not started "
                f"(status {run.wait(0)}, stderr {run.stderr!r})")
        run.proc.send_signal(signal.SIGTERM)
        t.check(run.wait(5) == 0, f"status {run.wait(0)} after SIGTERM")
        run = t.launch(alone, dict(x.env, PATH="/nonexistent"))
        status = run.wait(5)
        lines = t.stderr_lines(run)
        t.check(status == 1 and len(lines) == 1 and "no ostrel" in lines[0],
                f"none anywhere: status {status}, stderr {lines}")
        # One beside it that is not executable: the line names it.
        with open(os.path.join(alone.dir, "ostrel"), "w") as f:
            f.write("#!/bin/sh\n")
        run = t.launch(alone, dict(x.env, PATH="/nonexistent"))
        status = run.wait(5)
        lines = t.stderr_lines(run)
        t.check(status == 1 and len(lines) == 1 and "not an executable" in lines[0] and
                os.path.join(alone.dir, "ostrel") in lines[0],
                f"one not executable beside it: status {status}, stderr {lines}")


def kwin_next_idle_time(t):
    """KWin reports an idle time once: a saver that ends while the user stays
    away is not started again; after input, the next idle time starts it."""
    with session("kwin", t.tools) as d:
        pointer = d.pointer()
        pointer.rel(1, 0)
        folder = t.folder()
        folder.mode("brief")
        run = t.launch(folder, d.env, args=("--after", "1s"))
        if not t.check(len(folder.wait_starts(1, 6)) == 1, f"no start (status {run.wait(0)}, "
                       f"stderr {run.stderr!r})"):
            return
        time.sleep(3)
        t.check(len(folder.records("start")) == 1, "started again with no input in between")
        pointer.rel(-1, 0)
        moved = time.monotonic()
        starts = folder.wait_starts(2, 6)
        if t.check(len(starts) == 2, "not started again at the next idle time"):
            t.check(starts[1]["at"] - moved >= 1.0 - EARLY, "started again too early")
        run.proc.send_signal(signal.SIGTERM)
        t.check(run.wait(5) == 0, f"status {run.wait(0)} after SIGTERM")


def gnome_inhibited(t):
    """GNOME's session manager says idling is inhibited (a video playing): the
    saver is held off past the idle time; once the inhibitor goes, the next
    question (one idle time later) starts it."""
    with session("gnome", t.tools) as d:
        d.start_helper([gs.SYSTEM_PYTHON, "-m", "dbusmock", "org.gnome.SessionManager",
                        "/org/gnome/SessionManager", "org.gnome.SessionManager"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not t.check(ds.wait_for_name(d.env, "org.gnome.SessionManager", 10),
                       "the mock session manager did not start"):
            return

        def mock(method, *args):
            return subprocess.run(["gdbus", "call", "--session", "--dest", "org.gnome.SessionManager",
                                   "--object-path", "/org/gnome/SessionManager", "--method",
                                   f"org.freedesktop.DBus.Mock.{method}", *args], env=d.env,
                                  capture_output=True, text=True, timeout=10, check=True).stdout

        def inhibited(value):
            mock("AddMethod", "org.gnome.SessionManager", "IsInhibited", "u", "b",
                 f"ret = {value}")

        inhibited(True)
        after = 2.0
        d.pointer().rel(1, 0)
        folder = t.folder()
        run = t.launch(folder, d.env, args=("--after", f"{after:g}s"))
        time.sleep(2 * after + 1.5)
        t.check(not folder.records("start"), "started although idling is inhibited")
        t.check("'IsInhibited', [<uint32 8>]" in mock("GetCalls"),
                f"the session manager was not asked IsInhibited(8): {mock('GetCalls')}")
        inhibited(False)
        released = time.monotonic()
        starts = folder.wait_starts(1, after + 5)
        if t.check(len(starts) == 1, f"no start after the inhibitor went (stderr {run.stderr!r})"):
            delay = starts[0]["at"] - released
            print(f"{t.name}: started {delay:.3f} s after the inhibitor went", flush=True)
            t.check(delay <= after + LATE, f"started {delay:.3f} s after the inhibitor went, "
                    f"expected within one idle time ({after:g} s)")
        run.proc.send_signal(signal.SIGTERM)
        t.check(run.wait(5) == 0, f"status {run.wait(0)} after SIGTERM")


# --- Holds: applications keeping screen savers off --------------------------

HELD_FOR = 3 * AFTER + 1.5  # longer than three idle times

# A browser's calls: Inhibit("firefox-esr", "Playing video") on the session
# bus; "release" on stdin sends UnInhibit.
BROWSER = r"""
import sys
from gi.repository import Gio, GLib
bus = Gio.bus_get_sync(Gio.BusType.SESSION)
def call(member, args, reply):
    return bus.call_sync("org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver",
                         "org.freedesktop.ScreenSaver", member, args, reply, 0, 5000, None)
cookie = call("Inhibit", GLib.Variant("(ss)", ("firefox-esr", "Playing video")),
              GLib.VariantType("(u)")).unpack()[0]
print("held", cookie, flush=True)
if sys.stdin.readline().strip() == "release":
    call("UnInhibit", GLib.Variant("(u)", (cookie,)), None)
    print("released", flush=True)
    sys.stdin.readline()
"""

# XScreenSaverSuspend(True) until stdin closes, as SDL programs and games do.
SUSPENDER = r"""
import ctypes, sys
x11 = ctypes.CDLL("libX11.so.6")
xss = ctypes.CDLL("libXss.so.1")
x11.XOpenDisplay.restype = ctypes.c_void_p
display = ctypes.c_void_p(x11.XOpenDisplay(None))
xss.XScreenSaverSuspend(display, 1)
x11.XSync(display, 0)
print("held", flush=True)
sys.stdin.read()
"""


def held_then_released(t, folder, hold, release, signalled):
    """hold() (after the launcher started) for longer than three idle times:
    no saver. Then release(): one saver, about one idle time later (a hold
    that signals its end) or within one idle time (one that is asked once
    an idle time)."""
    began = time.monotonic()
    if not hold():
        return
    time.sleep(max(0.0, began + HELD_FOR - time.monotonic()))
    early = folder.records("start")
    if not t.check(not early, "started while held" +
                   (f", {early[0]['at'] - began:.2f} s after the hold" if early else "")):
        return
    release()
    released = time.monotonic()
    starts = folder.wait_starts(1, AFTER + 5)
    if not t.check(len(starts) == 1, "no start after the release"):
        return
    delay = starts[0]["at"] - released
    print(f"{t.name}: started {delay:.3f} s after the release", flush=True)
    low = AFTER - EARLY if signalled else 0.0
    t.check(low <= delay <= AFTER + LATE, f"started {delay:.3f} s after the release, expected "
            f"{'about' if signalled else 'within'} {AFTER:g} s")
    time.sleep(AFTER + 1)
    t.check(len(folder.records("start")) == 1, f"{len(folder.records('start'))} savers")


def helper(d, name, cmd, env):
    """A client of the case's in the session's group, talking through pipes."""
    return d.processes.start(name, cmd, env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             text=True)


def said(proc, word):
    return proc.stdout.readline().startswith(word)


def browser_hold(leaves=False, signalled=True):
    def case(t, d, env, folder):
        """A browser's Inhibit, then its UnInhibit (or it leaves the bus).
        signalled=False: the desktop's answer is asked once an idle time."""
        if not t.check(ds.wait_for_name(env, "org.freedesktop.ScreenSaver", 5),
                       "nobody serves org.freedesktop.ScreenSaver"):
            return
        browser = helper(d, "browser", [gs.SYSTEM_PYTHON, "-c", BROWSER], env)

        def release():
            if leaves:
                browser.kill()
                return
            browser.stdin.write("release\n")
            browser.stdin.flush()
            t.check(said(browser, "released"), "UnInhibit failed")
        held_then_released(t, folder, lambda: t.check(said(browser, "held"), "no cookie"),
                           release, signalled=signalled)
    return case


def suspend_hold(t, d, env, folder):
    """A client holding XScreenSaverSuspend until it ends."""
    client = helper(d, "suspender", [gs.SYSTEM_PYTHON, "-c", SUSPENDER], env)
    held_then_released(t, folder, lambda: t.check(said(client, "held"), "not suspended"),
                       client.kill, signalled=False)


def mpv_hold(t, d, env, folder):
    """mpv playing a video (it holds XScreenSaverSuspend while it plays)."""
    video = os.path.join(folder.dir, "clip.mp4")
    subprocess.run(["ffmpeg", "-loglevel", "error", "-f", "lavfi", "-i",
                    "testsrc=size=160x120:rate=10", "-t", f"{HELD_FOR + 60:g}", "-pix_fmt",
                    "yuv420p", video], check=True, timeout=120)
    player = d.processes.start("mpv", ["mpv", "--no-config", "--vo=x11", "--ao=null",
                                       "--really-quiet", video], env)
    held_then_released(t, folder, lambda: True, player.kill, signalled=False)


def xdg_screensaver_hold(t, d, env, folder):
    """`xdg-screensaver suspend WINDOW` (which runs xset s off) until the
    window goes."""
    window = d.processes.start("xlogo", ["xlogo"], env)
    wid = None
    for _ in range(100):
        # xlogo names no process; it is the only one on the case's display.
        found = subprocess.run(["xdotool", "search", "--class", "xlogo"], env=env,
                               capture_output=True, text=True).stdout.split()
        if found:
            wid = found[0]
            break
        time.sleep(0.05)
    if not t.check(wid is not None, "no window to suspend for"):
        return
    # Its state lies in /tmp under USER and DISPLAY: the case's own.
    user = f"ostrel-idle-test-{os.getpid()}"
    xdg_env = dict(env, USER=user)

    def hold():
        suspend = d.processes.start("xdg-screensaver", ["xdg-screensaver", "suspend", wid],
                                    xdg_env)
        if not t.check(suspend.wait(10) == 0, "xdg-screensaver suspend failed"):
            return False
        query = subprocess.run(["xset", "q"], env=env, capture_output=True, text=True).stdout
        return t.check("timeout:  0 " in query, "xdg-screensaver did not turn the X server's "
                       "saver off")
    try:
        held_then_released(t, folder, hold, window.kill, signalled=False)
    finally:
        for leftover in glob.glob(f"/tmp/xdg-screensaver-{user}-*"):
            os.remove(leftover)


def power_manager_hold(t, d, env, folder):
    """A power manager owning org.freedesktop.PowerManagement (a mock of
    Xfce's: HasInhibit, HasInhibitChanged) says it holds, then not."""
    d.processes.start("power-manager", [gs.SYSTEM_PYTHON, "-m", "dbusmock",
                                        "org.freedesktop.PowerManagement",
                                        "/org/freedesktop/PowerManagement/Inhibit",
                                        "org.freedesktop.PowerManagement.Inhibit"], env)
    if not t.check(ds.wait_for_name(env, "org.freedesktop.PowerManagement", 10), "no mock"):
        return

    def mock(method, *args):
        subprocess.run(["gdbus", "call", "--session", "--dest", "org.freedesktop.PowerManagement",
                        "--object-path", "/org/freedesktop/PowerManagement/Inhibit", "--method",
                        f"org.freedesktop.DBus.Mock.{method}", *args], env=env,
                       capture_output=True, check=True, timeout=10)

    def inhibited(value):
        mock("AddMethod", "org.freedesktop.PowerManagement.Inhibit", "HasInhibit", "", "b",
             f"ret = {value}")
        mock("EmitSignal", "org.freedesktop.PowerManagement.Inhibit", "HasInhibitChanged", "b",
             f"[<{str(value).lower()}>]")
        return True
    held_then_released(t, folder, lambda: inhibited(True), lambda: inhibited(False),
                       signalled=True)


def logind_hold(t, d, env, folder):
    """`systemd-inhibit --what=idle` against a mock logind (its
    BlockInhibited announced as systemd-logind's is)."""
    inhibit = None

    def hold():
        nonlocal inhibit
        inhibit = d.processes.start("systemd-inhibit", ["systemd-inhibit", "--what=idle",
                                                        "--who=player", "--why=playing",
                                                        "sleep", "600"], env)
        end = time.monotonic() + 5
        while time.monotonic() < end:
            listed = subprocess.run(["systemd-inhibit", "--list"], env=env, capture_output=True,
                                    text=True).stdout
            if "player" in listed:
                return True
            time.sleep(0.05)
        return t.check(False, "systemd-inhibit's inhibitor is not listed")
    held_then_released(t, folder, hold, lambda: inhibit.kill(), signalled=True)


def holds(kind, hold, buses=("session",)):
    def case(t):
        """An application's hold: no saver while it holds (longer than three
        idle times), one saver an idle time after it lets go. On Xvfb the
        case's own session bus (and system bus, with a mock logind)."""
        for command in ("dbus-daemon", "gdbus"):
            if shutil.which(command) is None:
                raise h.Skip(f"{command} is not installed")
        with session(kind, t.tools) as d:
            env = d.env
            if kind == "x11":
                env["DBUS_SESSION_BUS_ADDRESS"] = ds.start_bus(
                    d.processes, d.dir, "session-bus", env, activation=False)
            if "system" in buses:
                if shutil.which("systemd-inhibit") is None:
                    raise h.Skip("systemd-inhibit is not installed")
                env["DBUS_SYSTEM_BUS_ADDRESS"] = ds.start_bus(
                    d.processes, d.dir, "system-bus", env, activation=False)
                d.processes.start("logind", [gs.SYSTEM_PYTHON, "-m", "dbusmock", "--system",
                                             "--template", LOGIND_TEMPLATE], env)
                if not t.check(ds.wait_for_name(env, "org.freedesktop.login1", 10, system=True),
                               "no mock logind"):
                    return
            if kind != "x11":
                d.pointer().rel(1, 0)  # the session is active as the launcher starts
            folder = t.folder()
            run = t.launch(folder, env)
            hold(t, d, env, folder)
            t.check(run.running_after(0), f"the launcher ended: stderr {run.stderr!r}")
    return case


def two_launchers(t):
    """A second launcher for the same display (--after 2s beside one with
    --after 4s, its DISPLAY spelt with the screen): one line naming the
    first one's process, status 1; one saver, the first one's."""
    with x_session() as x:
        folder = t.folder()
        first = t.launch(folder, x.env, args=("--after", "4s"))
        time.sleep(0.5)
        second = t.launch(folder, dict(x.env, DISPLAY=x.env["DISPLAY"] + ".0"),
                          args=("--after", "2s"))
        status = second.wait(5)
        lines = t.stderr_lines(second)
        t.check(status == 1 and len(lines) == 1 and f"process {first.proc.pid}" in lines[0],
                f"the second one: status {status}, stderr {lines}, expected one line naming "
                f"process {first.proc.pid}")
        starts = folder.wait_starts(1, 8)
        time.sleep(2)
        t.check(len(folder.records("start")) == 1, f"{len(folder.records('start'))} savers")
        if starts:
            t.check(starts[0]["at"] - first.started >= 4 - EARLY,
                    f"a saver {starts[0]['at'] - first.started:.2f} s in: the second one's")


def wait_for(condition, timeout):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if condition():
            return True
        time.sleep(0.01)
    return condition()


CASES = [
    ("X11: starts about 3 s after the last input, not before", after_input("x11")),
    ("X11: the user's own xset s off before it: starts all the same",
     after_input("x11", saver_off=True)),
    ("X11: input ends the real saver, the next idle time starts it again", real_saver),
    ("X11: an inhibitor (xset s reset) holds it off", inhibitor),
    ("X11: SIGTERM ends the saver first, then status 0", by_signal(signal.SIGTERM)),
    ("X11: SIGINT ends the saver first, then status 0", by_signal(signal.SIGINT)),
    ("X11: SIGHUP ends the saver first, then status 0", by_signal(signal.SIGHUP)),
    ("X11: a saver ignoring SIGTERM is killed after the grace time", saver_ignores_term),
    ("bad arguments: status 2 and one line", bad_arguments),
    ("X11: the server blanks the screen first: one warning", blanks_first),
    ("X11: a saver failing at once is logged, watching goes on", fails_once),
    ("X11: three failures in a row within a minute: status 1", three_failures),
    ("X11: no ostrel beside it: the one on PATH; one not executable named", saver_on_path),
    ("GNOME: starts about 3 s after the last input (mutter's idle monitor)",
     after_input("gnome")),
    ("GNOME: an inhibitor (IsInhibited) holds it off until it goes", gnome_inhibited),
    ("GNOME: the screen blanks first: one warning naming idle-delay", gnome_blanks_first),
    ("KWin: starts about 3 s after the last input (ext_idle_notifier_v1)",
     after_input("kwin")),
    ("KWin: the next idle time starts it again, not before", kwin_next_idle_time),
    ("headless sway 1.7, no idle protocol: status 1 naming swayidle", no_session_sway),
    ("no session of any kind: status 1 naming swayidle", no_session_at_all),
    ("X11 holds: a browser's Inhibit until its UnInhibit", holds("x11", browser_hold())),
    ("X11 holds: a browser's Inhibit until it leaves the bus",
     holds("x11", browser_hold(leaves=True))),
    ("X11 holds: a client's XScreenSaverSuspend", holds("x11", suspend_hold)),
    ("X11 holds: mpv playing a video", holds("x11", mpv_hold)),
    ("X11 holds: xdg-screensaver suspend", holds("x11", xdg_screensaver_hold)),
    ("X11 holds: systemd-inhibit --what=idle (mock logind)",
     holds("x11", logind_hold, buses=("session", "system"))),
    ("X11 holds: a power manager's HasInhibit (mock of Xfce's)", holds("x11", power_manager_hold)),
    ("KWin holds: a browser's Inhibit until its UnInhibit", holds("kwin", browser_hold())),
    ("GNOME holds: a browser's Inhibit until its UnInhibit", holds("gnome", browser_hold(signalled=False))),
    ("two launchers for one display: one line, one saver", two_launchers),
]


def main():
    programs, words = (sys.argv[1], sys.argv[2]), sys.argv[3:]
    tools = None
    if words[:1] == ["--tools"]:
        tools, words = words[1], words[2:]
    xs.Xvfb.require()

    def play(f, name, run):
        with Case(name, f, programs, tools) as case:
            run(case)
    return h.run_cases("idle launcher", CASES, words, play)


if __name__ == "__main__":
    sys.exit(main())
