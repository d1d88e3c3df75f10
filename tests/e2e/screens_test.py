#!/usr/bin/env python3
"""Runs on unusual screens and a dying server:

- a tall screen (1280x2880): the window covers it, a second in the trails are
  where the trail paths for that size put them (one starts near the bottom,
  far below row 1080) and nothing else changed; a 1 px move ends it, status 0;
- the X server killed during a run: the program exits with a non-zero status
  within a second instead of hanging.

Usage: screens_test.py PATH_TO_OSTREL
"""
import os
import signal
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as h  # noqa: E402
import xsession as xs  # noqa: E402


def tall_screen(f, program):
    with xs.desktop_session(1280, 2880) as (x, desktop, pointer):
        with h.Saver(program, env=x.env) as saver:
            if x.check_window(f, saver, "tall") is None:
                return
            # A second of ticks after the window appeared (a slow start, as
            # under the sanitizers, must not leave the screenshot before them).
            time.sleep(1.0)
            changed = h.check_trails(f, desktop, x.screenshot(),
                                     h.ticks_bound(time.monotonic() - saver.started), "tall")
            low = sum(1 for _, y in changed if y >= 2160)
            f.check(low > 100, f"tall: only {low} trail pixels below row 2160; the trails do not "
                    "use the screen's height")
            x.move(pointer[0] + 1, pointer[1])
            status = saver.wait(1.0)
            f.check(status == 0, f"tall: a 1 px move gave exit status {status} (stderr {saver.stderr!r})")
        f.check(x.screenshot() == desktop, "tall: the screen is not the desktop after the end")


def server_killed(f, program):
    with xs.Xvfb([h.Output(640, 480)]) as x:
        with h.Saver(program, env=x.env) as saver:
            if not f.check(x.wait_window(proc=saver.proc) is not None, "server kill: no Form1 window"):
                return
            time.sleep(0.3)
            x.proc.send_signal(signal.SIGKILL)
            killed = time.monotonic()
            status = saver.wait(5.0)
            if f.check(status is not None, "server kill: the program still runs 5 s after its server died"):
                took = saver.exited_at - killed
                print(f"server kill: exit status {status} {took * 1000:.0f} ms after the kill, "
                      f"stderr {saver.stderr.decode(errors='replace').strip()!r}", flush=True)
                f.check(status != 0, "server kill: exit status 0 (a failure reported as success)")
                f.check(took < 1.0, f"server kill: took {took:.2f} s to end")
                f.check(saver.stderr.strip() != b"", "server kill: no message on stderr")


def main():
    xs.Xvfb.require()
    f = h.Failures()
    tall_screen(f, sys.argv[1])
    server_killed(f, sys.argv[1])
    return f.finish("screens")


if __name__ == "__main__":
    sys.exit(main())
