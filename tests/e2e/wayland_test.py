#!/usr/bin/env python3
"""End-to-end cases of ostrel's Wayland backend on a private headless sway,
one table, one fresh compositor per case (tests/e2e/waysession.py).

Every run is started by RunCase.start() (harness.py), which takes screenshots of every output
from the moment the program is started until trails show: each one must be
the output's desktop exactly or the desktop with trail colours XORed on. A
black or otherwise wrong first frame is a visible flash and fails any case.
The pointer comes from ostrel-wl-pointer (absolute moves in logical layout
coordinates), added during a run (see SwayCase), the key that ends a run from
ostrel-wl-keyboard (found beside ostrel-wl-pointer), other keys from wtype.
Input meant to end a run is sent only once the program holds the device it
comes from (a pointer added during the run: Sway.pointer_taken; a keyboard:
on the seat before the start). Exit latencies are measured from just before
the helper sends the input to the program's exit seen through a pidfd.

Usage: wayland_test.py PATH_TO_OSTREL PATH_TO_OSTREL_WL_POINTER [--without-x11] [CASE_WORD...]
(only the cases whose name contains one of the words; --without-x11 for a
program built without its X11 backend).
"""
import contextlib
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as h  # noqa: E402
import waysession as ws  # noqa: E402
import xsession as xs  # noqa: E402

PAD = (677, 381)  # the pointer's place before a run: on the first output's grey pad
ONE = ((1280, 720),)
TWO = ((1280, 720), (1280, 720, 1, 1280, 0))
STACKED = ((1280, 720), (1280, 720, 1, 0, 720))
SCALED = ((1920, 1080, 2),)


class SwayCase(h.RunCase):
    """Headless sway draws the cursor into the outputs' pixels, so a screen
    copy taken while a pointer device exists holds the cursor. Runs therefore
    start with no pointer device: park() leaves the cursor's place on the
    grey pad and removes the device; attach() adds one during the run, whose
    enter at that place is the run's first position once the program holds
    it."""

    def park(self):
        p = self.s.pointer()
        p.move(*PAD)
        p.close()

    def attach(self, saver=None):
        """A pointer device added during the run. With `saver`, returns once
        that run holds it (its enter taken, at the parked place), so that what
        is sent on it next reaches the program."""
        p = self.s.pointer()
        if saver is not None and not self.s.pointer_taken(saver, PAD):
            status = saver.wait(0)
            raise RuntimeError("the pointer added during the run was not taken: " +
                               ("the cursor still shows on the pad" if status is None
                                else f"the run ended (status {status})"))
        return p


def trails(t):
    saver = t.start()
    if t.first_trails:
        # The first ticks' rings, a few radii only: a wrong scale of the twips shows.
        shots, seconds = t.first_trails
        h.check_trails(t.f, t.s.outputs[0].desktop, shots[0], h.ticks_bound(seconds),
                       f"{t.name}, first ticks", need_all_colours=False)
        t.layout_trails(saver)


def cursor_hidden(t):
    t.park()
    saver = t.start()
    t.attach()  # sway draws its cursor on the pad unless the surface hides it
    time.sleep(0.3)
    t.check(h.cursor_pixels(t.s.shot(t.s.outputs[0]), PAD) == 0, "the cursor shows")
    t.check(saver.running_after(0), f"a new pointer ended the run (status {saver.wait(0)})")


def key(t):
    # The keyboard is on the seat before the start, as a desktop's is: the
    # program has its wl_keyboard from the start.
    keyboard = t.s.virtual_keyboard()
    saver = t.start()
    keyboard.key()
    t.ended(saver, keyboard.sent, "a key")


def pointer_from_start(t):
    # sway hides an idle cursor after 100 ms, so the screen copy holds none.
    t.s.msg("seat", "seat0", "hide_cursor", "100")
    p = t.attach()
    p.move(*PAD)
    time.sleep(0.3)
    saver = t.start()
    p.move(PAD[0], PAD[1] + 1)
    t.ended(saver, p.sent, "a move 1 px away")


def by_pointer(what, send):
    """A case: a pointer added during the run (its enter is the first
    position), then `send` on it ends the run."""
    def case(t):
        t.park()
        saver = t.start()
        p = t.attach(saver)
        send(p)
        t.ended(saver, p.sent, what)
    return case


def moves(t):
    # sway sends no motion to an unchanged position (to 1/256 px), so the
    # report at the first position comes from the pointer coming back: the
    # device goes (leave), a new one comes (enter at the same place).
    t.park()
    saver = t.start()
    t.attach(saver).close()
    p = t.attach()
    taken = t.s.pointer_taken(saver, PAD)
    if not t.check(saver.running_after(0.2),
                   f"a report of the first position ended the run ({saver.wait(0)})"):
        return
    t.check(taken, "the returning pointer was not taken: the cursor still shows on the pad")
    p.move(PAD[0] + 1, PAD[1])
    t.ended(saver, p.sent, "a move 1 px away")


def two_outputs(t):
    # Side by side or stacked: each output's picture, trails and pointer
    # positions must come from its own place, X and Y.
    second = t.s.outputs[1]
    t.park()
    saver = t.start()
    changed = t.layout_trails(saver)
    p = t.attach(saver)
    t.check(any(not second.contains(x, y) for x, y in changed) and
            any(second.contains(x, y) for x, y in changed), "trails do not show on both outputs")
    p.move(second.x + PAD[0], second.y + PAD[1])
    t.ended(saver, p.sent, "a move onto the second output")


def key_held(t):
    # A key held as the window appears (the one that started the run, say)
    # comes with the keyboard's focus: it is no press, nor is its release.
    keyboard = t.s.virtual_keyboard()  # for the press at the end
    held = t.s.start_helper(["wtype", "-P", "space", "-s", "2500", "-p", "space"])
    time.sleep(0.5)
    saver = t.start()
    t.check(saver.running_after(0.5), f"a key held as the window appeared ended the run "
            f"(status {saver.wait(0)})")
    held.wait(10)
    t.check(saver.running_after(0.5), f"letting go of the held key ended the run ({saver.wait(0)})")
    keyboard.key()
    t.ended(saver, keyboard.sent, "a key pressed")


def closed_descriptors(t):
    # Started with 0, 1 and 2 closed, the program's own descriptors (the
    # signal pipe, the connection) must not take their numbers: a line on
    # stderr would go into the compositor's socket.
    t.park()
    saver = t.start(closed=(0, 1, 2))
    opened = saver.standard_descriptors()
    t.check(opened == ["/dev/null"] * 3, f"descriptors 0 to 2 are open on {opened}")
    p = t.attach(saver)
    p.move(PAD[0] + 1, PAD[1])
    t.ended(saver, p.sent, "a move")


def scale_2(t):
    saver = t.start()
    if t.first_trails:
        t.trails_at_scale_2(saver)


def still_shot(t, output, size, timeout=3.0):
    """The output's shot once it has `size` (width, height) and stays the same
    for two shots in a row; the last shot when it never does."""
    end = time.monotonic() + timeout
    last = None
    while time.monotonic() < end:
        shot = t.s.shot(output)
        if (shot.width, shot.height) == size and last is not None and shot == last:
            return shot
        last = shot
        time.sleep(0.1)
    return last


def covered(picture, width, height):
    """`picture` at the top-left of a black picture of width x height."""
    black = bytes(3 * width)
    rows = []
    for y in range(height):
        if y < picture.height:
            row = picture.data[y * picture.width * 3:(y + 1) * picture.width * 3]
            rows.append(row[:width * 3] + black[:max(0, width - picture.width) * 3])
        else:
            rows.append(black)
    return h.Image(width, height, b"".join(rows))


def outputs_change(t):
    # Every output stays covered for the whole run. One that changes its mode
    # and then its scale shows its frozen picture as it showed at the start,
    # pixel for pixel, black where it has none; one plugged in during the run
    # is black. The live desktop (sway's own picture resized, an orange one on
    # the new output) never shows. The trails keep the layout of the start.
    o = t.s.outputs[0]
    t.park()
    saver = t.start()
    frozen = covered(o.desktop, 1920, 1080)
    for change in (("mode", "1920x1080"), ("scale", "2")):
        t.s.msg("output", o.name, *change)
        shot = still_shot(t, o, (1920, 1080))
        left = h.diff_pixels(frozen, shot) if (shot.width, shot.height) == (1920, 1080) else {}
        t.check((shot.width, shot.height) == (1920, 1080) and not left,
                f"after {' '.join(change)}: {shot.width}x{shot.height}, {len(left)} pixels are not "
                f"the frozen picture or black, e.g. {sorted(left)[:3]}")
    added = h.Output(1920, 1080)
    added.name = "HEADLESS-2"
    t.s.start_helper(["swaybg", "-o", added.name, "-c", "#ff8000"],
                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    t.s.msg("create_output")
    shot = still_shot(t, added, (1920, 1080))
    t.check(shot is not None and not any(shot.data),
            f"the output plugged in during the run is not black "
            f"({sum(1 for b in (shot.data if shot else b'') if b)} bytes are not)")
    p = t.attach(saver)
    p.move(PAD[0] + 1, PAD[1])
    status = saver.wait(2.0)
    t.check(status == 0, f"a move after the outputs changed: status {status}")


# Objects of a run that must be destroyed with a request before the program
# lets go of the connection (the serving process keeps it open, and the
# compositor would keep them as long as it runs: surfaces, buffers, pools).
RUN_OBJECTS = ("wl_surface", "zwlr_layer_surface_v1", "wl_buffer", "wl_shm_pool",
               "zwlr_screencopy_frame_v1", "wl_pointer", "wl_keyboard")


def objects_left(debug_log):
    """The run's objects the program made and never asked the compositor to
    destroy, from libwayland's WAYLAND_DEBUG lines ("-> wl_surface@21.destroy()")."""
    live = {}
    for line in debug_log.splitlines():
        m = re.search(r"-> (\w+)@(\d+)\.(\w+)\((.*)\)", line)
        if m is None:
            continue
        interface, oid, request, args = m.groups()
        if request in ("destroy", "release"):
            live.pop(oid, None)
        for made, new in re.findall(r"new id (\w+)@(\d+)", args):
            live[new] = made
    return sorted(f"{interface}@{oid}" for oid, interface in live.items() if interface in RUN_OBJECTS)


def objects_freed(t):
    press = t.s.keyboard()  # a keyboard and a pointer on the seat: both are bound
    del press
    t.park()
    saver = t.start(env=dict(t.s.env, WAYLAND_DEBUG="client"))
    p = t.attach(saver)
    p.move(PAD[0] + 1, PAD[1])
    status = saver.wait(2.0)
    t.check(status == 0, f"a move: status {status}")
    left = objects_left(saver.stderr.decode(errors="replace"))
    t.check(not left, f"never asked to destroy: {left}")


def serving_processes(program):
    """{pid: open file descriptors} of the program's processes still running."""
    found = {}
    for name in filter(str.isdigit, os.listdir("/proc")):
        with contextlib.suppress(OSError):
            if os.readlink(f"/proc/{name}/exe") == os.path.realpath(program):
                found[int(name)] = len(os.listdir(f"/proc/{name}/fd"))
    return found


def clipboard(t):
    press = t.s.keyboard()  # a keyboard on the seat during the run, as on a desktop
    t.park()
    saver = t.start()
    p = t.attach(saver)
    p.move(PAD[0] + 1, PAD[1])
    t.ended(saver, p.sent, "a move")
    # Every keyboard that comes and goes sends the seat's clients a keymap, a
    # file descriptor: the process that serves the picture must not hold them.
    before = serving_processes(t.program)
    for _ in range(5):
        press("space")
    after = serving_processes(t.program)
    t.check(before and all(after.get(pid, 0) <= fds for pid, fds in before.items()),
            f"the serving process's descriptors went from {before} to {after}")
    png = t.s.paste("image/png")
    picture = h.png_to_image(png) if png else None
    t.check(picture is not None and picture == t.s.outputs[0].desktop,
            f"the clipboard's image/png is not the desktop "
            f"({'none' if png is None else f'{len(png)} bytes'}; offers {t.s.offers()})")


def compositor_killed(t):
    saver = t.start()
    t.s.kill()
    since = time.monotonic()
    status = saver.wait(1.0)
    t.check(status == 1, f"status {status} within a second of the compositor's end")
    if status is not None:
        print(f"{t.name}: exit {(saver.exited_at - since) * 1000:.1f} ms after the compositor's end")


def by_signal(number):
    def case(t):
        saver = t.start()
        saver.proc.send_signal(number)
        t.ended(saver, time.monotonic(), f"signal {signal.Signals(number).name}")
    return case


def keyboards_come_and_go(t):
    # Each keyboard that comes or goes makes the compositor send the
    # program's keyboard a keymap: a descriptor, which the program closes.
    saver = t.start()
    fds = f"/proc/{saver.proc.pid}/fd"
    before = len(os.listdir(fds))
    for _ in range(4):
        t.s.virtual_keyboard().helper.close()
    keyboard = t.s.virtual_keyboard()
    # The program asks for a keyboard that came when the seat says so: a key
    # sent before that round trip reaches no client (as would one pressed the
    # instant a keyboard is plugged in), so the key waits a moment.
    time.sleep(0.3)
    t.check(len(os.listdir(fds)) == before,
            f"{len(os.listdir(fds)) - before} more descriptors after 5 keyboards came, 4 went")
    t.check(saver.running_after(0), f"keyboards coming and going ended the run ({saver.wait(0)})")
    keyboard.key()
    t.ended(saver, keyboard.sent, "a key pressed")


def x11_fallback(silent):
    """No Wayland socket, or one that accepts the connection and never
    answers: after its patience (4.5 s), the X11 backend."""
    def case(t):
        with xs.desktop_session() as (x, desktop, pointer), \
                tempfile.TemporaryDirectory() as runtime, socket.socket(socket.AF_UNIX) as listener:
            if silent:
                listener.bind(os.path.join(runtime, "wayland-nowhere"))
                listener.listen(4)
            env = dict(x.env, WAYLAND_DISPLAY="wayland-nowhere", XDG_RUNTIME_DIR=runtime)
            saver = t.saver(t.program, env=env)
            if t.check(x.wait_window(timeout=15, proc=saver.proc) is not None,
                       f"no X11 window (status {saver.wait(0)}, stderr {saver.stderr!r})"):
                x.move(pointer[0] + 1, pointer[1])
                t.check(saver.wait(2.0) == 0, f"status {saver.wait(0)} after a move, stderr "
                        f"{saver.stderr!r}")
    return case


def no_display(t):
    with tempfile.TemporaryDirectory() as runtime:
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "XAUTHORITY")}
        env.update(WAYLAND_DISPLAY="wayland-nowhere", XDG_RUNTIME_DIR=runtime)
        saver = t.saver(t.program, env=env)
        status = saver.wait(5.0)
        lines = saver.stderr_lines()
        t.check(status == 1, f"status {status}")
        t.check(len(lines) == 1 and "wayland" in lines[0].lower() and
                re.search(r"X11|\bX\b|(?<!WAYLAND_)DISPLAY", lines[0]) is not None,
                f"not one line naming Wayland and X11: {lines}")


CASES = [
    ("trails over the desktop, first frames exact", ONE, trails),
    ("cursor hidden from a pointer added during the run", ONE, cursor_hidden),
    ("a key ends the run", ONE, key),
    ("a pointer from before the start: a move ends the run", ONE, pointer_from_start),
    ("a button press ends the run", ONE, by_pointer("a button press", h.Pointer.press)),
    # A release with no press before it: only the release handler can end it.
    ("a button release ends the run", ONE, by_pointer("a lone release", h.Pointer.release)),
    ("the wheel ends the run", ONE, by_pointer("a wheel click", h.Pointer.wheel)),
    ("the first position again goes on, 1 px away ends", ONE, moves),
    ("two outputs covered, crossing ends the run", TWO, two_outputs),
    ("two outputs stacked, crossing down ends the run", STACKED, two_outputs),
    ("a key held as the window appears is no press", ONE, key_held),
    ("outputs that change or come during the run stay covered", ONE, outputs_change),
    ("every object of the run is destroyed with its request", ONE, objects_freed),
    ("started with descriptors 0 to 2 closed", ONE, closed_descriptors),
    ("scale 2 at full resolution", SCALED, scale_2),
    ("the clipboard keeps the desktop as PNG", ONE, clipboard),
    ("compositor killed: status 1", ONE, compositor_killed),
    ("SIGTERM ends with status 0", ONE, by_signal(signal.SIGTERM)),
    ("SIGINT ends with status 0", ONE, by_signal(signal.SIGINT)),
    ("SIGHUP ends with status 0", ONE, by_signal(signal.SIGHUP)),
    ("keyboards that come and go leave no descriptor open", ONE, keyboards_come_and_go),
    ("no Wayland display: the X11 backend", None, x11_fallback(silent=False)),
    ("a Wayland socket that never answers: the X11 backend", None, x11_fallback(silent=True)),
    ("neither display: status 1 and one line", None, no_display),
]


def main():
    program, helper, words = sys.argv[1], sys.argv[2], sys.argv[3:]
    # A program built without its X11 backend cannot fall back to X11.
    without_x11 = "--without-x11" in words
    words = [w for w in words if w != "--without-x11"]
    ws.Sway.require()
    # ostrel-wl-keyboard is built beside ostrel-wl-pointer.
    tools = os.path.dirname(helper)

    def play(f, name, layout, run):
        with ws.Sway.session([h.Output(*args) for args in layout], tools, PAD) if layout \
                else contextlib.nullcontext() as sway, SwayCase(name, f, sway, program) as case:
            run(case)
    cases = [c for c in CASES if not (without_x11 and c[2] is x11_fallback)]
    return h.run_cases("wayland", cases, words, play)


if __name__ == "__main__":
    sys.exit(main())
