#!/usr/bin/env python3
"""ostrel over a desktop a person would recognise (realistic_desktop.py:
openbox, the tint2 panel, Debian's wallpaper, xterm with the focus, xclock,
l3afpad), on Xvfb. The sample desktop of the other tests has no window at
all; here the screen is made of managed windows, text and gradients.

- The desktop: every window inside the screen, above the panel.
- A run ended by a pointer move (ostrel-x11-probe stops the program when its
  window is mapped): the first frame is that desktop, changed only on the
  rings of the first ticks; with the trails on the screen, the clipboard's
  PNG is the desktop pixel for pixel; a second in, the four trails and
  nothing else have changed, the panel included; status 0, and once the
  windows have drawn themselves again the screen is the desktop.
- A run ended by a key while the terminal has the focus: status 0, and the
  key reached no window (the terminal shows nothing typed).

The clocks show minutes. A case during which a minute turned (the desktop
before and after it differ, and only inside the clocks) runs again.

Usage: realistic_desktop_test.py PATH_TO_OSTREL PATH_TO_OSTREL_X11_PROBE
"""
import os
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import realistic_desktop as rd  # noqa: E402
import harness as h  # noqa: E402
import xsession as xs  # noqa: E402

WIDTH, HEIGHT = 1280, 720
PANEL_CLOCK_WIDTH = 110  # the panel's clock sits at its right end
TRIES = 3


def read_clipboard_picture(x):
    """The clipboard's image/png as a picture, or why there is none."""
    got = x.run("xclip", "-selection", "clipboard", "-t", "image/png", "-o", check=False, timeout=10)
    if got.returncode != 0 or not got.stdout.startswith(b"\x89PNG"):
        return f"xclip status {got.returncode}, {len(got.stdout)} bytes, {got.stderr[-200:]!r}"
    rgb = subprocess.run(["/usr/bin/convert", "png:-", "-depth", "8", "rgb:-"], input=got.stdout,
                         capture_output=True, check=False)
    if rgb.returncode != 0 or len(rgb.stdout) != WIDTH * HEIGHT * 3:
        return f"the PNG does not decode to {WIDTH}x{HEIGHT}: {rgb.stderr[-200:]!r}"
    return h.Image(WIDTH, HEIGHT, rgb.stdout)


def in_clocks(desktop, pixels):
    """Whether every pixel lies in xclock's window or the panel's clock."""
    cx, cy, cw, ch = desktop.windows[rd.CLOCK]
    return all((cx <= px < cx + cw and cy <= py < cy + ch) or
               (px >= WIDTH - PANEL_CLOCK_WIDTH and py >= HEIGHT - rd.PANEL_HEIGHT)
               for px, py in pixels)


def check_layout(f, x, desktop):
    for cls, (wx, wy, ww, wh) in desktop.windows.items():
        f.check(0 <= wx and 0 <= wy and wx + ww <= WIDTH and wy + wh <= HEIGHT - rd.PANEL_HEIGHT,
                f"the {cls} window {ww}x{wh}+{wx}+{wy} is not inside the screen above the panel")
    focus = x.run("xdotool", "getwindowfocus", check=False).stdout.strip().decode()
    focused = x.run("xprop", "-id", focus, "WM_CLASS", check=False).stdout.decode().strip()
    f.check(focused.endswith(f'"{rd.TERMINAL}"'), f"the focus is on {focused!r}, not the terminal")


def screenshot(desktop):
    return h.Image(WIDTH, HEIGHT, desktop.screenshot_rgb())


def run_ended_by_move(f, x, program, probe, before):
    with xs.ProbeRun(probe, program, env=x.env, stop_at_map=True) as run:
        try:
            frozen = x.screenshot()
        finally:
            os.kill(run.pid, signal.SIGCONT)
        h.check_trails(f, before, frozen, h.ticks_bound(run.mapped_ms / 1000, slack=2),
                        "first frame", need_all_colours=False)
        got = read_clipboard_picture(x)
        if f.check(isinstance(got, h.Image), f"no picture on the clipboard: {got}"):
            f.check(got == before, "the clipboard's picture differs from the desktop in "
                    f"{len(h.diff_pixels(before, got))} pixels")
        time.sleep(max(0.0, 1.0 - (time.monotonic() - run.started)))
        changed = h.check_trails(f, before, x.screenshot(),
                                  h.ticks_bound(time.monotonic() - run.started), "after a second")
        f.check(len(changed) > 2000, f"after a second only {len(changed)} pixels show trails")
        _, _, status = run.end_by_move()
        f.check(status == 0, f"a move: exit status {status}, expected 0")


def run_ended_by_key(f, x, program, _before):
    with h.Saver(program, env=x.env) as saver:
        if not f.check(x.wait_window(proc=saver.proc) is not None,
                       f"no Form1 window (status {saver.wait(0)}, stderr {saver.stderr!r})"):
            return
        time.sleep(0.5)
        x.run("xdotool", "key", "q")
        status = saver.wait(2.0)
        f.check(status == 0, f"the key q: exit status {status}, expected 0 (stderr {saver.stderr!r})")


def attempt(f, x, desktop, case, *args):
    """Runs a case until no minute turns during it; its failures go to f."""
    for tries in range(1, TRIES + 1):
        before = screenshot(desktop)
        mine = h.Failures()
        case(mine, x, *args, before)
        desktop.wait_still()
        after = screenshot(desktop)
        moved = h.diff_pixels(before, after)
        if moved and in_clocks(desktop, moved) and tries < TRIES:
            print(f"{case.__name__}: a minute turned during the run; again", flush=True)
            continue
        mine.check(not moved, f"after the end the screen differs from the desktop in {len(moved)} "
                   f"pixels, e.g. {list(moved)[:5]}")
        f.items += mine.items
        return


def main():
    program, probe = sys.argv[1], sys.argv[2]
    f = h.Failures()
    try:
        with xs.realistic_session(WIDTH, HEIGHT) as (x, desktop):
            check_layout(f, x, desktop)
            attempt(f, x, desktop, run_ended_by_move, program, probe)
            attempt(f, x, desktop, run_ended_by_key, program)
    except h.Skip as skip:
        print(f"SKIP: {skip}")
        return h.SKIP
    return f.finish("realistic desktop")


if __name__ == "__main__":
    sys.exit(main())
