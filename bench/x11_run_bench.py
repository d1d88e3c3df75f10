#!/usr/bin/env python3
"""Measures the real X11 program on Xvfb and prints one table.

- CPU: the program's and the Xvfb process's utime + stime from /proc/PID/stat
  over the same 10 s of a run, as % of one core.
- Start-up: exec -> MapNotify of the Form1 window, timestamped by
  ostrel-x11-probe (it forks the program and selects SubstructureNotify on the
  root; the window shows the desktop from the moment it is mapped). Median of
  several runs.
- End: the probe moves the pointer 1 px (XWarpPointer, reported like a real
  move) and timestamps UnmapNotify/DestroyNotify of the window, then the exit.
- Peak memory: VmHWM from /proc/PID/status just before the end, against one
  screen-sized 32-bit frame + 6 MB.
- Timer: every tick ends by sending the changed rectangles to the X server, so
  each tick is a burst of socket writes. The program runs under
  `strace -f --seccomp-bpf -ttt -e trace=write,writev,sendmsg,sendto` (only
  those calls stop the process; the rest run at full speed) and the bursts are
  counted: writes less than 4 ms apart belong to one tick. This needs nothing
  from the program and measures what reaches the server: ticks per second,
  the standard deviation of the interval between ticks, and the ticks in 60 s
  (64 Hz gives 3840). The CPU and start-up runs are not traced.

Usage: x11_run_bench.py [--quick] [--program PATH] [--probe PATH]
--quick: one short run at 1920x1080 (under 20 s), to check that the script works.
"""
import argparse
import os
import shutil
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import harness as h  # noqa: E402
import xsession as xs  # noqa: E402

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
BURST_GAP = 0.004


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS  # utime, stime


def peak_memory_mb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    raise RuntimeError("no VmHWM")


def measure_size(probe, program, width, height, runs, cpu_window):
    """CPU, memory, start-up and end times at one screen size."""
    out = {"mapped": [], "gone": [], "exit": [], "status": []}
    with xs.desktop_session(width, height) as (x, _, _):
        for i in range(runs):
            run = xs.ProbeRun(probe, program, env=x.env)
            if i == 0:
                time.sleep(0.5)  # past start-up
                start = time.monotonic()
                prog0, xvfb0 = cpu_seconds(run.pid), cpu_seconds(x.proc.pid)
                time.sleep(cpu_window)
                wall = time.monotonic() - start
                out["cpu"] = 100 * (cpu_seconds(run.pid) - prog0) / wall
                out["xvfb_cpu"] = 100 * (cpu_seconds(x.proc.pid) - xvfb0) / wall
                out["hwm"] = peak_memory_mb(run.pid)
            else:
                time.sleep(0.3)
            gone, exit_ms, status = run.end_by_move()
            out["mapped"].append(run.mapped_ms)
            out["gone"].append(gone)
            out["exit"].append(exit_ms)
            out["status"].append(status)
    return out


def tick_times(trace_path, first, last):
    """Start times of the write bursts on the program's sockets in [first, last]."""
    starts, previous = [], None
    with open(trace_path) as f:
        for line in f:
            parts = line.split(None, 2)
            if len(parts) < 3 or not parts[2].startswith(("write", "sendmsg", "sendto")):
                continue
            fd = parts[2].split("(", 1)[1].split(",", 1)[0]
            if fd in ("1", "2"):
                continue
            t = float(parts[1])
            if previous is None or t - previous > BURST_GAP:
                starts.append(t)
            previous = t
    return [t for t in starts if first <= t <= last]


def measure_timer(program, seconds):
    """Ticks/s, interval sd (ms) and tick count over `seconds` of a traced run."""
    with xs.desktop_session(1920, 1080) as (x, _, pointer), tempfile.TemporaryDirectory() as tmp:
        trace = os.path.join(tmp, "trace")
        saver = h.Saver("strace", ["-f", "--seccomp-bpf", "-ttt", "-o", trace, "-e",
                                    "trace=write,writev,sendmsg,sendto", program], env=x.env)
        with saver:
            if x.wait_window(proc=saver.proc) is None:
                raise RuntimeError(f"traced run: no window ({saver.stderr!r})")
            time.sleep(0.5)
            first = time.time()
            time.sleep(seconds)
            last = time.time()
            x.move(pointer[0] + 1, pointer[1])
            status = saver.wait(5)
            if status != 0:
                raise RuntimeError(f"traced run ended with status {status}")
        ticks = tick_times(trace, first, last)
    return tick_statistics(ticks, seconds)


def tick_statistics(ticks, seconds):
    """Rate, mean, sd and max of the intervals (ms) between the ticks' times (s)."""
    intervals = [(b - a) * 1000 for a, b in zip(ticks, ticks[1:])]
    if len(intervals) < 2:
        raise RuntimeError(f"only {len(ticks)} ticks seen in the trace")
    return {"rate": len(intervals) / (ticks[-1] - ticks[0]), "sd": statistics.pstdev(intervals),
            "mean": statistics.mean(intervals), "count": len(ticks), "seconds": seconds,
            "max": max(intervals)}


def median(values):
    return statistics.median(values) if values else float("nan")


def spread(values, digits=1):
    """The median, then the least and the greatest value in brackets."""
    return f"{median(values):.{digits}f} ({min(values):.{digits}f}-{max(values):.{digits}f})"


def print_table(sizes, results, timer):
    rows = []

    def row(name, key, fmt, expect=""):
        rows.append([name] + [fmt(results[s]) if key in results[s] else "-" for s in sizes] + [expect])

    row("program CPU, % of one core", "cpu", lambda r: f"{r['cpu']:.1f}")
    row("Xvfb CPU, % of one core (same period)", "xvfb_cpu", lambda r: f"{r['xvfb_cpu']:.1f}")
    row("exec -> window shown, ms (median)", "mapped",
        lambda r: f"{median(r['mapped']):.1f} ({min(r['mapped']):.0f}-{max(r['mapped']):.0f})")
    row("1 px move -> window gone, ms (median)", "gone",
        lambda r: f"{median(r['gone']):.1f} ({min(r['gone']):.1f}-{max(r['gone']):.1f})", "< 100")
    row("1 px move -> process exit, ms (median)", "exit", lambda r: f"{median(r['exit']):.1f}", "< 100")
    row("exit status", "status", lambda r: ",".join(map(str, sorted(set(r["status"])))), "0")
    row("peak memory VmHWM, MB", "hwm", lambda r: f"{r['hwm']:.1f}")
    for s in sizes:
        width, height = s
        results[s]["limit"] = width * height * 4 / 2**20 + 6
    row("  limit: 1 frame + 6 MB", "limit",
        lambda r: f"{r['limit']:.1f} {'ok' if r['hwm'] <= r['limit'] else 'OVER'}" if "hwm" in r else "-")
    if timer:
        cells = ["-"] * (len(sizes) - 1)
        rows.append(["ticks per second (strace)", f"{timer['rate']:.2f}"] + cells + ["64"])
        rows.append(["tick interval mean / sd / max, ms",
                     f"{timer['mean']:.3f} / {timer['sd']:.3f} / {timer['max']:.1f}"] + cells + ["15.625 / small"])
        rows.append([f"ticks in {timer['seconds']:g} s", str(timer["count"])] + cells +
                    [str(round(64 * timer["seconds"]))])

    print_rows(["metric"] + [f"{width}x{height}" for width, height in sizes] + ["expect"], rows)


def print_rows(header, rows):
    """Prints the rows as columns under the header."""
    widths = [max(len(r[i]) for r in rows + [header]) for i in range(len(header))]
    for r in [header, ["-" * w for w in widths]] + rows:
        print("  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip())


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="a short run to check the script works")
    parser.add_argument("--program", default=os.path.join(ROOT, "build", "release", "ostrel"))
    parser.add_argument("--probe", default=os.path.join(ROOT, "build", "release", "bench", "ostrel-x11-probe"))
    args = parser.parse_args()
    xs.Xvfb.require()
    if shutil.which("strace") is None:
        print("strace is not installed (tools/install-deps test installs it): it counts the ticks",
              file=sys.stderr)
        return 1
    for path in (args.program, args.probe):
        if not os.access(path, os.X_OK):
            print(f"not found: {path} (build the release preset first)", file=sys.stderr)
            return 1

    if args.quick:
        sizes, runs, cpu_window, timer_seconds = [(1920, 1080)], 2, 1.5, 3
    else:
        sizes, runs, cpu_window, timer_seconds = [(1920, 1080), (3840, 2160)], 7, 10, 60
    results = {}
    for width, height in sizes:
        results[(width, height)] = measure_size(args.probe, args.program, width, height, runs,
                                                cpu_window)
    timer = measure_timer(args.program, timer_seconds)
    print(f"ostrel on Xvfb, {os.cpu_count()} cores; CPU over {cpu_window:g} s, start/end over {runs} runs")
    print_table(sizes, results, timer)
    bad = [s for s in sizes if set(results[s]["status"]) != {0}]
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
