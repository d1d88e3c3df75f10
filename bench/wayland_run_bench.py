#!/usr/bin/env python3
"""Measures the real program's Wayland backend on a private headless sway at
1920x1080 (60 Hz, pixman renderer) and prints one table.

- First frame: exec -> the first wl_surface.commit that carries a buffer on
  every output's surface. The first frame equals the desktop, so no screenshot
  can tell when it appears; the program's own requests can. It runs with
  WAYLAND_DEBUG=1, which makes libwayland print every request with a wall
  clock time stamp (microseconds, modulo 2^32) as it is sent; the exec time is
  taken on the same clock just before the start. The compositor shows a
  committed buffer at its next repaint, at most one refresh (16.7 ms) later.
  Median of several runs. The same log gives the screen copy's share: from
  the first capture_output request to the last copy's ready event.
- Frame rate: the commits of one surface over some seconds of a traced run,
  as ticks per second and the interval's mean, sd and max (every tick changes
  the picture, so every tick commits).
- CPU: the program's and sway's utime + stime from /proc/PID/stat over the
  same seconds of an untraced run, as % of one core; sway's idle CPU over as
  many seconds before the run, with its desktop shown, is subtracted.
- Input -> exit: a virtual pointer (tests/helpers/virtual_pointer.cpp) is
  added during the run (its enter is the first position) and moves 1 px; from
  just before the move is sent to the program's exit seen through a pidfd.
  Median of several runs.
- Peak memory: VmHWM from /proc/PID/status just before the end, against two
  screen-sized 32-bit frames + 8 MB.

Usage: wayland_run_bench.py [--quick] [--program PATH] [--pointer PATH]
--quick: short runs (under 30 s), to check that the script works.
"""
import argparse
import os
import re
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
sys.path.insert(0, HERE)
import harness as h  # noqa: E402
import waysession as ws  # noqa: E402
from x11_run_bench import (cpu_seconds, peak_memory_mb, print_rows, spread,  # noqa: E402
                            tick_statistics)

WIDTH, HEIGHT = 1920, 1080
PAD = (WIDTH // 2 + 37, HEIGHT // 2 + 21)
WRAP_MS = 2**32 / 1000  # libwayland's debug clock wraps after 2^32 microseconds
REQUEST = re.compile(r"^\[\s*(\d+\.\d+)\]\s+-> (wl_surface@\d+)\.(attach|commit)\((\S*)")


def debug_clock_ms():
    """Now on WAYLAND_DEBUG's clock: wall-clock microseconds modulo 2^32, in ms."""
    return (time.time_ns() // 1000 % 2**32) / 1000


def surface_commits(log):
    """{surface: [ms of each commit that follows an attach of a buffer]}."""
    pending, commits = set(), {}
    for line in log.splitlines():
        m = REQUEST.match(line)
        if m is None:
            continue
        ms, surface, request, argument = float(m.group(1)), m.group(2), m.group(3), m.group(4)
        if request == "attach":
            (pending.add if argument.startswith("wl_buffer@") else pending.discard)(surface)
        elif surface in pending:
            pending.discard(surface)
            commits.setdefault(surface, []).append(ms)
    return commits


def screen_copy_ms(log):
    """Ms from the first capture_output request to the last copy's ready
    event before the first buffer is attached (the copies of all outputs)."""
    asked = ready = None
    for line in log.splitlines():
        m = re.match(r"^\[\s*(\d+\.\d+)\]\s+(-> )?\S+@\d+\.(capture_output|ready|attach)\(", line)
        if m is None:
            continue
        ms, what = float(m.group(1)), m.group(3)
        if what == "capture_output" and asked is None:
            asked = ms
        elif what == "ready":
            ready = ms
        elif what == "attach" and ready is not None:
            break
    return None if asked is None or ready is None else (ready - asked) % WRAP_MS


def since(start_ms, ms):
    return (ms - start_ms) % WRAP_MS


def end_by_move(sway, saver):
    """Adds a pointer on the parked cursor (its enter is the first position)
    and moves it 1 px; returns (ms from the move to the exit, status). The
    device is removed again, so that the next screen copy holds no cursor."""
    pointer = sway.pointer()
    if not sway.pointer_taken(saver, PAD):
        raise RuntimeError("the pointer added during the run was not taken")
    pointer.move(PAD[0] + 1, PAD[1])
    moved = pointer.sent
    status = saver.wait(2.0)
    pointer.move(*PAD)
    pointer.close()
    if status is None:
        raise RuntimeError("a 1 px move did not end the run")
    return (saver.exited_at - moved) * 1000, status


def measure(program, pointer_helper, runs, cpu_window, trace_seconds):
    out = {"first": [], "copy": [], "exit": [], "status": []}
    tools = os.path.dirname(pointer_helper)  # ostrel-wl-pointer's folder
    with ws.Sway.session([h.Output(WIDTH, HEIGHT)], tools, PAD) as sway:
        # Headless sway draws the cursor into the outputs' pixels: runs start
        # with the cursor parked on the grey pad and no pointer device.
        pointer = sway.pointer()
        pointer.move(*PAD)
        pointer.close()
        sway_pid = sway.proc.pid

        # Start-up and, in the first run, the frame rate: traced runs.
        # The log goes to a file: a pipe nobody reads would fill and stop the program.
        log_path = os.path.join(sway.dir, "wayland-debug.log")
        for i in range(runs):
            start_ms = debug_clock_ms()
            with h.Saver("sh", ["-c", 'exec "$0" 2>"$1"', program, log_path],
                         env=dict(sway.env, WAYLAND_DEBUG="1")) as saver:
                sway.wait_drawn(saver, 5.0)
                if i == 0:
                    time.sleep(trace_seconds)
                exit_ms, status = end_by_move(sway, saver)
            with open(log_path, errors="replace") as f:
                log = f.read()
            commits = surface_commits(log)
            copy_ms = screen_copy_ms(log)
            if copy_ms is not None:
                out["copy"].append(copy_ms)
            if not commits:
                raise RuntimeError("no buffer was committed (WAYLAND_DEBUG log empty?)")
            out["first"].append(max(since(start_ms, c[0]) for c in commits.values()))
            out["status"].append(status)
            if i == 0:
                ticks = max(commits.values(), key=len)[1:]  # from the first tick on
                out["timer"] = tick_statistics([t / 1000 for t in ticks], trace_seconds)

        # Idle compositor, then the same time with an untraced run.
        idle0, wall0 = cpu_seconds(sway_pid), time.monotonic()
        time.sleep(cpu_window)
        sway_idle = 100 * (cpu_seconds(sway_pid) - idle0) / (time.monotonic() - wall0)
        for i in range(runs):
            with h.Saver(program, env=sway.env) as saver:
                sway.wait_drawn(saver, 5.0)
                if i == 0:
                    time.sleep(0.5)  # past start-up
                    prog0, sway0, wall0 = cpu_seconds(saver.proc.pid), cpu_seconds(sway_pid), time.monotonic()
                    time.sleep(cpu_window)
                    wall = time.monotonic() - wall0
                    out["cpu"] = 100 * (cpu_seconds(saver.proc.pid) - prog0) / wall
                    out["sway_cpu"] = 100 * (cpu_seconds(sway_pid) - sway0) / wall
                    out["sway_extra"] = out["sway_cpu"] - sway_idle
                    out["hwm"] = peak_memory_mb(saver.proc.pid)
                else:
                    time.sleep(0.3)
                exit_ms, status = end_by_move(sway, saver)
            out["exit"].append(exit_ms)
            out["status"].append(status)
        out["sway_idle"] = sway_idle
    return out


def print_table(r, runs, cpu_window):
    limit = 2 * WIDTH * HEIGHT * 4 / 2**20 + 8
    timer = r["timer"]
    rows = [
        ["exec -> first frame committed, ms (median)", spread(r["first"]), "<= 100"],
        ["  of which screen copy request -> ready, ms", spread(r["copy"]) if r["copy"] else "-", ""],
        ["program CPU, % of one core", f"{r['cpu']:.2f}", "<= 1"],
        ["sway CPU idle / during the run, % of one core",
         f"{r['sway_idle']:.2f} / {r['sway_cpu']:.2f}", ""],
        ["sway extra CPU, % of one core", f"{r['sway_extra']:.2f}", "<= 1.5"],
        ["1 px move -> process exit, ms (median)", spread(r["exit"]), "<= 20"],
        ["exit status", ",".join(map(str, sorted(set(r["status"])))), "0"],
        ["peak memory VmHWM, MB", f"{r['hwm']:.1f}",
         f"<= {limit:.1f} (2 frames + 8 MB) {'ok' if r['hwm'] <= limit else 'OVER'}"],
        ["frames committed per second", f"{timer['rate']:.2f}", "64"],
        ["frame interval mean / sd / max, ms",
         f"{timer['mean']:.3f} / {timer['sd']:.3f} / {timer['max']:.1f}", "15.625 / small"],
    ]
    print(f"ostrel on headless sway {WIDTH}x{HEIGHT}, {os.cpu_count()} cores; "
          f"CPU over {cpu_window:g} s, start/end over {runs} runs each")
    print_rows(["metric", "measured", "expect"], rows)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="short runs to check the script works")
    parser.add_argument("--program", default=os.path.join(ROOT, "build", "release", "ostrel"))
    parser.add_argument("--pointer", default=os.path.join(
        ROOT, "build", "release", "tests", "helpers", "ostrel-wl-pointer"))
    args = parser.parse_args()
    ws.Sway.require()
    for path in (args.program, args.pointer):
        if not os.access(path, os.X_OK):
            print(f"not found: {path} (build the release preset first)", file=sys.stderr)
            return 1
    runs, cpu_window, trace_seconds = (2, 1.5, 2) if args.quick else (7, 10, 30)
    results = measure(args.program, args.pointer, runs, cpu_window, trace_seconds)
    print_table(results, runs, cpu_window)
    return 0 if set(results["status"]) == {0} else 1


if __name__ == "__main__":
    sys.exit(main())
