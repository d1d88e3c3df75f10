#!/usr/bin/env python3
"""Checks ostrel-trace against an independent computation of the trail tick.

The reference below is written from the description of the animation, not from
the program's code: Python floats are IEEE doubles, round() on a float rounds
half to even, sizes are narrowed to single precision with struct, and every
sine is sin correctly rounded to the nearest double, computed with mpmath.
Usage: trace_check.py PATH_TO_OSTREL_TRACE [EMULATOR...]
  EMULATOR: a command that runs the program (wine for the Windows build).
"""
import math
import os
import re
import struct
import subprocess
import sys
from fractions import Fraction

import mpmath

COLOURS = [255, 65535, 16711680, 16777215]
PHASES = [(1.5, 2.5, 1.5), (4.5, 3.5, 2.5), (5.5, 6.5, 5.5), (3.5, 7.5, 2.5)]  # y, x, radius
INT32 = (-(2**31), 2**31 - 1)


def single(text):
    return struct.unpack("f", struct.pack("f", float(text)))[0]


def round_int32(value):
    r = round(value)  # ties to even
    if not INT32[0] <= r <= INT32[1]:
        raise OverflowError
    return r


def sin(x):
    """sin x rounded to the nearest double. mpmath's sin at p bits is off by a
    few units in its last place at most: raise p until both ends of that
    interval round to the same double."""
    if x == 0:
        return x
    prec = 100
    while True:
        with mpmath.workprec(prec):
            sign, man, exp, _ = mpmath.sin(mpmath.mpf(x))._mpf_
        value = (-1 if sign else 1) * Fraction(man) * Fraction(2) ** exp
        slack = abs(value) / 2 ** (prec - 4)
        if float(value - slack) == float(value + slack):  # float() of a Fraction rounds to nearest
            return float(value)
        prec *= 2


def halve(n):
    return n // 2 if n >= 0 else -((-n) // 2)


def reference(width, height, ticks, start_tick=None, first_k=None):
    screen_w = single(width)
    screen_h = round_int32(single(height))
    k = 1 if start_tick is None else start_tick
    head, tail = 30, 1
    rings = [dict() for _ in range(4)]  # slot -> (x, y, r); unwritten slots read 0
    lines = []
    for _ in range(ticks):
        k += 1
        head = head % 100 + 1
        tail = tail % 100 + 1
        for t, (py, px, pr) in enumerate(PHASES):
            y = halve(round_int32(sin(k / 900 * 7 + py) * screen_h)) + halve(screen_h)
            x = halve(round_int32(screen_w * sin(k / 900 * 5 + px))) + halve(round_int32(screen_w))
            r = math.floor(sin(k / 50 * 7 + pr) * 250 + 400)
            rings[t][head] = (x, y, r)
        if first_k is not None and k < first_k:
            continue
        order = [(0, tail), (0, head), (1, head), (1, tail), (2, head), (2, tail), (3, head), (3, tail)]
        for t, slot in order:
            x, y, r = rings[t].get(slot, (0, 0, 0))
            lines.append(f"{k} {t + 1} {slot} {x} {y} {r} {COLOURS[t]}")
    return lines


def project_version():
    """The version in the top-level CMakeLists.txt's project() call."""
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "CMakeLists.txt")
    with open(path) as f:
        return re.search(r"project\(ostrel VERSION ([0-9.]+)", f.read()).group(1)


def run(tool, *args):
    """Runs the tool (through the emulator, if any); its output lines lose any
    carriage returns (a Windows console program's text mode adds them)."""
    result = subprocess.run([*tool, *map(str, args)], capture_output=True, text=True, check=False)
    result.stdout = result.stdout.replace("\r\n", "\n")
    result.stderr = result.stderr.replace("\r\n", "\n")
    return result


def main():
    if len(sys.argv) < 2:
        print(__doc__.split("\n\n")[-1], file=sys.stderr)
        return 2
    tool = sys.argv[2:] + [sys.argv[1]]
    failures = []

    cases = [
        ("28800", "16200", 250, None, None),        # 1920x1080 at 96 DPI
        ("19200", "10800", 150, None, None),        # 1280x720
        ("1234.5", "987.75", 120, None, None),      # fractional sizes
        ("15360", "43200", 100, None, None),        # 1024x2880, taller than 16 bits allow
        ("57600", "57600", 80, None, None),         # 3840x3840
        ("0", "0", 40, None, None),                 # degenerate screen
        ("28800", "16200", 60, 2147483600, None),   # k crosses 2^31
        ("28800", "16200", 300, None, 200),         # only the later ticks printed
        ("20000.25", "15000.5", 50, 1000000, 1000030),
        ("3", "2.5", 30, -10, None),
    ]
    for width, height, ticks, start, first in cases:
        args = []
        if start is not None:
            args += ["--start-tick", start]
        if first is not None:
            args += ["--from", first]
        args += [width, height, ticks]
        result = run(tool, *args)
        expected = reference(width, height, ticks, start, first)
        got = result.stdout.splitlines()
        if result.returncode != 0 or got != expected:
            diff = next((i for i, (a, b) in enumerate(zip(got, expected)) if a != b), min(len(got), len(expected)))
            failures.append(f"{args}: status {result.returncode}, first difference at line {diff}: "
                            f"got {got[diff:diff + 1]} expected {expected[diff:diff + 1]}; "
                            f"stderr {result.stderr[-500:]!r}")

    for bad in (["28800"], ["28800", "16200"], ["a", "16200", "5"], ["28800", "16200", "-1"],
                ["28800", "16200", "5", "6"], ["--from"], ["--start-tick", "x", "1", "1", "1"],
                ["--bogus", "1", "1", "1"], ["-5", "16200", "3"], ["nan", "16200", "3"],
                ["28800", "inf", "3"], ["28800", "16200", "2.5"],
                ["--version", "28800", "16200", "1"], ["--version=1"]):
        result = run(tool, *bad)
        if result.returncode != 2 or "usage:" not in result.stderr or result.stdout:
            failures.append(f"{bad}: expected a usage line and status 2, got status {result.returncode}; "
                            f"stderr {result.stderr[-500:]!r}")

    # Option values may also follow an '='.
    result = run(tool, "--from=5", "--start-tick=3", "28800", "16200", "4")
    if result.stdout.splitlines() != reference("28800", "16200", 4, 3, 5):
        failures.append("--from=K and --start-tick=K forms")

    # --version alone prints the project's version; one that cannot be written is a failure.
    result = run(tool, "--version")
    if result.returncode != 0 or result.stdout != f"ostrel-trace {project_version()}\n":
        failures.append(f"--version: status {result.returncode}, printed {result.stdout!r}")
    if os.path.exists("/dev/full"):
        with open("/dev/full", "w") as full:
            status = subprocess.run([*tool, "--version"], stdout=full, stderr=subprocess.DEVNULL).returncode
        if status != 1:
            failures.append(f"--version into a full device: status {status}, expected 1")

    # A height that does not fit in 32 bits is an overflow: an error, not wrapped numbers.
    result = run(tool, "28800", "3e10", "1")
    if result.returncode == 0:
        failures.append("height 3e10 was accepted")

    for failure in failures:
        print("FAIL", failure)
    print(f"{len(cases)} traces and the bad-argument cases checked, {len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
