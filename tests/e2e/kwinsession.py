"""A private headless KWin (5.27, KDE Plasma's compositor) for driving
ostrel there: its outputs, a desktop picture per output, screenshots, input
and the authorisation of its restricted D-Bus interfaces. The same shape as
waysession.py's Sway: session(outputs, tools) gives a KWin
whose .outputs show their desktop pictures, .shot(output) returns what one
shows, .env is for clients.

KWin runs as root on its virtual backend, from a copy of /usr/bin/kwin_wayland
(the installed file carries a capability, cap_sys_resource, that makes it
fail here), in a fresh temporary directory (HOME, XDG_RUNTIME_DIR) with its
own session bus. It draws no wallpaper: a background layer-shell surface per
output (swaybg) is the desktop. Input comes from org_kde_kwin_fake_input
(tests/helpers/kwin_fake_input.cpp), which KWin offers to every client with
KWIN_WAYLAND_NO_PERMISSION_CHECKS=1. Screenshots come from ScreenShot2,
which KWin allows only to executables named by a .desktop file it read when
it started: the screenshot tool's and those the test asks for are written
into the session's first XDG_DATA_DIRS folder before KWin starts.
KWIN_SCREENSHOT_NO_PERMISSION_CHECKS, which would lift that check for every
client, is not set unless asked for.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import desktopsession as ds  # noqa: E402
import keynames  # noqa: E402
import waysession as ws  # noqa: E402
import xsession as xs  # noqa: E402

KWIN = "/usr/bin/kwin_wayland"
TOOLS = ("dbus-daemon", "gdbus", "swaybg")
DISPLAY_NAME = "wayland-0"  # in the session's own XDG_RUNTIME_DIR
SCREENSHOT_INTERFACE = "org.kde.KWin.ScreenShot2"
REFUSED = 3  # ostrel-kwin-shot's status when KWin does not authorise it
# The helpers built in tests/helpers (the folder is the `tools` argument).
HELPERS = ("ostrel-kwin-shot", "ostrel-kwin-input", "ostrel-wl-outputs")
Output = ws.Output
BTN_LEFT = ds.BTN_LEFT

# No animations (a window fading in is half drawn in a shot) and no screen
# edges (a pointer pushed into a corner would open the overview).
CONFIG = {
    "kdeglobals": "[KDE]\nAnimationDurationFactor=0\n",
    "kwinrc": "[ElectricBorders]\n" + "".join(
        f"{edge}=None\n" for edge in ("Top", "TopRight", "Right", "BottomRight", "Bottom",
                                      "BottomLeft", "Left", "TopLeft")) +
              "\n[Effect-overview]\nBorderActivate=9\n"
              "\n[Effect-windowview]\nBorderActivateAll=9\n"
              "\n[TabBox]\nBorderActivate=9\nBorderAlternativeActivate=9\n",
}


def missing_parts(tools):
    """What of KWin, the session's tools and the helpers in the `tools`
    folder is missing: [] when all is there."""
    missing = [t for t in TOOLS if shutil.which(t) is None]
    return missing + [p for p in (KWIN, *(os.path.join(tools, h) for h in HELPERS))
                      if not os.path.exists(p)]


def require_kwin(tools):
    """Exits with ctest's skip status when a part of the session is missing."""
    missing = missing_parts(tools)
    if missing:
        print(f"SKIP: {', '.join(missing)} not found (tools/install-deps test installs the "
              "packages; the helpers are built with the tests)")
        sys.exit(xs.SKIP)


def desktop_file(executable, interfaces=(SCREENSHOT_INTERFACE,)):
    """A .desktop file that makes KWin grant `executable` these restricted
    D-Bus interfaces (it compares the file's Exec= with the caller's
    /proc/PID/exe, so the path must be the real one)."""
    return ("[Desktop Entry]\nType=Application\nNoDisplay=true\n"
            f"Name=ostrel test {os.path.basename(executable)}\n"
            f"Exec={os.path.realpath(executable)}\n"
            f"X-KDE-DBUS-Restricted-Interfaces={','.join(interfaces)}\n")


# Session services not started on this bus (see KWin._start).
BLOCKED_SERVICES = ("org.freedesktop.portal.Desktop", "org.freedesktop.portal.Documents")


class KWin(xs._Stopped):
    """kwin_wayland --virtual with these outputs, all of one size and scale
    (its virtual backend makes them alike), side by side in the order given.

    tools: the folder of the built helpers (build/.../tests/helpers).
    authorized: further executables granted ScreenShot2 (their .desktop files
    are written before KWin starts; KWin reads none later).
    screenshot_checks: False sets KWIN_SCREENSHOT_NO_PERMISSION_CHECKS=1."""

    def __init__(self, outputs, tools, authorized=(), screenshot_checks=True, timeout=30.0):
        self.outputs = list(outputs)
        self.tools = os.path.realpath(tools)
        self.shot_tool = os.path.join(self.tools, "ostrel-kwin-shot")
        self.dir = tempfile.mkdtemp(prefix="ostrel-kwin-")
        self.home = os.path.join(self.dir, "home")
        self.runtime = os.path.join(self.dir, "runtime")
        self.data = os.path.join(self.dir, "data")
        self.processes = ds.Processes(self.dir, self.runtime)
        self.kwin = None
        self.input = None
        self.started = time.monotonic()
        try:
            self._start([self.shot_tool, *authorized], screenshot_checks, timeout)
        except BaseException:
            self.stop()
            raise
        self.ready_seconds = time.monotonic() - self.started

    def _start(self, authorized, screenshot_checks, timeout):
        first = self.outputs[0]
        for i, o in enumerate(self.outputs):
            if ((o.width, o.height, o.scale) != (first.width, first.height, first.scale) or
                    (o.x, o.y) != (i * (first.width // first.scale), 0)):
                raise ValueError("KWin's virtual outputs are alike and side by side: asked for "
                                 f"{o.width}x{o.height} scale {o.scale} at {o.x},{o.y}")
        os.makedirs(os.path.join(self.home, ".config"))
        for name, text in CONFIG.items():
            with open(os.path.join(self.home, ".config", name), "w") as f:
                f.write(text)
        os.mkdir(self.runtime, 0o700)
        applications = os.path.join(self.data, "applications")
        os.makedirs(applications)
        for i, executable in enumerate(authorized):
            with open(os.path.join(applications, f"ostrel-test-{i}.desktop"), "w") as f:
                f.write(desktop_file(executable))
        kwin = os.path.join(self.dir, "kwin_wayland")
        shutil.copy(KWIN, kwin)  # a copy carries no file capability

        base = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": self.home,
                "XDG_RUNTIME_DIR": self.runtime, "LANG": "C.UTF-8",
                "XDG_DATA_DIRS": f"{self.data}:/usr/local/share:/usr/share",
                "XDG_CURRENT_DESKTOP": "KDE", "XDG_SESSION_TYPE": "wayland"}
        # This machine has only GNOME's portal backend, which cannot serve a
        # KWin session (a Plasma desktop has its own): the portal is not
        # started, so that a client asking it is told at once.
        services = os.path.join(self.dir, "services")
        os.mkdir(services)
        for name in BLOCKED_SERVICES:
            with open(os.path.join(services, f"{name}.service"), "w") as f:
                f.write(f"[D-BUS Service]\nName={name}\nExec=/bin/false\n")
        session_bus = ds.start_bus(self.processes, self.dir, "session-bus", base, services)
        self.base_env = dict(base, DBUS_SESSION_BUS_ADDRESS=session_bus)
        kwin_env = dict(self.base_env, KWIN_WAYLAND_NO_PERMISSION_CHECKS="1")
        if not screenshot_checks:
            kwin_env["KWIN_SCREENSHOT_NO_PERMISSION_CHECKS"] = "1"
        first = self.outputs[0]
        self.kwin = self.processes.start(
            "kwin", [kwin, "--virtual", "--width", str(first.width // first.scale), "--height",
                     str(first.height // first.scale), "--scale", str(first.scale),
                     "--output-count", str(len(self.outputs)), "--no-lockscreen", "--socket",
                     DISPLAY_NAME], kwin_env)
        end = time.monotonic() + timeout
        while not os.path.exists(os.path.join(self.runtime, DISPLAY_NAME)):
            if self.kwin.poll() is not None or time.monotonic() > end:
                raise RuntimeError(f"KWin did not start (status {self.kwin.poll()}): "
                                   f"{self.log()[-800:]}")
            time.sleep(0.01)
        if not ds.wait_for_name(self.base_env, "org.kde.KWin", end - time.monotonic()):
            raise RuntimeError(f"KWin has no D-Bus name: {self.log()[-800:]}")
        self._name_outputs()
        proc = self.processes.start("input", [os.path.join(self.tools, "ostrel-kwin-input")],
                                    self.env, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.input = ds.LineHelper(proc, "ostrel-kwin-input")
        self.input.ready(10)

    def _name_outputs(self):
        """Names the outputs from what KWin announces (Virtual-0, ...)."""
        done = subprocess.run([os.path.join(self.tools, "ostrel-wl-outputs")], env=self.env, capture_output=True, timeout=10, check=True)
        found = [line.split() for line in done.stdout.decode().splitlines()]
        boxes = [(name, tuple(int(v) for v in rest[:4])) for name, *rest in found]
        if len(boxes) != len(self.outputs):
            raise RuntimeError(f"asked for {len(self.outputs)} outputs, KWin has {boxes}")
        for o, (name, box) in zip(self.outputs, sorted(boxes, key=lambda b: b[1][:2])):
            if box != o.logical:
                raise RuntimeError(f"output {name} {box} is not the output asked for, {o.logical}")
            o.name = name

    @property
    def display(self):
        return DISPLAY_NAME

    @property
    def env(self):
        """The environment for clients: this compositor, its session bus and
        HOME, no X display, and not KWin's permission switches."""
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "XAUTHORITY", "WAYLAND_SOCKET",
                            "KWIN_WAYLAND_NO_PERMISSION_CHECKS",
                            "KWIN_SCREENSHOT_NO_PERMISSION_CHECKS")}
        env.update({k: v for k, v in self.base_env.items() if k != "PATH"})
        env["WAYLAND_DISPLAY"] = DISPLAY_NAME
        return env

    def log(self):
        return self.processes.log("kwin")

    @property
    def extent(self):
        """The layout's logical width and height."""
        return (max(o.x + o.logical[2] for o in self.outputs),
                max(o.y + o.logical[3] for o in self.outputs))

    def start_helper(self, cmd, **kwargs):
        """A client program of the test's, ended by stop()."""
        return self.processes.start(os.path.basename(cmd[0]), cmd, self.env, **kwargs)

    def set_desktops(self, pad_at=None):
        """Shows waysession.desktop_picture on every output with swaybg (a
        background layer surface, pixel for pixel) and waits until each
        output shows exactly it. The grey pad is at pad_at on the first
        output (its centre by default). Returns the pictures."""
        for i, o in enumerate(self.outputs):
            pad = pad_at if i == 0 and pad_at else (o.width // 2 + 37, o.height // 2 + 21)
            o.desktop = ws.desktop_picture(i, o.width, o.height, pad)
            path = os.path.join(self.dir, f"desktop-{o.name}.png")
            o.desktop.save_png(path)
            self.start_helper(["swaybg", "-o", o.name, "-i", path, "-m", "fill"])
        for o in self.outputs:
            end = time.monotonic() + 10
            while self.shot(o) != o.desktop:
                if time.monotonic() > end:
                    raise RuntimeError(f"{o.name} does not show its desktop picture")
                time.sleep(0.02)
        return [o.desktop for o in self.outputs]

    def capture(self, output, tool=None, cursor=False):
        """Runs a screenshot tool (the session's by default, or another
        build of ostrel-kwin-shot) on the output: (status, picture or None,
        stderr). Status REFUSED: KWin did not authorise that executable."""
        done = subprocess.run([tool or self.shot_tool, output.name] + (["--cursor"] if cursor else []),
                              env=self.env, capture_output=True, timeout=30, check=False)
        picture = ws.parse_ppm(done.stdout) if done.returncode == 0 else None
        return done.returncode, picture, done.stderr.decode(errors="replace").strip()

    def shot(self, output, cursor=False):
        """What the output shows, at its full pixel resolution, without the
        cursor unless asked (ScreenShot2 CaptureScreen, native resolution)."""
        status, picture, why = self.capture(output, cursor=cursor)
        if picture is None:
            raise RuntimeError(f"ostrel-kwin-shot {output.name}: status {status}: {why}")
        return picture

    def key(self, name):
        """Presses and releases one key by its keysym name (keynames)."""
        self.input.ask(f"key {keynames.evdev(name)}")

    def keyboard(self):
        """A function that types one key by its name, as Sway.keyboard()
        returns; the fake input device exists from the start."""
        return self.key

    def pointer(self):
        """The fake input pointer (the same for the whole session)."""
        return Pointer(self)

    def kill(self):
        """Ends KWin at once (SIGKILL), as a crash would."""
        self.kwin.kill()
        self.kwin.wait()

    def stop(self):
        if self.input is not None:
            self.input.close()
            self.input = None
        self.processes.stop(first=[self.kwin])
        self.kwin = None
        shutil.rmtree(self.dir, ignore_errors=True)


class Pointer:
    """The fake input pointer, with waysession.VirtualPointer's methods:
    absolute moves in logical layout coordinates, relative moves, buttons
    and the wheel. Each call returns after a roundtrip, so KWin has the
    request; its time is kept in .sent."""

    def __init__(self, session):
        self.s = session
        self.sent = None

    def _ask(self, command):
        self.s.input.ask(command)
        self.sent = self.s.input.sent

    def move(self, x, y):
        self._ask(f"move {x} {y}")

    def rel(self, dx, dy):
        self._ask(f"rel {dx} {dy}")

    def press(self, button=BTN_LEFT):
        self._ask(f"press {button}")

    def release(self, button=BTN_LEFT):
        self._ask(f"release {button}")

    def wheel(self, steps=1):
        self._ask(f"wheel {steps}")

    def close(self):
        """Nothing: the fake input device stays until stop()."""


def session(outputs, tools, pad_at=None, **kwargs):
    """A KWin with these outputs, each showing its desktop; skips (77) when
    a part is missing. kwargs go to KWin. Use as a context manager."""
    require_kwin(tools)
    kwin = KWin(outputs, tools, **kwargs)
    try:
        kwin.set_desktops(pad_at)
    except BaseException:
        kwin.stop()
        raise
    return kwin
