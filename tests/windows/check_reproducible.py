#!/usr/bin/env python3
"""check_reproducible.py: the same sources, built in another folder, give the
same release package, byte for byte.

  check_reproducible.py --preset windows-x86 --build build/windows-x86 [--source .]

Copies the source tree (the files git knows, and new ones it does not
ignore) to a fresh folder of another name and length, builds the package
there with the same preset (tests off, without a compiler cache, so that
every object is compiled anew, and in another time zone), and compares the
zip, the DLL in it and the import library with those of BUILD, which must
have made its package already. Each difference is named with its first
differing byte.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile


def source_files(source):
    listing = subprocess.run(["git", "-C", source, "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                             capture_output=True)
    if listing.returncode != 0:
        sys.exit("check_reproducible: the source tree is not a git checkout")
    return [name for name in listing.stdout.decode().split("\0") if name]


def copy_tree(source, target):
    for name in source_files(source):
        origin = os.path.join(source, name)
        if not os.path.isfile(origin):
            continue  # removed from the work tree, not yet from the index
        destination = os.path.join(target, name)
        os.makedirs(os.path.dirname(destination), exist_ok=True)
        shutil.copy2(origin, destination)


def first_difference(a, b):
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return i
    return min(len(a), len(b))


def package_name(build):
    zips = [n for n in os.listdir(build) if n.startswith("Norvex-") and n.endswith(".zip")]
    if len(zips) != 1:
        sys.exit(f"check_reproducible: {build} holds {len(zips)} packages, not one")
    return zips[0]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--preset", required=True)
    parser.add_argument("--build", required=True, help="the preset's build folder, with its package made")
    parser.add_argument("--source", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
    args = parser.parse_args()
    source = os.path.abspath(args.source)
    build = os.path.abspath(args.build)
    name = package_name(build)

    env = dict(os.environ, CCACHE_DISABLE="1", TZ="Pacific/Kiritimati")
    for variable in ("CMAKE_C_COMPILER_LAUNCHER", "CMAKE_CXX_COMPILER_LAUNCHER", "SOURCE_DATE_EPOCH"):
        env.pop(variable, None)
    with tempfile.TemporaryDirectory(prefix="norvex-built-elsewhere-") as temp:
        tree = os.path.join(temp, "a", "longer", "path", "to", "the-sources")
        other = os.path.join(temp, "another-build")
        copy_tree(source, tree)
        for command in (["cmake", "--preset", args.preset, "-B", other, "-DNORVEX_BUILD_TESTS=OFF"],
                        ["cmake", "--build", other, "--target", "package", "-j2"]):
            result = subprocess.run(command, cwd=tree, env=env, capture_output=True, text=True)
            if result.returncode != 0:
                print(result.stdout[-3000:] + result.stderr[-3000:])
                sys.exit(f"check_reproducible: {' '.join(command)} failed")

        failures = []
        compared = [(name, name), ("Norvex.dll in the package", os.path.join("package-staging", "Norvex.dll")),
                    ("Norvex.lib", os.path.join("src", "Norvex.lib"))]
        for what, path in compared:
            with open(os.path.join(build, path), "rb") as f:
                ours = f.read()
            other_path = os.path.join(other, path)
            if not os.path.exists(other_path):
                failures.append(f"{what}: not made by the second build")
                continue
            with open(other_path, "rb") as f:
                theirs = f.read()
            if ours != theirs:
                failures.append(f"{what}: {len(ours)} and {len(theirs)} bytes, "
                                f"first difference at byte {first_difference(ours, theirs)}")
    for message in failures:
        print(f"check_reproducible: FAIL: {message}")
    if failures:
        return 1
    print(f"check_reproducible: {args.preset}: {name}, its Norvex.dll and Norvex.lib are the same "
          f"when built from another folder")
    return 0


if __name__ == "__main__":
    sys.exit(main())
