"""A PEP 517 build backend for the norvex package that needs nothing beyond
Python itself: the package is pure Python (norvex/*.py), so a wheel is a zip
of those files, py.typed, the library's two headers that the package reads
(norvex.h for its version, norvex_records.h for the record sizes, in
norvex/include/) and its metadata. pip uses it for `pip install ./python`
and `pip wheel ./python` without downloading a build tool; `python3 -m build
--no-isolation` makes the sdist as well.

The version is the library's, read from norvex.h: in the source tree the
repository's include/norvex.h, in an sdist its copy in norvex/include/.
"""

import base64
import functools
import gzip
import hashlib
import io
import os
import runpy
import tarfile
import types
import zipfile

NAME = "norvex"
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TAG = "py3-none-any"
HEADERS = ("norvex.h", "norvex_records.h")
# Fixed times: the same sources make the same wheel and sdist.
TIMESTAMP = (2020, 1, 1, 0, 0, 0)
SDIST_MTIME = 1577836800


@functools.lru_cache(maxsize=None)
def _headers_module():
    # The package's own reader of the headers, loaded from its file (once)
    # so that the package (and ctypes) need not be imported to build it.
    path = os.path.join(ROOT, NAME, "_headers.py")
    return types.SimpleNamespace(**runpy.run_path(path, run_name="_norvex_headers"))


def _version():
    return _headers_module().version()


def _metadata():
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as readme:
        description = readme.read()
    return (f"Metadata-Version: 2.1\nName: {NAME}\nVersion: {_version()}\n"
            "Summary: The Norvex platesetter library from Python (ctypes, no compiled extension)\n"
            "License: Proprietary\nRequires-Python: >=3.8\nProvides-Extra: numpy\n"
            "Requires-Dist: numpy; extra == \"numpy\"\n"
            "Description-Content-Type: text/markdown\n\n" + description)


def _package_files():
    """(path in the package's distribution, file on disk) of every file the package is made of."""
    folder = os.path.join(ROOT, NAME)
    files = [(f"{NAME}/{f}", os.path.join(folder, f)) for f in sorted(os.listdir(folder))
             if f.endswith(".py") or f == "py.typed"]
    headers = _headers_module()
    files += [(f"{NAME}/include/{h}", headers.header_path(h)) for h in HEADERS]
    return files


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
    version = _version()
    dist_info = f"{NAME}-{version}.dist-info"
    wheel_name = f"{NAME}-{version}-{TAG}.whl"
    records = []
    with zipfile.ZipFile(os.path.join(wheel_directory, wheel_name), "w", zipfile.ZIP_DEFLATED) as wheel:
        def add(path, data):
            info = zipfile.ZipInfo(path, date_time=TIMESTAMP)
            info.external_attr = 0o644 << 16
            wheel.writestr(info, data)
            records.append(_record_line(path, data))
        for path, data in files:
            add(path, data)
        add(f"{dist_info}/METADATA", _metadata().encode())
        add(f"{dist_info}/WHEEL", f"Wheel-Version: 1.0\nGenerator: norvex_build\nRoot-Is-Purelib: true\nTag: {TAG}\n".encode())
        records.append(f"{dist_info}/RECORD,,")
        info = zipfile.ZipInfo(f"{dist_info}/RECORD", date_time=TIMESTAMP)
        wheel.writestr(info, "\n".join(records) + "\n")
    return wheel_name


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    files = []
    for path, source in _package_files():
        with open(source, "rb") as f:
            files.append((path, f.read()))
    return _write_wheel(wheel_directory, files)


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    # A .pth file that puts the source folder on the path.
    return _write_wheel(wheel_directory, [(f"_{NAME}_editable.pth", (ROOT + "\n").encode())])


def build_sdist(sdist_directory, config_settings=None):
    base = f"{NAME}-{_version()}"
    name = f"{base}.tar.gz"

    def normalised(info):
        info.mtime = SDIST_MTIME
        info.uid = info.gid = 0
        info.uname = info.gname = ""
        return info

    # The gzip header's time fixed as well (tarfile's "w:gz" writes the
    # current one), and no file name in it.
    with open(os.path.join(sdist_directory, name), "wb") as raw, \
            gzip.GzipFile(filename="", mode="wb", fileobj=raw, mtime=SDIST_MTIME) as packed, \
            tarfile.open(fileobj=packed, mode="w") as sdist:
        for path in ("pyproject.toml", "README.md", "_build/norvex_build.py"):
            sdist.add(os.path.join(ROOT, path), arcname=f"{base}/{path}", filter=normalised)
        for path, source in _package_files():
            sdist.add(source, arcname=f"{base}/{path}", filter=normalised)
        metadata = _metadata().encode()
        info = normalised(tarfile.TarInfo(f"{base}/PKG-INFO"))
        info.size = len(metadata)
        sdist.addfile(info, io.BytesIO(metadata))
    return name
