#!/usr/bin/env python3
"""check_include_layers.py: the tools and the C-interface tests compile
without the library's sources on their include path.

    check_include_layers.py COMPILE_COMMANDS SOURCE_ROOT FOLDER...

Reads the build's compile_commands.json and, for every translation unit in
one of the FOLDERs (relative to SOURCE_ROOT), every folder that its command
searches for headers (-I, -isystem, -iquote, -idirafter, also inside @response
files). None of them may reach src/: not src/ itself, nothing inside it, and
no folder that holds it (the source root, from which "src/..." would be
found). Folders are compared after following links. Each FOLDER must have at
least one translation unit, so that the check never passes on nothing.
Exits 1 with a line per offending file and folder.
"""
import json
import os
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


def main():
    if len(sys.argv) < 4:
        print(__doc__, file=sys.stderr)
        return 2
    commands, root, folders = sys.argv[1], os.path.realpath(sys.argv[2]), sys.argv[3:]
    src = os.path.join(root, "src")
    with open(commands, encoding="utf-8") as f:
        entries = json.load(f)
    faults = []
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
