#!/usr/bin/env python3
"""check_include_layers.py: what should see only the library's public
interface compiles without the library's sources on its include path.

    check_include_layers.py [--python HEADERS_PY] COMPILE_COMMANDS SOURCE_ROOT FOLDER...

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
Exits 1 with a line per offending file and folder.
"""
import importlib.util
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


def python_faults(headers_py, root, src):
    """The header folders of the Python package's reader that reach src/."""
    spec = importlib.util.spec_from_file_location("_norvex_headers_checked", headers_py)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    folders = [os.path.realpath(f) for f in module._FOLDERS]
    print(f"{os.path.relpath(headers_py, root)}: {len(folders)} header folders checked")
    if not folders:
        return [f"{headers_py}: no header folder"]
    return [f"{os.path.relpath(headers_py, root)}: {f} reaches src/" for f in folders if reaches(f, src)]


def main():
    args = sys.argv[1:]
    headers_py = None
    if len(args) >= 2 and args[0] == "--python":
        headers_py, args = args[1], args[2:]
    if len(args) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    commands, root, folders = args[0], os.path.realpath(args[1]), args[2:]
    src = os.path.join(root, "src")
    with open(commands, encoding="utf-8") as f:
        entries = json.load(f)
    faults = python_faults(headers_py, root, src) if headers_py else []
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
