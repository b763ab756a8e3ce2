#!/usr/bin/env python3
"""check_package.py: the release package of the 32-bit Windows build holds
exactly what host developers get, and that is what was built.

  check_package.py --build build/windows-x86 [--source .]

Checks, each failure listed:
  * BUILD/Norvex-<version>-win32.zip exists, <version> being the project's
    version in the top CMakeLists.txt;
  * its files are exactly Norvex.dll, Norvex.lib, include/norvex.h,
    windows-host-guide.md and norvex-emu.exe (no other entry than the
    folder include/);
  * Norvex.dll is a 32-bit (i386) DLL without debug sections;
  * Norvex.lib is the build's import library, byte for byte, and norvex.h
    and the guide are the sources' files;
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
IMAGE_FILE_MACHINE_I386 = 0x014C
IMAGE_FILE_DLL = 0x2000

FAILURES = []


def fail(message):
    FAILURES.append(message)


def project_version(source):
    with open(os.path.join(source, "CMakeLists.txt"), encoding="utf-8") as f:
        match = re.search(r"project\(\s*Norvex\s+VERSION\s+([0-9.]+)", f.read())
    if not match:
        sys.exit("check_package: no project(Norvex VERSION ...) in CMakeLists.txt")
    return match.group(1)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def check_pe(name, data):
    """A 32-bit i386 DLL: the PE signature, machine and DLL flag."""
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
    if machine != IMAGE_FILE_MACHINE_I386 or magic != 0x10B:
        fail(f"{name}: machine 0x{machine:04X}, optional header 0x{magic:03X}, not 32-bit i386")
    if not characteristics & IMAGE_FILE_DLL:
        fail(f"{name}: not a DLL")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True, help="the windows-x86 build folder")
    parser.add_argument("--source", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
    args = parser.parse_args()
    source = os.path.abspath(args.source)

    version = project_version(source)
    zip_path = os.path.join(args.build, f"Norvex-{version}-win32.zip")
    if not os.path.isfile(zip_path):
        sys.exit(f"check_package: {zip_path} is missing")

    with zipfile.ZipFile(zip_path) as package, tempfile.TemporaryDirectory() as unpacked:
        names = package.namelist()
        files = {n for n in names if not n.endswith("/")}
        folders = {n for n in names if n.endswith("/")}
        for name in sorted(files - EXPECTED_FILES):
            fail(f"unexpected file {name}")
        for name in sorted(EXPECTED_FILES - files):
            fail(f"missing file {name}")
        for name in sorted(folders - ALLOWED_FOLDERS):
            fail(f"unexpected folder {name}")
        if len(names) != len(set(names)):
            fail("an entry is in the package twice")
        if package.testzip() is not None:
            fail(f"corrupt entry {package.testzip()}")
        present = files & EXPECTED_FILES
        package.extractall(unpacked, members=sorted(present))

        def unpacked_path(name):
            return os.path.join(unpacked, *name.split("/"))

        if "Norvex.dll" in present:
            dll = unpacked_path("Norvex.dll")
            check_pe("Norvex.dll", read(dll))
            sections = subprocess.run(["i686-w64-mingw32-objdump", "-h", dll], capture_output=True, text=True)
            if sections.returncode != 0:
                fail("Norvex.dll: objdump cannot read it: " + sections.stderr.strip())
            elif ".debug_" in sections.stdout:
                fail("Norvex.dll: carries debug sections")
        same_as = {
            "Norvex.lib": os.path.join(args.build, "src", "Norvex.lib"),
            "include/norvex.h": os.path.join(source, "include", "norvex.h"),
            "windows-host-guide.md": os.path.join(source, "docs", "windows-host-guide.md"),
        }
        for name, original in same_as.items():
            if name in present and read(unpacked_path(name)) != read(original):
                fail(f"{name}: differs from {original}")

        if {"Norvex.dll", "Norvex.lib"} <= present:
            exports = subprocess.run(
                [sys.executable, os.path.join(source, "tests", "abi", "check_dll_exports.py"), "--arch", "x86",
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
    print(f"check_package: {os.path.basename(zip_path)}: {', '.join(sorted(EXPECTED_FILES))}: ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
