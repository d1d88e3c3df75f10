#!/usr/bin/env python3
"""Checks ostrel-idle's systemd user unit: that it belongs to the graphical
session (PartOf, After and WantedBy graphical-session.target), starts the
program named (ExecStart), is restarted only on a crash (Restart=on-abnormal),
and that systemd itself accepts it (`systemd-analyze --user verify`, which
also runs the manual page's lookup when asked to: the installed check does).

Used by the build's tests (this file run on cmake/ostrel-idle.service.in with
the build's program), by tests/release_check.py (the packaged unit) and by
tests/e2e/installed_test.py (the installed one).

Usage: idle_unit_check.py UNIT_TEMPLATE PROGRAM
"""
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "e2e"))
from harness import Failures  # noqa: E402

EXPECTED = {
    ("Unit", "PartOf"): "graphical-session.target",
    ("Unit", "After"): "graphical-session.target",
    ("Unit", "Documentation"): "man:ostrel-idle(1)",
    ("Service", "Restart"): "on-abnormal",
    ("Install", "WantedBy"): "graphical-session.target",
}


def parse(text):
    """{(section, key): value} of a unit file (one value per key, as here)."""
    values, section = {}, None
    for line in text.splitlines():
        line = line.strip()
        if not line or line.startswith(("#", ";")):
            continue
        if line.startswith("[") and line.endswith("]"):
            section = line[1:-1]
        elif "=" in line:
            key, value = line.split("=", 1)
            values[(section, key.strip())] = value.strip()
    return values


def check_text(f, text, program, what):
    values = parse(text)
    for (section, key), expected in {**EXPECTED, ("Service", "ExecStart"): program}.items():
        found = values.get((section, key))
        f.check(found == expected, f"{what}: [{section}] {key}={found}, expected {expected}")


def verify(f, path, what, man=False):
    """systemd-analyze's own check of the unit; skipped (said so) without it."""
    if shutil.which("systemd-analyze") is None:
        print(f"{what}: systemd-analyze is missing (Debian package systemd): not verified")
        return
    with tempfile.TemporaryDirectory() as runtime:
        os.chmod(runtime, 0o700)  # the user manager's runtime folder
        env = dict(os.environ, XDG_RUNTIME_DIR=runtime)
        done = subprocess.run(["systemd-analyze", "--user", "verify", f"--man={'yes' if man else 'no'}",
                               path], env=env, capture_output=True, text=True, timeout=60)
    # It reports some faults (an unknown Restart= value) on stderr only.
    f.check(done.returncode == 0 and not done.stderr.strip(),
            f"{what}: systemd-analyze verify: status {done.returncode}, {done.stderr.strip()!r}")


def main():
    template, program = sys.argv[1], os.path.abspath(sys.argv[2])
    f = Failures()
    with open(template) as source:
        text = source.read().replace("@OSTREL_IDLE_PROGRAM@", program)
    check_text(f, text, program, "ostrel-idle.service")
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "ostrel-idle.service")
        with open(path, "w") as unit:
            unit.write(text)
        verify(f, path, "ostrel-idle.service")
    return f.finish("ostrel-idle.service")


if __name__ == "__main__":
    sys.exit(main())
