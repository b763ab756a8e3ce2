"""A PEP 517 build backend for the norvex package that needs nothing beyond
Python itself: the package is pure Python (norvex/*.py), so a wheel is a zip
of those files and its metadata. pip uses it for `pip install ./python`
without downloading a build tool."""

import base64
import hashlib
import os
import tarfile
import zipfile

NAME = "norvex"
VERSION = "3.2.1"
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TAG = "py3-none-any"


def _metadata():
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as readme:
        description = readme.read()
    return (f"Metadata-Version: 2.1\nName: {NAME}\nVersion: {VERSION}\n"
            "Summary: The Norvex platesetter library from Python (ctypes, no compiled extension)\n"
            "Requires-Python: >=3.8\nProvides-Extra: numpy\nRequires-Dist: numpy; extra == \"numpy\"\n"
            "Description-Content-Type: text/markdown\n\n" + description)


def _package_files():
    folder = os.path.join(ROOT, NAME)
    return sorted(os.path.join(NAME, f) for f in os.listdir(folder) if f.endswith(".py"))


def _record_line(path, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{path},sha256={digest},{len(data)}"


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def get_requires_for_build_editable(config_settings=None):
    return []


def _write_wheel(wheel_directory, files):
    dist_info = f"{NAME}-{VERSION}.dist-info"
    wheel_name = f"{NAME}-{VERSION}-{TAG}.whl"
    records = []
    # Fixed times: the same sources make the same wheel.
    with zipfile.ZipFile(os.path.join(wheel_directory, wheel_name), "w", zipfile.ZIP_DEFLATED) as wheel:
        def add(path, data):
            info = zipfile.ZipInfo(path, date_time=(2020, 1, 1, 0, 0, 0))
            info.external_attr = 0o644 << 16
            wheel.writestr(info, data)
            records.append(_record_line(path, data))
        for path, data in files:
            add(path, data)
        add(f"{dist_info}/METADATA", _metadata().encode())
        add(f"{dist_info}/WHEEL", f"Wheel-Version: 1.0\nGenerator: norvex_build\nRoot-Is-Purelib: true\nTag: {TAG}\n".encode())
        records.append(f"{dist_info}/RECORD,,")
        info = zipfile.ZipInfo(f"{dist_info}/RECORD", date_time=(2020, 1, 1, 0, 0, 0))
        wheel.writestr(info, "\n".join(records) + "\n")
    return wheel_name


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    files = []
    for path in _package_files():
        with open(os.path.join(ROOT, path), "rb") as source:
            files.append((path, source.read()))
    return _write_wheel(wheel_directory, files)


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    # A .pth file that puts the source folder on the path.
    return _write_wheel(wheel_directory, [(f"_{NAME}_editable.pth", (ROOT + "\n").encode())])


def build_sdist(sdist_directory, config_settings=None):
    base = f"{NAME}-{VERSION}"
    name = f"{base}.tar.gz"
    with tarfile.open(os.path.join(sdist_directory, name), "w:gz") as sdist:
        for path in ["pyproject.toml", "README.md"] + _package_files() + ["_build/norvex_build.py"]:
            sdist.add(os.path.join(ROOT, path), arcname=f"{base}/{path}")
    return name
