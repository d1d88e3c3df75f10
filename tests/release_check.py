#!/usr/bin/env python3
"""Checks the two release files that tools/package builds:

- one version everywhere: the project's version (project() in CMakeLists.txt)
  against the .deb's Version and file name, its changelog's newest entry, the
  packaged `ostrel-trace --version` and `ostrel-idle --version`, the manual
  pages' .TH headers, the zip's name, the README.txt inside it, and in its
  ostrel.scr the version resource (the fixed file and product versions and
  their strings) and the manifest's assemblyIdentity, in one table
  (release_check_test.py checks that it names every place the version goes);
- the Windows zip's contents: exactly ostrel.scr, README.txt and LICENSE.txt at
  its top; both texts in CRLF, LICENSE.txt the LICENSE, README.txt naming what
  a user needs; ostrel.scr a 64-bit Windows program, byte for byte the file the
  Wine tests ran when TESTED_SCR names it;
- the .deb's copyright file: Debian's machine-readable format, the Expat (MIT)
  licence with LICENSE's copyright notice and terms;
- the .deb's systemd user unit for ostrel-idle (tests/idle_unit_check.py),
  starting /usr/bin/ostrel-idle.

Usage: release_check.py DEB ZIP [TESTED_SCR]
"""
import gzip
import os
import re
import struct
import subprocess
import sys
import tempfile
import zipfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
from harness import Failures  # noqa: E402
sys.path.insert(0, os.path.join(ROOT, "tests"))
import idle_unit_check  # noqa: E402
ZIP_FILES = ["LICENSE.txt", "README.txt", "ostrel.scr"]
# What README.txt must tell a Windows user (case-insensitive).
README_TOPICS = ["right-click", "install", "on resume, display logon screen", "remove", "LICENSE.txt"]


def project_version():
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        return re.search(r"project\(ostrel VERSION ([0-9.]+)", f.read()).group(1)


# --- the version resource of a PE file --------------------------------------------------------

def pe_resource(data, type_id):
    """The raw data of a PE file's first resource of type `type_id`."""
    if data[:2] != b"MZ":
        raise ValueError("not a PE file (no MZ header)")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("not a PE file (no PE signature)")
    sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + {0x10B: 96, 0x20B: 112}[magic]
    resource_rva = struct.unpack_from("<I", data, directories + 2 * 8)[0]
    table = [struct.unpack_from("<8xIIII", data, optional + optional_size + 40 * i)
             for i in range(sections)]  # virtual size, address, raw size, raw offset

    def offset(rva):
        for size, address, raw_size, raw in table:
            if address <= rva < address + max(size, raw_size):
                return raw + rva - address
        raise ValueError(f"RVA {rva:#x} is in no section")

    base = offset(resource_rva)

    def entries(directory):
        named, ids = struct.unpack_from("<12xHH", data, base + directory)
        for i in range(named + ids):
            name, target = struct.unpack_from("<II", data, base + directory + 16 + 8 * i)
            yield name, target

    for found_type, names in entries(0):
        if found_type == type_id and names & 0x80000000:  # a directory
            _, languages = next(entries(names & 0x7FFFFFFF))
            _, leaf = next(entries(languages & 0x7FFFFFFF))
            rva, size = struct.unpack_from("<II", data, base + leaf)
            return data[offset(rva):offset(rva) + size]
    raise ValueError(f"no resource of type {type_id}")


RT_VERSION = 16
RT_MANIFEST = 24


def version_blocks(block):
    """Walks a VS_VERSIONINFO block: yields (key, value) for the fixed file info
    ('fixed', (file MS, file LS, product MS, product LS)) and each string."""
    length, value_length, kind = struct.unpack_from("<HHH", block)
    end = block.index(b"\0\0", 6)
    while (end - 6) % 2:
        end = block.index(b"\0\0", end + 1)
    key = block[6:end].decode("utf-16-le")
    at = (end + 2 + 3) & ~3
    if key == "VS_VERSION_INFO":
        signature, _, *versions = struct.unpack_from("<IIIIII", block, at)
        if signature != 0xFEEF04BD:
            raise ValueError("VS_FIXEDFILEINFO has a wrong signature")
        yield "fixed", tuple(versions)
    elif kind == 1 and value_length:  # a string: its length in UTF-16 units
        yield key, block[at:at + 2 * value_length].decode("utf-16-le").rstrip("\0")
    at = (at + (value_length if kind == 0 else 2 * value_length) + 3) & ~3
    while at < length:
        child = struct.unpack_from("<H", block, at)[0]
        if child == 0:
            break
        yield from version_blocks(block[at:at + child])
        at = (at + child + 3) & ~3


def scr_versions(data):
    """The .scr's versions: fixed file and product versions as a.b.c.d, the
    FileVersion and ProductVersion strings, and the manifest's
    assemblyIdentity version (a.b.c.d)."""
    found = dict(version_blocks(pe_resource(data, RT_VERSION)))
    file_ms, file_ls, product_ms, product_ls = found["fixed"]

    def dotted(ms, ls):
        return f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"

    return {"fixed FILEVERSION": dotted(file_ms, file_ls),
            "fixed PRODUCTVERSION": dotted(product_ms, product_ls),
            "FileVersion string": found.get("FileVersion"),
            "ProductVersion string": found.get("ProductVersion"),
            "manifest's assemblyIdentity version": manifest_version(pe_resource(data, RT_MANIFEST))}


# The .scr's versions that are a.b.c.d: the project's a.b.c with a fourth part 0.
SCR_FOUR_PART = {"fixed FILEVERSION", "fixed PRODUCTVERSION", "manifest's assemblyIdentity version"}


def manifest_version(manifest):
    match = re.search(rb'<assemblyIdentity\b[^>]*?\sversion="([^"]*)"', manifest)
    return match.group(1).decode() if match else None


# --- checks ------------------------------------------------------------------------------------

def th_version(page):
    """The version in a manual page's .TH line: .TH NAME SECTION DATE "ostrel X" ..."""
    first = page.split("\n", 1)[0]
    match = re.match(r'\.TH \S+ \d \S+ "ostrel ([^"]+)"', first)
    return match.group(1) if match else f"(no version in {first!r})"


def check_versions(f, version, deb, zip_path, unpacked):
    rows = []  # (where, version found, version expected)
    fields = subprocess.run(["dpkg-deb", "-f", deb, "Version"], capture_output=True, text=True,
                            check=True).stdout.strip()
    rows.append((".deb Version field", fields, version))
    name = re.fullmatch(r"ostrel_(.+)_[a-z0-9]+\.deb", os.path.basename(deb))
    rows.append((".deb file name", name.group(1) if name else os.path.basename(deb), version))
    with gzip.open(os.path.join(unpacked, "usr/share/doc/ostrel/changelog.gz"), "rt") as page:
        top = re.match(r"ostrel \(([^)]+)\)", page.readline())
    rows.append((".deb changelog's newest entry", top.group(1) if top else None, version))
    for tool in ("ostrel-trace", "ostrel-idle"):
        shown = subprocess.run([os.path.join(unpacked, "usr/bin", tool), "--version"],
                               capture_output=True, text=True, check=False).stdout
        rows.append((f"{tool} --version", shown.removeprefix(f"{tool} ").rstrip("\n")
                     if shown.startswith(f"{tool} ") else shown, version))
    for name in ("ostrel.1", "ostrel-trace.1", "ostrel-idle.1"):
        with gzip.open(os.path.join(unpacked, "usr/share/man/man1", name + ".gz"), "rt") as page:
            rows.append((f"man page {name} .TH", th_version(page.read()), version))
    name = re.fullmatch(r"ostrel-(.+)-windows-x64\.zip", os.path.basename(zip_path))
    rows.append(("zip file name", name.group(1) if name else os.path.basename(zip_path), version))
    with zipfile.ZipFile(zip_path) as archive:
        readme = archive.read("README.txt").decode()
        scr = archive.read("ostrel.scr")
    title = re.match(r"ostrel (\S+) ", readme)
    rows.append(("zip README.txt title", title.group(1) if title else None, version))
    try:
        for what, found in scr_versions(scr).items():
            rows.append((f"ostrel.scr {what}", found,
                         version + ".0" if what in SCR_FOUR_PART else version))
    except (ValueError, KeyError, struct.error) as error:
        f.check(False, f"ostrel.scr: cannot read its version resource: {error}")

    width = max(len(where) for where, _, _ in rows)
    print(f"{'where':<{width}}  version   (project: {version})")
    for where, found, expected in rows:
        mark = "ok" if found == expected else f"differs, expected {expected}"
        print(f"{where:<{width}}  {found}   {mark}")
        f.check(found == expected, f"{where}: {found!r}, not the project's {expected!r}")


def check_zip(f, zip_path, tested_scr):
    with zipfile.ZipFile(zip_path) as archive:
        names = sorted(archive.namelist())
        if not f.check(names == ZIP_FILES, f"{zip_path} holds {names}, expected {ZIP_FILES}"):
            return
        files = {name: archive.read(name) for name in names}
    for name in ("README.txt", "LICENSE.txt"):
        text = files[name]
        f.check(text.endswith(b"\r\n") and text.count(b"\n") == text.count(b"\r\n"),
                f"{name}: not every line ends in CRLF")
    with open(os.path.join(ROOT, "LICENSE"), "rb") as license_file:
        f.check(files["LICENSE.txt"] == license_file.read().replace(b"\n", b"\r\n"),
                "LICENSE.txt is not LICENSE (with CRLF)")
    readme = files["README.txt"].decode().lower()
    for topic in README_TOPICS:
        f.check(topic.lower() in readme, f"README.txt does not mention {topic!r}")
    f.check(max(len(line) for line in readme.split("\r\n")) <= 80, "README.txt has lines over 80 columns")
    scr = files["ostrel.scr"]
    pe = struct.unpack_from("<I", scr, 0x3C)[0] if scr[:2] == b"MZ" else None
    f.check(pe is not None and scr[pe:pe + 4] == b"PE\0\0"
            and struct.unpack_from("<H", scr, pe + 4)[0] == 0x8664,
            "ostrel.scr is not a 64-bit (x86-64) Windows program")
    if tested_scr:
        with open(tested_scr, "rb") as tested:
            f.check(scr == tested.read(), f"ostrel.scr in the zip is not {tested_scr}, the one tested")


def check_copyright(f, unpacked):
    with open(os.path.join(unpacked, "usr/share/doc/ostrel/copyright")) as page:
        text = page.read()
    with open(os.path.join(ROOT, "LICENSE")) as license_file:
        license_text = license_file.read()
    notice = re.search(r"^Copyright \(c\) (.+)$", license_text, re.M).group(1)
    f.check(text.startswith("Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"),
            "copyright: not in Debian's machine-readable format")
    f.check(f"\nCopyright: {notice}\n" in text, f"copyright: no 'Copyright: {notice}'")
    f.check("\nLicense: Expat\n" in text, "copyright: the licence is not Expat (MIT)")
    # The licence's terms, unfolded, against LICENSE's.
    body = text.split("\nLicense: Expat\n")[-1]
    unfolded = "\n".join("" if line == " ." else line[1:] for line in body.rstrip("\n").split("\n"))
    terms = license_text[license_text.index("Permission is hereby"):].rstrip("\n")
    f.check(unfolded == terms, "copyright: the licence's terms are not LICENSE's")


def check_unit(f, unpacked):
    path = os.path.join(unpacked, "usr/lib/systemd/user/ostrel-idle.service")
    if not f.check(os.path.isfile(path), "the .deb holds no /usr/lib/systemd/user/ostrel-idle.service"):
        return
    with open(path) as unit:
        idle_unit_check.check_text(f, unit.read(), "/usr/bin/ostrel-idle", "the .deb's ostrel-idle.service")


def main():
    if len(sys.argv) not in (3, 4):
        sys.exit(__doc__)
    deb, zip_path = sys.argv[1:3]
    tested_scr = sys.argv[3] if len(sys.argv) == 4 else None
    f = Failures()
    with tempfile.TemporaryDirectory() as unpacked:
        subprocess.run(["dpkg-deb", "-x", deb, unpacked], check=True)
        check_versions(f, project_version(), deb, zip_path, unpacked)
        check_copyright(f, unpacked)
        check_unit(f, unpacked)
    check_zip(f, zip_path, tested_scr)
    if f.items:
        print(f"release_check: {len(f.items)} failed", flush=True)
        return 1
    print("release_check: the .deb and the zip agree on the version; zip and copyright as expected")
    return 0


if __name__ == "__main__":
    sys.exit(main())
