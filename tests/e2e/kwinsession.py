"""A private headless KWin (5.27, KDE Plasma's compositor) for driving
ostrel there: its outputs, a desktop picture per output, screenshots, input
and the authorisation of its restricted D-Bus interfaces (a
harness.Session, as sway's).

KWin runs as root on its virtual backend, from a copy of /usr/bin/kwin_wayland
(the installed file carries a capability, cap_sys_resource, that makes it
fail here), in the session's folder with its own session bus
(desktopsession.BusSession). It draws no wallpaper: a background layer-shell
surface per output (swaybg) is the desktop. Input comes from
org_kde_kwin_fake_input (tests/helpers/kwin_fake_input.cpp), which KWin
offers to every client with KWIN_WAYLAND_NO_PERMISSION_CHECKS=1. Screenshots
come from ScreenShot2, which KWin allows only to executables named by a
.desktop file it read when it started: the screenshot tool's and those the
test asks for are written into the session's first XDG_DATA_DIRS folder
before KWin starts. KWIN_SCREENSHOT_NO_PERMISSION_CHECKS, which would lift
that check for every client, is not set unless asked for.
"""
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import desktopsession as ds  # noqa: E402
import harness as h  # noqa: E402
import keynames  # noqa: E402

KWIN = "/usr/bin/kwin_wayland"
SCREENSHOT_INTERFACE = "org.kde.KWin.ScreenShot2"
REFUSED = 3  # ostrel-kwin-shot's status when KWin does not authorise it

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


def desktop_file(executable, interfaces=(SCREENSHOT_INTERFACE,)):
    """A .desktop file that makes KWin grant `executable` these restricted
    D-Bus interfaces (it compares the file's Exec= with the caller's
    /proc/PID/exe, so the path must be the real one)."""
    return ("[Desktop Entry]\nType=Application\nNoDisplay=true\n"
            f"Name=ostrel test {os.path.basename(executable)}\n"
            f"Exec={os.path.realpath(executable)}\n"
            f"X-KDE-DBUS-Restricted-Interfaces={','.join(interfaces)}\n")


class KWin(ds.BusSession):
    """kwin_wayland --virtual with these outputs, all of one size and scale
    (its virtual backend makes them alike), side by side in the order given.

    tools: the folder of the built helpers (build/.../tests/helpers).
    authorized: further executables granted ScreenShot2 (their .desktop files
    are written before KWin starts; KWin reads none later).
    screenshot_checks: False sets KWIN_SCREENSHOT_NO_PERMISSION_CHECKS=1."""

    NAME = "kwin"
    COMMANDS = ("dbus-daemon", "gdbus", "swaybg")
    FILES = (KWIN,)
    HELPERS = ("ostrel-kwin-shot", "ostrel-kwin-input", "ostrel-wl-outputs")
    # This machine has only GNOME's portal backend, which cannot serve a KWin
    # session (a Plasma desktop has its own): the portal is not started, so
    # that a client asking it is told at once.
    BLOCKED_SERVICES = ("org.freedesktop.portal.Desktop", "org.freedesktop.portal.Documents")
    # Nor do clients get KWin's permission switches.
    UNSET = ds.BusSession.UNSET + ("KWIN_WAYLAND_NO_PERMISSION_CHECKS",
                                   "KWIN_SCREENSHOT_NO_PERMISSION_CHECKS")

    def _start(self, authorized=(), screenshot_checks=True, timeout=30.0):
        self.shot_tool = os.path.join(self.tools, "ostrel-kwin-shot")
        first = self.outputs[0]
        for i, o in enumerate(self.outputs):
            if ((o.width, o.height, o.scale) != (first.width, first.height, first.scale) or
                    (o.x, o.y) != (i * (first.width // first.scale), 0)):
                raise ValueError("KWin's virtual outputs are alike and side by side: asked for "
                                 f"{o.width}x{o.height} scale {o.scale} at {o.x},{o.y}")
        data = os.path.join(self.dir, "data")
        base = self._environment(XDG_DATA_DIRS=f"{data}:/usr/local/share:/usr/share",
                                 XDG_CURRENT_DESKTOP="KDE")
        os.makedirs(os.path.join(self.home, ".config"))
        for name, text in CONFIG.items():
            with open(os.path.join(self.home, ".config", name), "w") as f:
                f.write(text)
        applications = os.path.join(data, "applications")
        os.makedirs(applications)
        for i, executable in enumerate([self.shot_tool, *authorized]):
            with open(os.path.join(applications, f"ostrel-test-{i}.desktop"), "w") as f:
                f.write(desktop_file(executable))
        kwin = os.path.join(self.dir, "kwin_wayland")
        shutil.copy(KWIN, kwin)  # a copy carries no file capability
        self._session_bus(base)
        kwin_env = dict(self.base_env, KWIN_WAYLAND_NO_PERMISSION_CHECKS="1")
        if not screenshot_checks:
            kwin_env["KWIN_SCREENSHOT_NO_PERMISSION_CHECKS"] = "1"
        self.proc = self.processes.start(
            self.NAME, [kwin, "--virtual", "--width", str(first.width // first.scale), "--height",
                        str(first.height // first.scale), "--scale", str(first.scale),
                        "--output-count", str(len(self.outputs)), "--no-lockscreen", "--socket",
                        self.display], kwin_env)
        end = time.monotonic() + timeout
        while not os.path.exists(os.path.join(self.runtime, self.display)):
            if self.proc.poll() is not None or time.monotonic() > end:
                raise RuntimeError(f"KWin did not start (status {self.proc.poll()}): "
                                   f"{self.log()[-800:]}")
            time.sleep(0.01)
        if not ds.wait_for_name(self.base_env, "org.kde.KWin", end - time.monotonic()):
            raise RuntimeError(f"KWin has no D-Bus name: {self.log()[-800:]}")
        self._name_outputs()
        proc = self.processes.start("input", [os.path.join(self.tools, "ostrel-kwin-input")],
                                    self.env, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.helper = h.LineHelper(proc, "ostrel-kwin-input")
        self.helper.ready(10)

    def _name_outputs(self):
        """Names the outputs from what KWin announces (Virtual-0, ...)."""
        done = subprocess.run([os.path.join(self.tools, "ostrel-wl-outputs")], env=self.env,
                              capture_output=True, timeout=10, check=True)
        found = [line.split() for line in done.stdout.decode().splitlines()]
        boxes = [(name, tuple(int(v) for v in rest[:4])) for name, *rest in found]
        if len(boxes) != len(self.outputs):
            raise RuntimeError(f"asked for {len(self.outputs)} outputs, KWin has {boxes}")
        for o, (name, box) in zip(self.outputs, sorted(boxes, key=lambda b: b[1][:2])):
            if box != o.logical:
                raise RuntimeError(f"output {name} {box} is not the output asked for, {o.logical}")
            o.name = name

    def capture(self, output, tool=None, cursor=False):
        """Runs a screenshot tool (the session's by default, or another
        build of ostrel-kwin-shot) on the output: (status, picture or None,
        stderr). Status REFUSED: KWin did not authorise that executable."""
        done = subprocess.run([tool or self.shot_tool, output.name] + (["--cursor"] if cursor else []),
                              env=self.env, capture_output=True, timeout=30, check=False)
        picture = h.parse_ppm(done.stdout) if done.returncode == 0 else None
        return done.returncode, picture, done.stderr.decode(errors="replace").strip()

    def shot(self, output, cursor=False):
        """What the output shows, at its full pixel resolution, without the
        cursor unless asked (ScreenShot2 CaptureScreen, native resolution)."""
        status, picture, why = self.capture(output, cursor=cursor)
        if picture is None:
            raise RuntimeError(f"ostrel-kwin-shot {output.name}: status {status}: {why}")
        return picture

    def key(self, name):
        self.helper.ask(f"key {keynames.evdev(name)}")
        return self.helper.sent
