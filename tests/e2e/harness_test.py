#!/usr/bin/env python3
"""Checks of harness.py's process keeping and line protocol, without
a desktop: what a session's stop() must end (a process that left the group
too, found by the session's runtime directory, and nothing of anybody
else's), how a helper's answers, silence and end are reported, and which
X display numbers a new server may take.
Standard library only; runs in a second or two.
"""
import contextlib
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as h  # noqa: E402
import xsession as xs  # noqa: E402

# A helper speaking the line protocol: "ok" to "ping", "ok VALUE" to
# "echo VALUE", "error: ..." to anything else, silence to "hang", and an
# exit to "quit" or "die".
FAKE_HELPER = r"""
import sys, time
print("ready extra words", flush=True)
for line in sys.stdin:
    words = line.split()
    if words == ["ping"]:
        print("ok", flush=True)
    elif words[:1] == ["echo"]:
        print("ok " + " ".join(words[1:]), flush=True)
    elif words == ["hang"]:
        time.sleep(30)
    elif words in (["quit"], ["die"]):
        sys.exit(3)
    else:
        print("error: cannot read " + line.strip(), flush=True)
"""


def check_stop(f):
    with tempfile.TemporaryDirectory() as d:
        runtime = os.path.join(d, "runtime")
        os.mkdir(runtime)
        env = dict(os.environ, XDG_RUNTIME_DIR=runtime)
        p = h.Processes(d, runtime)
        leader = p.start("leader", ["sleep", "60"], env)
        member = p.start("member", ["sleep", "60"], env)
        # A grandchild that leaves the group (as fusermount3 does), started
        # through a shell that reports its pid.
        shell = p.start("detacher", ["sh", "-c", "setsid sleep 60 & echo $!"], env,
                        stdout=subprocess.PIPE)
        detached = int(shell.stdout.readline())
        shell.stdout.close()
        # setsid runs in the background child: its new session may come a
        # moment after the pid is printed.
        for _ in range(200):
            with contextlib.suppress(OSError):
                if os.getpgid(detached) != leader.pid:
                    break
            time.sleep(0.01)
        # Somebody else's process, with a runtime directory that only starts
        # like ours: stop() must leave it alone.
        other = subprocess.Popen(["sleep", "60"], env=dict(os.environ,
                                                           XDG_RUNTIME_DIR=runtime + "-other"))
        try:
            f.check(os.getpgid(member.pid) == leader.pid, "the second process is not in the group")
            f.check(os.getpgid(detached) != leader.pid, "the detached process did not detach")
            f.check(detached in p.leftovers(), "leftovers() misses the detached process")
            f.check(other.pid not in p.leftovers(), "leftovers() lists another session's process")
            began = time.monotonic()
            p.stop(first=[member])
            f.check(time.monotonic() - began < 3, "stop() took over 3 s for processes that end")
            f.check(not p.leftovers(), f"after stop(): {p.leftovers()} still run")
            time.sleep(0.05)
            f.check(not any(h.alive(pid) for pid in (leader.pid, member.pid, detached)),
                    "a process of the session still runs after stop()")
            f.check(other.poll() is None, "stop() ended another session's process")
        finally:
            other.kill()
            other.wait()


def check_line_helper(f):
    proc = subprocess.Popen([sys.executable, "-c", FAKE_HELPER], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE)
    helper = h.LineHelper(proc, "fake")
    try:
        f.check(helper.ready(5) == "extra words", "ready() does not return the rest of the line")
        f.check(helper.ask("ping") == "", "a plain ok is not ''")
        f.check(helper.ask("echo 1 2") == "1 2", "ok's value is not returned")
        cases = [  # (command, timeout, words the error must name)
            ("bogus", 5, "cannot read"),
            ("hang", 0.3, "no answer"),
            ("die", 5, "ended"),
        ]
        for command, timeout, words in cases:
            began = time.monotonic()
            try:
                helper.ask(command, timeout)
                f.check(False, f"{command}: answered as if ok")
            except RuntimeError as e:
                f.check(words in str(e), f"{command}: {e}")
            f.check(time.monotonic() - began < timeout + 1, f"{command}: waited past its timeout")
            if command == "hang":  # a fresh helper for the next case
                proc.kill()
                proc.wait()
                proc = subprocess.Popen([sys.executable, "-c", FAKE_HELPER],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE)
                helper = h.LineHelper(proc, "fake")
                helper.ready(5)
        try:
            helper.ask("ping")
            f.check(False, "a helper that ended answered")
        except RuntimeError as e:
            f.check("ended" in str(e), f"after its end: {e}")
    finally:
        proc.kill()
        proc.wait()


def check_display_numbers(f):
    """Which X display numbers a new server may take. What a killed server
    left must not count as taken: such numbers piled up from run to run."""
    n = next(n for n in range(799, 700, -1) if xs.display_absent(n))
    lock, sock = f"/tmp/.X{n}-lock", f"/tmp/.X11-unix/X{n}"
    gone = subprocess.Popen(["true"])
    gone.wait()  # reaped: its PID names no process
    cases = [  # (what, lock's owner or None, socket file there, free)
        ("nothing there", None, False, True),
        ("a killed server's lock and socket", gone.pid, True, True),
        ("a running server's lock", os.getpid(), True, False),
        ("a socket without a lock", None, True, False),
    ]
    def clear():
        for path in (lock, sock):
            with contextlib.suppress(FileNotFoundError):
                os.unlink(path)

    os.makedirs("/tmp/.X11-unix", exist_ok=True)
    try:
        for what, owner, socket_there, free in cases:
            if owner is not None:
                with open(lock, "w") as out:
                    out.write(f"{owner:10d}\n")  # as X servers write it
            if socket_there:
                open(sock, "w").close()
            f.check(xs.display_free(n) == free, f"display :{n}, {what}: free is not {free}")
            clear()
    finally:
        clear()


def main():
    f = h.Failures()
    check_stop(f)
    check_line_helper(f)
    check_display_numbers(f)
    return f.finish("harness")


if __name__ == "__main__":
    sys.exit(main())
