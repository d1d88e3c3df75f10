"""A private headless sway for driving ostrel's Wayland backend: the
compositor, its outputs, a desktop picture per output (harness.Session),
screenshots, the clipboard, virtual pointers and keyboards.

Used by wayland_test.py, the Wayland clipboard's test and
bench/wayland_run_bench.py. Standard library only. The Wayland work is done
by the real tools: sway, swaymsg, swaybg, grim, wtype, wl-paste, and
tests/helpers/virtual_pointer.cpp (ostrel-wl-pointer) and
virtual_keyboard.cpp (ostrel-wl-keyboard).

sway refuses to run as root, so it runs as nobody (uid 65534) with the
session's folder as its runtime directory; clients run as whoever calls
this and reach its socket through the folder's path.
"""
import json
import os
import re
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as h  # noqa: E402

NOBODY = 65534

# No bar (none is configured), no borders, no Xwayland, no idle handling (none
# is configured either), and no background: each output gets ours from swaybg.
CONFIG = """\
xwayland disable
default_border none
default_floating_border none
focus_follows_mouse no
"""


class Sway(h.WaylandSession):
    """sway on the headless backend with these outputs side by side as
    given. `tools`: the folder of ostrel-wl-pointer and ostrel-wl-keyboard,
    for pointer() and virtual_keyboard()."""

    NAME = "sway"
    RUNTIME = ""
    COMMANDS = ("sway", "swaymsg", "swaybg", "grim", "wtype", "wl-paste", "setpriv")

    def _start(self):
        os.chown(self.dir, NOBODY, NOBODY)
        os.chmod(self.dir, 0o700)
        config = os.path.join(self.dir, "config")
        with open(config, "w") as f:
            f.write(CONFIG)
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": self.dir,
               "XDG_RUNTIME_DIR": self.dir, "WLR_BACKENDS": "headless",
               "WLR_LIBINPUT_NO_DEVICES": "1", "WLR_RENDERER": "pixman"}
        self.proc = self.processes.start(
            self.NAME, ["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups",
                        "sway", "-c", config], env, cwd=self.dir)
        end = time.monotonic() + 15
        while not self._ipc_ready():
            if self.proc.poll() is not None or time.monotonic() > end:
                raise RuntimeError(f"sway did not start (status {self.proc.poll()}): {self.log()[-800:]}")
            time.sleep(0.01)
        # The headless backend starts with HEADLESS-1; create_output adds the rest.
        for i, o in enumerate(self.outputs):
            if i:
                self.msg("create_output")
            o.name = f"HEADLESS-{i + 1}"
        for o in self.outputs:
            self.msg("output", o.name, "mode", f"{o.width}x{o.height}", "position", str(o.x),
                     str(o.y), "scale", str(o.scale))
        wanted = {o.name: o.logical for o in self.outputs}
        for _ in range(200):
            if self.layout() == wanted:
                return
            time.sleep(0.01)
        raise RuntimeError(f"outputs {self.layout()}, asked for {wanted}")

    def _ipc_ready(self):
        names = os.listdir(self.dir)
        self.display = next((n for n in names if re.fullmatch(r"wayland-\d+", n)), None)
        ipc = next((n for n in names if n.startswith("sway-ipc.")), None)
        if self.display is None or ipc is None:
            return False
        self.ipc = os.path.join(self.dir, ipc)
        return subprocess.run(["swaymsg", "-s", self.ipc, "-t", "get_version"],
                              capture_output=True, check=False).returncode == 0

    def msg(self, *args, kind=None):
        """swaymsg; returns its JSON answer."""
        cmd = ["swaymsg", "-s", self.ipc, "-r"] + (["-t", kind] if kind else []) + list(args)
        done = subprocess.run(cmd, capture_output=True, timeout=10, check=False)
        answer = json.loads(done.stdout or b"null")
        if done.returncode != 0 or (isinstance(answer, list) and
                                    not all(a.get("success", True) for a in answer)):
            raise RuntimeError(f"{' '.join(args)}: {answer} {done.stderr!r}")
        return answer

    def layout(self):
        """{name: (x, y, width, height)} of the active outputs, logical."""
        return {o["name"]: (o["rect"]["x"], o["rect"]["y"], o["rect"]["width"], o["rect"]["height"])
                for o in self.msg(kind="get_outputs") if o["active"]}

    @property
    def extent(self):
        """The live layout's logical width and height (outputs may change during a run)."""
        boxes = self.layout().values()
        return max(x + width for x, _, width, _ in boxes), max(y + height for _, y, _, height in boxes)

    def shot(self, output):
        """What the output shows, at its full pixel resolution (grim)."""
        done = subprocess.run(["grim", "-o", output.name, "-t", "ppm", "-"], env=self.env,
                              capture_output=True, timeout=30, check=True)
        return h.parse_ppm(done.stdout)

    def _device(self, program, *args):
        """One of the input helpers, once its device is on the seat; it lives
        until its close() or stop()."""
        path = os.path.join(self.tools, program)
        helper = h.LineHelper(self.start_helper([path, *args], stdin=subprocess.PIPE,
                                                stdout=subprocess.PIPE), program)
        helper.ready(10)
        return helper

    def pointer(self):
        """A new virtual pointer (ostrel-wl-pointer)."""
        return VirtualPointer(self._device("ostrel-wl-pointer", *map(str, self.extent)))

    def virtual_keyboard(self):
        """A keyboard from ostrel-wl-keyboard, on the seat with its keymap
        once this returns."""
        return VirtualKeyboard(self._device("ostrel-wl-keyboard"))

    def keyboards(self):
        """How many keyboard devices the seat has."""
        return sum(d.get("type") == "keyboard" for s in self.msg(kind="get_seats")
                   for d in s["devices"])

    def keyboard(self):
        """A long-lived virtual keyboard, so that later keys from short-lived
        wtype runs all arrive (the first press of a wtype started alone can be
        lost). Returns key(): each key from a new wtype, a keyboard that comes
        and goes."""
        count = self.keyboards()
        self.start_helper(["wtype", "-s", "100000000"])
        end = time.monotonic() + 10
        while self.keyboards() < count + 1:
            if time.monotonic() > end:
                raise RuntimeError("wtype's keyboard did not appear on the seat")
            time.sleep(0.01)
        return self.key

    def key(self, name):
        sent = time.monotonic()
        subprocess.run(["wtype", "-k", name], env=self.env, check=True, timeout=10)
        return sent

    def pointer_taken(self, saver, at, timeout=5.0):
        """Waits until the program run by `saver` holds the pointer device just
        added with the cursor at `at` (pixels of the first output). False when
        the run ends or `timeout` passes first.

        The seat tells its clients of a new device only through its
        capabilities event; events sent before a client has asked for its
        wl_pointer reach no one, and the enter the client is sent when it asks
        is at the place those events left the cursor: a first position like any
        other. So nothing meant for the program is sent before it holds the
        pointer, which shows on the screen: the program hides the cursor on its
        enter, and sway draws the cursor from the device's arrival until then."""
        end = time.monotonic() + timeout
        while saver.running_after(0):
            if h.cursor_pixels(self.shot(self.outputs[0]), at) == 0:
                return True
            if time.monotonic() > end:
                return False
        return False


class VirtualPointer(h.Pointer):
    """ostrel-wl-pointer on the session's seat, a device of its own."""

    def close(self):
        """Removes the device; the compositor keeps the cursor's place."""
        self.helper.close()


class VirtualKeyboard(h.Device):
    """ostrel-wl-keyboard on the session's seat: one key, space. Its keymap
    is given at its start, so a key costs the compositor no keymap to compile
    (a wtype started for a key spends 15-35 ms, over 100 ms on a busy
    machine, before the key goes out)."""

    def key(self):
        self._send("key")
