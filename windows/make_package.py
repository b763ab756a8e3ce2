#!/usr/bin/env python3
"""make_package.py: a build's release package, whose bytes depend on the
files' names and contents only, so that the same sources give the same
package wherever and whenever they are built.

  make_package.py CMAKE BUILD FOLDER ZIP

Installs BUILD into FOLDER with CMAKE (emptied first) with its programs stripped
(`cmake --install --strip`), then zips FOLDER: every file becomes an entry
named by its path below FOLDER (with '/'), in sorted order, without folder
entries; each has the same time, SOURCE_DATE_EPOCH when it is set (seconds
since 1970, UTC), else 1980-01-01 00:00, the earliest a zip can hold; the
same permissions (0644); and is deflated. GNU strip stamps a PE file with
SOURCE_DATE_EPOCH, else with the current time: it is given the time of the
link, 0, unless SOURCE_DATE_EPOCH is set.
"""
import os
import shutil
import subprocess
import sys
import time
import zipfile

ZIP_EPOCH = (1980, 1, 1, 0, 0, 0)


def entry_time():
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    if not epoch:
        return ZIP_EPOCH
    stamp = time.gmtime(int(epoch))[:6]
    return max(stamp, ZIP_EPOCH)


def main():
    if len(sys.argv) != 5:
        sys.exit("usage: make_package.py CMAKE BUILD FOLDER ZIP")
    cmake, build, folder, target = sys.argv[1:]
    shutil.rmtree(folder, ignore_errors=True)
    env = dict(os.environ)
    env.setdefault("SOURCE_DATE_EPOCH", "0")
    subprocess.run([cmake, "--install", build, "--prefix", folder, "--strip"], env=env, check=True)
    names = []
    for root, dirs, files in os.walk(folder):
        dirs.sort()
        for name in files:
            path = os.path.join(root, name)
            names.append(os.path.relpath(path, folder).replace(os.sep, "/"))
    if not names:
        sys.exit(f"make_package: {folder} holds no file")
    when = entry_time()
    partial = target + ".part"
    with zipfile.ZipFile(partial, "w") as package:
        for name in sorted(names):
            info = zipfile.ZipInfo(name, date_time=when)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.create_system = 3  # permissions in the Unix form
            info.external_attr = 0o100644 << 16
            with open(os.path.join(folder, *name.split("/")), "rb") as f:
                package.writestr(info, f.read(), compresslevel=9)
    os.replace(partial, target)
    print(f"make_package: {target}: {len(names)} files")


if __name__ == "__main__":
    main()
