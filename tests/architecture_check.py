#!/usr/bin/env python3
"""Checks that docs/architecture.md names every file of the program and of
its tests: each file under src/ and tests/ (as git tracks them, else as they
lie on disk) must appear in the page in backticks, by its path or by the end
of its path (`wl_output.h`, `x11/x11_loop.cpp`); `name.h/.cpp` names both
files. A folder in backticks (`tests/fuzz/corpus/`) covers only the data in
it (no source, script or build file), so that a new source file is always
named on its own. Names in the page that match no file are reported too:
the page must not describe files that are gone.

Usage: architecture_check.py [ROOT]
"""
import os
import re
import subprocess
import sys

SOURCE = (".cpp", ".h", ".py", ".cmake", ".txt", ".xml", ".in")
FOLDERS = ("src", "tests")


def tracked_files(root):
    try:
        out = subprocess.run(["git", "-C", root, "ls-files", *FOLDERS], capture_output=True,
                             text=True, check=True).stdout.split()
        if out:
            return out
    except (OSError, subprocess.CalledProcessError):
        pass
    found = []
    for folder in FOLDERS:
        for base, _, names in os.walk(os.path.join(root, folder)):
            found += [os.path.relpath(os.path.join(base, n), root) for n in names]
    return found


def named_tokens(page):
    """The names in backticks, `a/b.h/.cpp` split into `a/b.h` and `a/b.cpp`."""
    tokens = set()
    for token in re.findall(r"`([^`\s]+)`", page):
        stem, *more = token.split("/.")
        tokens.add(stem)
        base = re.sub(r"\.[^./]+$", "", stem)
        tokens.update(f"{base}.{ext}" for ext in more)
    return tokens


def covers(token, path):
    if token.endswith("/"):
        return path.startswith(token) and not path.endswith(SOURCE)
    return path == token or path.endswith("/" + token)


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
    with open(os.path.join(root, "docs", "architecture.md")) as f:
        tokens = named_tokens(f.read())
    files = tracked_files(root)
    missing = [p for p in files if not any(covers(t, p) for t in tokens)]
    # A bare CMakeLists.txt names no file in particular.
    missing += [p for p in files if os.path.basename(p) == "CMakeLists.txt" and p not in tokens
                and p not in missing]
    # Names of ours (with a folder of ours or a file kind of ours) that match nothing.
    ours = [t for t in tokens if re.fullmatch(r"[\w./-]+\.(cpp|h|py)", t) or
            t.startswith(("src/", "tests/"))]
    stale = sorted(t for t in ours if not any(covers(t, p) for p in files) and
                   not os.path.exists(os.path.join(root, t)))
    for path in sorted(missing):
        print(f"FAIL docs/architecture.md does not name {path}")
    for token in stale:
        print(f"FAIL docs/architecture.md names `{token}`, which is no file of the tree")
    print(f"architecture: {len(files)} files, {len(missing) + len(stale)} failures")
    return 1 if missing or stale else 0


if __name__ == "__main__":
    sys.exit(main())
