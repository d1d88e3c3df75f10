#!/usr/bin/env python3
"""Checks the clipboard of the X11 backend against real X clients.

Starts its own Xvfb on a free display (:90 and up), then drives
clipboard_probe (which owns, reads or abandons the clipboard through
X11Clipboard) against xclip, ImageMagick and, for the hand-off when the
program ends, the clipboard manager of xfsettingsd.

Usage: clipboard_test.py PATH_TO_CLIPBOARD_PROBE
Exit status: 0 passed, 1 failed, 77 skipped (no Xvfb).
"""
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from xsession import display_free  # noqa: E402

CONVERT = "/usr/bin/convert"
FAILURES = []


def check(condition, what):
    print(("ok    " if condition else "FAIL  ") + what, flush=True)
    if not condition:
        FAILURES.append(what)
    return condition


class Processes:
    """Every process the test starts, each in its own process group, so that
    all of it (dbus-run-session's children included) can be ended at the end."""

    def __init__(self, env):
        self.env = env
        self.started = []

    def start(self, args, **kwargs):
        kwargs.setdefault("stdout", subprocess.DEVNULL)
        kwargs.setdefault("stderr", subprocess.DEVNULL)
        process = subprocess.Popen(args, env=self.env, start_new_session=True, **kwargs)
        self.started.append(process)
        return process

    def stop(self, process, sig=signal.SIGTERM, wait=3.0):
        if process.poll() is None:
            try:
                os.killpg(process.pid, sig)
            except ProcessLookupError:
                pass
            try:
                process.wait(wait)
            except subprocess.TimeoutExpired:
                try:
                    os.killpg(process.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                process.wait()
        else:
            # The leader is gone; its group may live on (dbus-daemon).
            try:
                os.killpg(process.pid, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass

    def stop_all(self):
        for process in reversed(self.started):
            self.stop(process)


def start_xvfb(processes, width, height):
    """Starts Xvfb on the first free display from :90; returns its number."""
    for number in range(90, 160):
        if not display_free(number):
            continue
        server = processes.start(["Xvfb", f":{number}", "-screen", "0", f"{width}x{height}x24",
                                  "-nolisten", "tcp", "-noreset"])
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and server.poll() is None:
            try:
                with open(f"/tmp/.X{number}-lock") as lock:
                    ours = int(lock.read().strip() or 0) == server.pid
            except (OSError, ValueError):
                ours = False
            if ours and os.path.exists(f"/tmp/.X11-unix/X{number}"):
                return number
            time.sleep(0.02)
        processes.stop(server)  # lost a race for this number, or failed
    raise RuntimeError("no free display for Xvfb")


def run(env, args, timeout=10, data=None):
    return subprocess.run(args, env=env, input=data, capture_output=True, timeout=timeout,
                          check=False)


def png_to_rgb(env, png):
    """Decodes a PNG with ImageMagick: (width, height, RGB bytes), or None."""
    result = run(env, [CONVERT, "png:-", "-depth", "8", "ppm:-"], data=png)
    if result.returncode != 0 or not result.stdout.startswith(b"P6"):
        return None
    parts = result.stdout.split(maxsplit=4)  # P6 width height maxval pixels
    return int(parts[1]), int(parts[2]), parts[4]


def rgb_to_png(env, width, height, rgb):
    return run(env, [CONVERT, "-size", f"{width}x{height}", "-depth", "8", "rgb:-", "png:-"],
               data=rgb).stdout


def xclip_out(env, target, timeout=10):
    return run(env, ["xclip", "-selection", "clipboard", "-t", target, "-o"], timeout=timeout)


class Picture:
    def __init__(self, directory, name, width, height, rgb):
        self.width, self.height, self.rgb = width, height, rgb
        self.path = os.path.join(directory, name + ".rgb")
        with open(self.path, "wb") as out:
            out.write(rgb)

    def matches(self, decoded):
        return decoded is not None and decoded == (self.width, self.height, self.rgb)


def small_picture(directory):
    # Odd sizes and a pattern where swapped channels, rows or columns all show.
    width, height = 61, 37
    rgb = bytes(v for y in range(height) for x in range(width)
                for v in ((x * 4) & 255, (y * 7) & 255, (x * y + 50) & 255))
    return Picture(directory, "small", width, height, rgb)


def large_picture(directory):
    # Noise does not compress: about 9 MB of PNG, sent in INCR chunks.
    width, height = 2000, 1500
    return Picture(directory, "large", width, height,
                   random.Random(7).randbytes(width * height * 3))


class Owner:
    """clipboard_probe owning the clipboard with a picture."""

    def __init__(self, processes, probe, picture, *options):
        self.processes = processes
        self.process = processes.start(
            [probe, "own", picture.path, str(picture.width), str(picture.height), *options],
            stdout=subprocess.PIPE, stderr=None, text=True)
        self.lines = []
        self.owned = self.wait_for("owned", 10)

    def wait_for(self, prefix, timeout):
        """Reads the probe's output until a line starting with `prefix`."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            line = self.process.stdout.readline()
            if not line:
                return None
            self.lines.append(line.strip())
            if line.startswith(prefix):
                return line.strip()
        return None

    def alive(self):
        return self.process.poll() is None

    def finish(self):
        """Asks the probe to end (it hands off on the way out); returns the
        hand-off line and how long the probe took to exit."""
        start = time.monotonic()
        self.process.send_signal(signal.SIGTERM)
        line = self.wait_for("handoff", 10)
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            pass
        return line, time.monotonic() - start, self.process.returncode


def probe_read(env, probe, directory, timeout_ms=3000):
    """Reads the clipboard through X11Clipboard::Read: (decoded, output line)."""
    out_path = os.path.join(directory, "read.rgb")
    result = run(env, [probe, "read", out_path, "--timeout-ms", str(timeout_ms)], timeout=20)
    line = result.stdout.decode().strip()
    if result.returncode != 0:
        return None, line
    words = line.split()
    with open(out_path, "rb") as data:
        return (int(words[1]), int(words[2]), data.read()), line


def serving_checks(env, processes, probe, small, large):
    owner = Owner(processes, probe, small)
    if not check(owner.owned is not None, "the probe owns the clipboard"):
        return
    targets = xclip_out(env, "TARGETS")
    listed = targets.stdout.decode().split()
    check(targets.returncode == 0 and {"TARGETS", "TIMESTAMP", "MULTIPLE", "image/png"} <= set(listed),
          f"TARGETS lists TARGETS, TIMESTAMP, MULTIPLE and image/png ({' '.join(listed)})")
    png = xclip_out(env, "image/png")
    check(png.stdout.startswith(b"\x89PNG") and small.matches(png_to_rgb(env, png.stdout)),
          "image/png of a small picture (direct reply) has the probe's pixels")
    start = time.monotonic()
    refused = xclip_out(env, "UTF8_STRING", timeout=5)
    check(refused.returncode != 0 and not refused.stdout and time.monotonic() - start < 2,
          "a target we do not offer is refused at once")
    decoded, line = probe_read(env, probe, os.path.dirname(small.path))
    check(small.matches(decoded), f"another X11Clipboard reads the small picture ({line})")
    answers = run(env, [probe, "requests"]).stdout.decode().splitlines()
    check(answers[:1] == ["multiple answered pairs marked png ok refused absent timestamp ok"],
          f"MULTIPLE converts each pair and marks the refused one None ({answers[:1]})")
    check(answers[1:2] == ["obsolete ok"],
          f"a requestor naming no property gets the target's property ({answers[1:2]})")
    check(answers[2:3] == ["stale refused"],
          f"a request older than the ownership is refused ({answers[2:3]})")

    # Another client takes the clipboard: we stop offering, and do not hand off.
    taker = processes.start(["xclip", "-selection", "clipboard", "-i", "-quiet"],
                            stdin=subprocess.PIPE)
    taker.stdin.write(b"some text")
    taker.stdin.close()
    check(owner.wait_for("cleared", 5) is not None, "losing the clipboard is noticed")
    handoff, elapsed, status = owner.finish()
    check(handoff is not None and handoff.startswith("handoff refused") and status == 0,
          f"no hand-off after losing the clipboard ({handoff}, status {status})")
    processes.stop(taker)

    # A SelectionClear while the server still names us the owner is stale: the
    # clear of a client that took the clipboard as we took it again, or a
    # forged one. We keep serving.
    stale = Owner(processes, probe, small, "--stale-clears")
    sent = stale.wait_for("stale clears sent", 10) if stale.owned else None
    png = xclip_out(env, "image/png")
    stale.finish()
    check(sent is not None and small.matches(png_to_rgb(env, png.stdout))
          and "cleared" not in stale.lines,
          f"stale SelectionClears do not end the ownership ({' / '.join(stale.lines)})")

    # A large picture goes by INCR; two readers at once; a reader that vanishes
    # mid-transfer does not take the owner down.
    owner = Owner(processes, probe, large, "--bgr")
    if not check(owner.owned is not None, "the probe owns the clipboard with a large picture"):
        return
    readers = [processes.start(["xclip", "-selection", "clipboard", "-t", "image/png", "-o"],
                               stdout=subprocess.PIPE) for _ in range(2)]
    outputs = [reader.communicate(timeout=30)[0] for reader in readers]
    for index, output in enumerate(outputs):
        check(large.matches(png_to_rgb(env, output)),
              f"concurrent reader {index + 1} gets the large picture ({len(output)} bytes by INCR)")
    abandon = run(env, [probe, "abandon"])
    check(abandon.stdout.decode().startswith("abandoned after"),
          f"a requestor vanishes during INCR ({abandon.stdout.decode().strip()})")
    png = xclip_out(env, "image/png", timeout=30)
    check(owner.alive() and large.matches(png_to_rgb(env, png.stdout)),
          "the owner survives it and still serves the large picture")
    decoded, line = probe_read(env, probe, os.path.dirname(large.path), timeout_ms=10000)
    check(large.matches(decoded), f"another X11Clipboard reads the large picture by INCR ({line})")

    handoff, elapsed, status = owner.finish()
    check(handoff is not None and handoff.startswith("handoff refused") and elapsed < 1.5
          and status == 0,
          f"without a clipboard manager the hand-off fails promptly ({handoff}, "
          f"exit after {elapsed:.2f} s)")
    gone = xclip_out(env, "image/png", timeout=5)
    check(gone.returncode != 0, "without a manager the picture leaves with the owner")


def reading_checks(env, processes, probe, small, large):
    directory = os.path.dirname(small.path)
    decoded, line = probe_read(env, probe, directory, timeout_ms=2000)
    check(decoded is None and line.startswith("no picture") and int(line.split()[2]) < 500,
          f"reading an empty clipboard gives nothing at once ({line})")

    for picture in (small, large):
        png_path = os.path.join(directory, "clip.png")
        with open(png_path, "wb") as out:
            out.write(rgb_to_png(env, picture.width, picture.height, picture.rgb))
        owner = processes.start(["xclip", "-selection", "clipboard", "-t", "image/png", "-i",
                                 "-quiet", png_path])
        decoded = None
        deadline = time.monotonic() + 5
        while decoded is None and time.monotonic() < deadline:  # until xclip owns it
            decoded, line = probe_read(env, probe, directory, timeout_ms=10000)
        check(picture.matches(decoded),
              f"reads a {picture.width}x{picture.height} PNG another program put there ({line})")
        processes.stop(owner)

    text_owner = processes.start(["xclip", "-selection", "clipboard", "-i", "-quiet"],
                                 stdin=subprocess.PIPE)
    text_owner.stdin.write(b"not a picture")
    text_owner.stdin.close()
    time.sleep(0.2)
    decoded, line = probe_read(env, probe, directory, timeout_ms=2000)
    check(decoded is None and line.startswith("no picture") and int(line.split()[2]) < 500,
          f"a clipboard holding only text gives no picture, at once ({line})")
    processes.stop(text_owner)


def manager_checks(env, processes, probe, large):
    if shutil.which("xfsettingsd") is None or shutil.which("dbus-run-session") is None:
        check(False, "xfsettingsd and dbus-run-session are installed")
        return
    processes.start(["dbus-run-session", "--", "xfsettingsd", "--no-daemon",
                     "--disable-wm-check"])
    deadline = time.monotonic() + 10
    while run(env, [probe, "has-manager"]).returncode != 0 and time.monotonic() < deadline:
        time.sleep(0.05)
    if not check(run(env, [probe, "has-manager"]).returncode == 0,
                 "xfsettingsd runs as the clipboard manager"):
        return
    owner = Owner(processes, probe, large)
    if not check(owner.owned is not None, "the probe owns the clipboard"):
        return
    handoff, elapsed, status = owner.finish()
    check(handoff is not None and handoff.startswith("handoff confirmed") and status == 0,
          f"the manager confirms the hand-off of a large picture ({handoff})")
    png = xclip_out(env, "image/png", timeout=30)
    check(large.matches(png_to_rgb(env, png.stdout)),
          "after the owner exits the manager serves the same picture")
    decoded, line = probe_read(env, probe, os.path.dirname(large.path), timeout_ms=10000)
    check(large.matches(decoded), f"X11Clipboard reads it back from the manager ({line})")


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    probe = os.path.abspath(sys.argv[1])
    if shutil.which("Xvfb") is None:
        print("SKIP: Xvfb is not installed (apt-get install xvfb)")
        return 77
    for tool in ("xclip", CONVERT):
        if shutil.which(tool) is None:
            print(f"FAIL: {tool} is not installed")
            return 1

    # A test runner's SIGTERM still ends every process started here.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    env = dict(os.environ)
    processes = Processes(env)
    started = time.monotonic()
    try:
        env["DISPLAY"] = f":{start_xvfb(processes, 640, 480)}"
        print(f"Xvfb on {env['DISPLAY']}", flush=True)
        with tempfile.TemporaryDirectory() as directory:
            small, large = small_picture(directory), large_picture(directory)
            serving_checks(env, processes, probe, small, large)
            reading_checks(env, processes, probe, small, large)
            manager_checks(env, processes, probe, large)
    except (subprocess.TimeoutExpired, RuntimeError, OSError) as error:
        check(False, f"the test ran to its end ({error!r})")
    finally:
        processes.stop_all()
    print(f"{time.monotonic() - started:.1f} s", flush=True)
    if FAILURES:
        print(f"{len(FAILURES)} check(s) failed")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
