#!/usr/bin/env python3
"""Checks that release_check.py notices a wrong version in every place the
version goes.

The places are found in the tree, not taken from release_check: each file
that CMake fills with the project's version (@PROJECT_VERSION...@ or
${PROJECT_VERSION}) names the places in the release files it ends up in, and
every manual page that cmake/packaging.cmake installs is one. Then, for each
place, a small fabricated .deb and zip carry the project's version everywhere
but there: release_check must report that place, and only it; with no place
wrong it must report nothing. Needs dpkg-deb and no build.

Usage: release_check_test.py
Exit status: 0 passed, 1 failed.
"""
import contextlib
import gzip
import io
import os
import re
import stat
import struct
import subprocess
import sys
import tempfile
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import release_check  # noqa: E402
from release_check import ROOT, Failures  # noqa: E402

WRONG = "9.8.7"
RT_VERSION = 16  # the resource types of a PE file
RT_MANIFEST = 24
# A file that CMake fills with the version, and the places of the release files
# that it puts the version in (the rows of release_check's table). The manual
# pages are added from packaging.cmake.
CARRIERS = {
    "cmake/packaging.cmake": [".deb Version field", ".deb file name",
                              ".deb changelog's newest entry"],
    "cmake/packaging_windows.cmake": ["zip file name"],
    "cmake/windows-readme.txt.in": ["zip README.txt title"],
    "tools/CMakeLists.txt": ["ostrel-trace --version"],
    "src/CMakeLists.txt": ["ostrel-idle --version"],
    "src/platform/win32/ostrel.manifest.in": ["ostrel.scr manifest's assemblyIdentity version"],
    # Its lines with the version, each a place: see rc_places.
    "src/platform/win32/ostrel.rc.in": None,
}
VERSION_MARK = re.compile(r"@PROJECT_VERSION[A-Z_]*@|\$\{PROJECT_VERSION[A-Z_]*\}")


def rc_places(text):
    """The places of the version resource script's lines with the version."""
    places = []
    for line in text.splitlines():
        if not VERSION_MARK.search(line):
            continue
        fixed = re.match(r"\s*(FILEVERSION|PRODUCTVERSION)\s", line)
        string = re.match(r'\s*VALUE\s+"(\w+)"', line)
        places.append(f"ostrel.scr fixed {fixed.group(1)}" if fixed
                      else f"ostrel.scr {string.group(1)} string" if string
                      else f"(a line of ostrel.rc.in no place is known for: {line.strip()!r})")
    return places


def installed_pages():
    """The manual pages cmake/packaging.cmake installs."""
    with open(os.path.join(ROOT, "cmake/packaging.cmake")) as text:
        return re.search(r"foreach\(page IN ITEMS ([^)]+)\)", text.read()).group(1).split()


def places_in_tree(f):
    """Every place the version goes: [(place, the file that puts it there)]."""
    carriers = set()
    for directory, folders, files in os.walk(ROOT):
        folders[:] = [d for d in folders if d not in (".git", "build", "tests")]
        for name in files:
            if name.endswith((".in", ".cmake")) or name == "CMakeLists.txt":
                path = os.path.join(directory, name)
                with open(path, encoding="utf-8", errors="replace") as text:
                    if VERSION_MARK.search(text.read()):
                        carriers.add(os.path.relpath(path, ROOT))
    pages = installed_pages()
    known = set(CARRIERS) | {f"docs/{page}.in" for page in pages}
    f.check(carriers == known,
            f"the files that carry the version are {sorted(carriers)}; this test knows "
            f"{sorted(known)}: a new one puts the version in a place release_check must check "
            f"(add it there and here)")
    places = []
    for source, named in CARRIERS.items():
        if named is None:
            with open(os.path.join(ROOT, source)) as text:
                named = rc_places(text.read())
        places += [(place, source) for place in named]
    places += [(f"man page {page} .TH", f"docs/{page}.in") for page in pages]
    return places


# --- a fabricated release ---------------------------------------------------------------------

def version_block(key, value=b"", kind=0, value_length=0, children=()):
    """One block of a VS_VERSIONINFO: header, key, value, children, 4-aligned."""
    out = struct.pack("<HHH", 0, value_length, kind) + (key + "\0").encode("utf-16-le")
    out += b"\0" * (-len(out) % 4) + value
    for child in children:
        out += b"\0" * (-len(out) % 4) + child
    return struct.pack("<H", len(out)) + out[2:]


def version_info(fixed_file, fixed_product, strings):
    def parts(dotted):
        a, b, c, d = (int(n) for n in dotted.split("."))
        return (a << 16 | b, c << 16 | d)

    fixed = struct.pack("<13I", 0xFEEF04BD, 0x10000, *parts(fixed_file), *parts(fixed_product),
                        0x3F, 0, 0x40004, 1, 0, 0, 0)
    table = [version_block(key, (text + "\0").encode("utf-16-le"), 1, len(text) + 1)
             for key, text in strings.items()]
    return version_block("VS_VERSION_INFO", fixed, 0, len(fixed), [
        version_block("StringFileInfo", kind=1, children=[
            version_block("040904B0", kind=1, children=table)])])


def pe_with_resources(resources):
    """A 64-bit PE file whose one section holds `resources` ({type id: data}),
    each as name 1, language 0x409."""
    rva = 0x1000
    types = sorted(resources)
    directories = 16 + 8 * len(types) + len(types) * (2 * (16 + 8) + 16)
    section = bytearray(struct.pack("<12xHH", 0, len(types)))
    data_at = directories
    blobs = b""
    for i, type_id in enumerate(types):
        names = 16 + 8 * len(types) + i * (2 * (16 + 8) + 16)
        section += struct.pack("<II", type_id, 0x80000000 | names)
    for i, type_id in enumerate(types):
        names = 16 + 8 * len(types) + i * (2 * (16 + 8) + 16)
        languages, leaf = names + 24, names + 48
        section += struct.pack("<12xHHII", 0, 1, 1, 0x80000000 | languages)
        section += struct.pack("<12xHHII", 0, 1, 0x409, leaf)
        blob = resources[type_id] + b"\0" * (-len(resources[type_id]) % 8)
        section += struct.pack("<IIII", rva + data_at + len(blobs), len(resources[type_id]), 0, 0)
        blobs += blob
    section += blobs
    optional = bytearray(240)
    struct.pack_into("<H", optional, 0, 0x20B)
    struct.pack_into("<I", optional, 108, 16)
    struct.pack_into("<II", optional, 112 + 2 * 8, rva, len(section))
    header = struct.pack("<4sHHIIIHH", b"PE\0\0", 0x8664, 1, 0, 0, 0, len(optional), 0x22)
    table = struct.pack("<8sIIIIIIHHI", b".rsrc", len(section), rva, len(section), 0x200, 0, 0, 0,
                        0, 0x40000040)
    dos = bytearray(0x40)
    dos[:2] = b"MZ"
    struct.pack_into("<I", dos, 0x3C, 0x40)
    image = bytes(dos) + header + bytes(optional) + table
    return image + b"\0" * (0x200 - len(image)) + bytes(section)


def fabricate(directory, version, wrong_place):
    """A .deb (with its unpacked tree) and a zip with `version` in every place
    but `wrong_place`, which gets WRONG; returns (deb, zip, unpacked)."""
    def at(place, four_part=False):
        found = WRONG if place == wrong_place else version
        return found + ".0" if four_part else found

    tree = os.path.join(directory, "tree")
    control = at(".deb Version field")
    changelog = at(".deb changelog's newest entry")
    trace = at("ostrel-trace --version")
    idle = at("ostrel-idle --version")
    files = {
        "DEBIAN/control": f"Package: ostrel\nVersion: {control}\nArchitecture: amd64\n"
                          "Maintainer: test <test@example.com>\nDescription: fabricated\n".encode(),
        "usr/share/doc/ostrel/changelog.gz": gzip.compress(
            f"ostrel ({changelog}) unstable; urgency=medium\n".encode()),
        "usr/bin/ostrel-trace": f"#!/bin/sh\necho 'ostrel-trace {trace}'\n".encode(),
        "usr/bin/ostrel-idle": f"#!/bin/sh\necho 'ostrel-idle {idle}'\n".encode(),
    }
    for page in installed_pages():
        header = at(f"man page {page} .TH")
        files[f"usr/share/man/man1/{page}.gz"] = gzip.compress(
            f'.TH X 1 2026-01-01 "ostrel {header}" "User Commands"\n'.encode())
    for path, data in files.items():
        os.makedirs(os.path.dirname(os.path.join(tree, path)), mode=0o755, exist_ok=True)
        with open(os.path.join(tree, path), "wb") as out:
            out.write(data)
    for tool in ("ostrel-trace", "ostrel-idle"):
        os.chmod(os.path.join(tree, "usr/bin", tool), 0o755)
    for folder, _, _ in os.walk(tree):
        os.chmod(folder, 0o755)
    deb = os.path.join(directory, f"ostrel_{at('.deb file name')}_amd64.deb")
    subprocess.run(["dpkg-deb", "-Znone", "-b", tree, deb], check=True, capture_output=True)

    strings = {"FileVersion": at("ostrel.scr FileVersion string"),
               "ProductVersion": at("ostrel.scr ProductVersion string")}
    identity = at("ostrel.scr manifest's assemblyIdentity version", four_part=True)
    manifest = ('<assembly manifestVersion="1.0"><assemblyIdentity type="win32" name="ostrel" '
                f'version="{identity}"/></assembly>').encode()
    scr = pe_with_resources({
        RT_VERSION: version_info(at("ostrel.scr fixed FILEVERSION", four_part=True),
                                               at("ostrel.scr fixed PRODUCTVERSION", four_part=True),
                                               strings),
        RT_MANIFEST: manifest})
    zip_path = os.path.join(directory, f"ostrel-{at('zip file name')}-windows-x64.zip")
    with zipfile.ZipFile(zip_path, "w") as archive:
        archive.writestr("README.txt", f"ostrel {at('zip README.txt title')} - a screen saver\r\n")
        archive.writestr("ostrel.scr", scr)
    return deb, zip_path, tree


def reported(version, place):
    """What release_check's version table reports for a release wrong at `place`."""
    with tempfile.TemporaryDirectory() as directory:
        deb, zip_path, unpacked = fabricate(directory, version, place)
        found = Failures()
        table = io.StringIO()
        with contextlib.redirect_stdout(table):
            release_check.check_versions(found, version, deb, zip_path, unpacked)
    return found.items, table.getvalue()


def main():
    f = Failures()
    version = release_check.project_version()
    places = places_in_tree(f)
    items, table = reported(version, None)
    f.check(items == [], f"a release right everywhere: release_check reports {items}\n{table}")
    for place, source in places:
        items, table = reported(version, place)
        ok = f.check(len(items) == 1 and items[0].startswith(f"{place}: '{WRONG}"),
                     f"{place} (from {source}) wrong: release_check reports {items}\n{table}")
        if ok:
            print(f"ok    {place} (from {source}) wrong is reported", flush=True)
    return f.finish("release_check_test")


if __name__ == "__main__":
    sys.exit(main())
