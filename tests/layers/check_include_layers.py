#!/usr/bin/env python3
"""check_include_layers.py: what should see only the library's public
interface compiles without the library's sources on its include path.

    check_include_layers.py [--python HEADERS_PY] [--wire-only FOLDER WIRE_SOURCES]
                            COMPILE_COMMANDS SOURCE_ROOT FOLDER...

Reads the build's compile_commands.json and, for every translation unit in
one of the FOLDERs (relative to SOURCE_ROOT), every folder that its command
searches for headers (-I, -isystem, -iquote, -idirafter, also inside @response
files). None of them may reach src/: not src/ itself, nothing inside it, and
no folder that holds it (the source root, from which "src/..." would be
found). Folders are compared after following links. Each FOLDER must have at
least one translation unit, so that the check never passes on nothing.

The Python package compiles nothing; what it reads of the library are
headers, from the folders that its header reader (HEADERS_PY, the package's
_headers.py) names in _FOLDERS. With --python, none of those may reach src/
either, and the reader must name at least one.

With --wire-only, the sources and headers of FOLDER (the emulator) may
include from src/ only the wire codec's own headers: those of WIRE_SOURCES
(a ';'-separated list of the codec's .cpp files relative to src/, as the
build names them), so that the device knows the library's frames and device
messages and nothing else of it.
Exits 1 with a line per offending file and folder.
"""
import runpy
import json
import os
import re
import shlex
import sys

FLAGS = ("-I", "-isystem", "-iquote", "-idirafter")


def arguments(entry):
    if "arguments" in entry:
        args = list(entry["arguments"])
    else:
        args = shlex.split(entry["command"])
    expanded = []
    for arg in args:
        if arg.startswith("@"):
            path = os.path.join(entry["directory"], arg[1:])
            with open(path, encoding="utf-8") as f:
                expanded += shlex.split(f.read())
        else:
            expanded.append(arg)
    return expanded


def include_folders(entry):
    args = arguments(entry)
    found = []
    for i, arg in enumerate(args):
        if arg in FLAGS:
            if i + 1 < len(args):
                found.append(args[i + 1])
            continue
        for flag in FLAGS:
            if arg.startswith(flag):
                found.append(arg[len(flag):])
                break
    return [os.path.realpath(os.path.join(entry["directory"], f)) for f in found]


def reaches(folder, src):
    return folder == src or folder.startswith(src + os.sep) or src.startswith(folder.rstrip(os.sep) + os.sep)


def python_faults(headers_py, root, src):
    """The header folders of the Python package's reader that reach src/."""
    reader = runpy.run_path(headers_py, run_name="_norvex_headers_checked")
    folders = [os.path.realpath(f) for f in reader["_FOLDERS"]]
    print(f"{os.path.relpath(headers_py, root)}: {len(folders)} header folders checked")
    if not folders:
        return [f"{headers_py}: no header folder"]
    return [f"{os.path.relpath(headers_py, root)}: {f} reaches src/" for f in folders if reaches(f, src)]


def wire_only_faults(folder, wire_sources, root, src):
    """The includes of `folder`'s files that reach src/ beyond the codec's headers."""
    allowed = {os.path.splitext(f)[0] + ".h" for f in wire_sources.split(";") if f}
    include = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.M)
    faults = []
    checked = 0
    for base, _, files in os.walk(os.path.join(root, folder)):
        for name in sorted(files):
            if not name.endswith((".c", ".cpp", ".h")):
                continue
            path = os.path.join(base, name)
            checked += 1
            with open(path, encoding="utf-8") as f:
                for header in include.findall(f.read()):
                    if os.path.exists(os.path.join(src, header)) and header not in allowed:
                        faults.append(f"{os.path.relpath(path, root)}: includes src/{header}, not the wire codec's")
    print(f"{folder}: {checked} files include from src/ the wire codec's {len(allowed)} headers at most")
    if not checked or not allowed:
        faults.append(f"{folder}: nothing to check")
    return faults


def main():
    args = sys.argv[1:]
    headers_py = None
    wire_only = []
    while len(args) >= 2 and args[0] in ("--python", "--wire-only"):
        if args[0] == "--python":
            headers_py, args = args[1], args[2:]
        elif len(args) >= 3:
            wire_only.append((args[1], args[2]))
            args = args[3:]
        else:
            break
    if len(args) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    commands, root, folders = args[0], os.path.realpath(args[1]), args[2:]
    src = os.path.join(root, "src")
    with open(commands, encoding="utf-8") as f:
        entries = json.load(f)
    faults = python_faults(headers_py, root, src) if headers_py else []
    for folder, wire_sources in wire_only:
        faults += wire_only_faults(folder, wire_sources, root, src)
    for folder in folders:
        prefix = os.path.join(root, folder) + os.sep
        units = [e for e in entries
                 if os.path.realpath(os.path.join(e["directory"], e["file"])).startswith(prefix)]
        if not units:
            faults.append(f"{folder}: no translation unit in {commands}")
        for entry in units:
            for include in include_folders(entry):
                if reaches(include, src):
                    faults.append(f"{os.path.relpath(entry['file'], root)}: {include} reaches src/")
        print(f"{folder}: {len(units)} translation units checked")
    for fault in sorted(set(faults)):
        print(fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
