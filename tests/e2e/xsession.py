"""Helpers for driving ostrel on a private Xvfb: the server, a sample desktop,
screenshots, the program's process and the checks on what it draws.

Used by the end-to-end tests beside this file, by bench/x11_run_bench.py and by
tools/run (imported by path). Standard library only; the X work is done by the
real tools: Xvfb, xdotool, xwd, xwininfo, xsetroot and ImageMagick's display.
"""
import contextlib
import math
import os
import re
import runpy
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

SKIP = 77  # ctest's SKIP_RETURN_CODE

# The trail colours as 0xRRGGBB XOR masks: red, yellow, blue, white.
TRAIL_COLOURS = {"red": 0xFF0000, "yellow": 0xFFFF00, "blue": 0x0000FF, "white": 0xFFFFFF}


def _xor_combinations(masks):
    combos = {0}
    for mask in masks:
        combos |= {c ^ mask for c in combos}
    return combos


# Where rings of several trails overlap the pixel is the desktop XORed with each.
TRAIL_XORS = frozenset(_xor_combinations(TRAIL_COLOURS.values()))

DISPLAY_RANGE = range(40, 90)
PEN_PX = 3
TWIPS_PER_PX = 15  # 96 DPI
TICKS_PER_SECOND = 64


def require_xvfb():
    """Exits with ctest's skip status when there is no Xvfb to run on."""
    if shutil.which("Xvfb") is None:
        print("SKIP: Xvfb is not installed (tools/install-deps test installs it)")
        sys.exit(SKIP)


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


def parse_xwd(blob):
    """Decodes an XWD dump of a 24-bit TrueColor screen (xwd, or Xvfb's -fbdir file)."""
    fields = [int.from_bytes(blob[i:i + 4], "big") for i in range(0, 100, 4)]
    header_size, width, height, byte_order = fields[0], fields[4], fields[5], fields[7]
    bits_per_pixel, bytes_per_line, masks, ncolors = fields[11], fields[12], fields[14:17], fields[19]
    if bits_per_pixel != 32 or masks != [0xFF0000, 0x00FF00, 0x0000FF]:
        raise ValueError(f"unexpected XWD pixel format: {bits_per_pixel} bpp, masks {masks}")
    start = header_size + 12 * ncolors
    raw = blob[start:start + bytes_per_line * height]
    if len(raw) < bytes_per_line * height:
        raise ValueError("truncated XWD picture")
    if bytes_per_line != width * 4:
        raw = b"".join(raw[y * bytes_per_line:y * bytes_per_line + width * 4] for y in range(height))
    out = bytearray(width * height * 3)
    # LSBFirst stores B, G, R, pad; MSBFirst pad, R, G, B.
    r, g, b = (2, 1, 0) if byte_order == 0 else (1, 2, 3)
    out[0::3], out[1::3], out[2::3] = raw[r::4], raw[g::4], raw[b::4]
    return Image(width, height, out)


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


# ---------------------------------------------------------------- the server


class _Stopped:
    """Context-manager protocol for objects that end with stop()."""

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def _display_free(n):
    return not os.path.exists(f"/tmp/.X11-unix/X{n}") and not os.path.exists(f"/tmp/.X{n}-lock")


def _lock_owner(n):
    try:
        with open(f"/tmp/.X{n}-lock") as f:
            return int(f.read().strip())
    except (OSError, ValueError):
        return None


def _accepts_clients(n):
    """Whether the server on display n completes an X connection set-up."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as sock:
        sock.settimeout(2)
        try:
            sock.connect(f"/tmp/.X11-unix/X{n}")
            # Byte order 'l', protocol 11.0, no authorisation.
            sock.sendall(b"l\0" + (11).to_bytes(2, "little") + bytes(8))
            return sock.recv(1) == b"\x01"
        except OSError:
            return False


class Xvfb(_Stopped):
    """A private Xvfb on a free display number in DISPLAY_RANGE, with -fbdir so
    that the live framebuffer (software cursor included) can be read. `args`
    are further server options (such as "-extension", "MIT-SHM")."""

    def __init__(self, width=1280, height=720, args=()):
        self.width, self.height, self.args = width, height, list(args)
        self.dir = tempfile.mkdtemp(prefix="ostrel-xvfb-")
        self.proc = None
        self.display = None
        numbers = list(DISPLAY_RANGE)
        offset = os.getpid() * 7 % len(numbers)  # spread concurrent runs over the range
        for n in numbers[offset:] + numbers[:offset]:
            if _display_free(n) and self._start(n):
                return
        shutil.rmtree(self.dir, ignore_errors=True)
        raise RuntimeError(f"no free display in :{DISPLAY_RANGE.start}-:{DISPLAY_RANGE.stop - 1}")

    def _start(self, n):
        log = open(os.path.join(self.dir, "xvfb.log"), "ab")
        proc = subprocess.Popen(
            ["Xvfb", f":{n}", "-screen", "0", f"{self.width}x{self.height}x24", "-nolisten", "tcp",
             "-noreset", "-dpi", "96", "-fbdir", self.dir, *self.args],
            stdout=log, stderr=log, start_new_session=True)
        log.close()
        end = time.monotonic() + 15
        # Xvfb exits at once when another server took the number first. One
        # that started at the same moment may answer on the socket before ours
        # gives up: the lock file names the server that owns the number.
        while proc.poll() is None and time.monotonic() < end:
            if _accepts_clients(n):
                if _lock_owner(n) != proc.pid:
                    break
                self.proc, self.display = proc, f":{n}"
                return True
            time.sleep(0.01)
        _stop(proc)
        return False

    @property
    def env(self):
        env = dict(os.environ)
        env["DISPLAY"] = self.display
        env.pop("XAUTHORITY", None)
        return env

    def run(self, *cmd, check=True, timeout=30, **kwargs):
        return subprocess.run(list(cmd), env=self.env, check=check, timeout=timeout,
                              capture_output=True, **kwargs)

    def screenshot(self):
        """The root window's content (xwd: no cursor)."""
        return parse_xwd(self.run("xwd", "-root", "-silent").stdout)

    def framebuffer(self):
        """The live framebuffer, software cursor included."""
        with open(os.path.join(self.dir, "Xvfb_screen0"), "rb") as f:
            return parse_xwd(f.read())

    def pointer(self):
        out = self.run("xdotool", "getmouselocation", "--shell").stdout.decode()
        values = dict(line.split("=", 1) for line in out.split())
        return int(values["X"]), int(values["Y"])

    def move(self, x, y):
        self.run("xdotool", "mousemove", str(x), str(y))

    def set_desktop(self, pointer=None, root_setter="display"):
        """Sets the sample desktop as the root picture, a left_ptr cursor and the
        pointer's place, and checks that the screen now shows exactly that picture.
        root_setter "hsetroot" sets it as a compositor needs it. Returns (picture, pointer)."""
        pointer = pointer or (self.width // 2 + 37, self.height // 2 + 21)
        picture = sample_desktop(self.width, self.height, pointer)
        path = os.path.join(self.dir, "desktop.ppm")
        with open(path, "wb") as f:
            f.write(picture.to_ppm())
        if root_setter == "hsetroot":
            self.run("hsetroot", "-full", path)
        else:
            # display exits with status 1 after setting the root picture; the
            # check below is what tells whether it worked.
            self.run("/usr/bin/display", "-window", "root", path, check=False, timeout=60)
        self.run("xsetroot", "-cursor_name", "left_ptr")
        self.move(*pointer)
        shown = self.screenshot()
        for _ in range(50):  # a compositor paints the new picture a moment later
            if shown == picture:
                break
            time.sleep(0.02)
            shown = self.screenshot()
        if shown != picture:
            raise RuntimeError(f"the root picture was not set: {len(diff_pixels(picture, shown))} "
                               "pixels differ from the sample desktop")
        return picture, pointer

    def windows(self, name="Form1"):
        """[(id, x, y, width, height)] of the mapped windows with this WM_NAME."""
        out = self.run("xwininfo", "-root", "-tree", check=False).stdout.decode(errors="replace")
        found = []
        for m in re.finditer(r'^\s*(0x[0-9a-f]+) "' + re.escape(name) +
                             r'":.*?\s(\d+)x(\d+)\+(-?\d+)\+(-?\d+)', out, re.M):
            wid, w, h, x, y = m.groups()
            if b"IsViewable" in self.run("xwininfo", "-id", wid, check=False).stdout:
                found.append((wid, int(x), int(y), int(w), int(h)))
        return found

    def wait_window(self, timeout=10.0, name="Form1", proc=None):
        """Polls for a mapped window with this name; returns it, or None."""
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            found = self.windows(name)
            if found:
                return found[0]
            if proc is not None and proc.poll() is not None:
                return None
            time.sleep(0.002)
        return None

    def stop(self):
        if self.proc is not None:
            _stop(self.proc)
            self.proc = None
        shutil.rmtree(self.dir, ignore_errors=True)


@contextlib.contextmanager
def desktop_session(width=1280, height=720, args=()):
    """A private Xvfb showing the sample desktop; yields (xvfb, desktop, pointer).
    Exits with the skip status when there is no Xvfb."""
    require_xvfb()
    with Xvfb(width, height, args) as x:
        desktop, pointer = x.set_desktop()
        yield x, desktop, pointer


def _stop(proc):
    if proc.poll() is None:
        with contextlib.suppress(ProcessLookupError):
            proc.terminate()
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


# ---------------------------------------------------------------- the program


class Saver(_Stopped):
    """The program as a child process whose exit time is known to the
    microsecond (a pidfd, not a polling wait)."""

    def __init__(self, program, args=(), env=None, closed=()):
        """`closed`: standard descriptors (0, 1, 2) the program starts without."""
        self.started = time.monotonic()
        self.proc = subprocess.Popen([program, *args], env=env, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE,
                                     preexec_fn=(lambda: [os.close(fd) for fd in closed])
                                     if closed else None)
        self.pidfd = os.pidfd_open(self.proc.pid)
        self.exited_at = None
        self.stdout = self.stderr = b""

    def wait(self, timeout):
        """Waits up to timeout s; returns the exit status, or None if still running."""
        if self.exited_at is None:
            if not select.select([self.pidfd], [], [], timeout)[0]:
                return None
            self.exited_at = time.monotonic()
            self.stdout, self.stderr = self.proc.communicate()
            os.close(self.pidfd)
        return self.proc.returncode

    def running_after(self, seconds):
        return self.wait(seconds) is None

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


class ProbeRun(_Stopped):
    """The program started by ostrel-x11-probe, which timestamps the map of its
    window on the X server's events (see bench/x11_probe.cpp)."""

    def __init__(self, probe, program, args=(), env=None, stop_at_map=False):
        stop = ["--stop-at-map"] if stop_at_map else []
        self.proc = subprocess.Popen([probe, "run", *stop, program, *args], env=env,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True)
        self.started = time.monotonic()
        self.pid = int(self._expect("pid")[0])
        self.mapped_ms = float(self._expect("mapped")[0])

    def _expect(self, word):
        line = self.proc.stdout.readline().split()
        if not line or line[0] != word:
            self.proc.kill()
            raise RuntimeError(f"probe: expected '{word}', got {line} {self.proc.stderr.read()!r}")
        return line[1:]

    def end_by_move(self):
        """Moves the pointer 1 px; returns (ms to window gone, ms to exit, exit status)."""
        self._send("move")
        gone = float(self._expect("gone")[0])
        exit_ms, status = self._expect("exit")
        self.proc.wait(10)
        return gone, float(exit_ms), int(status)

    def wait_exit(self):
        """Waits for the program to end; returns (ms waited, exit status)."""
        self._send("wait")
        exit_ms, status = self._expect("exit")
        self.proc.wait(10)
        return float(exit_ms), int(status)

    def _send(self, command):
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()

    def stop(self):
        if self.proc.poll() is None:
            with contextlib.suppress(ProcessLookupError):
                os.kill(self.pid, signal.SIGKILL)
                os.kill(self.pid, signal.SIGCONT)
            self.proc.kill()
            self.proc.wait()


# ---------------------------------------------------------------- trail checks


def _load_reference():
    """The independent computation of the trails in tests/trace_check.py."""
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "trace_check.py")
    return runpy.run_path(path)["reference"]


def expected_circles(width, height, max_ticks):
    """Every circle (x, y, radius) in pixels that the first max_ticks ticks draw
    on a width x height screen at 96 DPI."""
    reference = _load_reference()
    lines = reference(str(width * TWIPS_PER_PX), str(height * TWIPS_PER_PX), max_ticks)
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
                   f"trail colours, e.g. {_sample(foreign)}")
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


def _sample(mapping, n=5):
    return [(p, f"{v:06x}") for p, v in list(mapping.items())[:n]]


# ================================================================ Wine
# ostrel.scr under Wine on a private Xvfb, for wine_test.py and
# bench/wine_run_bench.py. tests/win32/wine_probe.exe moves the pointer, reads
# the clipboard and keeps Wine's desktop process (the clipboard's keeper) alive.

WINE_TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools")


def require_wine():
    """Exits with ctest's skip status when wine or Xvfb is missing."""
    require_xvfb()
    for tool in ("wine", "wineserver"):
        if shutil.which(tool) is None:
            print(f"SKIP: {tool} is not installed (apt-get install --no-install-recommends wine wine64)")
            sys.exit(SKIP)


def wine_env(prefix, display=None):
    """The environment for Wine programs in this prefix: silent, a crash ends
    the process instead of opening a debugger, and DISPLAY only when given."""
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "XAUTHORITY", "WAYLAND_DISPLAY")}
    env.update(WINEPREFIX=os.path.abspath(prefix), WINEDEBUG="-all", WINEDLLOVERRIDES="winedbg.exe=d")
    if display is not None:
        env["DISPLAY"] = display
    return env


def prepare_wine_prefix(prefix):
    """Builds the prefix with tools/wine-prefix when it is not ready yet."""
    subprocess.run([os.path.join(WINE_TOOLS, "wine-prefix"), prefix], check=True, timeout=300)


def kill_wineserver(prefix):
    """Ends every Wine process of this prefix (and only of it), and its server."""
    subprocess.run(["wineserver", "-k"], env=wine_env(prefix), check=False, timeout=30,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-w"], env=wine_env(prefix), check=False, timeout=30,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class WineProbe(_Stopped):
    """wine_probe.exe on the Wine desktop of env's prefix and display."""

    def __init__(self, probe, env, timeout=60.0):
        self.proc = subprocess.Popen(["wine", probe], env=env, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self._buffer = b""
        ready = self._line(timeout)
        if ready != "ready":
            self.stop()
            raise RuntimeError(f"wine_probe did not start: {ready!r}")

    def _line(self, timeout):
        end = time.monotonic() + timeout
        while b"\n" not in self._buffer:
            left = end - time.monotonic()
            if left <= 0 or not select.select([self.proc.stdout], [], [], left)[0]:
                return f"no answer in {timeout:g} s"
            chunk = os.read(self.proc.stdout.fileno(), 4096)
            if not chunk:
                return f"wine_probe ended (status {self.proc.wait()})"
            self._buffer += chunk
        line, self._buffer = self._buffer.split(b"\n", 1)
        return line.decode(errors="replace").strip()

    def ask(self, command, timeout=10.0):
        """Sends one command; returns its one-line answer (or why there is none)."""
        try:
            self.proc.stdin.write(command.encode() + b"\n")
            self.proc.stdin.flush()
        except (BrokenPipeError, ValueError):
            return f"wine_probe ended (status {self.proc.poll()})"
        return self._line(timeout)

    def _ok(self, command):
        answer = self.ask(command)
        if answer != "ok":
            raise RuntimeError(f"wine_probe {command}: {answer}")

    def move(self, x, y):
        """SetCursorPos: one WM_MOUSEMOVE exactly there, also at the same place."""
        self._ok(f"move {x} {y}")

    def position(self):
        """Where Windows has the pointer (GetCursorPos)."""
        answer = self.ask("pos").split()
        if answer[:1] != ["pos"]:
            raise RuntimeError(f"wine_probe pos: {answer}")
        return int(answer[1]), int(answer[2])

    def wait_shown(self, timeout):
        """Ms until a visible "Form1" window exists (Windows' view), or None."""
        answer = self.ask(f"waitshow {timeout * 1000:.0f}", timeout + 5).split()
        return float(answer[1]) if answer[:1] == ["shown"] else None

    def clear_clipboard(self):
        self._ok("clear")

    def clipboard_picture(self, scratch_dir):
        """The clipboard's CF_DIB as an Image, or the probe's answer when there is none."""
        path = os.path.join(os.path.abspath(scratch_dir), "clipboard.ppm")
        answer = self.ask(f"clip Z:{path}", 30)
        if not answer.startswith("clip "):
            return answer
        try:
            with open(path, "rb") as f:
                blob = f.read()
        finally:
            os.remove(path)
        m = re.match(rb"P6\s+(\d+)\s+(\d+)\s+255\s", blob)  # binary PPM, maxval 255
        return Image(int(m.group(1)), int(m.group(2)), blob[m.end():]) if m else f"not a PPM: {path}"

    def stop(self):
        if self.proc.poll() is None:
            with contextlib.suppress(BrokenPipeError, ValueError):
                self.proc.stdin.write(b"quit\n")
                self.proc.stdin.flush()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        with contextlib.suppress(BrokenPipeError, ValueError):
            self.proc.stdin.close()
        self.proc.stdout.close()
