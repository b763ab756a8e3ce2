#!/usr/bin/env python3
"""check_dll_exports.py: Norvex.dll exports what include/norvex.h declares,
at the header's ordinals, under windows/Norvex.def, and nothing else.

  check_dll_exports.py --dll Norvex.dll --implib Norvex.lib --build-def BUILD_DEF
                       --header include/norvex.h --def windows/Norvex.def
                       --arch x86|x64 [--cc COMPILER] [--complete]

Checks, each failure listed:
  * the header declares 118 functions with distinct ordinals 1..118: the
    Norvex_, NV_ and CTP_ functions at 1..75, LH_ at 76..96, HS_ at 97..118;
  * windows/Norvex.def lists exactly the header's functions, each at its
    ordinal, with the argument bytes of its parameter list (4 per argument);
  * the build's .def is that list restricted to the functions built;
  * the DLL's export table (objdump -p) holds exactly the build's functions,
    undecorated, each at its ordinal, every ordinal with a name;
  * x86: the import library names the standard-call symbols (_NAME@N), a
    program that refers to every built function links against it, and the
    32-bit layout of CommandPacket holds (command_packet_layout.c);
  * --complete: all 118 functions are built.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "windows"))
import norvex_def  # noqa: E402

FAILURES = []


def fail(message):
    FAILURES.append(message)


def family_range(name):
    if name.startswith("LH_"):
        return range(76, 97)
    if name.startswith("HS_"):
        return range(97, 119)
    return range(1, 76)


def check_header(header):
    by_ordinal = {}
    for e in header:
        if e.ordinal in by_ordinal:
            fail(f"header: ordinal {e.ordinal} given to {by_ordinal[e.ordinal]} and {e.name}")
        by_ordinal[e.ordinal] = e.name
        if e.ordinal not in family_range(e.name):
            fail(f"header: {e.name} at ordinal {e.ordinal}, outside its family's range")
    if len(header) != 118 or sorted(by_ordinal) != list(range(1, 119)):
        fail(f"header: {len(header)} functions at ordinals {sorted(by_ordinal)}, not 1..118")


def compare(what, expected, actual):
    expected = {e.name: e for e in expected}
    actual = {e.name: e for e in actual}
    for name in sorted(set(expected) - set(actual)):
        fail(f"{what}: {name} missing")
    for name in sorted(set(actual) - set(expected)):
        fail(f"{what}: {name} is not in the header")
    for name in sorted(set(expected) & set(actual)):
        if expected[name].key() != actual[name].key():
            e, a = expected[name], actual[name]
            fail(f"{what}: {name} @{a.ordinal} with {a.arg_bytes} argument bytes, "
                 f"expected @{e.ordinal} with {e.arg_bytes}")


def dll_exports(objdump, dll):
    text = subprocess.run([objdump, "-p", dll], check=True, capture_output=True, text=True).stdout
    base_match = re.search(r"Export Address Table -- Ordinal Base (\d+)", text)
    if not base_match:
        fail(f"{dll}: no export table")
        return {}, 0
    base = int(base_match.group(1))
    address_table = text[base_match.end():].split("[Ordinal/Name Pointer] Table", 1)
    rvas = re.findall(r"\[\s*\d+\] \+base\[\s*(\d+)\] ([0-9a-f]+) Export RVA", address_table[0])
    used_ordinals = {int(o) for o, rva in rvas if int(rva, 16) != 0}
    names = {}
    if len(address_table) > 1:
        for line in address_table[1].splitlines()[1:]:
            match = re.match(r"\s*\[\s*(\d+)\] (\S+)\s*$", line)
            if not match:
                break
            names[match.group(2)] = int(match.group(1)) + base
    unnamed = used_ordinals - set(names.values())
    for ordinal in sorted(unnamed):
        fail(f"{dll}: ordinal {ordinal} is exported without a name")
    return names, len(used_ordinals)


def main():
    parser = argparse.ArgumentParser()
    for option in ("--dll", "--implib", "--build-def", "--header", "--arch"):
        parser.add_argument(option, required=True)
    parser.add_argument("--def", dest="def_path", required=True)
    parser.add_argument("--objdump", default=None)
    parser.add_argument("--nm", default=None)
    parser.add_argument("--cc", default=None)
    parser.add_argument("--complete", action="store_true")
    args = parser.parse_args()
    prefix = "i686-w64-mingw32-" if args.arch == "x86" else "x86_64-w64-mingw32-"
    objdump = args.objdump or prefix + "objdump"
    nm = args.nm or prefix + "nm"
    cc = args.cc or prefix + "gcc-posix"

    header = norvex_def.parse_header(args.header)
    check_header(header)
    full_def = norvex_def.parse_def(args.def_path)
    compare(os.path.basename(args.def_path), header, full_def)

    by_name = {e.name: e for e in header}
    built = norvex_def.parse_def(args.build_def)
    if args.arch == "x86":
        compare("build .def", [by_name[e.name] for e in built if e.name in by_name], built)
    else:
        for e in built:
            if e.arg_bytes != -1:
                fail(f"build .def: {e.name} is decorated in the 64-bit build")
            if e.name not in by_name or by_name[e.name].ordinal != e.ordinal:
                fail(f"build .def: {e.name} @{e.ordinal} is not the header's")
    if not built:
        fail("build .def: no function is built")
    if args.complete and len(built) != len(header):
        fail(f"build .def: {len(built)} of {len(header)} functions built")

    names, exported = dll_exports(objdump, args.dll)
    expected = {e.name: e.ordinal for e in built}
    for name in sorted(set(names) - set(expected)):
        fail(f"DLL: exports {name} (ordinal {names[name]}), which is not built from the header")
    for name in sorted(set(expected) - set(names)):
        fail(f"DLL: does not export {name}")
    for name in sorted(set(expected) & set(names)):
        if names[name] != expected[name]:
            fail(f"DLL: {name} at ordinal {names[name]}, expected {expected[name]}")
    if exported != len(names):
        fail(f"DLL: {exported} ordinals in use, {len(names)} names")

    if args.arch == "x86":
        symbols = subprocess.run([nm, args.implib], check=True, capture_output=True, text=True).stdout
        imports = set(re.findall(r"\b__imp__(\w+@\d+)\b", symbols))
        wanted = {f"{e.name}@{by_name[e.name].arg_bytes}" for e in built if e.name in by_name}
        for symbol in sorted(wanted - imports):
            fail(f"import library: no {symbol}")
        for symbol in sorted(imports - wanted):
            fail(f"import library: unexpected {symbol}")
        with tempfile.TemporaryDirectory() as temp:
            source = os.path.join(temp, "refer_to_every_export.c")
            with open(source, "w") as out:
                out.write('#include "norvex.h"\n')
                out.write("const void *const every_export[] = {\n")
                out.writelines(f"  (const void *)&{e.name},\n" for e in built)
                out.write("};\nint main(void) { return every_export[0] == 0; }\n")
            include = os.path.dirname(os.path.abspath(args.header))
            result = subprocess.run(
                [cc, "-std=c11", "-Wall", "-Werror", "-I", include, source,
                 os.path.join(HERE, "command_packet_layout.c"), args.implib,
                 "-o", os.path.join(temp, "refer.exe")],
                capture_output=True, text=True)
            if result.returncode != 0:
                fail("a 32-bit program referring to every export does not build or link against "
                     "the import library:\n" + result.stdout + result.stderr)

    if FAILURES:
        for message in FAILURES:
            print("FAIL:", message)
        return 1
    print(f"{args.arch}: {len(names)} of {len(header)} functions exported at the header's ordinals, "
          f"nothing else; Norvex.def agrees with the header")
    if args.arch == "x86":
        sizes = {}
        for e in built:
            sizes[by_name[e.name].arg_bytes] = sizes.get(by_name[e.name].arg_bytes, 0) + 1
        spread = ", ".join(f"{count} x @{size}" for size, count in sorted(sizes.items()))
        print(f"x86: import library: {len(wanted)} stdcall symbols with the header's argument sizes "
              f"({spread}); a 32-bit C program referring to every export links against it")
    return 0


if __name__ == "__main__":
    sys.exit(main())
