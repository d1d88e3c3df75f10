#!/usr/bin/env python3
"""Without a display the program says which displays it tried, in one line on
stderr, and exits 1 at once: with DISPLAY unset, with DISPLAY naming a display
where no server listens, and with WAYLAND_DISPLAY naming a compositor that is
not there.

Usage: no_display_test.py PATH_TO_OSTREL
"""
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as h  # noqa: E402
import xsession as xs  # noqa: E402


def main():
    program = sys.argv[1]
    f = h.Failures()
    # No session at all: neither a Wayland compositor (whose socket libwayland
    # looks for in XDG_RUNTIME_DIR, and complains on stderr without it) nor an
    # X display.
    session = ("DISPLAY", "WAYLAND_DISPLAY", "WAYLAND_SOCKET", "XDG_RUNTIME_DIR")
    unset = {k: v for k, v in os.environ.items() if k not in session}
    absent = f":{next(n for n in range(999, 900, -1) if xs.display_absent(n))}"
    nowhere = "wayland-ostrel-absent"
    for what, env, name in (("DISPLAY unset", unset, None),
                            (f"DISPLAY={absent}", dict(unset, DISPLAY=absent), absent),
                            (f"WAYLAND_DISPLAY={nowhere}", dict(unset, WAYLAND_DISPLAY=nowhere),
                             nowhere)):
        started = time.monotonic()
        try:
            result = subprocess.run([program], env=env, capture_output=True, timeout=10)
        except subprocess.TimeoutExpired:
            f.check(False, f"{what}: still running after 10 s")
            continue
        took = time.monotonic() - started
        lines = result.stderr.decode(errors="replace").splitlines()
        print(f"{what}: status {result.returncode} in {took * 1000:.0f} ms, stderr {lines}", flush=True)
        f.check(result.returncode == 1, f"{what}: exit status {result.returncode}, expected 1")
        f.check(len(lines) == 1 and lines[0].strip(), f"{what}: expected one line on stderr, got {lines}")
        f.check(result.stdout == b"", f"{what}: printed on stdout: {result.stdout!r}")
        f.check(took < 2.0, f"{what}: took {took:.1f} s")
        if name is not None:
            f.check(any(name in line for line in lines), f"{what}: the message does not name {name}")
    return f.finish("no display")


if __name__ == "__main__":
    sys.exit(main())
