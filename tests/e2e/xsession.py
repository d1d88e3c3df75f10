"""A private Xvfb for driving ostrel's X11 backend: the server, its sample
desktop, screenshots and the live framebuffer, xdotool's input, the
program's windows, and ostrel-x11-probe's timed runs. The rest comes from
harness.py.

Used by the end-to-end tests beside this file, by the benchmarks and by
tools/run (imported by path). Run as a program (`xsession.py COMMAND...`), it
runs one command on a private 1280x720 Xvfb: tools/test-windows's Wine tests. Standard library only; the X work is done by the
real tools: Xvfb, xdotool, xwd, xwininfo, xsetroot and ImageMagick's display.
"""
import contextlib
import os
import re
import signal
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as h  # noqa: E402

DISPLAY_RANGE = range(40, 90)


def display_absent(n):
    """Whether nothing at all is on display n: no socket and no lock."""
    return not os.path.exists(f"/tmp/.X11-unix/X{n}") and not os.path.exists(f"/tmp/.X{n}-lock")


def display_free(n):
    """Whether a new X server may take display n: nothing is there, or only
    what a server killed before it could clean up left behind (a lock naming
    a process that is gone). The server that starts next replaces that lock
    and socket; skipping such numbers let them pile up in /tmp from run to
    run until no number in the range was left."""
    if display_absent(n):
        return True
    owner = _lock_owner(n)
    return owner is not None and not h.alive(owner)


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


def parse_xwd(blob):
    """Decodes an XWD dump of a 24-bit TrueColor screen (xwd, or Xvfb's -fbdir
    file). A screen showing windows of several visuals (GTK's input-only
    windows have one of their own) comes from xwd as 24 bits a pixel in rows
    as long as 32-bit ones; one of a single visual as 32."""
    fields = [int.from_bytes(blob[i:i + 4], "big") for i in range(0, 100, 4)]
    header_size, width, height, byte_order = fields[0], fields[4], fields[5], fields[7]
    bits_per_pixel, bytes_per_line, masks, ncolors = fields[11], fields[12], fields[14:17], fields[19]
    if bits_per_pixel not in (24, 32) or masks != [0xFF0000, 0x00FF00, 0x0000FF]:
        raise ValueError(f"unexpected XWD pixel format: {bits_per_pixel} bpp, masks {masks}")
    step = bits_per_pixel // 8
    start = header_size + 12 * ncolors
    raw = blob[start:start + bytes_per_line * height]
    if len(raw) < bytes_per_line * height:
        raise ValueError("truncated XWD picture")
    if bytes_per_line != width * step:
        raw = b"".join(raw[y * bytes_per_line:y * bytes_per_line + width * step]
                       for y in range(height))
    out = bytearray(width * height * 3)
    # LSBFirst stores B, G, R (, pad); MSBFirst (pad,) R, G, B.
    r, g, b = (2, 1, 0) if byte_order == 0 else (step - 3, step - 2, step - 1)
    out[0::3], out[1::3], out[2::3] = raw[r::step], raw[g::step], raw[b::step]
    return h.Image(width, height, out)


class Xvfb(h.Session):
    """A private Xvfb with one screen, the one output given, on a free
    display number in DISPLAY_RANGE, with -fbdir so that the live
    framebuffer (software cursor included) can be read. `args` are further
    server options (such as "-extension", "MIT-SHM")."""

    NAME = "xvfb"
    COMMANDS = ("Xvfb",)

    def _start(self, args=()):
        (o,) = self.outputs
        self.width, self.height = o.width, o.height
        self.root_setter = "display"
        numbers = list(DISPLAY_RANGE)
        offset = os.getpid() * 7 % len(numbers)  # spread concurrent runs over the range
        for n in numbers[offset:] + numbers[:offset]:
            if display_free(n) and self._serve(n, args):
                o.name = self.display
                return
        raise RuntimeError(f"no free display in :{DISPLAY_RANGE.start}-:{DISPLAY_RANGE.stop - 1}")

    def _serve(self, n, args):
        self.proc = self.processes.start(
            self.NAME, ["Xvfb", f":{n}", "-screen", "0", f"{self.width}x{self.height}x24",
                        "-nolisten", "tcp", "-noreset", "-dpi", "96", "-fbdir", self.dir, *args],
            None)
        end = time.monotonic() + 15
        # Xvfb exits at once when another server took the number first. One
        # that started at the same moment may answer on the socket before ours
        # gives up: the lock file names the server that owns the number.
        while self.proc.poll() is None and time.monotonic() < end:
            if _accepts_clients(n):
                if _lock_owner(n) != self.proc.pid:
                    break
                self.display = f":{n}"
                return True
            time.sleep(0.01)
        self.processes.stop()
        self.proc = None
        return False

    def _client_env(self):
        return {"DISPLAY": self.display}

    def run(self, *cmd, check=True, timeout=30, **kwargs):
        return subprocess.run(list(cmd), env=self.env, check=check, timeout=timeout,
                              capture_output=True, **kwargs)

    def screenshot(self):
        """The root window's content (xwd: no cursor)."""
        return parse_xwd(self.run("xwd", "-root", "-silent").stdout)

    def shot(self, output=None):
        return self.screenshot()

    def framebuffer(self):
        """The live framebuffer, software cursor included."""
        with open(os.path.join(self.dir, "Xvfb_screen0"), "rb") as f:
            return parse_xwd(f.read())

    def pointer_position(self):
        out = self.run("xdotool", "getmouselocation", "--shell").stdout.decode()
        values = dict(line.split("=", 1) for line in out.split())
        return int(values["X"]), int(values["Y"])

    def move(self, x, y):
        self.pointer().move(x, y)

    def pointer(self):
        return XPointer(self)

    def key(self, name):
        sent = time.monotonic()
        self.run("xdotool", "key", name)
        return sent

    def set_desktop(self, pointer=None, root_setter="display"):
        """Sets the sample desktop as the root picture, a left_ptr cursor and the
        pointer on its grey pad (the screen's centre by default), and waits
        until the screen shows exactly that picture. root_setter "hsetroot"
        sets it as a compositor needs it. Returns (picture, pointer)."""
        self.root_setter = root_setter
        (picture,) = self.set_desktops(pointer)
        return picture, self.outputs[0].pad

    def _show_desktops(self):
        o = self.outputs[0]
        path = os.path.join(self.dir, "desktop.ppm")
        with open(path, "wb") as f:
            f.write(o.desktop.to_ppm())
        if self.root_setter == "hsetroot":
            self.run("hsetroot", "-full", path)
        else:
            # display exits with status 1 after setting the root picture; the
            # wait for the picture is what tells whether it worked.
            self.run("/usr/bin/display", "-window", "root", path, check=False, timeout=60)
        self.run("xsetroot", "-cursor_name", "left_ptr")
        self.move(*o.pad)

    def windows(self, name="Form1"):
        """[(id, x, y, width, height)] of the mapped windows with this WM_NAME."""
        out = self.run("xwininfo", "-root", "-tree", check=False).stdout.decode(errors="replace")
        found = []
        for m in re.finditer(r'^\s*(0x[0-9a-f]+) "' + re.escape(name) +
                             r'":.*?\s(\d+)x(\d+)\+(-?\d+)\+(-?\d+)', out, re.M):
            wid, width, height, x, y = m.groups()
            if b"IsViewable" in self.run("xwininfo", "-id", wid, check=False).stdout:
                found.append((wid, int(x), int(y), int(width), int(height)))
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

    def check_window(self, failures, saver, what, timeout=10.0):
        """Waits for the run's Form1 window and checks that it covers the
        screen; returns it, or None (a failure) when none shows."""
        window = self.wait_window(timeout, proc=saver.proc)
        if not failures.check(window is not None, f"{what}: no Form1 window (status "
                              f"{saver.wait(0)}, stderr {saver.stderr!r})"):
            return None
        failures.check(window[1:] == (0, 0, self.width, self.height),
                       f"{what}: window {window} does not cover the {self.width}x{self.height} screen")
        return window


class XPointer(h.Pointer):
    """The X server's pointer, moved and clicked by xdotool (XTest); .sent
    is just before xdotool starts."""

    XDOTOOL = {"move": ["mousemove"], "rel": ["mousemove_relative", "--"],
               "press": ["mousedown"], "release": ["mouseup"], "wheel": ["click", "--repeat"]}
    BUTTONS = {h.BTN_LEFT: 1, h.BTN_LEFT + 2: 2, h.BTN_LEFT + 1: 3}  # left, middle, right

    def __init__(self, x):
        super().__init__(None)
        self.x = x

    def _send(self, verb, *args):
        if verb in ("press", "release"):
            args = (self.BUTTONS[args[0]],)
        elif verb == "wheel":
            args = (abs(args[0]), 5 if args[0] > 0 else 4)
        self.sent = time.monotonic()
        self.x.run("xdotool", *self.XDOTOOL[verb], *map(str, args))
        return self.sent


@contextlib.contextmanager
def realistic_session(width=1280, height=720):
    """A private Xvfb showing the realistic desktop (realistic_desktop.py:
    a window manager with its panel, a wallpaper, real windows); yields
    (xvfb, desktop). Raises Skip when a part of it is missing."""
    import realistic_desktop as rd  # only the sessions that show it need its packages
    Xvfb.require()
    gone = rd.missing()
    if gone:
        raise h.Skip("the realistic desktop needs " + ", ".join(gone) +
                     " (tools/install-deps test installs them)")
    with Xvfb([h.Output(width, height)]) as x, rd.realistic_desktop(x.env, width, height) as d:
        yield x, d


@contextlib.contextmanager
def desktop_session(width=1280, height=720, args=()):
    """A private Xvfb showing the sample desktop; yields (xvfb, desktop, pointer).
    Exits with the skip status when there is no Xvfb."""
    Xvfb.require()
    with Xvfb([h.Output(width, height)], args=args) as x:
        desktop, pointer = x.set_desktop()
        yield x, desktop, pointer


class ProbeRun:
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

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

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


def main(command):
    """Runs `command` with DISPLAY naming a private Xvfb, ends the server
    after it, and returns the command's exit status."""
    if not command:
        print("usage: xsession.py COMMAND [ARGUMENT...]", file=sys.stderr)
        return 2
    Xvfb.require()
    with Xvfb([h.Output(1280, 720)]) as x:
        return subprocess.run(command, env=x.env, check=False).returncode


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
