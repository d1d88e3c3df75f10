#!/usr/bin/env python3
"""How a run ends on real input (xdotool through XTest), one run per input:

- a move to the pointer's own position does not end it, a move 1 px away does,
  also when it is the first move of the run;
- a key press ends it, also when another window had the keyboard focus;
- a mouse click ends it;
- each: exit status 0 within 100 ms of the input, no window left, the desktop
  back as it was.

Each run also gets arguments (/p 1234, /s, /c), which must change nothing: the
window covers the screen and the trails run as without them.

The latency is measured from just after xdotool returns to the process's exit,
seen through a pidfd (so no polling delay is added). xdotool's own time is
printed beside it: a click's press is sent ~100 ms before xdotool returns, so
the program has often ended before xdotool returns.

Usage: end_test.py PATH_TO_OSTREL
"""
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as h  # noqa: E402
import xsession as xs  # noqa: E402

def main():
    program = sys.argv[1]
    f = h.Failures()
    with xs.desktop_session(1280, 720) as (x, desktop, _):

        def start(args, before=None):
            """Starts a run; checks its window and, after a second, its trails."""
            saver = h.Saver(program, args, env=x.env)
            if x.check_window(f, saver, args) is None:
                return saver
            # A second of ticks after the window appeared (a slow start, as
            # under the sanitizers, must not leave the screenshot before them).
            time.sleep(1.0)
            h.check_trails(f, before or desktop, x.screenshot(),
                           h.ticks_bound(time.monotonic() - saver.started), f"{args} after a second")
            return saver

        def end_by(saver, what, *xdotool_args, before=None):
            sent = time.monotonic()
            x.run("xdotool", *xdotool_args)
            returned = time.monotonic()
            status = saver.wait(2.0)
            if not f.check(status is not None, f"{what}: still running 2 s after the input"):
                saver.stop()
                return
            # The pidfd is readable at once if the program ended while xdotool ran.
            latency = saver.exited_at - returned
            when = f"{latency * 1000:.1f} ms after xdotool returned" if latency > 0.001 else \
                "before xdotool returned"
            print(f"{what}: exit {when} (xdotool took {(returned - sent) * 1000:.1f} ms)", flush=True)
            f.check(status == 0, f"{what}: exit status {status} (stderr {saver.stderr!r})")
            f.check(latency < h.MAX_LATENCY, f"{what}: exit {latency * 1000:.0f} ms after the input")
            f.check(not x.windows(), f"{what}: a Form1 window is left")
            f.check(x.screenshot() == (before or desktop), f"{what}: the screen is not the desktop after the end")

        with start(["/p", "1234"]) as saver:
            px, py = x.pointer_position()
            for _ in range(3):
                x.move(px, py)
                time.sleep(0.1)
            f.check(saver.running_after(0.3), f"a move to the pointer's own position ended the run "
                    f"(status {saver.wait(0)})")
            if saver.exited_at is None:
                end_by(saver, "move 1 px", "mousemove", str(px + 1), str(py))

        # Another client holds the keyboard focus: the keys reach the saver only
        # if it grabs the keyboard.
        other = subprocess.Popen(["xlogo", "-geometry", "200x100+10+10"], env=x.env,
                                    stderr=subprocess.DEVNULL)
        try:
            logo = x.wait_window(5.0, name="xlogo", proc=other)
            if f.check(logo is not None, "xlogo did not appear (test set-up)"):
                x.run("xdotool", "windowfocus", "--sync", logo[0])
                with_logo = x.screenshot()
                with start(["/s"], before=with_logo) as saver:
                    end_by(saver, "key press", "key", "space", before=with_logo)
        finally:
            other.terminate()
            other.wait()
        time.sleep(0.1)

        with start(["/c"]) as saver:
            end_by(saver, "click", "click", "1")

        # No move before this one: the position the window appeared under
        # (reported by EnterNotify) is the first report, so this move ends it.
        with start([]) as saver:
            px, py = x.pointer_position()
            end_by(saver, "first move 1 px", "mousemove", str(px), str(py + 1))
    return f.finish("ending")


if __name__ == "__main__":
    sys.exit(main())
