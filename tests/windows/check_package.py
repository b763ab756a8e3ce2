#!/usr/bin/env python3
"""check_package.py: the release package of a Windows build holds exactly
what host developers get, and that is what was built.

  check_package.py --build build/windows-x86 [--arch x86|x64] [--source .]

Checks, each failure listed:
  * BUILD/Norvex-<version>-win32.zip (x64: -win64.zip) exists, <version>
    being the project's version, which include/norvex.h gives
    (NORVEX_VERSION_MAJOR, _MINOR, _PATCH) and CMake reads from there;
  * its files are exactly Norvex.dll, Norvex.lib, include/norvex.h,
    windows-host-guide.md and norvex-emu.exe (no other entry than the
    folder include/);
  * Norvex.dll is a DLL of the architecture without debug sections, which
    imports system DLLs only (kernel32, user32, setupapi, ws2_32, msvcrt);
  * norvex-emu.exe is a console program of the architecture (not a DLL),
    without debug sections, which imports system DLLs only: it runs on a PC
    with nothing else installed;
  * Norvex.lib is the build's import library, byte for byte, in Microsoft's
    format (short import members, no GNU objects), and norvex.h and the
    guide are the sources' files;
  * the packaged DLL and import library pass tests/abi/check_dll_exports.py
    (export table, ordinals, standard-call names, a program links).
"""
import argparse
import os
import re
import struct
import subprocess
import sys
import tempfile
import zipfile

EXPECTED_FILES = {"Norvex.dll", "Norvex.lib", "include/norvex.h", "windows-host-guide.md", "norvex-emu.exe"}
ALLOWED_FOLDERS = {"include/"}
# The DLLs a Windows system has: all that Norvex.dll may need beside it.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "setupapi.dll", "ws2_32.dll", "msvcrt.dll"}
ARCHES = {
    # arch: (zip suffix, PE machine, optional header magic, objdump)
    "x86": ("win32", 0x014C, 0x10B, "i686-w64-mingw32-objdump"),
    "x64": ("win64", 0x8664, 0x20B, "x86_64-w64-mingw32-objdump"),
}
IMAGE_FILE_DLL = 0x2000

FAILURES = []


def fail(message):
    FAILURES.append(message)


def project_version(source):
    with open(os.path.join(source, "include", "norvex.h"), encoding="utf-8") as f:
        header = f.read()
    parts = []
    for part in ("MAJOR", "MINOR", "PATCH"):
        match = re.search(rf"^#define NORVEX_VERSION_{part} ([0-9]+)$", header, re.MULTILINE)
        if not match:
            sys.exit(f"check_package: no #define NORVEX_VERSION_{part} in include/norvex.h")
        parts.append(match.group(1))
    return ".".join(parts)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def check_pe(name, data, arch, dll=True):
    """A DLL (or, `dll` false, a program) of `arch`: the PE signature, machine
    and DLL flag."""
    _, expected_machine, expected_magic, _ = ARCHES[arch]
    if data[:2] != b"MZ" or len(data) < 0x40:
        fail(f"{name}: not a PE file")
        return
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        fail(f"{name}: no PE signature")
        return
    machine, = struct.unpack_from("<H", data, pe + 4)
    characteristics, = struct.unpack_from("<H", data, pe + 22)
    magic, = struct.unpack_from("<H", data, pe + 24)
    if machine != expected_machine or magic != expected_magic:
        fail(f"{name}: machine 0x{machine:04X}, optional header 0x{magic:03X}, not {arch}")
    if dll and not characteristics & IMAGE_FILE_DLL:
        fail(f"{name}: not a DLL")
    if not dll and characteristics & IMAGE_FILE_DLL:
        fail(f"{name}: a DLL, not a program")


def check_microsoft_import_library(name, data):
    """Every member of the archive is a short import object (signature 0, 0xFFFF)
    or one of the import descriptor objects; a GNU import library has
    ordinary objects with .text and .idata sections instead."""
    if not data.startswith(b"!<arch>\n"):
        fail(f"{name}: not an archive")
        return
    offset, shorts, members = 8, 0, 0
    while offset + 60 <= len(data):
        member = data[offset:offset + 16].decode("ascii", "replace").rstrip()
        size = int(data[offset + 48:offset + 58].decode("ascii").strip())
        body = data[offset + 60:offset + 60 + size]
        offset += 60 + size + (size & 1)
        if member in ("/", "//", "/<ECSYMBOLS>/"):
            continue
        members += 1
        if body[:4] == b"\0\0\xff\xff":
            shorts += 1
    if shorts == 0 or members - shorts > 3:
        fail(f"{name}: {members} members, {shorts} short import objects: not in Microsoft's format")


def check_imports(name, path, objdump):
    listing = subprocess.run([objdump, "-p", path], capture_output=True, text=True)
    imported = {m.lower() for m in re.findall(r"DLL Name: (\S+)", listing.stdout)}
    if not imported:
        fail(f"{name}: no import found")
    for dll in sorted(imported - SYSTEM_DLLS):
        fail(f"{name}: imports {dll}, which is not a system DLL")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True, help="the windows-x86 or windows-x64 build folder")
    parser.add_argument("--arch", choices=sorted(ARCHES), default="x86")
    parser.add_argument("--source", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
    args = parser.parse_args()
    source = os.path.abspath(args.source)

    version = project_version(source)
    suffix, _, _, objdump = ARCHES[args.arch]
    zip_path = os.path.join(args.build, f"Norvex-{version}-{suffix}.zip")
    if not os.path.isfile(zip_path):
        sys.exit(f"check_package: {zip_path} is missing")

    expected = EXPECTED_FILES
    with zipfile.ZipFile(zip_path) as package, tempfile.TemporaryDirectory() as unpacked:
        names = package.namelist()
        files = {n for n in names if not n.endswith("/")}
        folders = {n for n in names if n.endswith("/")}
        for name in sorted(files - expected):
            fail(f"unexpected file {name}")
        for name in sorted(expected - files):
            fail(f"missing file {name}")
        for name in sorted(folders - ALLOWED_FOLDERS):
            fail(f"unexpected folder {name}")
        if len(names) != len(set(names)):
            fail("an entry is in the package twice")
        if package.testzip() is not None:
            fail(f"corrupt entry {package.testzip()}")
        present = files & expected
        package.extractall(unpacked, members=sorted(present))

        def unpacked_path(name):
            return os.path.join(unpacked, *name.split("/"))

        for name, is_dll in (("Norvex.dll", True), ("norvex-emu.exe", False)):
            if name not in present:
                continue
            path = unpacked_path(name)
            check_pe(name, read(path), args.arch, dll=is_dll)
            check_imports(name, path, objdump)
            sections = subprocess.run([objdump, "-h", path], capture_output=True, text=True)
            if sections.returncode != 0:
                fail(f"{name}: objdump cannot read it: " + sections.stderr.strip())
            elif ".debug_" in sections.stdout:
                fail(f"{name}: carries debug sections")
        same_as = {
            "Norvex.lib": os.path.join(args.build, "src", "Norvex.lib"),
            "include/norvex.h": os.path.join(source, "include", "norvex.h"),
            "windows-host-guide.md": os.path.join(source, "docs", "windows-host-guide.md"),
        }
        for name, original in same_as.items():
            if name in present and read(unpacked_path(name)) != read(original):
                fail(f"{name}: differs from {original}")
        if "Norvex.lib" in present:
            check_microsoft_import_library("Norvex.lib", read(unpacked_path("Norvex.lib")))

        if {"Norvex.dll", "Norvex.lib"} <= present:
            exports = subprocess.run(
                [sys.executable, os.path.join(source, "tests", "abi", "check_dll_exports.py"), "--arch", args.arch,
                 "--dll", unpacked_path("Norvex.dll"), "--implib", unpacked_path("Norvex.lib"),
                 "--build-def", os.path.join(args.build, "src", "Norvex.def"),
                 "--header", os.path.join(source, "include", "norvex.h"),
                 "--def", os.path.join(source, "windows", "Norvex.def")],
                capture_output=True, text=True)
            if exports.returncode != 0:
                fail("the packaged DLL's exports:\n" + exports.stdout + exports.stderr)

    for message in FAILURES:
        print(f"check_package: {message}")
    if FAILURES:
        return 1
    print(f"check_package: {os.path.basename(zip_path)}: {', '.join(sorted(expected))}: ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
