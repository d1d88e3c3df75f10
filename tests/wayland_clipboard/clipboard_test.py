#!/usr/bin/env python3
"""Checks the Wayland clipboard against real clients on a private headless
sway (tests/e2e/waysession.py): wl-paste reads what the probe
(clipboard_probe.cpp) owns, wl-copy takes the selection away, and after the
hand-over a detached process goes on serving the picture.

Usage: clipboard_test.py PATH_TO_OSTREL_WL_CLIPBOARD_PROBE
Exit status: 0 passed, 1 failed, 77 skipped (sway or wl-clipboard missing).
"""
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import harness as h  # noqa: E402
import waysession as ws  # noqa: E402

SMALL = (97, 61)
LARGE = (3840, 2160)
EXIT_AT_ONCE = 0.5  # seconds from the hand-over to the probe's exit
SERVER_ENDS = 3.0   # seconds for the serving process to notice it is done


def processes():
    """{pid: (ppid, sid, exe)} of every process we can see."""
    found = {}
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open(f"/proc/{name}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            exe = os.readlink(f"/proc/{name}/exe")
        except OSError:
            continue
        found[int(name)] = (int(fields[1]), int(fields[3]), exe)
    return found


def fds(pid):
    """{fd: target} of a process, sockets as "socket"."""
    found = {}
    for name in os.listdir(f"/proc/{pid}/fd"):
        with_target = os.readlink(f"/proc/{pid}/fd/{name}")
        found[int(name)] = "socket" if with_target.startswith("socket:") else with_target
    return found


def wait_until(condition, seconds):
    end = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > end:
            return False
        time.sleep(0.02)
    return True


class Probe:
    """The probe owning a WIDTHxHEIGHT picture; `expected` is the picture a
    reader must get."""

    def __init__(self, path, sway, size, protocols, workdir):
        self.path, self.sway = os.path.realpath(path), sway
        ppm = os.path.join(workdir, "expected.ppm")
        self.proc = subprocess.Popen([path, str(size[0]), str(size[1]), ppm, protocols],
                                     env=sway.env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     text=True)
        self.ready = self.answer(timeout=30)
        with open(ppm, "rb") as f:
            self.expected = h.parse_ppm(f.read())

    def answer(self, timeout=5.0):
        if not select.select([self.proc.stdout], [], [], timeout)[0]:
            return None
        return self.proc.stdout.readline().strip()

    def ask(self, command, timeout=5.0):
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()
        return self.answer(timeout)

    def servers(self):
        """The detached processes of this probe that serve the selection: their
        own session, the connection still open."""
        return [pid for pid, (_, sid, exe) in processes().items()
                if exe == self.path and sid == pid and pid != self.proc.pid
                and "socket" in fds(pid).values()]

    def writers(self):
        return [pid for pid, (ppid, _, _) in processes().items() if ppid == self.proc.pid]


class Run:
    """One case: its probe, its checks, and everything to end afterwards."""

    def __init__(self, name, probe_path, sway, failures, workdir):
        self.name, self.probe_path, self.s, self.f, self.dir = name, probe_path, sway, failures, workdir
        self.probe = None
        self.server = None
        self.others = []

    def check(self, ok, message):
        return self.f.check(ok, f"{self.name}: {message}")

    def pasted_picture(self):
        try:
            data = self.s.paste("image/png")
        except subprocess.TimeoutExpired:
            return None  # nobody answered the request
        return h.png_to_image(data) if data else None

    def stop(self):
        for proc in self.others + ([self.probe.proc] if self.probe else []):
            h.stop_process(proc)
        if self.server is not None:
            try:
                os.kill(self.server, signal.SIGKILL)
            except ProcessLookupError:
                pass


# ---------------------------------------------------------------- the steps


def owns(r, size, protocols="all"):
    r.probe = Probe(r.probe_path, r.s, size, protocols, r.dir)
    r.check(r.probe.ready == "ready owned=1 can-offer=1", f"probe says {r.probe.ready!r}")
    r.check(r.s.offers() == ["image/png"], f"wl-paste -l lists {r.s.offers()}")


def pastes_exactly(r):
    got = r.pasted_picture()
    r.check(got is not None and got == r.probe.expected,
            "the pasted picture is not the picture as lent" if got else "nothing was pasted")


def encodes_once(r):
    pastes_exactly(r)
    pastes_exactly(r)
    r.check(r.probe.ask("state") == "owned=1 lends=1", "the PNG was not made once and kept")


def refuses_other_types(r):
    r.check(r.probe.ask("receive image/png", timeout=10).startswith("received "),
            "the probe's own request for image/png got no end")
    answer = r.probe.ask("receive text/plain", timeout=10)
    r.check(answer == "received 0", f"a request for text/plain: {answer!r} (fd left open?)")
    r.check(r.probe.ask("ping") == "pong", "the probe stopped answering")
    r.check(r.probe.ask("state").startswith("owned=1"), "ownership lost")


def slow_reader_does_not_block(r):
    out = os.path.join(r.dir, "slow.png")
    reader = subprocess.Popen(["sh", "-c", f"wl-paste -n -t image/png | (sleep 2; cat > {out})"],
                              env=r.s.env, start_new_session=True)
    r.others.append(reader)
    r.check(wait_until(lambda: r.probe.writers(), 5), "no writer process took the request")
    asked = time.monotonic()
    answer = r.probe.ask("ping", timeout=1.0)
    r.check(answer == "pong" and time.monotonic() - asked < 0.5,
            "the loop did not answer while a reader was slow")
    r.check(reader.poll() is None, "the slow reader finished before the check")
    reader.wait(60)
    with open(out, "rb") as f:
        got = h.png_to_image(f.read())
        r.check(got is not None and got == r.probe.expected, "the slow reader got a wrong picture")


def hands_over(r):
    asked = time.monotonic()
    r.probe.proc.stdin.write("hand-over\n")
    r.probe.proc.stdin.flush()
    try:
        # Its stdout ends only when no process holds it any more.
        out, _ = r.probe.proc.communicate(timeout=5)
    except subprocess.TimeoutExpired:
        r.check(False, "the probe's output did not end after the hand-over")
        return
    took = time.monotonic() - asked
    r.check(out.strip() == "handed-over 1" and r.probe.proc.returncode == 0,
            f"hand-over answered {out!r}, status {r.probe.proc.returncode}")
    r.check(took < EXIT_AT_ONCE, f"the probe took {took:.2f} s to end after the hand-over")
    servers = r.probe.servers()
    if not r.check(len(servers) == 1, f"serving processes: {servers}"):
        return
    r.server = servers[0]

    def detached():
        held = fds(r.server)
        return sorted(held) == [0, 1, 2, max(held)] and held[max(held)] == "socket" and \
            all(held[fd] == "/dev/null" for fd in (0, 1, 2))
    # It may still be detaching: its stdout goes first.
    r.check(wait_until(detached, 2), f"the serving process holds {fds(r.server)}")
    r.check(r.s.offers() == ["image/png"], f"after the hand-over wl-paste -l lists {r.s.offers()}")
    pastes_exactly(r)


def replaced_ends_server(r):
    copier = subprocess.Popen(["wl-copy", "--foreground", "hello"], env=r.s.env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    r.others.append(copier)
    r.check(wait_until(lambda: not os.path.exists(f"/proc/{r.server}"), SERVER_ENDS),
            "the serving process outlived the selection")
    r.check("text/plain" in r.s.offers(), "wl-copy's text is not the selection")


def compositor_gone_ends_server(r):
    r.s.kill()
    r.check(wait_until(lambda: not os.path.exists(f"/proc/{r.server}"), SERVER_ENDS),
            "the serving process outlived the compositor")


def offers_nothing(protocols, expected_ready):
    def step(r):
        r.probe = Probe(r.probe_path, r.s, SMALL, protocols, r.dir)
        r.check(r.probe.ready == expected_ready, f"probe says {r.probe.ready!r}")
        r.check("image/png" not in r.s.offers(), f"wl-paste -l lists {r.s.offers()}")
        r.check(r.probe.ask("hand-over") == "handed-over 0", "handed over with nothing to serve")
    return step


CASES = [
    ("small: offered, pasted exactly, encoded once, other types refused",
     [lambda r: owns(r, SMALL), encodes_once, refuses_other_types], False),
    ("large: pasted exactly; a slow reader does not block the loop",
     [lambda r: owns(r, LARGE), pastes_exactly, slow_reader_does_not_block], False),
    ("hand-over: the run ends at once, the server serves until another client copies",
     [lambda r: owns(r, SMALL), pastes_exactly, hands_over, replaced_ends_server], False),
    ("large hand-over before any request: the server encodes it",
     [lambda r: owns(r, LARGE), hands_over, replaced_ends_server], False),
    ("data device only: nothing set without an input serial",
     [offers_nothing("data-device", "ready owned=0 can-offer=1")], False),
    ("no protocol: nothing to offer", [offers_nothing("none", "ready owned=0 can-offer=0")], False),
    ("compositor gone: the server ends",
     [lambda r: owns(r, SMALL), hands_over, compositor_gone_ends_server], True),
]


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    ws.Sway.require()
    if shutil.which("wl-copy") is None:
        print("SKIP: wl-copy is not installed")
        return h.SKIP
    failures = h.Failures()
    shared = None
    try:
        for name, steps, own_compositor in CASES:
            print(f"--- {name}", flush=True)
            sway = ws.Sway([h.Output(640, 480)]) if own_compositor else shared
            if sway is None:
                sway = shared = ws.Sway([h.Output(640, 480)])
            with tempfile.TemporaryDirectory() as workdir:
                run = Run(name, sys.argv[1], sway, failures, workdir)
                try:
                    for step in steps:
                        step(run)
                finally:
                    run.stop()
                    if own_compositor:
                        sway.stop()
    finally:
        if shared is not None:
            shared.stop()
    return failures.finish("wayland clipboard")


if __name__ == "__main__":
    sys.exit(main())
