"""A desktop a person would recognise, on a private X display of the caller's:
openbox with a tint2 panel (task bar and clock), Debian's wallpaper from
desktop-base, and three windows of Debian programs placed as a person would:
xterm showing a few commands' output, xclock, and l3afpad editing the README.

Used by tools/run (the README's pictures) and by the end-to-end tests that
want a real desktop rather than the sample picture. Standard library only; it
needs nothing of the other harness modules, only the display's environment:

    with realistic_desktop(x.env, 1280, 720) as desktop:
        ...  # desktop.pointer, desktop.windows; desktop.wait_still() after a run

Everything it starts runs with a home of its own (nothing is written to the
user's), in one process group that stop() ends, with a sweep of anything that
left the group. The clocks show minutes: the picture changes when a minute
turns, which wait_still() and the callers allow for.
"""
import contextlib
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as h  # noqa: E402
import xsession as xs  # noqa: E402

# What it runs, and the Debian packages they come from (tools/install-deps'
# realistic_desktop_packages).
TOOLS = {"openbox": "openbox", "tint2": "tint2", "hsetroot": "hsetroot", "xterm": "xterm",
         "xclock": "x11-apps", "l3afpad": "l3afpad", "xdotool": "xdotool", "xprop": "x11-utils",
         "xwd": "x11-apps", "xsetroot": "x11-xserver-utils"}
WALLPAPERS = "/usr/share/desktop-base/active-theme/wallpaper/contents/images"
WALLPAPER_FALLBACK = "/usr/share/images/desktop-base/desktop-background"
PANEL_HEIGHT = 30
ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))

# Window classes as openbox matches them, and what each window is.
TERMINAL, CLOCK, EDITOR = "XTerm", "XClock", "L3afpad"


def missing():
    """What is not installed: tool names with their packages, and the wallpaper."""
    gone = [f"{tool} ({package})" for tool, package in TOOLS.items() if shutil.which(tool) is None]
    if wallpaper(1280, 720) is None:
        gone.append("the wallpaper (desktop-base)")
    return gone


def wallpaper(width, height):
    """The active desktop-base theme's wallpaper whose shape is nearest the
    screen's, the smallest of those that covers the screen (the SVG is drawn
    at its own size first: 5120x2880 takes seconds), else the system's
    default background."""
    best = None
    for path in glob.glob(os.path.join(WALLPAPERS, "*x*.*")):
        m = re.match(r"(\d+)x(\d+)\.", os.path.basename(path))
        if m:
            w, h = int(m.group(1)), int(m.group(2))
            key = (round(abs(w / h - width / height), 3), w < width, w if w >= width else -w)
            if best is None or key < best[0]:
                best = (key, path)
    if best is not None:
        return best[1]
    return WALLPAPER_FALLBACK if os.path.exists(WALLPAPER_FALLBACK) else None


def layout(width, height):
    """Where each window goes: {class: (x, y, width, height)} of the client
    area, inside the screen above the panel. The terminal's size is in
    characters (xterm sizes itself); the others in pixels."""
    usable = height - PANEL_HEIGHT
    clock = max(150, min(width, usable) // 4)
    editor_w, editor_h = int(width * 0.50), int(usable * 0.62)
    return {
        TERMINAL: (int(width * 0.03), int(usable * 0.06), 84, 22),
        CLOCK: (width - clock - int(width * 0.04), int(usable * 0.06), clock, clock),
        EDITOR: (width - editor_w - int(width * 0.06), usable - editor_h - int(usable * 0.05),
                 editor_w, editor_h),
    }


OPENBOX_RC = """\
<?xml version="1.0" encoding="UTF-8"?>
<openbox_config xmlns="http://openbox.org/3.4/rc" xmlns:xi="http://www.w3.org/2001/XInclude">
  <focus><focusNew>yes</focusNew><followMouse>no</followMouse></focus>
  <placement><policy>Smart</policy></placement>
  <theme>
    <name>Clearlooks</name>
    <titleLayout>NLIMC</titleLayout>
    <font place="ActiveWindow"><name>DejaVu Sans</name><size>9</size><weight>bold</weight></font>
    <font place="InactiveWindow"><name>DejaVu Sans</name><size>9</size><weight>bold</weight></font>
  </theme>
  <desktops><number>1</number></desktops>
  <menu><file>{menu}</file></menu>
  <applications>
{rules}
  </applications>
</openbox_config>
"""

OPENBOX_RULE = """\
    <application class="{cls}">
      <position force="yes"><x>{x}</x><y>{y}</y></position>{size}
      <decor>yes</decor><focus>yes</focus><desktop>1</desktop>
    </application>"""

OPENBOX_MENU = """\
<?xml version="1.0" encoding="UTF-8"?>
<openbox_menu xmlns="http://openbox.org/3.4/menu">
  <menu id="root-menu" label="Openbox 3"><item label="Terminal"><action name="Execute">
    <command>xterm</command></action></item></menu>
</openbox_menu>
"""

# A dark panel at the bottom: the Debian logo, launchers, the task bar, the clock.
TINT2_RC = """\
# panel, task, active task
rounded = 0
border_width = 0
background_color = #1d2327 100
border_color = #000000 0
rounded = 3
border_width = 1
background_color = #ffffff 8
border_color = #ffffff 16
rounded = 3
border_width = 1
background_color = #ffffff 26
border_color = #ffffff 48

panel_items = PLTC
panel_size = 100% {height}
panel_margin = 0 0
panel_padding = 6 2 6
panel_background_id = 1
panel_position = bottom center horizontal
panel_layer = top
panel_monitor = all
strut_policy = follow_size
panel_window_name = tint2
disable_transparency = 1
mouse_effects = 0
font_shadow = 0
wm_menu = 0

button = new
button_icon = {logo}
button_padding = 2 0
button_background_id = 0
button_max_icon_size = 22

launcher_padding = 4 0 4
launcher_background_id = 0
launcher_icon_size = 22
launcher_icon_theme = Adwaita
launcher_tooltip = 0
startup_notifications = 0
launcher_item_app = debian-xterm.desktop
launcher_item_app = l3afpad.desktop

taskbar_mode = single_desktop
taskbar_padding = 4 0 4
taskbar_background_id = 0
taskbar_name = 0
task_text = 1
task_icon = 1
task_centered = 0
task_align = left
task_tooltip = 0
task_maximum_size = 190 {height}
task_padding = 6 2 6
task_font = DejaVu Sans 9
task_font_color = #d8dee4 100
task_active_font_color = #ffffff 100
task_background_id = 2
task_active_background_id = 3
task_iconified_background_id = 2

time1_format = %H:%M
time2_format = %a %d %b
time1_font = DejaVu Sans Bold 9
time2_font = DejaVu Sans 7
clock_font_color = #ffffff 100
clock_padding = 6 0
clock_background_id = 0
clock_tooltip =
"""

GTK_SETTINGS = """\
[Settings]
gtk-cursor-blink = false
gtk-enable-animations = false
gtk-font-name = DejaVu Sans 10
"""

# The terminal's session: a few commands as if typed at its prompt, then the
# prompt itself (an interactive shell, so the window is a live terminal).
TERMINAL_SCRIPT = r"""#!/bin/bash
cd "$1" || exit 1
prompt=$'\e[1;32muser@debian\e[0m:\e[1;34m~/ostrel\e[0m$ '
show() { printf '%s%s\n' "$prompt" "$1"; eval "$1"; }
show 'grep PRETTY /etc/os-release'
show 'ls --color=always -p'
show 'wc -l src/trails/*.cpp'
show 'df -h /'
export PS1='\[\e[1;32m\]user@debian\[\e[0m\]:\[\e[1;34m\]~/ostrel\[\e[0m\]$ '
exec bash --norc --noprofile -i
"""


class RealisticDesktop:
    """The running desktop. `windows`: {class: (x, y, width, height)} of the
    three windows' client areas as mapped; `pointer`: where the pointer
    rests (on the wallpaper, over no window). Use realistic_desktop()."""

    def __init__(self, env, width, height, project=ROOT, editor_file=None):
        gone = missing()
        if gone:
            raise RuntimeError("the realistic desktop needs " + ", ".join(gone) +
                               " (tools/install-deps installs them)")
        self.width, self.height, self.project = width, height, project
        self.dir = tempfile.mkdtemp(prefix="ostrel-desktop-")
        # Its processes lead one group; what leaves the group (xterm's shell
        # and what it starts) is found by the desktop's runtime directory.
        self.processes = h.Processes(self.dir, os.path.join(self.dir, "runtime"))
        self.windows = {}
        self.pointer = (int(width * 0.22), int((height - PANEL_HEIGHT) * 0.82))
        home = os.path.join(self.dir, "home")
        self.env = dict(env, HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"),
                        XDG_CACHE_HOME=os.path.join(home, ".cache"),
                        XDG_DATA_HOME=os.path.join(home, ".local", "share"),
                        XDG_RUNTIME_DIR=os.path.join(self.dir, "runtime"),
                        # No session bus (none is started on demand either), no
                        # accessibility bus, settings in memory.
                        DBUS_SESSION_BUS_ADDRESS=f"unix:path={self.dir}/no-bus",
                        NO_AT_BRIDGE="1", GSETTINGS_BACKEND="memory", LANG="C.UTF-8",
                        TERM="xterm-256color")
        self.env.pop("WAYLAND_DISPLAY", None)
        self.env.pop("SESSION_MANAGER", None)
        try:
            self._start(editor_file or os.path.join(project, "README.md"))
        except BaseException:
            self.stop()
            raise

    # ------------------------------------------------------------ start

    def _write(self, relative, text, mode=0o644):
        path = os.path.join(self.dir, relative)
        os.makedirs(os.path.dirname(path), mode=0o700, exist_ok=True)
        with open(path, "w") as f:
            f.write(text)
        os.chmod(path, mode)
        return path

    def _spawn(self, name, cmd):
        return self.processes.start(name, cmd, self.env, cwd=self.project)

    def _x(self, *cmd, timeout=30):
        return subprocess.run(list(cmd), env=self.env, capture_output=True, timeout=timeout,
                              check=False)

    def _start(self, editor_file):
        os.makedirs(self.env["XDG_RUNTIME_DIR"], mode=0o700)
        places = layout(self.width, self.height)
        rules = []
        for cls, (x, y, w, h) in places.items():
            size = "" if cls == TERMINAL else f"<size><width>{w}</width><height>{h}</height></size>"
            rules.append(OPENBOX_RULE.format(cls=cls, x=x, y=y, size=size))
        menu = self._write("home/.config/openbox/menu.xml", OPENBOX_MENU)
        rc = self._write("home/.config/openbox/rc.xml",
                         OPENBOX_RC.format(menu=menu, rules="\n".join(rules)))
        tint2rc = self._write("home/.config/tint2/tint2rc", TINT2_RC.format(
            height=PANEL_HEIGHT, logo="/usr/share/desktop-base/debian-logos/logo-64.png"))
        self._write("home/.config/gtk-3.0/settings.ini", GTK_SETTINGS)
        # l3afpad's own settings: word wrap, a monospaced font.
        self._write("home/.config/l3afpad/l3afpadrc",
                    "0.8.18.1.11\n{}\n{}\nMonospace 10\n1\n0\n0\n8\n".format(*places[EDITOR][2:]))
        script = self._write("terminal.sh", TERMINAL_SCRIPT, 0o755)

        # The wallpaper and the window manager first: the panel and the
        # windows then start managed, over the picture.
        setroot = self._spawn("hsetroot", ["hsetroot", "-cover", wallpaper(self.width, self.height)])
        self._spawn("openbox", ["openbox", "--sm-disable", "--config-file", rc])
        self._until(lambda: self._wm_running(), 10, "openbox did not start")
        if setroot.wait(30) != 0:
            raise RuntimeError(f"hsetroot failed: {self._log('hsetroot')}")
        self._x("xsetroot", "-cursor_name", "left_ptr")

        _, _, cols, rows = places[TERMINAL]
        self._spawn("tint2", ["tint2", "-c", tint2rc])
        self._spawn("xclock", ["xclock", "-render", "-bg", "#f4f4f2", "-hd", "#2e3436",
                               "-hl", "#2e3436", "-padding", "10"])
        self._spawn("l3afpad", ["l3afpad", editor_file])
        self._spawn("xterm", ["xterm", "-ut", "+sb", "-fa", "DejaVu Sans Mono", "-fs", "9",
                              "-bg", "#1e2224", "-fg", "#d9dcd6", "-geometry", f"{cols}x{rows}",
                              "-title", "user@debian: ~/ostrel", "-e", script, self.project])
        ids = {}
        for cls in ("Tint2", CLOCK, EDITOR, TERMINAL):
            ids[cls] = self._until(lambda cls=cls: self._visible(cls), 20,
                                   f"no {cls} window appeared")
        # A fixed stacking and focus: the clock, the editor, then the
        # terminal on top with the focus (xclock takes no focus).
        for cls in (CLOCK, EDITOR):
            self._x("xdotool", "windowraise", ids[cls])
        self._x("xdotool", "windowactivate", "--sync", ids[TERMINAL], timeout=10)
        for cls in (CLOCK, EDITOR, TERMINAL):
            self.windows[cls] = self._geometry(ids[cls])
        self._x("xdotool", "mousemove", str(self.pointer[0]), str(self.pointer[1]))
        self.wait_still()

    def _until(self, probe, timeout, what):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            found = probe()
            if found:
                return found
            for proc in self.processes.procs:
                if proc.poll() not in (None, 0):
                    raise RuntimeError(f"{proc.name} ended with status {proc.returncode}: "
                                       f"{self._log(proc.name)}")
            time.sleep(0.02)
        raise RuntimeError(f"{what} within {timeout} s; logs: " +
                           "; ".join(f"{p.name}: {self._log(p.name)}" for p in self.processes.procs))

    def _wm_running(self):
        out = self._x("xprop", "-root", "_NET_SUPPORTING_WM_CHECK").stdout
        return b"window id" in out

    def _visible(self, cls):
        out = self._x("xdotool", "search", "--onlyvisible", "--class", f"^{cls}$").stdout.split()
        return out[0].decode() if out else None

    def _geometry(self, wid):
        # xwininfo's absolute place (xdotool's counts the frame twice).
        out = self._x("xwininfo", "-id", wid).stdout.decode()
        v = dict(re.findall(r"^\s*(Absolute upper-left [XY]|Width|Height):\s+(-?\d+)", out, re.M))
        return (int(v["Absolute upper-left X"]), int(v["Absolute upper-left Y"]), int(v["Width"]),
                int(v["Height"]))

    def _log(self, name, tail=400):
        return self.processes.log(name)[-tail:].strip()

    # ------------------------------------------------------------ use

    def shot(self):
        """The root window as xwd writes it (raw bytes, no cursor)."""
        return self._x("xwd", "-root", "-silent").stdout

    def screenshot_rgb(self):
        """The root window as packed 8-bit RGB rows, width x height."""
        return xs.parse_xwd(self.shot()).data

    def wait_still(self, timeout=15.0, quiet=0.3):
        """Waits until the screen stays the same for `quiet` s (every window
        drawn, the terminal's commands done); returns the seconds it took.
        Only a turning minute changes a drawn desktop, so a second try is
        always quiet."""
        start = time.monotonic()
        last = self.shot()
        still_since = time.monotonic()
        while time.monotonic() - start < timeout:
            time.sleep(0.05)
            now = self.shot()
            if now != last:
                last, still_since = now, time.monotonic()
            elif time.monotonic() - still_since >= quiet:
                return time.monotonic() - start
        raise RuntimeError(f"the desktop still changed after {timeout} s")

    def stop(self):
        """Ends every process of the desktop and removes its files."""
        self.processes.stop()
        shutil.rmtree(self.dir, ignore_errors=True)


@contextlib.contextmanager
def realistic_desktop(env, width, height, **kwargs):
    """The realistic desktop on the display that env's DISPLAY names (a
    private one: it sets the root picture and starts a window manager),
    drawn and still; stopped on leaving."""
    desktop = RealisticDesktop(env, width, height, **kwargs)
    try:
        yield desktop
    finally:
        desktop.stop()
