#!/usr/bin/env python3
"""Compares the traces of two builds of ostrel-trace byte for byte: the native
Linux build and the Windows build (run through an emulator such as wine). Both
must compute the same circles on every build and every CPU.

Usage: trace_compare.py NATIVE_TRACE WINDOWS_TRACE [EMULATOR...]
"""
import hashlib
import subprocess
import sys

# (arguments, what they cover): a long run from the start, and runs around the
# point where a 32-bit counter would overflow and far beyond it.
CASES = [
    (["28800", "16200", "1000000"], "a million ticks on a 1920x1080 screen"),
    (["--start-tick", "2147000000", "57600", "32400", "1000000"], "a million ticks across 2^31"),
    (["--start-tick", "100000000000000", "28800", "16200", "200000"], "ticks from 10^14"),
]


def digest(command):
    """(sha256, line count, first lines) of a program's stdout, read as a stream."""
    proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    sha, lines, head = hashlib.sha256(), 0, []
    for chunk in iter(lambda: proc.stdout.read(1 << 20), b""):
        sha.update(chunk)
        lines += chunk.count(b"\n")
        if len(head) < 3:
            head += chunk[:200].splitlines()[:3 - len(head)]
    err = proc.stderr.read()
    status = proc.wait()
    if status != 0:
        raise RuntimeError(f"{command}: status {status}: {err.decode(errors='replace')}")
    return sha.hexdigest(), lines, head


def first_difference(native, windows, args):
    """The first line where the two traces differ (re-run, compared line by line)."""
    with subprocess.Popen(native + args, stdout=subprocess.PIPE) as a, \
            subprocess.Popen(windows + args, stdout=subprocess.PIPE) as b:
        for n, (x, y) in enumerate(zip(a.stdout, b.stdout), 1):
            if x != y:
                a.kill()
                b.kill()
                return f"line {n}: native {x!r}, windows {y!r}"
    return "one trace is a prefix of the other"


def main():
    native = [sys.argv[1]]
    windows = sys.argv[3:] + [sys.argv[2]]
    failures = 0
    for args, what in CASES:
        a = digest(native + args)
        b = digest(windows + args)
        same = a[:2] == b[:2]
        print(f"{'ok  ' if same else 'FAIL'} {what}: {a[1]} lines, sha256 {a[0][:16]}"
              f"{'' if same else f' against {b[1]} lines, sha256 {b[0][:16]}'}", flush=True)
        if not same:
            failures += 1
            print("     first difference:", first_difference(native, windows, args), flush=True)
    print(f"{len(CASES)} traces compared, {failures} differ")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
