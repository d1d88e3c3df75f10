#!/usr/bin/env python3
"""Measures the Windows build, ostrel.scr, under Wine on Xvfb 1920x1080 and
prints one table. Wine is not Windows: these are Wine's figures on this
machine, not a Windows machine's.

Everything runs in a private prefix (made by tools/wine-prefix) whose
wineserver is started first (`wineserver -p`) and killed at the end, with
tests/win32/wine_probe.exe on the Wine desktop throughout (so Wine's desktop
process is up, as it is on a desktop where a saver starts).

- Start-up, warm: exec of `wine ostrel.scr` -> a visible Form1 window, seen by
  the probe (it polls FindWindow/IsWindowVisible every millisecond; Wine maps
  the X window inside ShowWindow). Median of several runs.
- Start-up, cold: the same from no wineserver and no desktop process, seen on
  the X side (xwininfo polled every few ms), once.
- End: the probe moves the pointer 1 px with SetCursorPos and times the
  window's destruction and the process's end from Windows (the handle); the
  Linux process's exit is seen through a pidfd.
- CPU: utime + stime from /proc over the same seconds of a run, as % of one
  core: the program (all its threads), Xvfb, the wineserver, and Wine's other
  processes of the prefix (explorer, services...) together.
- Peak memory: VmHWM of the program's process, beside the probe's (a small
  Windows program that does nothing: what Wine itself takes).
- Timer: each tick ends with the changed rectangles sent to the X server, so
  it is one burst of writes on the program's X connection. The program runs
  under `strace -f --seccomp-bpf -yy -e trace=connect,write,writev,sendmsg,sendto`;
  the sockets connected to /tmp/.X11-unix are told apart from Wine's pipes and
  server socket by their inode, and their writes less than 4 ms apart count as
  one tick. strace slows the writes it stops a little; the other runs are not
  traced.

Usage: wine_run_bench.py [--quick] [--program PATH] [--probe PATH] [--prefix DIR]
--quick: short runs (under a minute once the prefix exists), to check the script works.
"""
import argparse
import contextlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
sys.path.insert(0, HERE)
import harness as h  # noqa: E402
import winesession as wine  # noqa: E402
import xsession as xs  # noqa: E402
from x11_run_bench import (BURST_GAP, cpu_seconds, peak_memory_mb, spread,  # noqa: E402
                           tick_statistics)

WIDTH, HEIGHT = 1920, 1080


def prefix_processes(prefix):
    """{pid: name} of the processes whose WINEPREFIX is this prefix."""
    found = {}
    for pid in h.processes_with("WINEPREFIX", os.path.abspath(prefix)):
        with contextlib.suppress(OSError), open(f"/proc/{pid}/comm") as f:
            found[pid] = f.read().strip()
    return found


def cpu_of(pids):
    total = 0.0
    for pid in pids:
        try:
            total += cpu_seconds(pid)
        except OSError:
            pass
    return total


def start(program, env, probe):
    """Starts a run; returns (saver, ms from exec to the visible window)."""
    exec_at = time.monotonic()
    saver = h.Saver("wine", [program], env=env)
    asked_at = time.monotonic()
    shown = probe.wait_shown(30)
    if shown is None:
        saver.stop()
        raise RuntimeError(f"no Form1 window (status {saver.wait(0)}, stderr {saver.stderr!r})")
    return saver, (asked_at - exec_at) * 1000 + shown


def end(saver, probe):
    """Moves the pointer 1 px from where Windows has it (not always where the
    last run left it); returns (gone ms, Windows exit ms, Linux exit ms, status)."""
    px, py = probe.position()
    sent = time.monotonic()
    answer = probe.ask(f"end {px + 1 if px < WIDTH // 2 else px - 1} {py} 5000", 10).split()
    status = saver.wait(5)
    if answer[:1] != ["end"] or status is None:
        saver.stop()
        raise RuntimeError(f"the run did not end on a 1 px move: {answer} (status {status})")
    return float(answer[1]), float(answer[2]), (saver.exited_at - sent) * 1000, status


def measure_runs(program, x, env, probe, prefix, runs, cpu_window):
    out = {"mapped": [], "gone": [], "win_exit": [], "exit": [], "status": []}
    for i in range(runs):
        saver, mapped = start(program, env, probe)
        with saver:
            if i == 0:
                time.sleep(1.0)  # past start-up
                others = [p for p, name in prefix_processes(prefix).items()
                          if p not in (saver.proc.pid, probe.proc.pid) and not name.startswith("wineserver")]
                servers = [p for p, name in prefix_processes(prefix).items() if name.startswith("wineserver")]
                t0 = time.monotonic()
                before = [cpu_seconds(saver.proc.pid), cpu_seconds(x.proc.pid), cpu_of(servers),
                          cpu_of(others)]
                time.sleep(cpu_window)
                after = [cpu_seconds(saver.proc.pid), cpu_seconds(x.proc.pid), cpu_of(servers),
                         cpu_of(others)]
                wall = time.monotonic() - t0
                out["cpu"], out["xvfb_cpu"], out["server_cpu"], out["others_cpu"] = (
                    100 * (b - a) / wall for a, b in zip(before, after))
                out["others"] = sorted(set(prefix_processes(prefix)[p] for p in others
                                           if p in prefix_processes(prefix)))
                out["hwm"] = peak_memory_mb(saver.proc.pid)
                out["probe_hwm"] = peak_memory_mb(probe.proc.pid)
            else:
                time.sleep(0.5)
            gone, win_exit, linux_exit, status = end(saver, probe)
        out["mapped"].append(mapped)
        out["gone"].append(gone)
        out["win_exit"].append(win_exit)
        out["exit"].append(linux_exit)
        out["status"].append(status)
        time.sleep(0.2)
    return out


def measure_cold_start(program, x, env, prefix, pointer):
    """Exec -> window mapped (X side) with no wineserver or desktop process."""
    wine.kill_wineserver(prefix)
    exec_at = time.monotonic()
    with h.Saver("wine", [program], env=env) as saver:
        window = x.wait_window(60, proc=saver.proc)
        mapped = (time.monotonic() - exec_at) * 1000
        if window is None:
            raise RuntimeError(f"cold start: no window (status {saver.wait(0)}, {saver.stderr!r})")
        time.sleep(0.5)
        x.move(pointer[0] + 300, pointer[1] + 200)  # a far move ends it reliably
        saver.wait(5)
    x.move(*pointer)
    wine.kill_wineserver(prefix)
    return mapped


def x_socket_tick_times(trace_path, first, last):
    """Start times of the write bursts on sockets connected to the X server."""
    x_inodes, starts, previous = set(), [], None
    annotated = re.compile(r"^(\w+)\(\d+<UNIX-STREAM:\[(\d+)")
    with open(trace_path) as f:
        for line in f:
            parts = line.split(None, 2)
            if len(parts) < 3:
                continue
            m = annotated.match(parts[2])
            if not m:
                continue
            call, inode = m.groups()
            if call == "connect":
                if ".X11-unix/" in parts[2] and "= 0" in parts[2]:
                    x_inodes.add(inode)
                continue
            if inode not in x_inodes:
                continue
            t = float(parts[1])
            if previous is None or t - previous > BURST_GAP:
                starts.append(t)
            previous = t
    return [t for t in starts if first <= t <= last]


def measure_timer(program, env, probe, seconds):
    with tempfile.TemporaryDirectory(prefix="ostrel-wine-bench-") as tmp:
        trace = os.path.join(tmp, "trace")
        saver = h.Saver("strace", ["-f", "--seccomp-bpf", "-ttt", "-yy", "-o", trace, "-e",
                                    "trace=connect,write,writev,sendmsg,sendto", "wine", program],
                         env=env)
        with saver:
            if probe.wait_shown(60) is None:
                raise RuntimeError(f"traced run: no window (status {saver.wait(0)}, {saver.stderr!r})")
            time.sleep(1.0)
            first = time.time()
            time.sleep(seconds)
            last = time.time()
            status = end(saver, probe)[3]
            if status != 0:
                raise RuntimeError(f"traced run ended with status {status}")
        ticks = x_socket_tick_times(trace, first, last)
    return tick_statistics(ticks, seconds)


def print_table(r, timer, cold, runs, cpu_window):
    limit = 2 * WIDTH * HEIGHT * 4 / 2**20 + 10
    rows = [
        ["program CPU, % of one core", f"{r['cpu']:.1f}"],
        ["Xvfb CPU, % of one core", f"{r['xvfb_cpu']:.1f}"],
        ["wineserver CPU, % of one core", f"{r['server_cpu']:.1f}"],
        ["other Wine processes of the prefix, CPU, % (*)", f"{r['others_cpu']:.1f}"],
        ["exec -> window shown, warm, ms (median)", spread(r["mapped"])],
        ["exec -> window shown, cold (no wineserver), ms", f"{cold:.0f}"],
        ["1 px move -> window gone (Windows view), ms", spread(r["gone"])],
        ["1 px move -> process ended (Windows view), ms", spread(r["win_exit"])],
        ["1 px move -> Linux process exit, ms", spread(r["exit"])],
        ["exit status", ",".join(map(str, sorted(set(r["status"]))))],
        ["peak memory VmHWM, MB", f"{r['hwm']:.1f}"],
        ["  wine_probe's VmHWM (Wine's own share), MB", f"{r['probe_hwm']:.1f}"],
        ["  the X11 program's limit: 2 frames + 10 MB", f"{limit:.1f}"],
        ["ticks per second (strace of X writes)", f"{timer['rate']:.2f}"],
        ["tick interval mean / sd / max, ms",
         f"{timer['mean']:.2f} / {timer['sd']:.2f} / {timer['max']:.1f}"],
        [f"ticks in {timer['seconds']:g} s", str(timer["count"])],
    ]
    print(f"ostrel.scr under {wine_version()} on Xvfb {WIDTH}x{HEIGHT}, {os.cpu_count()} cores; "
          f"CPU over {cpu_window:g} s, start/end over {runs} runs")
    width = max(len(row[0]) for row in rows)
    for name, value in rows:
        print(f"{name.ljust(width)}  {value}")
    print(f"(*) {', '.join(r['others'])}")


def wine_version():
    got = subprocess.run(["wine", "--version"], capture_output=True, text=True, check=False)
    return got.stdout.strip() or "Wine"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="short runs, to check the script works")
    build = os.path.join(ROOT, "build", "mingw")
    parser.add_argument("--program", default=os.path.join(build, "ostrel.scr"))
    parser.add_argument("--probe", default=os.path.join(build, "tests", "win32", "wine_probe.exe"))
    parser.add_argument("--prefix", help="the Wine prefix (default: wineprefix-e2e beside the "
                        "program, the end-to-end test's)")
    args = parser.parse_args()
    wine.require_wine()
    if shutil.which("strace") is None:
        print("SKIP: strace is not installed: it counts the ticks")
        return h.SKIP
    for path in (args.program, args.probe):
        if not os.path.isfile(path):
            print(f"not found: {path} (build the mingw preset first)", file=sys.stderr)
            return 1
    program, probe_exe = os.path.abspath(args.program), os.path.abspath(args.probe)
    args.prefix = args.prefix or os.path.join(os.path.dirname(program), "wineprefix-e2e")
    runs, cpu_window, timer_seconds = (2, 2, 3) if args.quick else (7, 10, 60)

    wine.prepare_wine_prefix(args.prefix)
    wine.kill_wineserver(args.prefix)
    try:
        with xs.desktop_session(WIDTH, HEIGHT) as (x, _, pointer):
            env = wine.wine_env(args.prefix, x.display)
            cold = measure_cold_start(program, x, env, args.prefix, pointer)
            subprocess.run(["wineserver", "-p"], env=env, check=True)
            with wine.WineProbe(probe_exe, env) as probe:
                results = measure_runs(program, x, env, probe, args.prefix, runs, cpu_window)
                timer = measure_timer(program, env, probe, timer_seconds)
    finally:
        wine.kill_wineserver(args.prefix)
    print_table(results, timer, cold, runs, cpu_window)
    return 0 if set(results["status"]) == {0} else 1


if __name__ == "__main__":
    sys.exit(main())
