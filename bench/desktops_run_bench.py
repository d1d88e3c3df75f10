#!/usr/bin/env python3
"""Measures the real program on a private headless KWin (layer shell, the
screen copied through ScreenShot2, the program authorised) or gnome-shell
(fullscreen toplevels, the screen copied through mutter's screen cast) at
1920x1080, and prints one table, as bench/wayland_run_bench.py does on sway:

- First frame: exec -> the first wl_surface.commit with a buffer on every
  output (WAYLAND_DEBUG's time stamps, as on sway). Median of several runs.
  On GNOME the portal's way is measured beside it, in the same session: the
  program itself as many times with mutter refusing its screen cast (as
  while the screen is locked), each run's copy counted by the portal's
  flash; and a plain client of the Screenshot portal
  (tests/helpers/portal_screenshot.py) over as many calls, a Python program
  whose time includes Python's start (about 70 ms here).
- CPU: the program's and the compositor's utime + stime over some seconds of
  a run, as % of one core, the compositor's idle CPU subtracted.
- Input -> exit: a 1 px move (after a first one on GNOME, whose headless seat
  tells a new window nothing until the pointer moves), from just before it is
  sent to the exit seen through a pidfd.
- Peak memory: VmHWM just before the end, against two frames + 8 MB.

Usage: desktops_run_bench.py kwin|gnome [--quick] [--program PATH] [--tools DIR]
"""
import argparse
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
sys.path.insert(0, HERE)
import gnomesession as gs  # noqa: E402
import harness as h  # noqa: E402
import kwinsession as ks  # noqa: E402
from wayland_run_bench import debug_clock_ms, since, surface_commits  # noqa: E402
from x11_run_bench import cpu_seconds, median, peak_memory_mb, print_rows, spread  # noqa: E402

WIDTH, HEIGHT = 1920, 1080


def open_session(desktop, program, tools):
    outputs = [h.Output(WIDTH, HEIGHT)]
    if desktop == "kwin":
        return ks.KWin.session(outputs, tools, authorized=(os.path.realpath(program),))
    # The top bar shown, as on a real desktop: the screen cast's recording
    # dot appearing in it makes the shell paint, and the first frame come.
    shell = gs.GnomeShell.session(outputs, top_bar=True)
    shell.permission("yes")
    return shell


def end_by_move(session, desktop, saver):
    pointer = session.pointer()
    if desktop == "gnome":
        # The first position; where the pointer entered the window already,
        # it ends the run itself and the time counts from it.
        pointer.rel(1, 0)
        if saver.wait(0.2) is not None:
            return (saver.exited_at - pointer.sent) * 1000, saver.wait(0)
    pointer.rel(1, 0)
    moved = pointer.sent
    status = saver.wait(2.0)
    if status is None:
        raise RuntimeError("a 1 px move did not end the run")
    return (saver.exited_at - moved) * 1000, status


def end_by_signal(saver):
    saver.proc.terminate()
    status = saver.wait(2.0)
    if status is None:
        raise RuntimeError("SIGTERM did not end the run")
    return status


def await_first_commits(log_path, saver, surfaces, timeout):
    """Waits until the program has committed a buffer on `surfaces`
    surfaces, reading only its WAYLAND_DEBUG log, or until the run ends or
    `timeout` passes. The desktop is left alone while the start-up is timed,
    as a real one would be: each of the harness's screenshots costs the
    compositor a paint and a read-back."""
    end = time.monotonic() + timeout
    while time.monotonic() < end and saver.running_after(0):
        try:
            with open(log_path, errors="replace") as f:
                if len(surface_commits(f.read())) >= surfaces:
                    return
        except FileNotFoundError:
            pass
        time.sleep(0.02)


def first_frames(session, program, runs, end, firsts, statuses):
    """Starts the program `runs` times, each run ended by `end(saver)`, which
    returns its exit status, and adds each run's exec -> first frame
    committed (ms) to `firsts` and its exit status to `statuses`."""
    for i in range(runs):
        time.sleep(0.5)
        # A new file each run: the last run's log, there until the shell has
        # truncated it, would be read as this run's commits, and the
        # screenshots that follow would load the compositor during the
        # start-up being timed.
        log_path = os.path.join(session.dir, f"wayland-debug-{len(statuses)}.log")
        # The program itself is started, its log opened here: a shell that
        # redirected it would add its own start (3.3 ms in the median here)
        # to the program's.
        with open(log_path, "w") as log:
            start_ms = debug_clock_ms()
            saver = h.Saver(program, env=dict(session.env, WAYLAND_DEBUG="1"), stderr=log)
        with saver:
            await_first_commits(log_path, saver, len(session.outputs), 15.0)
            session.wait_drawn(saver, 15.0)
            status = end(saver)
        with open(log_path, errors="replace") as f:
            commits = surface_commits(f.read())
        if not commits:
            raise RuntimeError("no buffer was committed (WAYLAND_DEBUG log empty?)")
        firsts.append(max(since(start_ms, c[0]) for c in commits.values()))
        statuses.append(status)


def portal_ms(session, runs):
    times = []
    for _ in range(runs):
        began = time.monotonic()
        done = subprocess.run([gs.SYSTEM_PYTHON, os.path.join(ROOT, "tests", "helpers",
                                                              "portal_screenshot.py"), "10"],
                              env=session.env, capture_output=True, text=True, timeout=30)
        times.append((time.monotonic() - began) * 1000)
        uri = done.stdout.split()[-1] if done.stdout.startswith("response 0") else None
        if uri and uri.startswith("file://"):
            os.unlink(uri[len("file://"):].replace("%20", " "))
    return times


def measure(desktop, program, tools, runs, cpu_window):
    out = {"first": [], "exit": [], "status": [], "portal": [], "portal_first": []}
    session = open_session(desktop, program, tools)
    try:
        first_frames(session, program, runs, lambda saver: end_by_move(session, desktop, saver)[1],
                     out["first"], out["status"])
        if desktop == "gnome":
            out["portal"] = portal_ms(session, runs)
        compositor = session.proc.pid
        idle0, wall0 = cpu_seconds(compositor), time.monotonic()
        time.sleep(cpu_window)
        idle = 100 * (cpu_seconds(compositor) - idle0) / (time.monotonic() - wall0)
        for i in range(runs):
            time.sleep(0.5)
            with h.Saver(program, env=session.env) as saver:
                session.wait_drawn(saver, 15.0)
                if i == 0:
                    out["hwm_start"] = peak_memory_mb(saver.proc.pid)
                    time.sleep(0.5)  # past start-up
                    prog0, comp0, wall0 = (cpu_seconds(saver.proc.pid), cpu_seconds(compositor),
                                           time.monotonic())
                    time.sleep(cpu_window)
                    wall = time.monotonic() - wall0
                    out["cpu"] = 100 * (cpu_seconds(saver.proc.pid) - prog0) / wall
                    out["compositor_extra"] = 100 * (cpu_seconds(compositor) - comp0) / wall - idle
                    out["hwm"] = peak_memory_mb(saver.proc.pid)
                exit_ms, status = end_by_move(session, desktop, saver)
            out["exit"].append(exit_ms)
            out["status"].append(status)
        out["idle"] = idle
        if desktop == "gnome":
            # The program's own way through the portal, mutter refusing its
            # screen cast as it does while the screen is locked. Last: the
            # refusal ends the helper's input too, so these runs end by a
            # signal.
            session.refuse_screen_casts()
            flashes = session.counts()[0]
            first_frames(session, program, runs, end_by_signal, out["portal_first"],
                         out["status"])
            if session.counts()[0] - flashes != runs:
                raise RuntimeError("the runs with the screen cast refused did not each copy "
                                   "through the portal (its flash not counted once a run)")
    finally:
        session.stop()
    return out


def print_table(desktop, r, runs, cpu_window):
    limit = 2 * WIDTH * HEIGHT * 4 / 2**20 + 8
    rows = [["exec -> first frame committed, ms (median)", spread(r["first"]),
             "<= 300" if desktop == "kwin" else "<= 150"]]
    if r["portal"]:
        first = median(r["first"])
        rows += [["  the portal's way: the program's first frame, ms (median)",
                  spread(r["portal_first"]), ""],
                 ["  the portal's way: a plain client's call, ms (median)", spread(r["portal"]),
                  ""],
                 ["  first frame / the portal's way's first frame (medians)",
                  f"{first / median(r['portal_first']):.2f}", "<= 0.5"],
                 ["  first frame / the plain client's call (medians)",
                  f"{first / median(r['portal']):.2f}", ""]]
    rows += [
        ["program CPU, % of one core", f"{r['cpu']:.2f}", "<= 1"],
        ["compositor CPU idle / extra during the run, % of one core",
         f"{r['idle']:.2f} / {r['compositor_extra']:.2f}", ""],
        ["1 px move -> process exit, ms (median)", spread(r["exit"]), "<= 20"],
        ["exit status", ",".join(map(str, sorted(set(r["status"])))), "0"],
        ["peak memory VmHWM at the first frame, MB", f"{r['hwm_start']:.1f}", ""],
        ["peak memory VmHWM, MB", f"{r['hwm']:.1f}",
         f"<= {limit:.1f} (2 frames + 8 MB) {'ok' if r['hwm'] <= limit else 'OVER'}"],
    ]
    name = "KWin 5.27" if desktop == "kwin" else "gnome-shell 43"
    print(f"ostrel on headless {name} {WIDTH}x{HEIGHT}, {os.cpu_count()} cores; "
          f"CPU over {cpu_window:g} s, start/end over {runs} runs each")
    print_rows(["metric", "measured", "expect"], rows)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("desktop", choices=("kwin", "gnome"))
    parser.add_argument("--quick", action="store_true", help="short runs to check the script works")
    parser.add_argument("--program", default=os.path.join(ROOT, "build", "release", "ostrel"))
    parser.add_argument("--tools", default=os.path.join(ROOT, "build", "release", "tests", "helpers"))
    args = parser.parse_args()
    (ks.KWin if args.desktop == "kwin" else gs.GnomeShell).require(args.tools)
    runs, cpu_window = (2, 1.5) if args.quick else (7, 10)
    results = measure(args.desktop, args.program, args.tools, runs, cpu_window)
    print_table(args.desktop, results, runs, cpu_window)
    return 0 if set(results["status"]) == {0} else 1


if __name__ == "__main__":
    sys.exit(main())
