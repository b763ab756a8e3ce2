#!/usr/bin/env python3
"""build_hosts.py: the example hosts of tests/msvc, built as Visual Studio
builds them, against a release package exactly as it is shipped.

  build_hosts.py --arch x86|x64 --package Norvex-<version>-win32.zip --out DIR

Unpacks the package into DIR/package and builds, each in a folder of its own
with the package's Norvex.dll beside it:
  DIR/example_host/example_host.exe          (example_host.c)
  DIR/example_host_cpp/example_host_cpp.exe  (example_host.cpp)
  DIR/dynamic_host/dynamic_host.exe          (dynamic_host.c)
Compiled by clang for i686-pc-windows-msvc or x86_64-pc-windows-msvc with
Microsoft's extensions, against the package's include/norvex.h and, for the
few declarations of the Windows SDK and the C library they use, sdk/ (no
MinGW header); linked by lld-link with its defaults (for x86 that includes
/SAFESEH) against the package's Norvex.lib, import libraries of kernel32 and
user32 made here from kernel32.def and user32.def, and minimal_crt.c in
place of Microsoft's C library. every_export.inc lists every function of
the package's norvex.h with its ordinal. Each command is printed.
"""
import argparse
import os
import shutil
import subprocess
import sys
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "windows"))
import norvex_def  # noqa: E402

TARGETS = {"x86": ("i686-pc-windows-msvc", "i386"), "x64": ("x86_64-pc-windows-msvc", "i386:x86-64")}
# host: (its source, whether Norvex.lib is named to the linker; example_host.c
# names it itself with #pragma comment(lib), the dynamic host needs none)
HOSTS = {
    "example_host": ("example_host.c", False),
    "example_host_cpp": ("example_host.cpp", True),
    "dynamic_host": ("dynamic_host.c", False),
}


def run(command, **kwargs):
    print("+ " + " ".join(command), flush=True)
    subprocess.run(command, check=True, **kwargs)


def system_import_library(dlltool, machine, arch, def_path, out):
    """An import library from one of the .def files here; for x64 the
    names lose their 32-bit decoration."""
    source = def_path
    if arch == "x64":
        source = out + ".def"
        with open(def_path, encoding="utf-8") as f, open(source, "w", encoding="utf-8") as plain:
            for line in f:
                plain.write(line.split("@", 1)[0].rstrip() + "\n" if "@" in line and ";" not in line else line)
    run([dlltool, "-m", machine, "-d", source, "-k", "-l", out])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--arch", choices=sorted(TARGETS), required=True)
    parser.add_argument("--package", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--clang", default="clang-14")
    parser.add_argument("--lld-link", dest="lld_link", default="lld-link-14")
    parser.add_argument("--dlltool", default="llvm-dlltool-14")
    args = parser.parse_args()
    triple, machine = TARGETS[args.arch]
    out = os.path.abspath(args.out)
    shutil.rmtree(out, ignore_errors=True)
    package = os.path.join(out, "package")
    generated = os.path.join(out, "generated")
    libraries = os.path.join(out, "sdk-lib")
    objects = os.path.join(out, "obj")
    for folder in (package, generated, libraries, objects):
        os.makedirs(folder)
    with zipfile.ZipFile(args.package) as z:
        z.extractall(package)

    header = os.path.join(package, "include", "norvex.h")
    with open(os.path.join(generated, "every_export.inc"), "w", encoding="utf-8") as f:
        f.write("/* every_export.inc: every function of the package's norvex.h and its ordinal. */\n")
        for export in norvex_def.parse_header(header):
            f.write(f"NORVEX_EXPORT({export.name}, {export.ordinal})\n")
    for name in ("kernel32", "user32"):
        system_import_library(args.dlltool, machine, args.arch, os.path.join(HERE, name + ".def"),
                              os.path.join(libraries, name + ".lib"))

    compile_c = [args.clang, f"--target={triple}", "-fms-extensions", "-O2", "-Wall", "-Wextra", "-Werror",
                 "-I", os.path.join(HERE, "sdk"), "-I", os.path.join(package, "include"), "-I", generated, "-c"]
    crt = os.path.join(objects, "minimal_crt.obj")
    run(compile_c + ["-std=c11", "-ffreestanding", os.path.join(HERE, "minimal_crt.c"), "-o", crt])
    # lld-link finds the libraries named without a folder (the pragma's too)
    # in the folders of LIB, as Microsoft's linker does.
    env = dict(os.environ, LIB=";".join([package, libraries]))
    for host, (source, names_norvex_lib) in HOSTS.items():
        language = ["-x", "c++", "-std=c++17", "-fno-exceptions", "-fno-rtti"] if source.endswith(".cpp") \
            else ["-std=c11"]
        obj = os.path.join(objects, host + ".obj")
        run(compile_c + language + [os.path.join(HERE, source), "-o", obj])
        folder = os.path.join(out, host)
        os.makedirs(folder)
        link = [args.lld_link, f"/out:{os.path.join(folder, host + '.exe')}", obj, crt, "kernel32.lib", "user32.lib"]
        if names_norvex_lib:
            link.append("Norvex.lib")
        run(link, env=env)
        shutil.copy(os.path.join(package, "Norvex.dll"), folder)
    return 0


if __name__ == "__main__":
    sys.exit(main())
