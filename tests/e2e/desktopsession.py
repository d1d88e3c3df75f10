"""What the GNOME and KWin harnesses (gnomesession.py, kwinsession.py) share:
their processes kept in one process group and found again by their runtime
directory, private D-Bus buses, the helpers' line protocol, and the input
client window (tests/helpers/input_client.cpp). Standard library only.
"""
import contextlib
import os
import select
import signal
import subprocess
import time

BTN_LEFT = 0x110


class Processes:
    """Every process a session starts, in one process group (its first
    process leads it), each with a log file in `logs`. What the processes
    start themselves stays in the group, except what detaches; `leftovers()`
    finds those by the session's runtime directory in their environment."""

    def __init__(self, logs, runtime_dir):
        self.logs, self.runtime_dir = logs, runtime_dir
        self.procs = []
        self.group = None

    def start(self, name, cmd, env, **kwargs):
        """Popen in the group; stdout and stderr go to LOGS/NAME.log unless given."""
        log = open(os.path.join(self.logs, f"{name}.log"), "ab")
        kwargs.setdefault("stdout", log)
        kwargs.setdefault("stderr", log)
        try:
            proc = subprocess.Popen(cmd, env=env, stdin=kwargs.pop("stdin", subprocess.DEVNULL),
                                    process_group=self.group or 0, **kwargs)
        finally:
            log.close()
        if self.group is None:
            self.group = proc.pid
        proc.name = name
        self.procs.append(proc)
        return proc

    def log(self, name):
        with contextlib.suppress(OSError), open(os.path.join(self.logs, f"{name}.log"),
                                                errors="replace") as f:
            return f.read()
        return ""

    def leftovers(self):
        """PIDs of live (not zombie) processes whose environment names the
        session's runtime directory."""
        marker = f"XDG_RUNTIME_DIR={self.runtime_dir}\0".encode()
        found = []
        for name in filter(str.isdigit, os.listdir("/proc")):
            with contextlib.suppress(OSError):
                with open(f"/proc/{name}/stat", "rb") as f:
                    if f.read().rsplit(b")", 1)[1].split()[0] == b"Z":
                        continue
                with open(f"/proc/{name}/environ", "rb") as f:
                    if marker in f.read():
                        found.append(int(name))
        return found

    def stop(self, first=()):
        """Ends `first` (SIGTERM, 2 s), then the group (SIGTERM, then
        SIGKILL), then any process that left the group; reaps our children."""
        for proc in first:
            if proc is not None and proc.poll() is None:
                proc.terminate()
                with contextlib.suppress(subprocess.TimeoutExpired):
                    proc.wait(2)
        if self.group is not None:
            for sig, grace in ((signal.SIGTERM, 2.0), (signal.SIGKILL, 2.0)):
                with contextlib.suppress(ProcessLookupError):
                    os.killpg(self.group, sig)
                end = time.monotonic() + grace
                while time.monotonic() < end and any(p.poll() is None for p in self.procs):
                    time.sleep(0.01)
        for _ in range(3):
            pids = self.leftovers()
            if not pids:
                break
            for pid in pids:
                with contextlib.suppress(ProcessLookupError):
                    os.kill(pid, signal.SIGKILL)
            time.sleep(0.05)
        for proc in self.procs:
            with contextlib.suppress(subprocess.TimeoutExpired):
                proc.wait(5)
        self.procs = []
        self.group = None


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


class LineHelper:
    """A helper that prints "ready ..." and then answers each command line
    with "ok [VALUE]" or "error: WHY" (ostrel-kwin-input, gnome_helper.py)."""

    def __init__(self, proc, name):
        self.proc, self.name = proc, name
        self._buffer = b""
        self.sent = None  # time.monotonic() just before the last command went out

    def line(self, timeout):
        """The next line, or RuntimeError after `timeout` seconds or at its end."""
        end = time.monotonic() + timeout
        while b"\n" not in self._buffer:
            left = end - time.monotonic()
            if left <= 0 or not select.select([self.proc.stdout], [], [], left)[0]:
                raise RuntimeError(f"{self.name}: no answer in {timeout:g} s")
            chunk = os.read(self.proc.stdout.fileno(), 65536)
            if not chunk:
                raise RuntimeError(f"{self.name} ended (status {self.proc.wait()})")
            self._buffer += chunk
        line, self._buffer = self._buffer.split(b"\n", 1)
        return line.decode(errors="replace").strip()

    def ready(self, timeout):
        """The rest of the "ready" line."""
        line = self.line(timeout)
        if line.split(" ", 1)[0] != "ready":
            raise RuntimeError(f"{self.name}: expected 'ready', got {line!r}")
        return line[len("ready"):].strip()

    def ask(self, command, timeout=10.0):
        """Sends one command; returns the answer's value ('' for a plain ok)."""
        self.sent = time.monotonic()
        try:
            self.proc.stdin.write(command.encode() + b"\n")
            self.proc.stdin.flush()
        except (BrokenPipeError, ValueError) as e:
            raise RuntimeError(f"{self.name} ended (status {self.proc.poll()})") from e
        answer = self.line(timeout)
        if answer != "ok" and not answer.startswith("ok "):
            raise RuntimeError(f"{self.name} {command}: {answer}")
        return answer[3:]

    def close(self):
        if self.proc.poll() is None:
            with contextlib.suppress(BrokenPipeError, ValueError, OSError):
                self.proc.stdin.write(b"quit\n")
                self.proc.stdin.close()
            with contextlib.suppress(subprocess.TimeoutExpired):
                self.proc.wait(5)


class InputClient:
    """ostrel-wl-input-client on a session: a fullscreen window that reports
    its input, one line an event (see tests/helpers/input_client.cpp)."""

    def __init__(self, session, program, output=None, timeout=10.0):
        cmd = [program] + ([output.name] if output is not None else [])
        proc = session.processes.start("input-client", cmd, session.env, stdin=subprocess.PIPE,
                                       stdout=subprocess.PIPE)
        self.lines = LineHelper(proc, "ostrel-wl-input-client")
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
