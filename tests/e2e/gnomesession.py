"""A private headless gnome-shell (43, mutter) for driving ostrel there: its
monitors, a desktop picture per monitor, screenshots, input, and the
screenshot portal with its permission (a harness.Session, as sway's).

Everything runs as root in the session's folder (desktopsession.BusSession):
a private system bus with python3-dbusmock's logind (gnome-shell aborts
without logind), the session bus, pipewire and its session manager
wireplumber (the RemoteDesktop session's and the program's screen-cast
streams need them; without wireplumber, screen_cast=False, no screen-cast
frame ever comes), then gnome-shell --headless with a
--virtual-monitor per output. Settings are written before it starts: with
animations or hot corners on, a pointer parked at 0,0 opens the overview;
banners are drawn over fullscreen windows. The test extension in
gnome_extension/ hides the top bar (so that a monitor shows exactly its
picture) and lets the tests see modal dialogs. Screenshots and input go
through tests/helpers/gnome_helper.py (Debian's /usr/bin/python3 with gi),
which owns org.gnome.Screenshot and keeps one RemoteDesktop session open.
"""
import json
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import desktopsession as ds  # noqa: E402
import harness as h  # noqa: E402
import keynames  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
SYSTEM_PYTHON = "/usr/bin/python3"  # Debian's, with gi; python3 on PATH may lack it
HELPER = os.path.join(HERE, "..", "helpers", "gnome_helper.py")
EXTENSION = os.path.join(HERE, "gnome_extension")
EXTENSION_UUID = "ostrel-tests@ostrel.invalid"

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


class GnomeShell(ds.BusSession):
    """gnome-shell --headless with one virtual monitor per output, side by
    side in the order given (mutter's own layout: each Output's x, y must be
    that place, and its scale 1)."""

    NAME = "gnome"
    COMMANDS = ("gnome-shell", "dbus-daemon", "gdbus", "gsettings", "pipewire", "wireplumber",
                "wpctl")
    FILES = (SYSTEM_PYTHON, "/usr/libexec/xdg-desktop-portal",
             "/usr/libexec/xdg-desktop-portal-gnome")
    # The document portal would mount a FUSE file system in the runtime
    # directory, from a process that leaves the session's process group; the
    # tests do not need it.
    BLOCKED_SERVICES = ("org.freedesktop.portal.Documents",)

    @classmethod
    def missing(cls, tools=None):
        missing = super().missing(tools)
        if not missing and subprocess.run(
                [SYSTEM_PYTHON, "-c", "import gi, dbusmock; gi.require_version('GdkPixbuf', '2.0')"],
                capture_output=True, check=False).returncode != 0:
            missing.append("python3-gi, python3-dbusmock or gir1.2-gdkpixbuf-2.0")
        return missing

    def _start(self, timeout=60.0, screen_cast=True, top_bar=False):
        self._pictures = 0
        self._top_bar = top_bar
        x = 0
        scale = self.outputs[0].scale
        for o in self.outputs:
            if o.scale != scale or (o.x, o.y) != (x, 0):
                raise ValueError(f"GNOME's virtual monitors are side by side at one scale: "
                                 f"asked for {o.width}x{o.height} scale {o.scale} at {o.x},{o.y}")
            x += o.width // o.scale
        base = self._environment(XDG_CURRENT_DESKTOP="GNOME", XDG_SESSION_DESKTOP="gnome",
                                 WAYLAND_DISPLAY=self.DISPLAY_NAME)
        shutil.copytree(EXTENSION, os.path.join(self.home, ".local", "share", "gnome-shell",
                                                "extensions", EXTENSION_UUID))
        base["DBUS_SYSTEM_BUS_ADDRESS"] = ds.start_bus(self.processes, self.dir, "system-bus",
                                                       base, activation=False)
        self.processes.start("logind", [SYSTEM_PYTHON, "-m", "dbusmock", "--system", "--template",
                                        "logind"], base)
        self._session_bus(base)
        for setting in SETTINGS:
            self.gsettings(*setting)
        if not ds.wait_for_name(self.base_env, "org.freedesktop.login1", 10, system=True):
            raise RuntimeError(f"the mock logind did not start: {self.processes.log('logind')[-500:]}")
        self.processes.start("pipewire", ["pipewire"], self.base_env)
        if screen_cast:
            self._start_wireplumber()
        cmd = ["gnome-shell", "--headless", "--wayland", "--no-x11", "--wayland-display",
               self.DISPLAY_NAME]
        for o in self.outputs:
            cmd += ["--virtual-monitor", f"{o.width}x{o.height}"]
        self.proc = self.processes.start(self.NAME, cmd, self.base_env)
        helper = self.processes.start("helper", [SYSTEM_PYTHON, HELPER, str(timeout)],
                                      self.base_env, stdin=subprocess.PIPE,
                                      stdout=subprocess.PIPE)
        self.helper = h.LineHelper(helper, "gnome_helper")
        try:
            monitors = json.loads(self.helper.ready(timeout + 5))
        except RuntimeError as e:
            raise RuntimeError(f"{e}; gnome-shell (status {self.proc.poll()}): "
                               f"{self.log()[-3000:]}") from e
        if scale != 1:
            monitors = json.loads(self.helper.ask(f"scale {scale}", 30))
        if len(monitors) != len(self.outputs):
            raise RuntimeError(f"asked for {len(self.outputs)} monitors, mutter has {monitors}")
        for o, m in zip(self.outputs, monitors):
            if (m["x"], m["y"], m["width"], m["height"]) != o.logical:
                raise RuntimeError(f"monitor {m} is not the output asked for, {o.logical}")
            o.name = m["name"]
        # Reading the portal's version starts it and its GNOME backend now,
        # not during the first test that uses it.
        self.portal_version = int(self.helper.ask("portal-version", 30))

    def _start_wireplumber(self):
        """PipeWire's session manager, once PipeWire listens (started before
        it, it cannot connect and ends), and waited for until it is one of
        PipeWire's clients: a screen-cast stream asked for before then is
        never linked, and no frame comes."""
        self._until(lambda: os.path.exists(os.path.join(self.runtime, "pipewire-0")),
                    "PipeWire's socket")
        self.processes.start("wireplumber", ["wireplumber"], self.base_env)
        self._until(lambda: "WirePlumber" in subprocess.run(
            ["wpctl", "status"], env=self.base_env, capture_output=True, text=True,
            timeout=10).stdout, "wireplumber among PipeWire's clients")

    def _until(self, condition, what, timeout=10.0):
        end = time.monotonic() + timeout
        while not condition():
            if time.monotonic() > end:
                raise RuntimeError(f"no {what} within {timeout:g} s")
            time.sleep(0.05)

    def gsettings(self, schema, key, value):
        """Sets one setting of the session."""
        subprocess.run(["gsettings", "set", schema, key, value], env=self.base_env, check=True,
                       capture_output=True, timeout=30)

    def set_desktops(self, pad_at=None):
        """As every session's. At scale 2 the shell draws the picture
        resampled (a level or two off in most pixels), and with the top bar
        shown (top_bar=True) the bar covers its top: each monitor's desktop
        is then what it shows once still."""
        if self.outputs[0].scale == 1:
            super().set_desktops(pad_at)
        else:
            before = [self.shot(o) for o in self.outputs]
            super().set_desktop_pictures(pad_at)
            self._show_desktops()
            for o, old in zip(self.outputs, before):
                o.desktop = self._still(o, old)
        if self._top_bar:
            self._pictures_under_bar = {o.name: o.desktop.data for o in self.outputs}
            self.helper.ask("top-bar shown")
            for o in self.outputs:
                o.desktop = self._still(o, o.desktop)
            # The rows the bar covers: where the desktop shown is not the picture.
            o = self.outputs[0]
            row, under = o.width * 3, self._pictures_under_bar[o.name]
            self._bar_rows = max(y + 1 for y in range(o.height)
                                 if o.desktop.data[y * row:(y + 1) * row] !=
                                 under[y * row:(y + 1) * row])
        return [o.desktop for o in self.outputs]

    def _still(self, output, before, timeout=10.0):
        """What `output` shows once it no longer shows `before` and two shots
        in a row agree."""
        end = time.monotonic() + timeout
        last = None
        while (shown := self.shot(output)) == before or last is None or shown != last:
            if time.monotonic() > end:
                raise RuntimeError(f"{output.name} did not settle on its new desktop")
            last = shown
            time.sleep(0.1)
        return shown

    def counts(self):
        """(flashes, event sounds) of the shell so far."""
        flashes, sounds = self.helper.ask("counts").split()
        return int(flashes), int(sounds)

    def refuse_screen_casts(self):
        """mutter refuses new screen-cast sessions from now on, as while
        the screen is locked. This also closes the helper's remote desktop
        session: no input can be sent after it."""
        self.helper.ask("screen-casts refused")

    def _show_desktops(self):
        """One picture of the whole layout spanned over the monitors (GNOME
        has one desktop picture), each monitor's part its desktop."""
        # A new file each time: the shell keeps a picture it has loaded by its name.
        self._pictures += 1
        path = os.path.join(self.dir, f"desktop-{self._pictures}.png")
        h.stitch([o.desktop for o in self.outputs], self.outputs).save_png(path)
        for key, value in (("picture-options", "spanned"), ("picture-uri", f"file://{path}"),
                           ("picture-uri-dark", f"file://{path}")):
            self.gsettings("org.gnome.desktop.background", key, value)

    def shot(self, output):
        """What the monitor shows, without the cursor (org.gnome.Shell.Screenshot
        ScreenshotArea over its logical box: its pixels at scale 1)."""
        path = os.path.join(self.dir, "shot.ppm")
        self.helper.ask(f"shot {' '.join(map(str, output.logical))} {path}", 30)
        try:
            with open(path, "rb") as f:
                return h.parse_ppm(f.read())
        finally:
            os.remove(path)

    def passing(self, shot, output):
        """The shell flashes the whole layout white, above every window, at
        each copy of the screen through the portal (as on a real desktop):
        a run starts with it. With the top bar shown, the shell hides it
        as it maps a fullscreen window, and may paint a frame between that
        and the window's first: the desktop with the picture under the bar
        (seen once in about ten starts, the program's first buffer already
        committed)."""
        if not shot.data.strip(b"\xff"):
            return True
        if not self._top_bar:
            return False
        bar = self._bar_rows * output.width * 3
        return shot.data[:bar] == self._pictures_under_bar[output.name][:bar] and \
            shot.data[bar:] == output.desktop.data[bar:]

    def key(self, name):
        return float(self.helper.ask(f"key {keynames.keysym(name):#x}"))

    def pointer(self):
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


class Pointer(h.Pointer):
    """The RemoteDesktop session's pointer (the same for the whole session):
    an absolute move goes through the screen-cast stream of the monitor it
    lands on. Headless mutter sends a new surface under a still pointer no
    enter until the pointer moves."""

    def __init__(self, session):
        super().__init__(session.helper)
        self.outputs = session.outputs

    def move(self, x, y):
        for o in self.outputs:
            if o.contains(x, y):
                return self._send("abs", o.name, x - o.x, y - o.y)
        raise ValueError(f"{x},{y} is on no monitor")
