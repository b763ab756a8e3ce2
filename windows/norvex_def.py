#!/usr/bin/env python3
"""norvex_def.py: the module-definition (.def) files of Norvex.dll.

The ordinals come from the "[ordinal N]" tags of include/norvex.h, the
argument sizes of the 32-bit standard-call names from its parameter lists
(every argument is 4 bytes on 32-bit Windows).

  norvex_def.py full HEADER                    the whole .def (windows/Norvex.def)
  norvex_def.py build DEF ARCH OUT SOURCE...   the .def of one build: the entries
                                               of DEF whose function is defined in
                                               one of the SOURCE files; ARCH x86
                                               keeps the decorated names, x64
                                               drops the decoration
  norvex_def.py table DEF OUT                  the entries of DEF as C++ initialisers
                                               {ordinal, "name"}
  norvex_def.py calls DEF HEADER OUT           the same with each function's
                                               arguments from HEADER, one letter
                                               each: p a pointer, v a value
                                               {ordinal, "name", "pv"}
"""
import re
import sys

DECLARATION = re.compile(
    r"NORVEX_API\s+(?P<ret>[^;]*?)\bNORVEX_CALL\s+(?P<name>\w+)\s*\((?P<params>[^)]*)\)\s*;")
ORDINAL_TAG = re.compile(r"\[ordinal (\d+)\]")
DEF_ENTRY = re.compile(r"^\s*(?P<name>\w+)(?:@(?P<bytes>\d+))?\s+@(?P<ordinal>\d+)\s*$")
# Argument types that are 4 bytes wide on 32-bit Windows.
WIDE_TYPES = re.compile(r"\b(u?int64_t|double|long\s+long)\b")


class Export:
    def __init__(self, name, ordinal, arg_bytes, arg_kinds=""):
        self.name = name
        self.ordinal = ordinal
        self.arg_bytes = arg_bytes
        self.arg_kinds = arg_kinds

    def key(self):
        return (self.name, self.ordinal, self.arg_bytes)

    def def_line(self, arch="x86"):
        decorated = f"{self.name}@{self.arg_bytes}" if arch == "x86" else self.name
        return f"  {decorated} @{self.ordinal}"


def parse_header(path):
    """The header's functions in declaration order, each with the ordinal of
    the nearest tag before it since the previous declaration."""
    text = open(path, encoding="utf-8").read()
    exports = []
    previous_end = 0
    for match in DECLARATION.finditer(text):
        tags = ORDINAL_TAG.findall(text, previous_end, match.start())
        previous_end = match.end()
        name = match.group("name")
        if not tags:
            raise SystemExit(f"{path}: {name} has no [ordinal N] tag")
        params = match.group("params").strip()
        if WIDE_TYPES.search(params):
            raise SystemExit(f"{path}: {name} takes an argument wider than 4 bytes")
        args = [] if params in ("", "void") else params.split(",")
        kinds = "".join("p" if "*" in arg else "v" for arg in args)
        exports.append(Export(name, int(tags[-1]), 4 * len(args), kinds))
    return exports


def parse_def(path):
    exports = []
    in_exports = False
    for line in open(path, encoding="utf-8"):
        line = line.split(";", 1)[0].rstrip()
        if not line.strip():
            continue
        if line.strip() == "EXPORTS":
            in_exports = True
            continue
        if not in_exports:
            continue
        match = DEF_ENTRY.match(line)
        if not match:
            raise SystemExit(f"{path}: cannot read the entry '{line.strip()}'")
        exports.append(Export(match.group("name"), int(match.group("ordinal")),
                              int(match.group("bytes") or -1)))
    return exports


def defined_functions(sources):
    """Names of the interface functions that the sources define (a body, not
    a declaration)."""
    names = set()
    definition = re.compile(r"NORVEX_CALL\s+(\w+)\s*\([^;{]*\)\s*\{")
    for path in sources:
        names.update(definition.findall(open(path, encoding="utf-8").read()))
    return names


def render(exports, arch, note):
    lines = [f"; {note}", "LIBRARY Norvex.dll", "EXPORTS"]
    lines += [e.def_line(arch) for e in sorted(exports, key=lambda e: e.ordinal)]
    return "\n".join(lines) + "\n"


FULL_NOTE = ("Norvex.def: the exports of Norvex.dll, 32-bit standard-call names with their argument "
             "bytes, at fixed ordinals (linked with --kill-at, so exported undecorated). Written by "
             "windows/norvex_def.py full include/norvex.h; tests/abi/check_dll_exports.py holds it "
             "against the header and the built DLL.")


def main(argv):
    if len(argv) == 3 and argv[1] == "full":
        sys.stdout.write(render(parse_header(argv[2]), "x86", FULL_NOTE))
        return 0
    if len(argv) >= 5 and argv[1] == "build":
        def_path, arch, out = argv[2], argv[3], argv[4]
        if arch not in ("x86", "x64"):
            raise SystemExit(f"unknown architecture {arch}")
        present = defined_functions(argv[5:])
        chosen = [e for e in parse_def(def_path) if e.name in present]
        text = render(chosen, arch, f"Generated from {def_path} for {arch}: the functions built so far.")
        try:
            if open(out, encoding="utf-8").read() == text:
                return 0  # unchanged: no relink
        except OSError:
            pass
        open(out, "w", encoding="utf-8").write(text)
        return 0
    if len(argv) == 4 and argv[1] == "table":
        # The entries of a .def as C++ initialisers {ordinal, "name"}, for tests.
        text = "".join(f'{{{e.ordinal}, "{e.name}"}},\n' for e in parse_def(argv[2]))
        open(argv[3], "w", encoding="utf-8").write(text)
        return 0
    if len(argv) == 5 and argv[1] == "calls":
        # The entries of a .def with their argument kinds, for the test that
        # calls every export as a host does.
        kinds = {e.name: e.arg_kinds for e in parse_header(argv[3])}
        text = "".join(f'{{{e.ordinal}, "{e.name}", "{kinds[e.name]}"}},\n' for e in parse_def(argv[2]))
        open(argv[4], "w", encoding="utf-8").write(text)
        return 0
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
