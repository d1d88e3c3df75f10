#!/usr/bin/env python3
"""The X11 program is never stuck: one case per fault it must survive, each on
its own Xvfb (a silent server, foreign grabs, held or let go, early signals,
closed standard descriptors, a closed stderr, no MIT-SHM, the largest screen, a
window manager, a compositor, valgrind).

Usage: faults_test.py PATH_TO_OSTREL PATH_TO_OSTREL_X11_PROBE [CASE...]
(no case: all but valgrind)
"""
import contextlib
import os
import signal
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as h  # noqa: E402
import xsession as xs  # noqa: E402

MAX_LATENCY_MS = h.MAX_LATENCY * 1000


def free_display():
    return next(n for n in range(899, 800, -1) if xs.display_absent(n))


def first_frame_and_move(f, x, desktop, program, probe, what, settle=0.0):
    """Starts a run stopped at its map: the window must cover the screen and show
    the desktop (early rings allowed), also `settle` s later; then a 1 px move
    must end it. Returns the program's stderr."""
    with xs.ProbeRun(probe, program, env=x.env, stop_at_map=True) as run:
        try:
            time.sleep(settle)
            shot, windows = x.screenshot(), x.windows()
        finally:
            os.kill(run.pid, signal.SIGCONT)
        f.check([w[1:] for w in windows] == [(0, 0, x.width, x.height)],
                f"{what}: windows {windows} do not cover the {x.width}x{x.height} screen")
        h.check_trails(f, desktop, shot, h.ticks_bound(run.mapped_ms / 1000, slack=2),
                       f"{what}: first frame", need_all_colours=False)
        time.sleep(0.3)
        gone, _, status = run.end_by_move()
        f.check(status == 0 and gone < MAX_LATENCY_MS, f"{what}: status {status}, gone {gone:.0f} ms")
        return run.proc.stderr.read()


def ended_by(f, saver, what, act):
    act()
    acted = time.monotonic()
    status = saver.wait(2.0)
    took = (saver.exited_at - acted) * 1000 if status is not None else float("inf")
    f.check(status == 0 and took < MAX_LATENCY_MS,
            f"{what}: status {status} {took:.0f} ms after the input (stderr {saver.stderr!r})")


@contextlib.contextmanager
def grabs_held(f, x, probe, which):
    """Another client holds the grabs until the end, or until the function
    yielded is called."""
    holder = subprocess.Popen([probe, "grab", which], env=x.env, stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)

    def release():
        if not holder.stdin.closed:
            holder.stdin.close()
            holder.wait(5)

    try:
        f.check(holder.stdout.readline().strip() == "grabbed", f"the helper did not grab {which}")
        yield release
    finally:
        release()


def silent_server(f, program, probe):
    """A display that accepts the connection and never answers: the program gives
    up within 5 s with one line on stderr; a SIGTERM meanwhile ends it at once."""
    n = free_display()
    path = f"/tmp/.X11-unix/X{n}"
    env = dict(os.environ, DISPLAY=f":{n}")
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as listener:
        listener.bind(path)
        listener.listen()  # connections are accepted by the kernel, never answered
        try:
            for sig in (None, signal.SIGTERM):
                with h.Saver(program, env=env) as saver:
                    if sig is not None:
                        time.sleep(0.3)
                        saver.proc.send_signal(sig)
                    status = saver.wait(10.0)
                took = (saver.exited_at or time.monotonic()) - saver.started
                lines = saver.stderr.decode(errors="replace").splitlines()
                what = f"silent server, {sig.name if sig else 'no signal'}"
                if sig is None:
                    f.check(status is not None and 0 < status < 128, f"{what}: status {status}")
                    f.check(4.0 < took < 5.0, f"{what}: gave up after {took:.2f} s, expected 4.5 s")
                    f.check(len(lines) == 1 and f":{n}" in lines[0], f"{what}: stderr {lines}")
                else:
                    f.check(status == 0 and took < 0.5, f"{what}: status {status} after {took:.2f} s")
        finally:
            os.unlink(path)


def foreign_grab(f, program, probe):
    """Another client holds both grabs (an open menu): a move, then a key, still
    end the run; the failed grab is reported once."""
    with xs.desktop_session(640, 400) as (x, _, pointer), grabs_held(f, x, probe, "both"):
        with h.Saver(program, env=x.env) as saver:
            f.check(x.wait_window(proc=saver.proc) is not None, "foreign grab: no window")
            time.sleep(1.5)  # past the grab's retry time
            ended_by(f, saver, "foreign grab, move", lambda: x.move(pointer[0] + 1, pointer[1]))
        lines = saver.stderr.decode(errors="replace").splitlines()
        f.check(len(lines) == 1 and "grab" in lines[0], f"foreign grab: stderr {lines}, expected one report")
        # A key held when the run starts (the one that started it) and let go
        # during it is no activity; a key pressed is.
        x.run("xdotool", "keydown", "Return")
        with h.Saver(program, env=x.env) as saver:
            f.check(x.wait_window(proc=saver.proc) is not None, "foreign grab: no window")
            time.sleep(0.3)
            x.run("xdotool", "keyup", "Return")
            f.check(saver.running_after(0.3), "foreign grab: letting go of a held key ended the run")
            ended_by(f, saver, "foreign grab, key", lambda: x.run("xdotool", "keydown", "space"))
            x.run("xdotool", "keyup", "space")


def grabs_released(f, program, probe):
    """Another client holds both grabs at the start and lets go during the first
    second (the window asks again at every tick) or after it (four times a
    second): the window then holds both grabs, so that a third client is
    refused them and keys go to the window, not to the focused application; a
    key ends the run. A grab missing past the first second is reported once."""
    with xs.desktop_session(640, 400) as (x, _, _):
        for what, held, settle, reports in (("let go in the first second", 0.0, 0.15, 0),
                                            ("let go after the first second", 1.5, 0.5, 1)):
            with grabs_held(f, x, probe, "both") as release, h.Saver(program, env=x.env) as saver:
                f.check(x.wait_window(proc=saver.proc) is not None, f"{what}: no window")
                time.sleep(held)
                release()
                time.sleep(settle)
                answer = x.run(probe, "taken", "both").stdout.decode().split()
                f.check(answer == ["pointer", "taken", "keyboard", "taken"],
                        f"{what}: a third client is told {answer}, the window holds no grab")
                ended_by(f, saver, f"{what}, key", lambda: x.run("xdotool", "key", "space"))
            lines = saver.stderr.decode(errors="replace").splitlines()
            f.check(len(lines) == reports, f"{what}: stderr {lines}, expected {reports} report(s)")


def keyboard_held(f, program, probe):
    """Only the keyboard grab held elsewhere: a move right at the map ends the run
    at once (no blocking retry)."""
    with xs.desktop_session(640, 400) as (x, _, _), grabs_held(f, x, probe, "keyboard"):
        with xs.ProbeRun(probe, program, env=x.env) as run:
            gone, _, status = run.end_by_move()
            f.check(status == 0 and gone < MAX_LATENCY_MS, f"keyboard held: status {status}, gone {gone:.0f} ms")


def handled(pid, sig, timeout=2.0):
    """Waits until process pid catches signal sig (SigCgt in /proc/PID/status)."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        with contextlib.suppress(OSError), open(f"/proc/{pid}/status") as status:
            caught = next(int(line.split()[1], 16) for line in status if line.startswith("SigCgt:"))
            if caught >> (sig - 1) & 1:
                return


def early_signal(f, program, probe):
    """A signal from the moment the handler shows in /proc (before, only the
    loader runs) into the display's opening, the copy and the map: status 0, no
    window left, the cursor back."""
    with xs.desktop_session(640, 400) as (x, desktop, pointer):
        for sig, delay in ((signal.SIGTERM, 0), (signal.SIGINT, 0), (signal.SIGHUP, 0),
                           (signal.SIGTERM, 0.003), (signal.SIGINT, 0.01), (signal.SIGHUP, 0.03)):
            what = f"{sig.name} {delay * 1000:.0f} ms after its handler is installed"
            with h.Saver(program, env=x.env) as saver:
                handled(saver.proc.pid, sig)
                time.sleep(delay)
                saver.proc.send_signal(sig)
                status = saver.wait(2.0)
            f.check(status == 0, f"{what}: status {status} (stderr {saver.stderr!r})")
            f.check(not x.windows(), f"{what}: a window is left")
            f.check(x.screenshot() == desktop, f"{what}: the screen is not the desktop")
            f.check(h.cursor_pixels(x.framebuffer(), pointer) > 20, f"{what}: the cursor is not back")


def closed_descriptors(f, program, probe):
    """Started with stdin and stderr closed, the program's own descriptors must
    not take their numbers: the grab's report at one second would otherwise
    go into the signal pipe and end the run. Another client holds the grabs,
    so that the report is written."""
    with xs.desktop_session(640, 400) as (x, _, pointer), grabs_held(f, x, probe, "both"):
        with h.Saver(program, env=x.env, closed=(0, 2)) as saver:
            f.check(x.wait_window(proc=saver.proc) is not None, "closed descriptors: no window")
            opened = saver.standard_descriptors()
            f.check(opened[0] == opened[2] == "/dev/null",
                    f"closed descriptors: 0 to 2 are open on {opened}, not /dev/null")
            f.check(saver.running_after(1.5), "closed descriptors: the grab's report ended the run "
                    f"(status {saver.wait(0)})")
            ended_by(f, saver, "closed descriptors, move", lambda: x.move(pointer[0] + 1, pointer[1]))


def closed_stderr(f, program, probe):
    read_end, write_end = os.pipe()
    os.close(read_end)
    env = dict(os.environ, DISPLAY=f":{free_display()}")  # nothing listens there
    r = subprocess.run([program], env=env, stderr=write_end, timeout=10)
    os.close(write_end)
    f.check(r.returncode == 1, f"closed stderr: status {r.returncode}, expected 1")


def no_mit_shm(f, program, probe):
    """Without MIT-SHM: nothing on stderr, the first frame exact."""
    with xs.desktop_session(640, 400, ["-extension", "MIT-SHM"]) as (x, desktop, _):
        err = first_frame_and_move(f, x, desktop, program, probe, "no MIT-SHM")
        f.check(err == "", f"no MIT-SHM: stderr {err!r}")


def huge_screen(f, program, probe):
    """16384x16384, Xvfb's largest: a move at the map, and one while the first
    paint (1 GiB, in bands) is under way, ends the run within the latency."""
    xs.Xvfb.require()
    with xs.Xvfb([h.Output(16384, 16384)]) as x:
        for delay in (0.0, 0.25):
            with xs.ProbeRun(probe, program, env=x.env) as run:
                time.sleep(delay)
                gone, _, status = run.end_by_move()
            what = f"huge screen, move {delay * 1000:.0f} ms after the map"
            f.check(status == 0 and gone < MAX_LATENCY_MS, f"{what}: status {status}, gone {gone:.0f} ms")


def openbox(f, program, probe):
    with xs.desktop_session(640, 400) as (x, desktop, _):
        wm = subprocess.Popen(["openbox"], env=x.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            time.sleep(1.0)
            f.check(wm.poll() is None, "openbox did not start (set-up)")
            first_frame_and_move(f, x, desktop, program, probe, "openbox", settle=0.2)
        finally:
            h.stop_process(wm)


def xcompmgr(f, program, probe):
    xs.Xvfb.require()
    with xs.Xvfb([h.Output(640, 400)]) as x:
        # xcompmgr paints the root picture hsetroot set before it started.
        desktop, _ = x.set_desktop(root_setter="hsetroot")
        compositor = subprocess.Popen(["xcompmgr"], env=x.env, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL)
        try:
            time.sleep(0.5)
            f.check(compositor.poll() is None and x.screenshot() == desktop,
                    "xcompmgr did not start or does not show the desktop (set-up)")
            first_frame_and_move(f, x, desktop, program, probe, "xcompmgr", settle=0.2)
            time.sleep(0.2)
            f.check(x.screenshot() == desktop, "xcompmgr: the screen is not the desktop after the run")
        finally:
            h.stop_process(compositor)


def valgrind(f, program, probe):
    with xs.desktop_session(640, 400) as (x, _, pointer):
        # No suppressions: Xlib, libpng and the loader show no error either.
        args = ["--error-exitcode=99", "--leak-check=full", "--errors-for-leak-kinds=definite",
                program]
        with h.Saver("valgrind", args, env=x.env) as saver:
            f.check(x.wait_window(30.0, proc=saver.proc) is not None, "valgrind: no window")
            time.sleep(1.0)
            x.move(pointer[0] + 1, pointer[1])
            status = saver.wait(30.0)
        f.check(status == 0, f"valgrind: status {status}: {saver.stderr.decode(errors='replace')[-3000:]}")


CASES = {fn.__name__: fn for fn in (silent_server, foreign_grab, grabs_released, keyboard_held,
                                    early_signal, closed_descriptors, closed_stderr, no_mit_shm,
                                    huge_screen, openbox,
                                    xcompmgr, valgrind)}


def main():
    program, probe, names = sys.argv[1], sys.argv[2], sys.argv[3:]
    xs.Xvfb.require()
    f = h.Failures()
    for name in names or [n for n in CASES if n != "valgrind"]:
        print(f"--- {name}", flush=True)
        CASES[name](f, program, probe)
    return f.finish("faults")


if __name__ == "__main__":
    sys.exit(main())
