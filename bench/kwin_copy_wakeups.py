#!/usr/bin/env python3
"""Counts how often the real program's one wait wakes while it copies two
1920x1080 outputs through KWin's ScreenShot2, on a private headless KWin.

Each run starts the program under `strace -e trace=ppoll`, lets it cover
the screen, ends it with SIGTERM and counts the ppoll calls whose set holds
a picture's watch (the inotify descriptor of the file KWin writes it into):
those beside the display, the session bus and the signals (more than three
descriptors), and what each found ready. The copy needs
five: the events already there when it starts, KWin's two replies and its
two pictures.

Usage: kwin_copy_wakeups.py [--runs N] [--program PATH] [--tools DIR]
"""
import argparse
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import harness as h  # noqa: E402
import kwinsession as ks  # noqa: E402

# The wait's set before the copy: the display, the signals and the bus.
DESCRIPTORS_WITHOUT_PIPES = 3


def copy_wakeups(trace):
    """The ppoll calls of a trace made while a picture's watch was waited on,
    each as the descriptors it found ready ("10" for a picture's watch)."""
    wakes = []
    with open(trace, errors="replace") as lines:
        for line in lines:
            if "ppoll(" not in line:
                continue
            polled, _, result = line.split("ppoll(", 1)[1].partition(" = ")
            if len(re.findall(r"\{fd=", polled.split("]", 1)[0])) > DESCRIPTORS_WITHOUT_PIPES:
                ready = re.findall(r"\{fd=(\d+), revents=(\w+)\}", result)
                wakes.append("+".join(fd if events == "POLLIN" else f"{fd}:{events}"
                                      for fd, events in ready) or "deadline")
    return wakes


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=12)
    parser.add_argument("--program", default=os.path.join(ROOT, "build", "release", "ostrel"))
    parser.add_argument("--tools", default=os.path.join(ROOT, "build", "release", "tests", "helpers"))
    args = parser.parse_args()
    program = os.path.realpath(args.program)
    layout = [h.Output(1920, 1080, 1, 0, 0), h.Output(1920, 1080, 1, 1920, 0)]
    session = ks.KWin.session(layout, args.tools, authorized=(program,))
    counts = []
    try:
        with tempfile.TemporaryDirectory() as folder:
            for run in range(args.runs):
                trace = os.path.join(folder, f"trace-{run}")
                process = subprocess.Popen(
                    ["strace", "-e", "trace=ppoll", "-o", trace, program], env=session.env,
                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                time.sleep(2.0)
                # The program itself ends, as it does on the user's SIGTERM.
                with open(f"/proc/{process.pid}/task/{process.pid}/children") as children:
                    os.kill(int(children.read().split()[0]), signal.SIGTERM)
                status = process.wait(10)
                wakes = copy_wakeups(trace)
                counts.append(len(wakes))
                print(f"run {run + 1}: {len(wakes)} wake-ups during the copy ({' '.join(wakes)}), "
                      f"status {status}", flush=True)
    finally:
        session.stop()
    print("wake-ups per copy: " + ", ".join(map(str, counts)) +
          f"; at most 5 in {sum(c <= 5 for c in counts)} of {len(counts)}")


if __name__ == "__main__":
    main()
