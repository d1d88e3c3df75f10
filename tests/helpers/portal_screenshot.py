#!/usr/bin/python3
"""A plain client of the screenshot portal, as an unsandboxed application
(app id "") calls it: org.freedesktop.portal.Screenshot.Screenshot, not
interactive, then the Request's Response. Prints "response CODE URI" (CODE 0
granted, 1 cancelled, 2 denied or failed; URI "-" when there is none) and
exits 0, or prints "no response" and exits 1 after TIMEOUT seconds (an
unanswered permission dialog never responds). Needs Debian's python3-gi.

Usage: portal_screenshot.py TIMEOUT_SECONDS
"""
import sys

from gi.repository import Gio, GLib

PORTAL = ("org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop")


def main():
    timeout = float(sys.argv[1]) if len(sys.argv) == 2 else 10.0
    bus = Gio.bus_get_sync(Gio.BusType.SESSION)
    token = "ostrel_test"
    sender = bus.get_unique_name()[1:].replace(".", "_")
    handle = f"{PORTAL[1]}/request/{sender}/{token}"
    loop = GLib.MainLoop()
    answer = []

    def on_response(_conn, _sender, _path, _iface, _signal, params):
        code, results = params.unpack()
        answer.append((code, results.get("uri", "-")))
        loop.quit()

    # Subscribed before the call, so that a fast answer is not missed.
    bus.signal_subscribe(PORTAL[0], "org.freedesktop.portal.Request", "Response", handle, None,
                         Gio.DBusSignalFlags.NONE, on_response)
    options = {"handle_token": GLib.Variant("s", token), "interactive": GLib.Variant("b", False)}
    bus.call_sync(PORTAL[0], PORTAL[1], "org.freedesktop.portal.Screenshot", "Screenshot",
                  GLib.Variant("(sa{sv})", ("", options)), None, Gio.DBusCallFlags.NONE, 30000,
                  None)
    GLib.timeout_add(int(timeout * 1000), loop.quit)
    loop.run()
    if not answer:
        print("no response", flush=True)
        return 1
    print("response %d %s" % answer[0], flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
