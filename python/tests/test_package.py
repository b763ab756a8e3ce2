"""The package as its users meet it: list_devices() beside `norvexctl list`,
the docstrings that help() shows, the version it carries, the sdist it is
shipped as."""

import json
import os
import runpy
import pydoc
import socket
import subprocess

import pytest

import norvex
from norvex import _headers


def test_list_devices_shows_open_busy_and_stale(emulator, tmp_path):
    devices = norvex.list_devices(emulator.folder)
    assert devices == [norvex.Device("platesetter-0", emulator.endpoint, "open", "NVX-MAIN V1.3.0", 0)]
    assert norvex.list_devices("local:" + emulator.folder) == devices
    # Held by another program: busy.
    holder = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    holder.connect(emulator.endpoint)
    # The OPEN of protocol version 3, for use; the answer: status, version.
    holder.sendall(bytes.fromhex("4e560100 00000000 08000000 03000000 00000000"))
    assert holder.recv(20, socket.MSG_WAITALL)[12] == 0  # granted to the holder
    busy = norvex.list_devices(emulator.folder)
    holder.close()
    assert [(d.state, d.open_error_name) for d in busy] == [("busy", "ERROR_ACCESS_DENIED")]
    # A socket that nobody serves: stale; a folder without endpoints: none.
    stale = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    stale.bind(str(tmp_path / "left-over"))
    stale.close()
    (tmp_path / "not-a-socket").write_text("")
    assert [(d.name, d.state) for d in norvex.list_devices(str(tmp_path))] == [("left-over", "stale")]
    assert norvex.list_devices(str(tmp_path / "missing")) == []


def test_list_devices_is_what_norvexctl_lists(emulator, tmp_path):
    tool = os.environ.get("NORVEXCTL")
    if not tool:
        pytest.skip("NORVEXCTL names no norvexctl")
    stale = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    stale.bind(os.path.join(emulator.folder, "old-endpoint"))
    stale.close()
    shown = subprocess.run([tool, "--json", "--device", emulator.folder, "list"], capture_output=True, text=True,
                           env=dict(os.environ, NORVEX_HOME=str(tmp_path)), check=True)
    listed = [(d["name"], d["endpoint"], d["state"], d.get("kernel_name"), int(d["open_error"]["code"], 16))
              for d in json.loads(shown.stdout)["devices"]]
    assert [tuple(d) for d in norvex.list_devices(emulator.folder)] == listed
    assert len(listed) == 2


def test_list_devices_leaves_an_open_device_alone(machine, emulator):
    with pytest.raises(RuntimeError):
        norvex.list_devices(emulator.folder)
    assert machine.get_state() == b"\x01\x00\x00\x00"
    with pytest.raises(ValueError):
        norvex.list_devices("tcp:localhost:1")


def test_list_devices_keeps_the_device_folder_setting(emulator, monkeypatch):
    monkeypatch.setenv("NORVEX_DEVICE_DIR", emulator.folder)
    assert [d.state for d in norvex.list_devices()] == ["open"]
    assert os.environ["NORVEX_DEVICE_DIR"] == emulator.folder


def test_list_devices_looks_where_the_library_looks(emulator, monkeypatch, tmp_path):
    # NORVEX_DEVICE's folder before NORVEX_DEVICE_DIR (which holds nothing here).
    monkeypatch.setenv("NORVEX_DEVICE_DIR", str(tmp_path))
    monkeypatch.setenv("NORVEX_DEVICE", "local:" + emulator.folder)
    assert [d.state for d in norvex.list_devices()] == ["open"]
    assert os.environ["NORVEX_DEVICE"] == "local:" + emulator.folder
    # Nothing set: the user's runtime folder, where norvexctl looks too.
    monkeypatch.delenv("NORVEX_DEVICE")
    monkeypatch.delenv("NORVEX_DEVICE_DIR")
    monkeypatch.setenv("XDG_RUNTIME_DIR", str(tmp_path))
    (tmp_path / "norvex").symlink_to(emulator.folder)
    assert [d.state for d in norvex.list_devices()] == ["open"]
    tool = os.environ.get("NORVEXCTL")
    if tool:
        shown = subprocess.run([tool, "list"], capture_output=True, text=True, check=True,
                               env=dict(os.environ, NORVEX_HOME=str(tmp_path)))
        assert f"device folder {norvex.default_device_folder()}: 1 endpoint" in shown.stderr + shown.stdout
    monkeypatch.setenv("NORVEX_DEVICE", "tcp:127.0.0.1:1")
    with pytest.raises(ValueError):
        norvex.list_devices()


def test_help_shows_every_method_with_its_function():
    text = pydoc.render_doc(norvex.Platesetter, renderer=pydoc.plaintext)
    assert "with norvex.Platesetter(device_dir=folder) as machine:" in text
    assert "get_print_state(self" in text
    assert "NV_GetPrintState: the unit's record, 92 bytes" in text
    for name in dir(norvex.Platesetter):
        if not name.startswith("_"):
            assert getattr(norvex.Platesetter, name).__doc__, name
    for name in norvex.__all__:
        value = getattr(norvex, name)
        if callable(value):
            assert value.__doc__, name


def test_the_version_is_the_headers():
    with open(_headers.header_path("norvex.h"), encoding="utf-8") as header:
        text = header.read()
    parts = [line.split()[2] for line in text.splitlines()
             if line.startswith(("#define NORVEX_VERSION_MAJOR ", "#define NORVEX_VERSION_MINOR ",
                                 "#define NORVEX_VERSION_PATCH "))]
    assert norvex.__version__ == ".".join(parts)
    assert norvex.library_version() == norvex.__version__ + ".0"


def test_the_sdist_is_the_same_bytes_whenever_it_is_made(tmp_path):
    backend = runpy.run_path(os.path.join(os.path.dirname(os.path.dirname(__file__)), "_build", "norvex_build.py"))
    (tmp_path / "a").mkdir()
    (tmp_path / "b").mkdir()
    name = backend["build_sdist"](str(tmp_path / "a"))
    packed = (tmp_path / "a" / name).read_bytes()
    # The gzip header: its time is the fixed one, and it names no file.
    assert packed[:3] == b"\x1f\x8b\x08"
    assert int.from_bytes(packed[4:8], "little") == backend["SDIST_MTIME"]
    assert packed[3] & 0x08 == 0
    assert (tmp_path / "b" / backend["build_sdist"](str(tmp_path / "b"))).read_bytes() == packed
