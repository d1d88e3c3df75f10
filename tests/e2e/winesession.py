"""ostrel.scr under Wine on a private Xvfb, for wine_test.py and
bench/wine_run_bench.py: the prefix, its server, and tests/win32/wine_probe.exe,
which moves the pointer, reads the clipboard and keeps Wine's desktop process
(the clipboard's keeper) alive. Standard library only.
"""
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as h  # noqa: E402
import xsession as xs  # noqa: E402

WINE_TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools")


def require_wine():
    """Exits with ctest's skip status when wine or Xvfb is missing."""
    xs.Xvfb.require()
    for tool in ("wine", "wineserver"):
        if shutil.which(tool) is None:
            print(f"SKIP: {tool} is not installed (apt-get install --no-install-recommends wine wine64)")
            sys.exit(h.SKIP)


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
    for option in ("-k", "-w"):
        subprocess.run(["wineserver", option], env=wine_env(prefix), check=False, timeout=30,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class WineProbe:
    """wine_probe.exe on the Wine desktop of env's prefix and display. It
    answers each command with one line, whose first word says what it is."""

    def __init__(self, probe, env, timeout=60.0):
        proc = subprocess.Popen(["wine", probe], env=env, stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.proc = proc
        self.lines = h.LineHelper(proc, "wine_probe")
        try:
            self.lines.ready(timeout)
        except RuntimeError:
            self.stop()
            raise

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    def ask(self, command, timeout=10.0):
        """Sends one command; returns its one-line answer (or why there is none)."""
        try:
            return self.lines.request(command, timeout)
        except RuntimeError as e:
            return str(e)

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
        try:
            return h.parse_ppm(blob)
        except ValueError:
            return f"not a PPM: {path}"

    def stop(self):
        self.lines.close()
