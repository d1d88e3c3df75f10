"""What the GNOME and KWin harnesses (gnomesession.py, kwinsession.py) share
beyond harness.Session: a desktop run as root on D-Bus buses of its own, and
the input client window (tests/helpers/input_client.cpp). Standard library
only.
"""
import os
import select
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as h  # noqa: E402

BUS_CONFIG = """\
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path={socket}</listen>
  {servicedirs}
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
"""


def start_bus(processes, directory, name, env, services=None, activation=True):
    """A private dbus-daemon listening on DIRECTORY/NAME; returns its address.
    Services it starts on demand inherit `env`. Service files in `services`
    (a folder) come before the system's, so a file there replaces the
    system's for the same name; activation=False starts nothing on demand."""
    socket = os.path.join(directory, name)
    dirs = []
    if services:
        dirs.append(f"<servicedir>{services}</servicedir>")
    if activation:
        dirs.append("<standard_session_servicedirs/>")
    config = os.path.join(directory, f"{name}.conf")
    with open(config, "w") as f:
        f.write(BUS_CONFIG.format(socket=socket, servicedirs="\n  ".join(dirs)))
    proc = processes.start(name, ["dbus-daemon", f"--config-file={config}", "--nofork",
                                  "--print-address=1"], env, stdout=subprocess.PIPE)
    # The address is printed once the daemon listens.
    if not select.select([proc.stdout], [], [], 10)[0]:
        raise RuntimeError(f"dbus-daemon {name} did not start: {processes.log(name)[-300:]}")
    address = proc.stdout.readline().decode().strip()
    proc.stdout.close()
    if not address:
        raise RuntimeError(f"dbus-daemon {name} ended: {processes.log(name)[-300:]}")
    return address


def wait_for_name(env, name, timeout, system=False):
    """Waits until a bus name has an owner (gdbus wait); False after timeout."""
    done = subprocess.run(["gdbus", "wait", "--system" if system else "--session", "--timeout",
                           str(max(1, int(timeout + 0.999))), name],
                          env=env, capture_output=True, timeout=timeout + 5, check=False)
    return done.returncode == 0


class BusSession(h.WaylandSession):
    """A compositor run as root in the session's folder (HOME and
    XDG_RUNTIME_DIR there), listening on DISPLAY_NAME, with a session bus of
    its own whose daemon's environment, .base_env, is what the services it
    starts see. The services named in BLOCKED_SERVICES run /bin/false."""

    RUNTIME = "runtime"
    DISPLAY_NAME = "wayland-0"  # in the session's own XDG_RUNTIME_DIR
    BLOCKED_SERVICES = ()

    def _environment(self, **variables):
        """Makes HOME and the runtime folder; returns the session's
        environment with these variables."""
        self.home = os.path.join(self.dir, "home")
        os.makedirs(self.home, exist_ok=True)
        os.mkdir(self.runtime, 0o700)
        self.display = self.DISPLAY_NAME
        return {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": self.home,
                "XDG_RUNTIME_DIR": self.runtime, "LANG": "C.UTF-8",
                "XDG_SESSION_TYPE": "wayland", **variables}

    def _session_bus(self, env):
        """Starts the session bus with this environment; sets .base_env."""
        services = os.path.join(self.dir, "services")
        os.mkdir(services)
        for name in self.BLOCKED_SERVICES:
            with open(os.path.join(services, f"{name}.service"), "w") as f:
                f.write(f"[D-BUS Service]\nName={name}\nExec=/bin/false\n")
        address = start_bus(self.processes, self.dir, "session-bus", env, services)
        self.base_env = dict(env, DBUS_SESSION_BUS_ADDRESS=address)

    def _client_env(self):
        """This session's display and buses, its HOME."""
        return dict({k: v for k, v in self.base_env.items() if k != "PATH"},
                    WAYLAND_DISPLAY=self.display)


class InputClient:
    """ostrel-wl-input-client on a session: a fullscreen window that reports
    its input, one line an event (see tests/helpers/input_client.cpp)."""

    def __init__(self, session, program, output=None, timeout=10.0):
        cmd = [program] + ([output.name] if output is not None else [])
        proc = session.processes.start("input-client", cmd, session.env, stdin=subprocess.PIPE,
                                       stdout=subprocess.PIPE)
        self.lines = h.LineHelper(proc, "ostrel-wl-input-client")
        self.seen = []  # every event line so far
        self.size = None
        while self.size is None:
            words = self._next(timeout).split()
            if words[0] == "ready":
                self.size = (int(words[1]), int(words[2]))

    def _next(self, timeout):
        line = self.lines.line(timeout)
        self.seen.append(line)
        return line

    def wait_for(self, word, timeout=5.0):
        """The fields of the next event named `word` (or any of a tuple of
        names), or None after `timeout` seconds. Every event read is kept in
        .seen, those skipped too."""
        words = (word,) if isinstance(word, str) else tuple(word)
        end = time.monotonic() + timeout
        while True:
            left = end - time.monotonic()
            if left <= 0:
                return None
            try:
                fields = self._next(left).split()
            except RuntimeError:
                return None
            if fields[0] in words:
                return fields[1:]

    def close(self):
        self.lines.close()
