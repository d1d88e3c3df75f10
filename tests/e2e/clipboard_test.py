#!/usr/bin/env python3
"""The screen picture on the CLIPBOARD, read with xclip as any application would:

- while a run lasts and its trails are drawn on the screen, CLIPBOARD offers
  image/png and that PNG is the desktop, pixel for pixel (the trails are drawn
  on the very memory the screen was copied into); SIGHUP then ends the run
  with status 0;
- with a clipboard manager running (xfsettingsd), the picture is still there,
  still without trails, after a run that SIGINT ended with status 0.

Usage: clipboard_test.py PATH_TO_OSTREL PATH_TO_OSTREL_X11_PROBE
"""
import os
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as h  # noqa: E402
import xsession as xs  # noqa: E402


def read_clipboard_picture(x, desktop):
    """The clipboard's image/png as a picture of the desktop's size, or an error text."""
    got = x.run("xclip", "-selection", "clipboard", "-t", "image/png", "-o", check=False, timeout=10)
    if got.returncode != 0 or not got.stdout.startswith(b"\x89PNG"):
        return f"xclip status {got.returncode}, {len(got.stdout)} bytes, {got.stderr[-200:]!r}"
    picture = h.png_to_image(got.stdout)
    if picture is None or (picture.width, picture.height) != (desktop.width, desktop.height):
        return f"the PNG does not decode to {desktop.width}x{desktop.height}"
    return picture


def check_picture(f, got, desktop, what):
    if f.check(isinstance(got, h.Image), f"{what}: no picture on the clipboard: {got}"):
        f.check(got == desktop, f"{what}: the clipboard's picture differs from the desktop in "
                f"{len(h.diff_pixels(desktop, got))} pixels")


def start_manager(x, probe):
    """Starts xfsettingsd's clipboard manager; returns it once it owns CLIPBOARD_MANAGER."""
    # Its own settings and cache folders, and no accessibility bus.
    env = dict(x.env, NO_AT_BRIDGE="1", XDG_CONFIG_HOME=os.path.join(x.dir, "config"),
               XDG_CACHE_HOME=os.path.join(x.dir, "cache"))
    manager = subprocess.Popen(["dbus-run-session", "--", "xfsettingsd", "--no-daemon",
                                "--disable-wm-check"], env=env, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, start_new_session=True)
    end = time.monotonic() + 15
    while time.monotonic() < end and manager.poll() is None:
        owner = x.run(probe, "owner", "CLIPBOARD_MANAGER").stdout.strip()
        if owner not in (b"", b"0x0"):
            return manager
        time.sleep(0.05)
    stop_group(manager)
    return None


def stop_group(proc):
    """Ends the process group that proc leads (dbus-run-session and its children)."""
    try:
        os.killpg(proc.pid, signal.SIGTERM)
    except ProcessLookupError:
        pass
    proc.wait()


def main():
    program, probe = sys.argv[1], sys.argv[2]
    f = h.Failures()
    with xs.desktop_session(1280, 720) as (x, desktop, _):

        with h.Saver(program, env=x.env) as saver:
            if f.check(x.wait_window(proc=saver.proc) is not None, "no Form1 window"):
                time.sleep(1.0)
                f.check(x.screenshot() != desktop, "no trails on the screen a second in")
                targets = x.run("xclip", "-selection", "clipboard", "-t", "TARGETS", "-o", check=False)
                f.check(b"image/png" in targets.stdout.split(),
                        f"CLIPBOARD does not offer image/png: {targets.stdout!r} {targets.stderr!r}")
                check_picture(f, read_clipboard_picture(x, desktop), desktop, "during a run")
            saver.proc.send_signal(signal.SIGHUP)
            status = saver.wait(2.0)
            f.check(status == 0, f"SIGHUP: exit status {status}, expected 0 (stderr {saver.stderr!r})")

        manager = start_manager(x, probe)
        if not f.check(manager is not None, "xfsettingsd did not become the clipboard manager (set-up)"):
            return f.finish("clipboard")
        try:
            with h.Saver(program, env=x.env) as saver:
                f.check(x.wait_window(proc=saver.proc) is not None, "no Form1 window with a manager")
                time.sleep(1.0)
                f.check(x.screenshot() != desktop, "no trails on the screen a second in")
                saver.proc.send_signal(signal.SIGINT)
                status = saver.wait(5.0)
                f.check(status == 0, f"SIGINT: exit status {status}, expected 0 (stderr {saver.stderr!r})")
            check_picture(f, read_clipboard_picture(x, desktop), desktop, "after a run, from the manager")
        finally:
            stop_group(manager)
    return f.finish("clipboard")


if __name__ == "__main__":
    sys.exit(main())
