"""A private headless sway for driving ostrel's Wayland backend: the compositor,
its outputs, a desktop picture per output, screenshots, the clipboard, a
virtual pointer and a keyboard.

Used by wayland_test.py and bench/wayland_run_bench.py. Standard library only;
pictures, checks and the program's process come from xsession.py. The
Wayland work is done by the real tools: sway, swaymsg, swaybg, grim, wtype,
wl-paste, and tests/helpers/virtual_pointer.cpp (ostrel-wl-pointer) and
virtual_keyboard.cpp (ostrel-wl-keyboard).

sway refuses to run as root, so it runs as nobody (uid 65534) with its own
runtime directory; clients run as whoever calls this and reach its socket
through the directory's path.
"""
import json
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import xsession as xs  # noqa: E402

NOBODY = 65534
TOOLS = ("sway", "swaymsg", "swaybg", "grim", "wtype", "wl-paste", "setpriv")
BTN_LEFT = 0x110

# No bar (none is configured), no borders, no Xwayland, no idle handling (none
# is configured either), and no background: each output gets ours from swaybg.
CONFIG = """\
xwayland disable
default_border none
default_floating_border none
focus_follows_mouse no
"""


def require_sway():
    """Exits with ctest's skip status when a tool of the session is missing."""
    missing = [tool for tool in TOOLS if shutil.which(tool) is None]
    if missing:
        print(f"SKIP: {' '.join(missing)} not installed (tools/install-deps test installs them)")
        sys.exit(xs.SKIP)


class Output:
    """One headless output: its mode in pixels, its scale and its place in the
    layout (logical coordinates). Its desktop is set by Sway.set_desktops()."""

    def __init__(self, width, height, scale=1, x=0, y=0):
        self.width, self.height, self.scale, self.x, self.y = width, height, scale, x, y
        self.name = None
        self.desktop = None

    @property
    def logical(self):
        """(x, y, width, height) in the layout's logical coordinates."""
        return self.x, self.y, self.width // self.scale, self.height // self.scale

    def contains(self, x, y):
        """Whether a pixel of the layout stitched at scale 1 lies on it."""
        return self.x <= x < self.x + self.width and self.y <= y < self.y + self.height


def parse_ppm(blob):
    """Decodes a binary PPM with maxval 255 (what grim -t ppm writes)."""
    m = re.match(rb"P6\s+(\d+)\s+(\d+)\s+255\s", blob)
    if m is None:
        raise ValueError(f"not a PPM picture: {blob[:20]!r}")
    return xs.Image(int(m.group(1)), int(m.group(2)), blob[m.end():])


def png_to_image(blob):
    """Decodes a PNG with ImageMagick; None if it cannot be read."""
    done = subprocess.run(["/usr/bin/convert", "png:-", "-depth", "8", "ppm:-"], input=blob,
                          capture_output=True, timeout=60, check=False)
    return parse_ppm(done.stdout) if done.returncode == 0 and done.stdout else None


def desktop_picture(index, width, height, pad_at):
    """xsession's sample desktop; on every other output its negative, so that
    a picture shown on the wrong output is seen."""
    picture = xs.sample_desktop(width, height, pad_at)
    if index % 2:
        picture = xs.Image(width, height, picture.data.translate(bytes(range(255, -1, -1))))
    return picture


def stitch(images, outputs):
    """One picture of the whole layout from one picture per output (all at
    scale 1); pixels no output covers are black."""
    right = max(o.x + o.width for o in outputs)
    bottom = max(o.y + o.height for o in outputs)
    rows = [bytearray(right * 3) for _ in range(bottom)]
    for image, o in zip(images, outputs):
        for y in range(image.height):
            rows[o.y + y][o.x * 3:(o.x + image.width) * 3] = \
                image.data[y * image.width * 3:(y + 1) * image.width * 3]
    return xs.Image(right, bottom, b"".join(rows))


class Sway(xs._Stopped):
    """sway on the headless backend with these outputs side by side as given."""

    def __init__(self, outputs):
        self.outputs = list(outputs)
        self.dir = tempfile.mkdtemp(prefix="ostrel-sway-")
        self.helpers = []  # swaybg, wtype, the virtual pointer: ended by stop()
        self.proc = None
        try:
            self._start()
        except BaseException:
            self.stop()
            raise

    def _start(self):
        os.chown(self.dir, NOBODY, NOBODY)
        os.chmod(self.dir, 0o700)
        config = os.path.join(self.dir, "config")
        with open(config, "w") as f:
            f.write(CONFIG)
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": self.dir,
               "XDG_RUNTIME_DIR": self.dir, "WLR_BACKENDS": "headless",
               "WLR_LIBINPUT_NO_DEVICES": "1", "WLR_RENDERER": "pixman"}
        with open(os.path.join(self.dir, "sway.log"), "wb") as log:
            self.proc = subprocess.Popen(
                ["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups",
                 "sway", "-c", config], env=env, stdout=log, stderr=log, cwd=self.dir,
                start_new_session=True)
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

    def log(self):
        with open(os.path.join(self.dir, "sway.log"), errors="replace") as f:
            return f.read()

    @property
    def env(self):
        """The environment for clients: this compositor only, no X display."""
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "XAUTHORITY")}
        env.update(WAYLAND_DISPLAY=self.display, XDG_RUNTIME_DIR=self.dir)
        return env

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
        """The layout's logical width and height (its outputs start at 0, 0)."""
        return (max(x + w for x, _, w, _ in self.layout().values()),
                max(y + h for _, y, _, h in self.layout().values()))

    def start_helper(self, cmd, **kwargs):
        proc = subprocess.Popen(cmd, env=self.env, **kwargs)
        self.helpers.append(proc)
        return proc

    def set_desktops(self, pad_at=None):
        """Shows desktop_picture on every output with swaybg (pixel for pixel at
        the output's scale) and waits until each output shows exactly it. The
        grey pad is at pad_at on the first output, in pixels (its centre by
        default). Returns the pictures."""
        for i, o in enumerate(self.outputs):
            pad = pad_at if i == 0 and pad_at else (o.width // 2 + 37, o.height // 2 + 21)
            o.desktop = desktop_picture(i, o.width, o.height, pad)
            path = os.path.join(self.dir, f"desktop-{o.name}.png")
            o.desktop.save_png(path)
            os.chmod(path, 0o644)
            self.start_helper(["swaybg", "-o", o.name, "-i", path, "-m", "fill"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for o in self.outputs:
            end = time.monotonic() + 10
            while self.shot(o) != o.desktop:
                if time.monotonic() > end:
                    raise RuntimeError(f"{o.name} does not show its desktop picture")
                time.sleep(0.02)
        return [o.desktop for o in self.outputs]

    def shot(self, output):
        """What the output shows, at its full pixel resolution (grim)."""
        done = subprocess.run(["grim", "-o", output.name, "-t", "ppm", "-"], env=self.env,
                              capture_output=True, timeout=30, check=True)
        return parse_ppm(done.stdout)

    def paste(self, mime):
        """The selection's data of this type (wl-paste), or None with none offered."""
        done = subprocess.run(["wl-paste", "-n", "-t", mime], env=self.env, capture_output=True,
                              timeout=30, check=False)
        return done.stdout if done.returncode == 0 else None

    def offers(self):
        """The types the selection's owner offers (wl-paste -l), [] when none."""
        done = subprocess.run(["wl-paste", "-l"], env=self.env, capture_output=True, timeout=30,
                              check=False)
        return done.stdout.decode().split() if done.returncode == 0 else []

    def pointer(self, helper):
        """A virtual pointer from ostrel-wl-pointer; it lives until stop()."""
        return VirtualPointer(self, helper)

    def keyboards(self):
        """How many keyboard devices the seat has."""
        return sum(d.get("type") == "keyboard" for s in self.msg(kind="get_seats")
                   for d in s["devices"])

    def wait_keyboards(self, count):
        end = time.monotonic() + 10
        while self.keyboards() < count:
            if time.monotonic() > end:
                raise RuntimeError("wtype's keyboard did not appear on the seat")
            time.sleep(0.01)

    def keyboard(self):
        """A long-lived virtual keyboard, so that later keys from short-lived
        wtype runs all arrive (the first press of a wtype started alone can be
        lost). Returns a function that types one key by its name, each time
        from a new wtype: a keyboard that comes and goes."""
        count = self.keyboards()
        self.start_helper(["wtype", "-s", "100000000"])
        self.wait_keyboards(count + 1)

        def key(name):
            subprocess.run(["wtype", "-k", name], env=self.env, check=True, timeout=10)
        return key

    def virtual_keyboard(self, helper):
        """A keyboard from ostrel-wl-keyboard, on the seat with its keymap once
        this returns; it lives until stop()."""
        return VirtualKeyboard(self, helper)

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
            if xs.cursor_pixels(self.shot(self.outputs[0]), at) == 0:
                return True
            if time.monotonic() > end:
                return False
        return False

    def kill(self):
        """Ends the compositor at once (SIGKILL), as a crash would."""
        os.kill(self.proc.pid, signal.SIGKILL)
        self.proc.wait()

    def stop(self):
        for proc in self.helpers:
            xs._stop(proc)
        self.helpers = []
        if self.proc is not None:
            xs._stop(self.proc)
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)  # anything sway started
            except ProcessLookupError:
                pass
            self.proc = None
        shutil.rmtree(self.dir, ignore_errors=True)


class _InputHelper:
    """A helper that holds one input device and takes commands on its stdin,
    one a line: "ready" once the device is on the seat, "ok T" once the
    compositor has a command's events. T, kept in .sent, is when the helper
    sent them (time.monotonic()'s clock): an exit latency counts from there,
    not from the write to the helper, which on a busy machine waited up to
    60 ms for a CPU."""

    def __init__(self, session, cmd):
        self.name = os.path.basename(cmd[0])
        self.proc = session.start_helper(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                         text=True)
        self.sent = None
        self._expect("ready")

    def _expect(self, word):
        """The words after `word` on the helper's next line."""
        if not select.select([self.proc.stdout], [], [], 10)[0]:
            raise RuntimeError(f"{self.name}: no '{word}' in 10 s")
        line = self.proc.stdout.readline().split()
        if line[:1] != [word]:
            raise RuntimeError(f"{self.name}: expected '{word}', got '{' '.join(line)}'")
        return line[1:]

    def send(self, command):
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()
        self.sent = float(self._expect("ok")[0])


class VirtualKeyboard(_InputHelper):
    """ostrel-wl-keyboard on the session's seat: one key, space. Its keymap
    is given at its start, so a key costs the compositor no keymap to compile
    (a wtype started for a key spends 15-35 ms, over 100 ms on a busy
    machine, before the key goes out)."""

    def __init__(self, session, helper):
        super().__init__(session, [helper])

    def key(self):
        self.send("key")


class VirtualPointer(_InputHelper):
    """ostrel-wl-pointer on the session's seat: absolute moves in logical
    layout coordinates, buttons and the wheel. Each call returns once the
    compositor has the events."""

    def __init__(self, session, helper):
        width, height = session.extent
        super().__init__(session, [helper, str(width), str(height)])

    def move(self, x, y):
        self.send(f"move {x} {y}")

    def press(self, button=BTN_LEFT):
        self.send(f"press {button}")

    def release(self, button=BTN_LEFT):
        self.send(f"release {button}")

    def wheel(self, steps=1):
        self.send(f"wheel {steps}")

    def close(self):
        """Removes the device; the compositor keeps the cursor's place."""
        self.proc.stdin.write("quit\n")
        self.proc.stdin.close()
        self.proc.wait(10)


def session(outputs, pad_at=None):
    """A Sway with these outputs, each showing its desktop; skips (77) when a
    tool is missing. Use as a context manager."""
    require_sway()
    sway = Sway(outputs)
    try:
        sway.set_desktops(pad_at)
    except BaseException:
        sway.stop()
        raise
    return sway
