#!/usr/bin/env python3
"""One run of ostrel on a private Xvfb, watched from start to SIGTERM:

- the window covers the screen and its first frame is the desktop;
- the cursor is hidden while it runs;
- a part of the window uncovered by another window is painted again;
- a second in, the four trails are there and nothing else has changed;
- SIGTERM ends it with status 0, the cursor back and the desktop as it was.

The first frame: a screenshot takes tens of milliseconds, several ticks at
64 Hz, so ostrel-x11-probe starts the program and sends it SIGSTOP the moment
the server reports its window mapped; the screenshot is taken while it is
stopped. Ticks made between exec and the map (a few at most) may still show,
so rather than an exact copy every changed pixel must be the desktop XOR trail
colours AND lie on a ring of those first ticks. A copy that is shifted, black,
in the wrong pixel format or scaled fails; early rings at their places pass.

Usage: frames_test.py PATH_TO_OSTREL PATH_TO_OSTREL_X11_PROBE
"""
import os
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as h  # noqa: E402
import xsession as xs  # noqa: E402


def main():
    program, probe = sys.argv[1], sys.argv[2]
    f = h.Failures()
    with xs.desktop_session(1280, 720) as (x, desktop, pointer):
        with xs.ProbeRun(probe, program, env=x.env, stop_at_map=True) as run:
            # The program is stopped from the moment its window is mapped.
            try:
                frozen, framebuffer, windows = x.screenshot(), x.framebuffer(), x.windows()
            finally:
                os.kill(run.pid, signal.SIGCONT)
            f.check([w[1:] for w in windows] == [(0, 0, 1280, 720)],
                     f"Form1 windows {windows}: expected one covering the 1280x720 root")
            # Ticks may have drawn between exec and the map: only their rings may show.
            changed = h.check_trails(f, desktop, frozen, h.ticks_bound(run.mapped_ms / 1000, slack=2),
                                     "first frame", need_all_colours=False)
            print(f"first frame: window mapped {run.mapped_ms:.1f} ms after exec, "
                  f"{len(changed)} pixels on early rings", flush=True)
            f.check(h.cursor_pixels(framebuffer, pointer) == 0,
                    "the cursor is still drawn when the window appears")

            check_repaint(f, x, desktop, run)

            time.sleep(max(0.0, 1.0 - (time.monotonic() - run.started)))
            first = x.screenshot()
            changed = h.check_trails(f, desktop, first, h.ticks_bound(time.monotonic() - run.started),
                                     "after a second")
            # 4 trails x ~29 rings of radius >= 10 px: thousands of pixels, even
            # after overlapping rings of one trail cancel out.
            f.check(len(changed) > 2000, f"after a second only {len(changed)} pixels show trails")
            f.check(h.cursor_pixels(x.framebuffer(), pointer) == 0,
                    "the cursor is drawn while the saver runs")
            time.sleep(0.2)
            f.check(x.screenshot() != first, "the picture did not change in 200 ms: no animation")

            os.kill(run.pid, signal.SIGTERM)
            _, status = run.wait_exit()
            f.check(status == 0, f"SIGTERM: exit status {status}, expected 0 ({run.proc.stderr.read()!r})")
        f.check(not x.windows(), "a Form1 window is still mapped after the end")
        f.check(x.screenshot() == desktop, "after the end the screen is not the desktop")
        f.check(h.cursor_pixels(x.framebuffer(), pointer) > 20, "the cursor is not back after the end")
    return f.finish("frames")


def check_repaint(f, x, desktop, run):
    """Maps another window over a corner of the saver's and closes it again:
    the uncovered part must show the frozen desktop (with trails) again."""
    other = subprocess.Popen(["xlogo", "-geometry", "300x200+40+60", "-bg", "black"],
                                env=x.env, stderr=subprocess.DEVNULL)
    try:
        shown = x.wait_window(5.0, name="xlogo", proc=other)
        f.check(shown is not None, "xlogo did not appear (test set-up)")
        time.sleep(0.15)
    finally:
        other.terminate()
        other.wait()
    time.sleep(0.15)
    h.check_trails(f, desktop, x.screenshot(), h.ticks_bound(time.monotonic() - run.started),
                   "after an uncovering", need_all_colours=False)


if __name__ == "__main__":
    sys.exit(main())
