"""What every session harness of the end-to-end tests does, whatever the
desktop: the session's lifetime (a fresh folder, every process it starts in
one process group, a context manager that stops it), a desktop picture on
each output and the wait until each shows exactly it, shots, a pointer and
keys; the program as a child process timed to the microsecond; the pictures
and the checks on what the program draws; the tables' cases.

Each desktop is a small subclass of Session: xsession.Xvfb, waysession.Sway,
gnomesession.GnomeShell and kwinsession.KWin (the last two on
desktopsession.BusSession). Standard library only.
"""
import contextlib
import math
import os
import re
import runpy
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

SKIP = 77  # ctest's SKIP_RETURN_CODE
# From the input that ends a run to the program's exit. A sanitized build's
# exit adds LeakSanitizer's scan of the heap, which is not the program's
# answer: measured on GNOME, SIGTERM to exit 70 ms with it and 23 ms without,
# a move onto a second monitor 98 ms and 37 ms; the bound makes room for it.
MAX_LATENCY = 0.100 + (0.150 if os.environ.get("OSTREL_E2E_SANITIZED") else 0.0)
BTN_LEFT = 0x110  # buttons are evdev codes

# The trail colours as 0xRRGGBB XOR masks: red, yellow, blue, white.
TRAIL_COLOURS = {"red": 0xFF0000, "yellow": 0xFFFF00, "blue": 0x0000FF, "white": 0xFFFFFF}
PEN_PX = 3
TWIPS_PER_PX = 15  # 96 DPI
TICKS_PER_SECOND = 64


def _xor_combinations(masks):
    combos = {0}
    for mask in masks:
        combos |= {c ^ mask for c in combos}
    return combos


# Where rings of several trails overlap the pixel is the desktop XORed with each.
TRAIL_XORS = frozenset(_xor_combinations(TRAIL_COLOURS.values()))


class Failures:
    """Collects failed checks so that one run reports all of them."""

    def __init__(self):
        self.items = []

    def check(self, ok, message):
        if not ok:
            self.items.append(message)
            print("FAIL", message, flush=True)
        return ok

    def finish(self, what):
        print(f"{what}: {len(self.items)} failures", flush=True)
        return 1 if self.items else 0


class Skip(Exception):
    """A case or a session whose parts are missing."""


# ---------------------------------------------------------------- pictures


class Image:
    """A picture as packed 8-bit RGB rows (what `convert ... rgb:-` writes)."""

    def __init__(self, width, height, data):
        if len(data) != width * height * 3:
            raise ValueError(f"{width}x{height} picture with {len(data)} bytes")
        self.width, self.height, self.data = width, height, bytes(data)

    def pixel(self, x, y):
        i = (y * self.width + x) * 3
        return (self.data[i] << 16) | (self.data[i + 1] << 8) | self.data[i + 2]

    def __eq__(self, other):
        return (self.width, self.height, self.data) == (other.width, other.height, other.data)

    def to_ppm(self):
        return b"P6\n%d %d\n255\n" % (self.width, self.height) + self.data

    def save_png(self, path):
        subprocess.run(["/usr/bin/convert", "ppm:-", str(path)], input=self.to_ppm(), check=True)


def parse_ppm(blob):
    """Decodes a binary PPM with maxval 255 (what grim -t ppm writes)."""
    m = re.match(rb"P6\s+(\d+)\s+(\d+)\s+255\s", blob)
    if m is None:
        raise ValueError(f"not a PPM picture: {blob[:20]!r}")
    return Image(int(m.group(1)), int(m.group(2)), blob[m.end():])


def png_to_image(blob):
    """Decodes a PNG with ImageMagick; None if it cannot be read."""
    done = subprocess.run(["/usr/bin/convert", "png:-", "-depth", "8", "ppm:-"], input=blob,
                          capture_output=True, timeout=60, check=False)
    return parse_ppm(done.stdout) if done.returncode == 0 and done.stdout else None


def diff_pixels(before, after):
    """{(x, y): before ^ after as 0xRRGGBB} for every pixel that differs."""
    if (before.width, before.height) != (after.width, after.height):
        raise ValueError("pictures of different sizes")
    if before.data == after.data:
        return {}
    xored = (int.from_bytes(before.data, "big") ^ int.from_bytes(after.data, "big")).to_bytes(
        len(before.data), "big")
    out = {}
    w = before.width
    for run in re.finditer(rb"[^\x00]+", xored):
        for p in range(run.start() // 3, (run.end() - 1) // 3 + 1):
            i = p * 3
            out[(p % w, p // w)] = (xored[i] << 16) | (xored[i + 1] << 8) | xored[i + 2]
    return out


def sample_desktop(width, height, pad_at):
    """A deterministic desktop where every pixel shift shows: red and green
    gradients, blue = (x XOR y) & 255, and a plain 0x808080 square at pad_at.

    The square sits under the pointer so that the cursor is easy to see in the
    framebuffer: grey XOR a trail colour has only 0x7f and 0x80 channels.
    """
    reds = bytes(x * 255 // max(width - 1, 1) for x in range(width))
    blues = {}
    rows = []
    for y in range(height):
        row = bytearray(width * 3)
        row[0::3] = reds
        row[1::3] = bytes([y * 255 // max(height - 1, 1)]) * width
        if y & 255 not in blues:
            blues[y & 255] = bytes((x ^ y) & 255 for x in range(width))
        row[2::3] = blues[y & 255]
        rows.append(row)
    x0, y0, x1, y1 = cursor_pad(pad_at, width, height)
    for y in range(y0, y1):
        rows[y][x0 * 3:x1 * 3] = b"\x80" * ((x1 - x0) * 3)
    return Image(width, height, b"".join(rows))


def desktop_picture(index, width, height, pad_at):
    """The sample desktop; on every other output its negative, so that a
    picture shown on the wrong output is seen."""
    picture = sample_desktop(width, height, pad_at)
    if index % 2:
        picture = Image(width, height, picture.data.translate(bytes(range(255, -1, -1))))
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
    return Image(right, bottom, b"".join(rows))


def cursor_pad(pointer, width, height):
    """The grey square around the pointer: (x0, y0, x1, y1), end exclusive."""
    x, y = pointer
    return max(x - 8, 0), max(y - 8, 0), min(x + 40, width), min(y + 40, height)


def cursor_pixels(image, pointer):
    """How many pixels of the grey square are neither grey nor grey XOR trail
    colours: the cursor's (its shades are blended, so not only black and white)."""
    x0, y0, x1, y1 = cursor_pad(pointer, image.width, image.height)
    return sum(1 for y in range(y0, y1) for x in range(x0, x1)
               if image.pixel(x, y) ^ 0x808080 not in TRAIL_XORS)


# ---------------------------------------------------------------- trail checks


def expected_circles(width, height, max_ticks):
    """Every circle (x, y, radius) in pixels that the first max_ticks ticks draw
    on a width x height screen at 96 DPI, from the independent computation of
    the trails in tests/trace_check.py."""
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "trace_check.py")
    lines = runpy.run_path(path)["reference"](str(width * TWIPS_PER_PX),
                                              str(height * TWIPS_PER_PX), max_ticks)
    circles = set()
    for line in lines:
        _, _, _, x, y, r, _ = line.split()
        circles.add((int(x) / TWIPS_PER_PX, int(y) / TWIPS_PER_PX, int(r) / TWIPS_PER_PX))
    return circles


def pixels_off_rings(pixels, circles, slack=2.0):
    """The pixels that lie on none of the rings: a ring of radius r covers the
    distances r - pen/2 .. r + pen/2 from its centre; slack allows for rounding."""
    cell = 32
    buckets = {}
    reach = PEN_PX / 2 + slack
    for cx, cy, r in circles:
        outer = r + reach
        for gx in range(int((cx - outer) // cell), int((cx + outer) // cell) + 1):
            for gy in range(int((cy - outer) // cell), int((cy + outer) // cell) + 1):
                buckets.setdefault((gx, gy), []).append((cx, cy, r))
    off = []
    for x, y in pixels:
        # The pixel's centre is at (x + 0.5, y + 0.5) in the circles' coordinates.
        px, py = x + 0.5, y + 0.5
        if not any(abs(math.hypot(px - cx, py - cy) - r) <= reach
                   for cx, cy, r in buckets.get((x // cell, y // cell), ())):
            off.append((x, y))
    return off


def check_trails(failures, desktop, shot, max_ticks, what, need_all_colours=True):
    """Checks that shot is the desktop with trail rings XORed on and nothing
    else: every changed pixel is the desktop XOR a combination of the trail
    colours, lies on a ring that the first max_ticks ticks draw, and (when asked)
    each of the four colours shows on its own somewhere.
    Returns the changed pixels."""
    changed = diff_pixels(desktop, shot)
    foreign = {p: v for p, v in changed.items() if v not in TRAIL_XORS}
    failures.check(not foreign, f"{what}: {len(foreign)} changed pixels are not the desktop XOR "
                   f"trail colours, e.g. {[(p, f'{v:06x}') for p, v in list(foreign.items())[:5]]}")
    off = pixels_off_rings(changed, expected_circles(desktop.width, desktop.height, max_ticks))
    failures.check(not off, f"{what}: {len(off)} changed pixels lie on no ring of the first "
                   f"{max_ticks} ticks, e.g. {off[:5]}")
    if need_all_colours:
        values = set(changed.values())
        missing = [name for name, mask in TRAIL_COLOURS.items() if mask not in values]
        failures.check(not missing, f"{what}: no pixel shows only the {missing} trail")
    return changed


def ticks_bound(seconds, slack=8, per_second=TICKS_PER_SECOND):
    """A generous upper bound on the ticks a timer (64 Hz unless told) makes in this time."""
    return int(seconds * per_second * 1.25) + slack


# ---------------------------------------------------------------- processes


def alive(pid):
    """Whether the process runs: a zombie counts as gone (this machine's PID
    1 does not reap orphans)."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            return f.read().rsplit(b")", 1)[1].split()[0] != b"Z"
    except OSError:
        return False


def processes_with(variable, value):
    """PIDs of the running processes whose environment sets this variable
    to this value."""
    marker = f"{variable}={value}\0".encode()
    found = []
    for name in filter(str.isdigit, os.listdir("/proc")):
        with contextlib.suppress(OSError), open(f"/proc/{name}/environ", "rb") as f:
            if marker in f.read() and alive(name):
                found.append(int(name))
    return found


def stop_process(proc):
    """SIGTERM, then SIGKILL after 5 s; reaps it."""
    if proc.poll() is None:
        with contextlib.suppress(ProcessLookupError):
            proc.terminate()
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


class Processes:
    """Every process a session starts, in one process group (its first
    process leads it), each with a log file in `logs`. What the processes
    start themselves stays in the group, except what detaches; `leftovers()`
    finds those by the session's runtime directory in their environment."""

    def __init__(self, logs, runtime_dir):
        self.logs, self.runtime_dir = logs, runtime_dir
        self.procs = []
        self.group = None

    def start(self, name, cmd, env, **kwargs):
        """Popen in the group; stdout and stderr go to LOGS/NAME.log unless given."""
        log = open(os.path.join(self.logs, f"{name}.log"), "ab")
        kwargs.setdefault("stdout", log)
        kwargs.setdefault("stderr", log)
        try:
            proc = subprocess.Popen(cmd, env=env, stdin=kwargs.pop("stdin", subprocess.DEVNULL),
                                    process_group=self.group or 0, **kwargs)
        finally:
            log.close()
        if self.group is None:
            self.group = proc.pid
        proc.name = name
        self.procs.append(proc)
        return proc

    def log(self, name):
        with contextlib.suppress(OSError), open(os.path.join(self.logs, f"{name}.log"),
                                                errors="replace") as f:
            return f.read()
        return ""

    def leftovers(self):
        """PIDs of live (not zombie) processes whose environment names the
        session's runtime directory (none without one)."""
        return [] if self.runtime_dir is None else processes_with("XDG_RUNTIME_DIR", self.runtime_dir)

    def stop(self, first=()):
        """Ends `first` (SIGTERM, 2 s), then the group (SIGTERM, then
        SIGKILL), then any process that left the group; reaps our children."""
        for proc in first:
            if proc is not None and proc.poll() is None:
                proc.terminate()
                with contextlib.suppress(subprocess.TimeoutExpired):
                    proc.wait(2)
        if self.group is not None:
            for sig, grace in ((signal.SIGTERM, 2.0), (signal.SIGKILL, 2.0)):
                with contextlib.suppress(ProcessLookupError):
                    os.killpg(self.group, sig)
                end = time.monotonic() + grace
                while time.monotonic() < end and any(p.poll() is None for p in self.procs):
                    time.sleep(0.01)
        for _ in range(3):
            pids = self.leftovers()
            if not pids:
                break
            for pid in pids:
                with contextlib.suppress(ProcessLookupError):
                    os.kill(pid, signal.SIGKILL)
            time.sleep(0.05)
        for proc in self.procs:
            with contextlib.suppress(subprocess.TimeoutExpired):
                proc.wait(5)
        self.procs = []
        self.group = None


class LineHelper:
    """A helper that prints "ready ..." and then answers each command line
    with "ok [VALUE]" or "error: WHY" (the programs in tests/helpers)."""

    def __init__(self, proc, name):
        self.proc, self.name = proc, name
        self._buffer = b""
        self.sent = None  # time.monotonic() just before the last command went out

    def line(self, timeout):
        """The next line, or RuntimeError after `timeout` seconds or at its end."""
        end = time.monotonic() + timeout
        while b"\n" not in self._buffer:
            left = end - time.monotonic()
            if left <= 0 or not select.select([self.proc.stdout], [], [], left)[0]:
                raise RuntimeError(f"{self.name}: no answer in {timeout:g} s")
            chunk = os.read(self.proc.stdout.fileno(), 65536)
            if not chunk:
                raise RuntimeError(f"{self.name} ended (status {self.proc.wait()})")
            self._buffer += chunk
        line, self._buffer = self._buffer.split(b"\n", 1)
        return line.decode(errors="replace").strip()

    def ready(self, timeout):
        """The rest of the "ready" line."""
        line = self.line(timeout)
        if line.split(" ", 1)[0] != "ready":
            raise RuntimeError(f"{self.name}: expected 'ready', got {line!r}")
        return line[len("ready"):].strip()

    def request(self, command, timeout=10.0):
        """Sends one command; returns the next line, whatever it says."""
        self.sent = time.monotonic()
        try:
            self.proc.stdin.write(command.encode() + b"\n")
            self.proc.stdin.flush()
        except (BrokenPipeError, ValueError) as e:
            raise RuntimeError(f"{self.name} ended (status {self.proc.poll()})") from e
        return self.line(timeout)

    def ask(self, command, timeout=10.0):
        """Sends one command; returns the answer's value ('' for a plain ok)."""
        answer = self.request(command, timeout)
        if answer != "ok" and not answer.startswith("ok "):
            raise RuntimeError(f"{self.name} {command}: {answer}")
        return answer[3:]

    def close(self):
        """Asks it to quit; kills it after 5 s."""
        if self.proc.poll() is None:
            with contextlib.suppress(BrokenPipeError, ValueError, OSError):
                self.proc.stdin.write(b"quit\n")
                self.proc.stdin.close()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdout.close()


# ---------------------------------------------------------------- sessions


class Output:
    """One output: its mode in pixels, its scale and its place in the layout
    (logical coordinates). The session names it when it starts; set_desktops()
    gives it its desktop picture and the grey pad's place on it."""

    def __init__(self, width, height, scale=1, x=0, y=0):
        self.width, self.height, self.scale, self.x, self.y = width, height, scale, x, y
        self.name = None
        self.desktop = None
        self.pad = None

    @property
    def logical(self):
        """(x, y, width, height) in the layout's logical coordinates."""
        return self.x, self.y, self.width // self.scale, self.height // self.scale

    def contains(self, x, y):
        """Whether a pixel of the layout stitched at scale 1 lies on it."""
        return self.x <= x < self.x + self.width and self.y <= y < self.y + self.height


class Device:
    """An input device behind a helper of the line protocol. Each call
    returns once the desktop has the events; .sent is when they went out:
    the helper's own time when it answers "ok T" (it sent them at T, on
    time.monotonic()'s clock; an exit latency counts from there, not from
    the write to the helper, which on a busy machine waited up to 60 ms for
    a CPU), else just before the command was written."""

    def __init__(self, helper):
        self.helper = helper
        self.sent = None

    def _send(self, *words):
        value = self.helper.ask(" ".join(str(w) for w in words))
        self.sent = float(value) if value else self.helper.sent
        return self.sent


class Pointer(Device):
    """A pointer: absolute moves in logical layout coordinates, relative
    moves, buttons and the wheel (clicks; negative: up). Each returns .sent."""

    def move(self, x, y):
        return self._send("move", x, y)

    def rel(self, dx, dy):
        return self._send("rel", dx, dy)

    def press(self, button=BTN_LEFT):
        return self._send("press", button)

    def release(self, button=BTN_LEFT):
        return self._send("release", button)

    def wheel(self, steps=1):
        return self._send("wheel", steps)

    def close(self):
        """Nothing: the desktop's own devices stay until the session's stop()."""


class Session:
    """A private desktop with these outputs, started when made (and stopped
    again when its start fails) and ended by stop() or at the end of a with
    block: every process it starts is in one process group, a process that
    left the group is found by the session's runtime folder in its
    environment, and the session's folder is removed.

    A subclass starts its server in _start(options), shows the outputs'
    desktop pictures in _show_desktops() and takes shots, keys and pointers
    its own way. What it needs is named by COMMANDS (on PATH), FILES and
    HELPERS (built, in the `tools` folder, build/.../tests/helpers)."""

    NAME = "session"  # the folder's prefix and the server's log
    RUNTIME = None  # the runtime folder, relative to the session's folder
    COMMANDS = FILES = HELPERS = ()
    # Variables of the caller's environment that clients must not see.
    UNSET = ("DISPLAY", "XAUTHORITY", "WAYLAND_DISPLAY", "WAYLAND_SOCKET")

    def __init__(self, outputs, tools=None, **options):
        self.outputs = list(outputs)
        self.tools = tools and os.path.realpath(tools)
        self.dir = tempfile.mkdtemp(prefix=f"ostrel-{self.NAME}-")
        self.runtime = None if self.RUNTIME is None else \
            os.path.normpath(os.path.join(self.dir, self.RUNTIME))
        self.processes = Processes(self.dir, self.runtime)
        self.proc = self.helper = self.display = None  # the server, its input helper
        self.started = time.monotonic()
        try:
            self._start(**options)
        except BaseException:
            self.stop()
            raise
        self.ready_seconds = time.monotonic() - self.started

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    @classmethod
    def missing(cls, tools=None):
        """What of the session's parts is not there: [] when all is."""
        missing = [c for c in cls.COMMANDS if shutil.which(c) is None]
        missing += [p for p in cls.FILES if not os.path.exists(p)]
        if cls.HELPERS and tools is None:
            return missing + ["the folder of the built helpers"]
        return missing + [p for p in (os.path.join(tools, name) for name in cls.HELPERS)
                          if not os.path.exists(p)]

    @classmethod
    def require(cls, tools=None):
        """Exits with ctest's skip status when a part of the session is missing."""
        missing = cls.missing(tools)
        if missing:
            print(f"SKIP: {', '.join(missing)} not found (tools/install-deps test installs the "
                  "packages; the helpers are built with the tests)", flush=True)
            sys.exit(SKIP)

    @classmethod
    def session(cls, outputs, tools=None, pad_at=None, **options):
        """A session with these outputs, each showing its desktop picture;
        Skip when a part is missing. Use as a context manager."""
        missing = cls.missing(tools)
        if missing:
            raise Skip(f"{', '.join(missing)} not found")
        session = cls(outputs, tools, **options)
        try:
            session.set_desktops(pad_at)
        except BaseException:
            session.stop()
            raise
        return session

    def _client_env(self):
        """The variables that lead clients to this session."""
        return {}

    @property
    def env(self):
        """The environment for clients: this session only."""
        env = {k: v for k, v in os.environ.items() if k not in self.UNSET}
        env.update(self._client_env())
        return env

    @property
    def extent(self):
        """The layout's logical width and height (its outputs start at 0, 0)."""
        return (max(o.x + o.logical[2] for o in self.outputs),
                max(o.y + o.logical[3] for o in self.outputs))

    def log(self):
        """What the server said."""
        return self.processes.log(self.NAME)

    def start_helper(self, cmd, **kwargs):
        """A client program of the test's, in the session's group, ended by stop()."""
        return self.processes.start(os.path.basename(cmd[0]), cmd, self.env, **kwargs)

    def set_desktops(self, pad_at=None):
        """Shows desktop_picture on every output and waits until each shows
        exactly it. The grey pad is at pad_at on the first output, in pixels
        (at each output's centre by default). Returns the pictures."""
        self.set_desktop_pictures(pad_at)
        self._show_desktops()
        for o in self.outputs:
            end = time.monotonic() + 10
            while (shown := self.shot(o)) != o.desktop:
                if time.monotonic() > end:
                    differ = len(diff_pixels(o.desktop, shown)) if \
                        (shown.width, shown.height) == (o.width, o.height) else "all"
                    raise RuntimeError(f"{o.name} does not show its desktop picture: {differ} "
                                       "pixels differ")
                time.sleep(0.02)
        return [o.desktop for o in self.outputs]

    def set_desktop_pictures(self, pad_at=None):
        """Each output's desktop picture, with the grey pad at pad_at on the
        first output (in pixels; at each output's centre by default)."""
        for i, o in enumerate(self.outputs):
            o.pad = pad_at if i == 0 and pad_at else (o.width // 2 + 37, o.height // 2 + 21)
            o.desktop = desktop_picture(i, o.width, o.height, o.pad)

    def _show_desktops(self):
        """Each output's picture on a background layer surface (swaybg),
        pixel for pixel at the output's scale."""
        for o in self.outputs:
            path = os.path.join(self.dir, f"desktop-{o.name}.png")
            o.desktop.save_png(path)
            os.chmod(path, 0o644)
            self.start_helper(["swaybg", "-o", o.name, "-i", path, "-m", "fill"])

    def shot(self, output):
        """What the output shows, at its full pixel resolution."""
        raise NotImplementedError

    def passing(self, shot, output):
        """Whether the shot of `output` shows a moment of the desktop's own
        between the desktop and a run's first picture, such as a flash over
        every window, instead of what the windows show."""
        return False

    def wait_drawn(self, saver, timeout):
        """Waits until the first output shows something other than its
        desktop (the trails); RuntimeError when the run ends or `timeout`
        passes first."""
        o = self.outputs[0]
        end = time.monotonic() + timeout
        while time.monotonic() < end and saver.running_after(0):
            shot = self.shot(o)
            if shot != o.desktop and not self.passing(shot, o):
                return
            time.sleep(0.05)
        raise RuntimeError(f"no trails (status {saver.wait(0)}, stderr {saver.stderr[-300:]!r})")

    def key(self, name):
        """Presses and releases one key by its keysym name (keynames);
        returns when it went out (time.monotonic())."""
        raise NotImplementedError

    def keyboard(self):
        """A function that types one key by its name; the desktop's keyboard
        exists from the start."""
        return self.key

    def pointer(self):
        """The session's pointer (the same device for the whole session)."""
        return Pointer(self.helper)

    def kill(self):
        """Ends the server at once (SIGKILL), as a crash would."""
        self.proc.kill()
        self.proc.wait()

    def stop(self):
        if self.helper is not None:
            self.helper.close()
            self.helper = None
        self.processes.stop(first=[self.proc])
        self.proc = None
        shutil.rmtree(self.dir, ignore_errors=True)


class WaylandSession(Session):
    """A session whose clients reach a Wayland compositor: its socket
    .display in the runtime folder, its clipboard through wl-paste."""

    def _client_env(self):
        return {"WAYLAND_DISPLAY": self.display, "XDG_RUNTIME_DIR": self.runtime}

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


# ---------------------------------------------------------------- the program


class Saver:
    """The program as a child process whose exit time is known to the
    microsecond: a thread waits on its pidfd and stamps the exit as it comes,
    so a caller busy elsewhere (an input helper that takes seconds to
    return) does not count its own delay as the program's."""

    def __init__(self, program, args=(), env=None, closed=(), stderr=subprocess.PIPE):
        """`closed`: standard descriptors (0, 1, 2) the program starts without;
        `stderr`: where its standard error goes (kept for stderr_lines by default)."""
        self.started = time.monotonic()
        self.proc = subprocess.Popen([program, *args], env=env, stdout=subprocess.PIPE,
                                     stderr=stderr,
                                     preexec_fn=(lambda: [os.close(fd) for fd in closed])
                                     if closed else None)
        self.pidfd = os.pidfd_open(self.proc.pid)
        self.exited_at = None
        self.stdout = self.stderr = b""
        self._exit_seen = None
        self._exited = threading.Event()
        threading.Thread(target=self._watch_exit, daemon=True).start()

    def _watch_exit(self):
        select.select([self.pidfd], [], [])
        self._exit_seen = time.monotonic()
        self._exited.set()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    def wait(self, timeout):
        """Waits up to timeout s; returns the exit status, or None if still running."""
        if self.exited_at is None:
            if not self._exited.wait(timeout):
                return None
            self.exited_at = self._exit_seen
            out, err = self.proc.communicate()
            self.stdout, self.stderr = out or b"", err or b""
            os.close(self.pidfd)
        return self.proc.returncode

    def running_after(self, seconds):
        return self.wait(seconds) is None

    def stderr_lines(self):
        return self.stderr.decode(errors="replace").strip().splitlines()

    def standard_descriptors(self):
        """What the running program's descriptors 0, 1 and 2 are open on."""
        found = []
        for fd in range(3):
            try:
                found.append(os.readlink(f"/proc/{self.proc.pid}/fd/{fd}"))
            except OSError:
                found.append(None)
        return found

    def stop(self):
        """Ends it if it still runs (SIGKILL after SIGTERM is ignored)."""
        if self.exited_at is None:
            if self.proc.poll() is None:
                self.proc.terminate()
            if self.wait(5) is None:
                self.proc.kill()
                self.wait(5)


# ---------------------------------------------------------------- tables


class Case:
    """One case of a table: its checks, named after it, on its session (if
    any), and the programs it started, ended by stop()."""

    def __init__(self, name, failures, session=None):
        self.name, self.f, self.s = name, failures, session
        self.savers = []

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    def check(self, ok, message):
        return self.f.check(ok, f"{self.name}: {message}")

    def saver(self, program, args=(), **kwargs):
        """A Saver of this case's."""
        saver = Saver(program, args, **kwargs)
        self.savers.append(saver)
        return saver

    def stop(self):
        for saver in self.savers:
            saver.stop()


class RunCase(Case):
    """A case that runs the program on a Wayland session: start() checks
    every shot from the start until trails show, ended() the end of a run.
    park() and attach() are the pointer's way into a run: here the
    session's pointer, there from the start (a desktop's own)."""

    start_timeout = 5.0
    settle = 0.0  # how long the desktop may take to show again after the end

    def __init__(self, name, failures, session, program):
        super().__init__(name, failures, session)
        self.program = program
        self.first_trails = None  # (shots, seconds) from start()
        self.trails_after = None  # seconds from the exec to the last shot without them
        self.failed = False
        self.pad = set()  # the grey pad of the first output, which the cursor may cover
        self.allowed = set()  # pixels of the first output a run may change (a desktop's own sign)
        if session is not None:
            o = session.outputs[0]
            x0, y0, x1, y1 = cursor_pad(o.pad, o.width, o.height)
            self.pad = {(x, y) for x in range(x0, x1) for y in range(y0, y1)}

    def park(self):
        """Before a run: where the pointer rests."""

    def attach(self, saver=None):
        """The pointer for the run."""
        return self.s.pointer()

    def start(self, env=None, timeout=None, closed=()):
        """Starts a run; returns its Saver once trails show on some output.
        Until then, and in that shot, no output may show anything but its
        desktop with trail colours XORed on; shots of the desktop's own
        flash (GNOME's, at the portal's copy) are passed over. `closed`:
        standard descriptors the program starts without."""
        timeout = timeout or self.start_timeout
        saver = self.saver(self.program, env=env or self.s.env, closed=closed)
        end = time.monotonic() + timeout
        before = time.monotonic()  # when the last shot without trails began
        while time.monotonic() < end and saver.running_after(0):
            began = time.monotonic()
            shots = [self.s.shot(o) for o in self.s.outputs]
            if any(self.s.passing(shot, o) for o, shot in zip(self.s.outputs, shots)):
                continue  # the desktop's own moment hides the windows: these shots tell nothing
            changed = [diff_pixels(o.desktop, shot) for o, shot in zip(self.s.outputs, shots)]
            for i, (o, shot, pixels) in enumerate(zip(self.s.outputs, shots, changed)):
                allowed = self.allowed if i == 0 else ()
                foreign = [p for p, v in pixels.items() if v not in TRAIL_XORS and p not in allowed]
                if foreign:  # the shot is kept only then: saving it takes longer than a shot
                    self.check(False, f"{o.name} showed {len(foreign)} pixels that are not the "
                               f"desktop, e.g. {foreign[:3]}, {time.monotonic() - saver.started:.3f} s "
                               f"after the start{self.keep(shot, o.name)}")
                    return saver
            if any(changed):
                # The first trails and how long their ticks can have run.
                self.first_trails = (shots, time.monotonic() - before)
                # When they came at the earliest: after the last shot
                # without them began (a shot's own time is not the program's).
                self.trails_after = before - saver.started
                return saver
            before = began
        self.check(False, f"no trails within {timeout:g} s (status {saver.wait(0)}, "
                   f"stderr {saver.stderr[-300:]!r})")
        return saver

    def ended(self, saver, since, what):
        """Checks that the run ended with status 0 within MAX_LATENCY of
        `since` and that every output shows its desktop again (the cursor,
        shown again, may cover the grey pad)."""
        status = saver.wait(2.0)
        if not self.check(status is not None, f"{what}: still running 2 s later"):
            return
        latency = saver.exited_at - since
        print(f"{self.name}: exit {latency * 1000:.1f} ms after {what}", flush=True)
        self.check(status == 0, f"{what}: status {status}, stderr {saver.stderr[-300:]!r}")
        self.check(latency < MAX_LATENCY, f"{what}: exit {latency * 1000:.0f} ms later")
        for o in self.s.outputs:
            # A compositor may fade a closed window out for a moment (mutter).
            settled = time.monotonic() + self.settle
            while True:
                left = set(diff_pixels(o.desktop, self.s.shot(o))) - self.pad
                if not left or time.monotonic() > settled:
                    break
                time.sleep(0.05)
            self.check(not left, f"{what}: {o.name} is not its desktop after the end: "
                       f"{len(left)} pixels differ, e.g. {sorted(left)[:3]}")

    def layout_trails(self, saver):
        """A second in, the outputs stitched into one picture: the desktop
        with exactly the rings of the ticks so far; every colour shows.
        Returns the changed pixels."""
        time.sleep(1.0)
        outputs = self.s.outputs
        shot = stitch([self.s.shot(o) for o in outputs], outputs)
        failed = len(self.f.items)
        changed = check_trails(self.f, stitch([o.desktop for o in outputs], outputs), shot,
                               ticks_bound(time.monotonic() - saver.started), self.name)
        if len(self.f.items) > failed:
            print(f"{self.name}: the outputs' picture{self.keep(shot, 'outputs')}", flush=True)
        return changed

    def trails_at_scale_2(self, saver):
        """One output at scale 2, after start(): its shots are at full
        resolution, and start() has compared them pixel for pixel with its
        desktop. The twips follow the scale: the rings are those of the
        logical screen at twice the size, first and a second in."""
        o = self.s.outputs[0]

        def rings(shot, ticks, when):
            circles = {(2 * x, 2 * y, 2 * r)
                       for x, y, r in expected_circles(o.width // 2, o.height // 2, ticks)}
            off = pixels_off_rings(diff_pixels(o.desktop, shot), circles)
            self.check(not off, f"{when}: {len(off)} changed pixels lie on no ring of the first "
                       f"{ticks} ticks at twice the logical size, e.g. {off[:5]}")

        shots, seconds = self.first_trails
        rings(shots[0], ticks_bound(seconds), "first ticks")
        time.sleep(1.0)
        rings(self.s.shot(o), ticks_bound(time.monotonic() - saver.started), "after a second")

    def keep(self, shot, what):
        """Saves a shot that failed a check; the words that say where."""
        folder = os.path.join(tempfile.gettempdir(), "ostrel-e2e-failures")
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, re.sub(r"\W+", "-", f"{self.name} {what}").strip("-") + ".png")
        shot.save_png(path)
        self.failed = True
        return f" (shot kept in {path})"

    def stop(self):
        super().stop()
        for saver in self.savers:
            # What a run that failed a check said, for whoever reads the failure.
            if self.failed and saver.stderr:
                print(f"{self.name}: the program's stderr: "
                      f"{saver.stderr.decode(errors='replace')[-600:]}", flush=True)


def run_cases(what, cases, words, play):
    """Plays each case (name, ...) whose name holds one of `words` (every
    case when there are none) as play(failures, name, ...): a case that
    raises fails, a Skip skips it, and the table goes on. Returns the exit
    status."""
    f = Failures()
    for name, *rest in cases:
        if words and not any(w in name for w in words):
            continue
        print(f"--- {name}", flush=True)
        try:
            play(f, name, *rest)
        except Skip as why:
            print(f"SKIP {name}: {why}", flush=True)
        except Exception as e:  # a broken step fails its case, not the table
            f.check(False, f"{name}: {type(e).__name__}: {e}")
    return f.finish(what)
