"""A private headless gnome-shell (43, mutter) for driving ostrel there: its
monitors, a desktop picture per monitor, screenshots, input, and the
screenshot portal with its permission. The same shape as waysession.py's
Sway: session(outputs) gives a GnomeShell whose .outputs show their desktop
pictures, .shot(output) returns what one shows, .env is for clients.

Everything runs as root in a fresh temporary directory (HOME and
XDG_RUNTIME_DIR): a private system bus with python3-dbusmock's logind
(gnome-shell aborts without logind), a private session bus whose daemon's
environment is what the services it starts see, pipewire (the RemoteDesktop
session's screen-cast streams need it), then gnome-shell --headless with a
--virtual-monitor per output. Settings are written before it starts: with
animations or hot corners on, a pointer parked at 0,0 opens the overview;
banners are drawn over fullscreen windows. The test extension in
gnome_extension/ hides the top bar (so that a monitor shows exactly its
picture) and lets the tests see modal dialogs. Screenshots and input go
through gnome_helper.py (Debian's /usr/bin/python3 with gi), which owns
org.gnome.Screenshot and keeps one RemoteDesktop session open.
"""
import json
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

HERE = os.path.dirname(os.path.abspath(__file__))
SYSTEM_PYTHON = "/usr/bin/python3"  # Debian's, with gi; python3 on PATH may lack it
HELPER = os.path.join(HERE, "..", "helpers", "gnome_helper.py")
EXTENSION = os.path.join(HERE, "gnome_extension")
EXTENSION_UUID = "ostrel-tests@ostrel.invalid"
TOOLS = ("gnome-shell", "dbus-daemon", "gdbus", "gsettings", "pipewire")
PORTAL = "/usr/libexec/xdg-desktop-portal"
PORTAL_GNOME = "/usr/libexec/xdg-desktop-portal-gnome"
DISPLAY_NAME = "wayland-0"  # in the session's own XDG_RUNTIME_DIR
Output = ws.Output
BTN_LEFT = ds.BTN_LEFT

# Written before gnome-shell starts.
SETTINGS = (
    ("org.gnome.desktop.interface", "enable-animations", "false"),
    ("org.gnome.desktop.interface", "enable-hot-corners", "false"),
    ("org.gnome.desktop.notifications", "show-banners", "false"),
    ("org.gnome.shell", "welcome-dialog-last-shown-version", "'999'"),
    ("org.gnome.shell", "enabled-extensions", f"['{EXTENSION_UUID}']"),
    # The shell's own idle handling stays out of the way of the tests' own.
    ("org.gnome.desktop.session", "idle-delay", "uint32 0"),
    ("org.gnome.desktop.screensaver", "lock-enabled", "false"),
    # Until set_desktops: one flat colour, not the default picture.
    ("org.gnome.desktop.background", "picture-options", "'none'"),
    ("org.gnome.desktop.background", "primary-color", "'#000000'"),
)

# The document portal would mount a FUSE file system in the runtime
# directory, from a process that leaves the session's process group; the
# tests do not need it, so the session bus runs /bin/false for it.
BLOCKED_SERVICES = ("org.freedesktop.portal.Documents",)


def require_gnome():
    """Exits with ctest's skip status when a part of the session is missing."""
    missing = [t for t in TOOLS if shutil.which(t) is None]
    missing += [p for p in (SYSTEM_PYTHON, PORTAL, PORTAL_GNOME) if not os.path.exists(p)]
    if not missing:
        probe = subprocess.run([SYSTEM_PYTHON, "-c", "import gi, dbusmock; "
                                "gi.require_version('GdkPixbuf', '2.0')"],
                               capture_output=True, check=False)
        if probe.returncode != 0:
            missing.append("python3-gi, python3-dbusmock or gir1.2-gdkpixbuf-2.0")
    if missing:
        print(f"SKIP: {', '.join(missing)} not installed (tools/install-deps test installs them)")
        sys.exit(xs.SKIP)


class GnomeShell(xs._Stopped):
    """gnome-shell --headless with one virtual monitor per output, side by
    side in the order given (mutter's own layout: each Output's x, y must be
    that place, and its scale 1)."""

    def __init__(self, outputs, timeout=60.0):
        self.outputs = list(outputs)
        self.dir = tempfile.mkdtemp(prefix="ostrel-gnome-")
        self.home = os.path.join(self.dir, "home")
        self.runtime = os.path.join(self.dir, "runtime")
        self.processes = ds.Processes(self.dir, self.runtime)
        self.shell = None
        self.helper = None
        self.portal_version = None
        self._pictures = 0
        self.started = time.monotonic()
        try:
            self._start(timeout)
        except BaseException:
            self.stop()
            raise
        self.ready_seconds = time.monotonic() - self.started

    def _start(self, timeout):
        x = 0
        for o in self.outputs:
            if o.scale != 1 or (o.x, o.y) != (x, 0):
                raise ValueError(f"GNOME's virtual monitors are side by side at scale 1: "
                                 f"asked for {o.width}x{o.height} scale {o.scale} at {o.x},{o.y}")
            x += o.width
        os.mkdir(self.home)
        os.mkdir(self.runtime, 0o700)
        services = os.path.join(self.dir, "services")
        os.mkdir(services)
        for name in BLOCKED_SERVICES:
            with open(os.path.join(services, f"{name}.service"), "w") as f:
                f.write(f"[D-BUS Service]\nName={name}\nExec=/bin/false\n")
        extensions = os.path.join(self.home, ".local", "share", "gnome-shell", "extensions")
        os.makedirs(extensions)
        shutil.copytree(EXTENSION, os.path.join(extensions, EXTENSION_UUID))

        base = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": self.home,
                "XDG_RUNTIME_DIR": self.runtime, "LANG": "C.UTF-8",
                "XDG_CURRENT_DESKTOP": "GNOME", "XDG_SESSION_TYPE": "wayland",
                "XDG_SESSION_DESKTOP": "gnome", "WAYLAND_DISPLAY": DISPLAY_NAME}
        system_bus = ds.start_bus(self.processes, self.dir, "system-bus", base, activation=False)
        base["DBUS_SYSTEM_BUS_ADDRESS"] = system_bus
        self.processes.start("logind", [SYSTEM_PYTHON, "-m", "dbusmock", "--system", "--template",
                                        "logind"], base)
        session_bus = ds.start_bus(self.processes, self.dir, "session-bus", base, services)
        self.base_env = dict(base, DBUS_SESSION_BUS_ADDRESS=session_bus)
        for schema, key, value in SETTINGS:
            subprocess.run(["gsettings", "set", schema, key, value], env=self.base_env, check=True,
                           capture_output=True, timeout=30)
        if not ds.wait_for_name(self.base_env, "org.freedesktop.login1", 10, system=True):
            raise RuntimeError(f"the mock logind did not start: {self.processes.log('logind')[-500:]}")
        self.processes.start("pipewire", ["pipewire"], self.base_env)
        cmd = ["gnome-shell", "--headless", "--wayland", "--no-x11", "--wayland-display",
               DISPLAY_NAME]
        for o in self.outputs:
            cmd += ["--virtual-monitor", f"{o.width}x{o.height}"]
        self.shell = self.processes.start("gnome-shell", cmd, self.base_env)
        helper = self.processes.start("helper", [SYSTEM_PYTHON, HELPER, str(timeout)],
                                      self.base_env, stdin=subprocess.PIPE,
                                      stdout=subprocess.PIPE)
        self.helper = ds.LineHelper(helper, "gnome_helper")
        try:
            monitors = json.loads(self.helper.ready(timeout + 5))
        except RuntimeError as e:
            raise RuntimeError(f"{e}; gnome-shell (status {self.shell.poll()}): "
                               f"{self.processes.log('gnome-shell')[-800:]}") from e
        if len(monitors) != len(self.outputs):
            raise RuntimeError(f"asked for {len(self.outputs)} monitors, mutter has {monitors}")
        for o, m in zip(self.outputs, monitors):
            if (m["x"], m["y"], m["width"], m["height"]) != o.logical:
                raise RuntimeError(f"monitor {m} is not the output asked for, {o.logical}")
            o.name = m["name"]
        # Reading the portal's version starts it and its GNOME backend now,
        # not during the first test that uses it.
        self.portal_version = int(self.helper.ask("portal-version", 30))

    @property
    def display(self):
        return DISPLAY_NAME

    @property
    def env(self):
        """The environment for clients: this session's display and buses,
        its HOME, no X display."""
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "XAUTHORITY", "WAYLAND_SOCKET")}
        env.update({k: v for k, v in self.base_env.items() if k != "PATH"})
        return env

    def log(self):
        return self.processes.log("gnome-shell")

    @property
    def extent(self):
        """The layout's logical width and height."""
        return (max(o.x + o.width for o in self.outputs), max(o.y + o.height for o in self.outputs))

    def start_helper(self, cmd, **kwargs):
        """A client program of the test's, ended by stop()."""
        return self.processes.start(os.path.basename(cmd[0]), cmd, self.env, **kwargs)

    def set_desktops(self, pad_at=None):
        """Shows waysession.desktop_picture on every monitor, as one picture
        of the whole layout spanned over the monitors (GNOME has one desktop
        picture), and waits until each monitor shows exactly its part. The
        grey pad is at pad_at on the first output (its centre by default).
        Returns the pictures."""
        for i, o in enumerate(self.outputs):
            pad = pad_at if i == 0 and pad_at else (o.width // 2 + 37, o.height // 2 + 21)
            o.desktop = ws.desktop_picture(i, o.width, o.height, pad)
        # A new file each time: the shell keeps a picture it has loaded by its name.
        self._pictures += 1
        path = os.path.join(self.dir, f"desktop-{self._pictures}.png")
        ws.stitch([o.desktop for o in self.outputs], self.outputs).save_png(path)
        for key, value in (("picture-options", "spanned"), ("picture-uri", f"file://{path}"),
                           ("picture-uri-dark", f"file://{path}")):
            subprocess.run(["gsettings", "set", "org.gnome.desktop.background", key, value],
                           env=self.base_env, check=True, capture_output=True, timeout=30)
        for o in self.outputs:
            end = time.monotonic() + 10
            while self.shot(o) != o.desktop:
                if time.monotonic() > end:
                    raise RuntimeError(f"{o.name} does not show its desktop picture")
                time.sleep(0.02)
        return [o.desktop for o in self.outputs]

    def shot(self, output):
        """What the monitor shows, without the cursor (org.gnome.Shell.Screenshot
        ScreenshotArea over its logical box: its pixels at scale 1)."""
        path = os.path.join(self.dir, "shot.ppm")
        x, y, w, h = output.logical
        self.helper.ask(f"shot {x} {y} {w} {h} {path}", 30)
        try:
            with open(path, "rb") as f:
                return ws.parse_ppm(f.read())
        finally:
            os.remove(path)

    def key(self, name):
        """Presses and releases one key by its keysym name (keynames)."""
        self.helper.ask(f"key {keynames.keysym(name):#x}")

    def keyboard(self):
        """A function that types one key by its name, as Sway.keyboard()
        returns; the RemoteDesktop keyboard exists from the start."""
        return self.key

    def pointer(self):
        """The RemoteDesktop session's pointer (the same for the whole session)."""
        return Pointer(self)

    def permission(self, value):
        """The screenshot portal's permission for unsandboxed apps: "yes",
        "no", or None (unset: the portal asks with a dialog)."""
        self.helper.ask(f"permission {value or 'unset'}")

    def dialogs(self):
        """The texts of the shown modal dialogs, one string per dialog."""
        return json.loads(self.helper.ask("dialogs"))

    def wait_dialog(self, text, timeout=5.0):
        """The first shown (mapped) dialog whose text contains `text`, or
        None; a shot may show it only a frame or more later."""
        end = time.monotonic() + timeout
        while True:
            found = [d for d in self.dialogs() if text in d]
            if found or time.monotonic() > end:
                return found[0] if found else None
            time.sleep(0.05)

    def overview_active(self):
        return self.helper.ask("overview") == "true"

    def pointer_position(self):
        """Where the shell has the pointer, layout coordinates."""
        x, y = self.helper.ask("pointer").split()
        return int(x), int(y)

    def idletime(self):
        """Milliseconds since the last input (org.gnome.Mutter.IdleMonitor)."""
        return int(self.helper.ask("idletime"))

    def kill(self):
        """Ends gnome-shell at once (SIGKILL), as a crash would."""
        self.shell.kill()
        self.shell.wait()

    def stop(self):
        if self.helper is not None:
            self.helper.close()
            self.helper = None
        self.processes.stop(first=[self.shell])
        self.shell = None
        shutil.rmtree(self.dir, ignore_errors=True)


class Pointer:
    """The RemoteDesktop session's pointer, with waysession.VirtualPointer's
    methods: absolute moves in logical layout coordinates (through the
    screen-cast stream of the monitor there), relative moves, buttons and the
    wheel. Each call returns once mutter has taken the request; its time is
    kept in .sent. Headless mutter sends a new surface under a still pointer
    no enter until the pointer moves."""

    def __init__(self, session):
        self.s = session
        self.sent = None

    def _ask(self, command):
        self.s.helper.ask(command)
        self.sent = self.s.helper.sent

    def move(self, x, y):
        for o in self.s.outputs:
            ox, oy, w, h = o.logical
            if ox <= x < ox + w and oy <= y < oy + h:
                self._ask(f"abs {o.name} {x - ox} {y - oy}")
                return
        raise ValueError(f"{x},{y} is on no monitor")

    def rel(self, dx, dy):
        self._ask(f"rel {dx} {dy}")

    def press(self, button=BTN_LEFT):
        self._ask(f"press {button}")

    def release(self, button=BTN_LEFT):
        self._ask(f"release {button}")

    def wheel(self, steps=1):
        self._ask(f"wheel {steps}")

    def close(self):
        """Nothing: the session's devices stay until stop()."""


def session(outputs, pad_at=None):
    """A GnomeShell with these outputs, each showing its desktop; skips (77)
    when a part is missing. Use as a context manager."""
    require_gnome()
    shell = GnomeShell(outputs)
    try:
        shell.set_desktops(pad_at)
    except BaseException:
        shell.stop()
        raise
    return shell
