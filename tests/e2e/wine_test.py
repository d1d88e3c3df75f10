#!/usr/bin/env python3
"""The Windows build, ostrel.scr, end to end under Wine on a private Xvfb: a
table of full runs started with different arguments and ended by different
inputs (each: full-screen Form1 showing the desktop, then the trails, no cursor,
status 0 within a second of the input, the desktop back, the screen's picture
on the clipboard), a move to the pointer's own position, a killed run, a second
instance and a run without a display.

Usage: wine_test.py PATH_TO_OSTREL_SCR PATH_TO_WINE_PROBE_EXE
Exits 77 (skip) when wine or Xvfb is missing.
"""
import os
import re
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as h  # noqa: E402
import winesession as wine  # noqa: E402
import xsession as xs  # noqa: E402

MAX_LATENCY = 1.0
# SetTimer(1 ms) under Wine gives about 100 ticks a second (Windows: 64-100).
WINE_TICKS_PER_SECOND = 100


class WineRuns:
    def __init__(self, f, x, desktop, pointer, scr, probe_exe, prefix, scratch):
        self.f, self.x, self.desktop, self.pointer = f, x, desktop, pointer
        self.scr, self.probe_exe, self.prefix, self.scratch = scr, probe_exe, prefix, scratch
        self.env = wine.wine_env(prefix, x.display)
        self.keep = os.path.join(os.path.dirname(scr), "wine-e2e-failures")
        self.probe = wine.WineProbe(probe_exe, self.env)

    def trails(self, desktop, shot, seconds, what, need_all_colours=True):
        """check_trails; a failing screenshot is kept beside the program."""
        failed = len(self.f.items)
        h.check_trails(self.f, desktop, shot, h.ticks_bound(seconds, per_second=WINE_TICKS_PER_SECOND),
                       what, need_all_colours)
        if len(self.f.items) > failed:
            os.makedirs(self.keep, exist_ok=True)
            path = os.path.join(self.keep, re.sub(r"[^\w]+", "-", what).strip("-") + ".png")
            shot.save_png(path)
            print(f"{what}: screenshot kept in {path}", flush=True)

    def start(self, args, what):
        """Starts a run; checks its window, its first frame and, a second later,
        its trails and the hidden cursor. Returns the Saver, or None."""
        f, x = self.f, self.x
        saver = h.Saver("wine", [self.scr, *args], env=self.env)
        if x.check_window(f, saver, what, 30) is None:
            saver.stop()
            return None
        self.trails(self.desktop, x.screenshot(), time.monotonic() - saver.started,
                    f"{what}: first frame", need_all_colours=False)
        time.sleep(1.0)
        self.trails(self.desktop, x.screenshot(), time.monotonic() - saver.started,
                    f"{what}: after a second")
        f.check(saver.running_after(0), f"{what}: ended by itself (status {saver.wait(0)}, "
                f"stderr {saver.stderr!r})")
        hidden = h.cursor_pixels(x.framebuffer(), self.pointer)
        f.check(hidden == 0, f"{what}: the cursor shows ({hidden} pixels) while the run lasts")
        return saver

    def ended(self, saver, what, input_at):
        """Checks the end of a run whose input was sent at input_at."""
        f, x = self.f, self.x
        status = saver.wait(max(0.0, input_at + 5.0 - time.monotonic()))
        if not f.check(status is not None, f"{what}: still running 5 s after the input"):
            saver.stop()
            return
        latency = saver.exited_at - input_at
        f.check(status == 0, f"{what}: exit status {status} (stderr {saver.stderr!r})")
        f.check(latency < MAX_LATENCY, f"{what}: exit {latency * 1000:.0f} ms after the input")
        f.check(not x.windows(), f"{what}: a Form1 window is left")
        f.check(x.screenshot() == self.desktop, f"{what}: the screen is not the desktop after the end")

    def full_run(self, what, args, end, prepare=None):
        self.x.move(*self.pointer)
        self.probe.clear_clipboard()
        if prepare:
            prepare(self)
        saver = self.start(args, what)
        if saver is None:
            return
        with saver:
            end(self, saver)
            self.ended(saver, what, time.monotonic())
        picture = self.probe.clipboard_picture(self.scratch)
        if self.f.check(isinstance(picture, h.Image), f"{what}: no picture on the clipboard: {picture}"):
            self.f.check(picture == self.desktop, f"{what}: the clipboard's picture differs from the "
                         f"desktop in {len(h.diff_pixels(self.desktop, picture))} pixels")

    def killed_run(self):
        """wineserver -k during a run; the next full run must not notice."""
        f, x = self.f, self.x
        saver = self.start(["/s"], "killed run")
        if saver is None:
            return
        with saver:
            wine.kill_wineserver(self.prefix)
            f.check(saver.wait(10) is not None, "killed run: still running 10 s after wineserver -k")
        f.check(not x.windows(), "killed run: a Form1 window is left")
        f.check(x.screenshot() == self.desktop, "killed run: the screen is not the desktop")
        self.probe.stop()
        self.probe = wine.WineProbe(self.probe_exe, self.env)

    def second_instance(self):
        """A second run started over a running one: both run, both end on input."""
        f, x = self.f, self.x
        x.move(*self.pointer)
        first = self.start(["/s"], "first instance")
        if first is None:
            return
        with first:
            with h.Saver("wine", [self.scr, "/s"], env=self.env) as second:
                end = time.monotonic() + 30
                while len(x.windows()) < 2 and second.proc.poll() is None and time.monotonic() < end:
                    time.sleep(0.01)
                f.check(len(x.windows()) == 2, f"second instance: {len(x.windows())} Form1 windows, "
                        f"status {second.wait(0)}, stderr {second.stderr!r}")
                time.sleep(1.0)
                f.check(second.running_after(0), "second instance: ended by itself")
                # Each key ends at least one run; two keys end both.
                for n, key in enumerate(("space", "Return")):
                    running = [s for s in (first, second) if s.exited_at is None]
                    if not running:
                        break
                    x.run("xdotool", "key", key)
                    time.sleep(MAX_LATENCY)
                    f.check(any(not s.running_after(0) for s in running),
                            f"second instance: key {n + 1} ended neither run")
                for name, saver in (("first", first), ("second", second)):
                    status = saver.wait(0)
                    f.check(status == 0, f"second instance: the {name} run's status is {status} after "
                            f"two keys (stderr {saver.stderr!r})")
        f.check(not x.windows(), "second instance: a Form1 window is left")
        f.check(x.screenshot() == self.desktop, "second instance: the screen is not the desktop")


def xdotool(*args):
    return lambda runs, saver: runs.x.run("xdotool", *args)


def same_position_then_away(runs, saver):
    px, py = runs.probe.position()
    for _ in range(3):
        runs.probe.move(px, py)
        time.sleep(0.1)
    runs.f.check(saver.running_after(0.5), f"SetCursorPos to the pointer's own position ended the "
                 f"run (status {saver.wait(0)})")
    runs.probe.move(px + 1, py)


# what, arguments, how the run ends, what happens before it starts
CASES = (
    ("key press", ["/s"], xdotool("key", "space"), None),
    ("click", ["/p", "1234"], xdotool("click", "1"), None),
    ("button release", ["/c"], xdotool("mouseup", "1"), lambda r: r.x.run("xdotool", "mousedown", "1")),
    ("same position, then 1 px away", [], same_position_then_away, None),
    ("far move (xdotool)", ["/s"], xdotool("mousemove", "40", "40"), None),
)


def no_display(f, scr, prefix):
    wine.kill_wineserver(prefix)
    started = time.monotonic()
    with h.Saver("wine", [scr, "/s"], env=wine.wine_env(prefix)) as saver:
        # Wine gives up on the display after about a second; a cold wineserver adds 1-2 s.
        status = saver.wait(15)
        f.check(status not in (None, 0), f"no display: exit status {status} after "
                f"{time.monotonic() - started:.1f} s")
        f.check(saver.stderr.strip() != b"", "no display: nothing said on stderr")
    wine.kill_wineserver(prefix)


def main():
    if len(sys.argv) != 3:
        print(__doc__.strip().splitlines()[-2], file=sys.stderr)
        return 2
    scr, probe_exe = (os.path.abspath(p) for p in sys.argv[1:3])
    wine.require_wine()
    prefix = os.environ.get("OSTREL_WINE_PREFIX") or os.path.join(os.path.dirname(scr), "wineprefix-e2e")
    wine.prepare_wine_prefix(prefix)
    wine.kill_wineserver(prefix)
    f = h.Failures()
    try:
        with xs.desktop_session(1280, 720) as (x, desktop, pointer), \
                tempfile.TemporaryDirectory(prefix="ostrel-wine-") as scratch:
            runs = WineRuns(f, x, desktop, pointer, scr, probe_exe, prefix, scratch)
            try:
                for i, (what, args, end, prepare) in enumerate(CASES):
                    runs.full_run(f"{what} {args}", args, end, prepare)
                    if i == 0:
                        runs.killed_run()
                runs.second_instance()
            finally:
                runs.probe.stop()
                wine.kill_wineserver(prefix)
        no_display(f, scr, prefix)
    finally:
        wine.kill_wineserver(prefix)
    return f.finish("ostrel.scr under Wine")


if __name__ == "__main__":
    sys.exit(main())
