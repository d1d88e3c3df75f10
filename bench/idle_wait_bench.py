#!/usr/bin/env python3
"""What ostrel-idle costs while it waits for the session to go idle: its
wake-ups and its memory, on a private Xvfb (X11's SYNC idle time), headless
GNOME (mutter's idle monitor over D-Bus) or headless KWin (ext-idle-notify).

The launcher runs with --after 10m, so nothing starts during the
measurement (with --hold: --after 5s, held). After it has settled (1 s), /proc/PID/status is read at the
start and at the end of the window: every return from ppoll is a voluntary
context switch, so their difference is the number of wake-ups; the
involuntary ones are preemptions. VmHWM is the peak resident memory, VmRSS
the resident memory at the end; utime + stime from /proc/PID/stat the CPU
time spent. Most of the resident memory is the shared libraries' pages (libc,
libstdc++, libX11, libsystemd), which every program on the desktop shares:
what the launcher costs the machine is its proportional share (Pss, each
shared page divided among the processes that map it, from
/proc/PID/smaps_rollup) and its private memory (Private_Clean + Private_Dirty),
printed beside them.

Usage: idle_wait_bench.py --program PATH_TO_OSTREL_IDLE [--seconds 60]
                          [--input-every S] [--hold] [--desktop x11|gnome|kwin --tools DIR]
                          [--here] [--quick]
  --input-every S: move the pointer every S seconds meanwhile (a user at
           work: the idle time is never reached)
  --hold:  an application holds screen savers off the whole time (the calls a
           browser playing a video makes: org.freedesktop.ScreenSaver.Inhibit
           on the session bus, a private one on Xvfb); the launcher then runs
           with --after 5s, and the window starts once that idle time has
           come and gone, so what is measured is the waiting while held
  --desktop: the session to wait in (x11 by default); kwin needs --tools,
           the folder of the desktops' built helpers (build/.../tests/helpers)
  --here:  in the session the environment names (DISPLAY, WAYLAND_DISPLAY,
           the session bus) instead of a private Xvfb; no input is made
  --quick: a 5 s window, to check that the script works (ctest runs it);
           fails when the launcher woke more than a few times.
"""
import argparse
import contextlib
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import gnomesession as gs  # noqa: E402
import harness as h  # noqa: E402
import kwinsession as ks  # noqa: E402
import xsession as xs  # noqa: E402
from x11_run_bench import cpu_seconds  # noqa: E402

QUICK_MAX_WAKEUPS = 5


def status_fields(pid):
    fields = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            fields[key] = value.strip()
    return fields


def rollup(pid):
    """/proc/PID/smaps_rollup's fields in KiB."""
    fields = {}
    with open(f"/proc/{pid}/smaps_rollup") as f:
        for line in f:
            key, _, value = line.partition(":")
            if value.strip().endswith("kB"):
                fields[key] = int(value.split()[0])
    return fields


def snapshot(pid):
    fields = status_fields(pid)
    memory = rollup(pid)
    return {
        "pss_kib": memory["Pss"],
        "private_kib": memory["Private_Clean"] + memory["Private_Dirty"],
        "voluntary": int(fields["voluntary_ctxt_switches"]),
        "involuntary": int(fields["nonvoluntary_ctxt_switches"]),
        "hwm_kib": int(fields["VmHWM"].split()[0]),
        "rss_kib": int(fields["VmRSS"].split()[0]),
        "cpu": cpu_seconds(pid),
    }


def open_session(args):
    """The private session to wait in; None (no context) with --here."""
    if args.here:
        return contextlib.nullcontext()
    if args.desktop == "x11":
        xs.Xvfb.require()
        return xs.Xvfb([h.Output(640, 400)])
    session = {"gnome": gs.GnomeShell, "kwin": ks.KWin}[args.desktop]
    session.require(args.tools)
    return session.session([h.Output(800, 500)], args.tools)


# A browser's hold: Inhibit("firefox-esr", "Playing video") on the session
# bus, kept until this process ends (Debian's python3 has gi).
HOLDER = r"""
import sys, time
from gi.repository import Gio, GLib
bus = Gio.bus_get_sync(Gio.BusType.SESSION)
bus.call_sync("org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver",
              "org.freedesktop.ScreenSaver", "Inhibit",
              GLib.Variant("(ss)", ("firefox-esr", "Playing video")),
              GLib.VariantType("(u)"), 0, 5000, None)
print("held", flush=True)
time.sleep(3600)
"""


@contextlib.contextmanager
def session_bus(env):
    """A private session bus in `env` when it names none (Xvfb)."""
    if env.get("DBUS_SESSION_BUS_ADDRESS"):
        yield env
        return
    daemon = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address"],
                              stdout=subprocess.PIPE, text=True)
    try:
        yield dict(env, DBUS_SESSION_BUS_ADDRESS=daemon.stdout.readline().strip())
    finally:
        daemon.kill()
        daemon.wait()


@contextlib.contextmanager
def holder(env):
    """The browser's hold, once the launcher serves the name."""
    for _ in range(50):
        proc = subprocess.Popen(["/usr/bin/python3", "-c", HOLDER], env=env,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        if proc.stdout.readline().strip() == "held":
            break
        proc.wait()
        time.sleep(0.1)
    else:
        sys.exit("the hold could not be made")
    try:
        yield
    finally:
        proc.kill()
        proc.wait()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--input-every", type=float, default=0.0)
    parser.add_argument("--desktop", choices=("x11", "gnome", "kwin"), default="x11")
    parser.add_argument("--tools")
    parser.add_argument("--here", action="store_true")
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--hold", action="store_true")
    args = parser.parse_args()
    seconds = 5.0 if args.quick else args.seconds
    idle_time = "5s" if args.hold else "10m"
    with contextlib.ExitStack() as stack:
        session = stack.enter_context(open_session(args))
        env = dict(os.environ) if session is None else session.env
        if args.hold:
            env = stack.enter_context(session_bus(env))
        launcher = stack.enter_context(h.Saver(args.program, ["--after", idle_time], env=env))
        if args.hold:
            time.sleep(0.5)
            stack.enter_context(holder(env))
            time.sleep(6.0)  # the idle time came while held
        time.sleep(1.0)
        if not launcher.running_after(0):
            print(f"the launcher ended: status {launcher.wait(0)}, stderr {launcher.stderr!r}")
            return 1
        before = snapshot(launcher.proc.pid)
        end = time.monotonic() + seconds
        moves = 0
        while time.monotonic() < end:
            if args.input_every > 0 and session is not None:
                session.pointer().rel(1 if moves % 2 else -1, 0)
                moves += 1
            time.sleep(min(args.input_every or seconds, max(end - time.monotonic(), 0)))
        after = snapshot(launcher.proc.pid)
        with open(f"/proc/{launcher.proc.pid}/task/{launcher.proc.pid}/children") as f:
            saver_started = bool(f.read().split())
    wakeups = after["voluntary"] - before["voluntary"]
    preempted = after["involuntary"] - before["involuntary"]
    cpu_ms = (after["cpu"] - before["cpu"]) * 1000
    what = f"{moves} pointer moves" if moves else "no input"
    if args.hold:
        what += ", a screen saver hold"
    where = "the environment's session" if args.here else {
        "x11": "X11 (Xvfb)", "gnome": "headless GNOME", "kwin": "headless KWin"}[args.desktop]
    print(f"ostrel-idle waiting in {where} (--after {idle_time}, {what}) for {seconds:g} s:")
    print(f"  wake-ups (voluntary context switches): {wakeups} ({wakeups / seconds * 60:.1f} a minute)")
    print(f"  preemptions (involuntary):             {preempted}")
    print(f"  CPU time:                              {cpu_ms:.1f} ms")
    print(f"  peak resident memory (VmHWM):          {after['hwm_kib']} KiB")
    print(f"  resident memory at the end (VmRSS):    {after['rss_kib']} KiB")
    print(f"  proportional share at the end (Pss):   {after['pss_kib']} KiB")
    print(f"  private memory at the end:             {after['private_kib']} KiB")
    if saver_started:
        print("FAIL: the saver started while the launcher waited")
        return 1
    if args.quick and wakeups > QUICK_MAX_WAKEUPS:
        print(f"FAIL: {wakeups} wake-ups in {seconds:g} s while waiting")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
