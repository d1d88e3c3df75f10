#!/usr/bin/python3
"""The GNOME harness's hands on a private gnome-shell (gnomesession.py starts
it): screenshots, input and the portal's settings, over the session bus of
DBUS_SESSION_BUS_ADDRESS. Needs Debian's python3-gi (run by /usr/bin/python3;
another python3 on PATH may have no gi).

It owns the bus name org.gnome.Screenshot, which gnome-shell 43 allows to
call org.gnome.Shell.Screenshot, and holds one org.gnome.Mutter.RemoteDesktop
session from start to end, joined by a ScreenCast session with a stream per
monitor: absolute pointer moves name a stream, and the virtual devices stay
the same the whole time (a key sent just after new devices appear can be
lost, so one throw-away key goes first). The streams need a running pipewire.

Usage: gnome_helper.py TIMEOUT_SECONDS
It waits up to TIMEOUT_SECONDS for the shell (its start-up complete, the
overview closed: it closes it, again, while start-up brings it back), then
prints "ready MONITORS_JSON" and reads commands, one a line, each answered
"ok [VALUE]" or "error: WHY". An input command's VALUE is the time it sent
the input, in seconds of CLOCK_MONOTONIC (Python's time.monotonic()): an
exit latency counts from there, not from the write to this helper, which
waits for a CPU on a busy machine.

  shot X Y W H PATH         the area (logical coordinates, no cursor) as a
                            binary PPM written to PATH
  key|keydown|keyup KEYSYM  press and release, press, release (X keysym)
  rel DX DY                 relative pointer move
  abs MONITOR X Y           absolute move, in that monitor's coordinates
  press|release BUTTON      a button (evdev code: BTN_LEFT is 272)
  wheel STEPS               vertical wheel clicks (negative: up)
  overview                  "ok true" or "ok false"
  dialogs                   the texts of the shown modal dialogs, JSON
  pointer                   "ok X Y", the shell's pointer position
  permission yes|no|unset   the screenshot portal's permission for apps
                            started outside a sandbox (app id "")
  portal-version            "ok N": starts the portal, reads its version
  idletime                  "ok MS" from org.gnome.Mutter.IdleMonitor
  counts                    "ok FLASHES SOUNDS": the shell's, since it started
  top-bar shown|hidden      the top bar (without its clock) shown or hidden
  scale SCALE               the monitors at SCALE; "ok MONITORS_JSON" then
  screen-casts refused       mutter refuses new screen casts from now on;
                            this ends the helper's input for good
  quit
"""
import json
import os
import sys
import time

import gi

gi.require_version("GdkPixbuf", "2.0")
from gi.repository import GdkPixbuf, Gio, GLib  # noqa: E402

SHELL = ("org.gnome.Shell", "/org/gnome/Shell", "org.gnome.Shell")
TEST_SHELL = ("org.gnome.Shell", "/org/ostrel/TestShell", "org.ostrel.TestShell")
SCREENSHOT = ("org.gnome.Shell.Screenshot", "/org/gnome/Shell/Screenshot",
              "org.gnome.Shell.Screenshot")
DISPLAY_CONFIG = ("org.gnome.Mutter.DisplayConfig", "/org/gnome/Mutter/DisplayConfig",
                  "org.gnome.Mutter.DisplayConfig")
REMOTE_DESKTOP = ("org.gnome.Mutter.RemoteDesktop", "/org/gnome/Mutter/RemoteDesktop",
                  "org.gnome.Mutter.RemoteDesktop")
SCREEN_CAST = ("org.gnome.Mutter.ScreenCast", "/org/gnome/Mutter/ScreenCast",
               "org.gnome.Mutter.ScreenCast")
IDLE_MONITOR = ("org.gnome.Mutter.IdleMonitor", "/org/gnome/Mutter/IdleMonitor/Core",
                "org.gnome.Mutter.IdleMonitor")
PORTAL = ("org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
          "org.freedesktop.portal.Screenshot")
PERMISSIONS = ("org.freedesktop.impl.portal.PermissionStore",
               "/org/freedesktop/impl/portal/PermissionStore",
               "org.freedesktop.impl.portal.PermissionStore")
SESSION_IFACE = "org.gnome.Mutter.RemoteDesktop.Session"
INPUT = ("key", "keydown", "keyup", "rel", "abs", "press", "release", "wheel")
SHIFT_L = 0xFFE1
DO_NOT_QUEUE = 4
PRIMARY_OWNER = 1


class Helper:
    def __init__(self, timeout):
        self.bus = Gio.bus_get_sync(Gio.BusType.SESSION)
        owned = self._bus_call("RequestName", "(su)", ("org.gnome.Screenshot", DO_NOT_QUEUE))
        if owned != (PRIMARY_OWNER,):
            raise RuntimeError(f"cannot own org.gnome.Screenshot (answer {owned})")
        self._wait_for_shell(time.monotonic() + timeout)
        self.monitors = self._monitors()
        self.session, self.streams = self._remote_desktop()
        self._session_call("NotifyKeyboardKeysym", "(ub)", (SHIFT_L, True))
        self._session_call("NotifyKeyboardKeysym", "(ub)", (SHIFT_L, False))

    def call(self, target, method, signature=None, args=None, timeout_ms=10000, fds=None):
        dest, path, iface = target
        params = GLib.Variant(signature, args) if signature else None
        if fds is None:
            reply = self.bus.call_sync(dest, path, iface, method, params, None,
                                       Gio.DBusCallFlags.NONE, timeout_ms, None)
        else:
            reply, _ = self.bus.call_with_unix_fd_list_sync(
                dest, path, iface, method, params, None, Gio.DBusCallFlags.NONE, timeout_ms,
                fds, None)
        return reply.unpack() if reply is not None else ()

    def _bus_call(self, method, signature, args):
        return self.call(("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus"),
                         method, signature, args)

    def _property(self, target, name):
        dest, path, iface = target
        return self.call((dest, path, "org.freedesktop.DBus.Properties"), "Get", "(ss)",
                         (iface, name))[0]

    def _session_call(self, method, signature=None, args=None):
        return self.call((REMOTE_DESKTOP[0], self.session, SESSION_IFACE), method, signature, args)

    def _wait_for_shell(self, end):
        """Until the extension reports start-up complete with the overview
        closed; the overview is closed through the shell's own property."""
        # What was seen, said when start-up never completes: a shell that
        # answers "not ready" differs from one that does not answer at all.
        seen = {"not ready": 0, "overview closed": 0, "no answer": 0}
        last_error = "none"
        while time.monotonic() < end:
            try:
                if self.call(TEST_SHELL, "Ready", timeout_ms=2000) == (True,):
                    return
                seen["not ready"] += 1
                if self._property(SHELL, "OverviewActive"):
                    self.call((SHELL[0], SHELL[1], "org.freedesktop.DBus.Properties"), "Set",
                              "(ssv)", (SHELL[2], "OverviewActive", GLib.Variant("b", False)))
                    seen["overview closed"] += 1
            except GLib.Error as e:
                seen["no answer"] += 1
                last_error = e.message
            time.sleep(0.02)
        counts = ", ".join(f"{what} {count}" for what, count in seen.items())
        raise RuntimeError(f"gnome-shell not ready: {counts}; last error: {last_error}")

    def _monitors(self):
        """[{name, x, y, width, height, scale}] of the logical monitors."""
        _, monitors, logical, _ = self.call(DISPLAY_CONFIG, "GetCurrentState")
        modes = {}
        for (connector, *_), mode_list, _ in monitors:
            for _, width, height, _, _, _, properties in mode_list:
                if properties.get("is-current"):
                    modes[connector] = (width, height)
        found = []
        for x, y, scale, _, _, members, _ in logical:
            for connector, *_ in members:
                width, height = modes[connector]
                found.append({"name": connector, "x": x, "y": y, "scale": scale,
                              "width": round(width / scale), "height": round(height / scale)})
        return sorted(found, key=lambda m: (m["x"], m["y"]))

    def _remote_desktop(self):
        session = self.call(REMOTE_DESKTOP, "CreateSession")[0]
        session_id = self._property((REMOTE_DESKTOP[0], session, SESSION_IFACE), "SessionId")
        cast = self.call(SCREEN_CAST, "CreateSession", "(a{sv})",
                         ({"remote-desktop-session-id": GLib.Variant("s", session_id)},))[0]
        streams = {}
        for m in self.monitors:
            streams[m["name"]] = self.call(
                (SCREEN_CAST[0], cast, "org.gnome.Mutter.ScreenCast.Session"), "RecordMonitor",
                "(sa{sv})", (m["name"], {}))[0]
        self.call((REMOTE_DESKTOP[0], session, SESSION_IFACE), "Start")
        return session, streams

    # ------------------------------------------------------------ commands

    def shot(self, x, y, width, height, path):
        png = path + ".png"
        ok, _ = self.call(SCREENSHOT, "ScreenshotArea", "(iiiibs)",
                          (int(x), int(y), int(width), int(height), False, png))
        if not ok:
            raise RuntimeError("ScreenshotArea failed")
        try:
            picture = GdkPixbuf.Pixbuf.new_from_file(png)
        finally:
            os.remove(png)
        w, h, stride, n = (picture.get_width(), picture.get_height(), picture.get_rowstride(),
                           picture.get_n_channels())
        pixels = picture.get_pixels()
        rows = bytearray()
        for row in range(h):
            line = pixels[row * stride:row * stride + w * n]
            rgb = bytearray(w * 3)
            rgb[0::3], rgb[1::3], rgb[2::3] = line[0::n], line[1::n], line[2::n]
            rows += rgb
        with open(path, "wb") as f:
            f.write(b"P6\n%d %d\n255\n" % (w, h) + bytes(rows))

    def scale(self, scale):
        """Every logical monitor at `scale`, side by side in their order
        (ApplyMonitorsConfig's temporary method: the persistent one asks the
        user to keep it, and reverts when nobody answers); returns the
        monitors then."""
        serial, monitors, logical, _ = self.call(DISPLAY_CONFIG, "GetCurrentState")
        modes = {}
        for (connector, *_), mode_list, _ in monitors:
            for mode_id, *_, properties in mode_list:
                if properties.get("is-current"):
                    modes[connector] = mode_id
        config, x = [], 0
        for m in self.monitors:
            config.append((x, 0, scale, 0, x == 0, [(m["name"], modes[m["name"]], {})]))
            x += round(m["width"] * m["scale"] / scale)
        self.call(DISPLAY_CONFIG, "ApplyMonitorsConfig", "(uua(iiduba(ssa{sv}))a{sv})",
                  (serial, 1, config, {}))
        end = time.monotonic() + 10
        while time.monotonic() < end:
            self.monitors = self._monitors()
            if all(m["scale"] == scale for m in self.monitors):
                return self.monitors
            time.sleep(0.05)
        raise RuntimeError(f"the monitors are not at scale {scale}: {self.monitors}")

    def key(self, keysym, down=True, up=True):
        if down:
            self._session_call("NotifyKeyboardKeysym", "(ub)", (int(keysym, 0), True))
        if up:
            self._session_call("NotifyKeyboardKeysym", "(ub)", (int(keysym, 0), False))

    def permission(self, value):
        if value == "unset":
            try:
                self.call(PERMISSIONS, "DeletePermission", "(sss)", ("screenshot", "screenshot", ""))
            except GLib.Error as e:
                if "NotFound" not in (Gio.DBusError.get_remote_error(e) or ""):
                    raise
        elif value in ("yes", "no"):
            self.call(PERMISSIONS, "SetPermission", "(sbssas)",
                      ("screenshot", True, "screenshot", "", [value]))
        else:
            raise ValueError(f"permission {value!r}: yes, no or unset")

    def run(self, words):
        """Does one command; returns its answer's value (None: plain "ok")."""
        command, args = words[0], words[1:]
        sent = time.monotonic()
        if command == "shot":
            self.shot(*args)
        elif command in ("key", "keydown", "keyup"):
            self.key(args[0], down=command != "keyup", up=command != "keydown")
        elif command == "rel":
            self._session_call("NotifyPointerMotionRelative", "(dd)",
                               (float(args[0]), float(args[1])))
        elif command == "abs":
            self._session_call("NotifyPointerMotionAbsolute", "(sdd)",
                               (self.streams[args[0]], float(args[1]), float(args[2])))
        elif command in ("press", "release"):
            self._session_call("NotifyPointerButton", "(ib)", (int(args[0], 0), command == "press"))
        elif command == "wheel":
            self._session_call("NotifyPointerAxisDiscrete", "(ui)", (0, int(args[0])))
        elif command == "overview":
            return "true" if self._property(SHELL, "OverviewActive") else "false"
        elif command == "dialogs":
            return json.dumps(self.call(TEST_SHELL, "Dialogs")[0])
        elif command == "pointer":
            return "%d %d" % self.call(TEST_SHELL, "Pointer")
        elif command == "permission":
            self.permission(args[0])
        elif command == "portal-version":
            return str(self._property(PORTAL, "version"))
        elif command == "idletime":
            return str(self.call(IDLE_MONITOR, "GetIdletime")[0])
        elif command == "counts":
            return "%d %d" % self.call(TEST_SHELL, "Counts")
        elif command == "top-bar":
            self.call(TEST_SHELL, "ShowTopBar", "(b)", (args[0] == "shown",))
        elif command == "screen-casts":
            if args != ["refused"]:
                raise ValueError("screen-casts takes: refused")
            self.call(TEST_SHELL, "RefuseScreenCasts")
        elif command == "scale":
            return json.dumps(self.scale(float(args[0])))
        else:
            raise ValueError(f"unknown command {command!r}")
        return f"{sent:.6f}" if command in INPUT else None


def main():
    if len(sys.argv) != 2:
        print("usage: gnome_helper.py TIMEOUT_SECONDS", file=sys.stderr)
        return 2
    try:
        helper = Helper(float(sys.argv[1]))
    except (GLib.Error, RuntimeError, KeyError) as e:
        print(f"error: {e}", flush=True)
        return 1
    print("ready " + json.dumps(helper.monitors), flush=True)
    for line in sys.stdin:
        words = line.split()
        if not words:
            continue
        if words == ["quit"]:
            break
        try:
            value = helper.run(words)
        except (GLib.Error, RuntimeError, ValueError, IndexError, KeyError, OSError) as e:
            print(f"error: {type(e).__name__}: {e}".replace("\n", " "), flush=True)
            continue
        print("ok" if value is None else f"ok {value}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
