"""Fixtures of the norvex package's tests: the library's files in a private
folder, a norvex-emu daemon in another, a Platesetter opened on it.

NORVEX_LIBRARY and NORVEX_EMU name the built files (CTest sets them)."""

import os
import tempfile

import pytest

# Before the library is loaded: its log and Varnock.ini in a folder of the run.
os.environ.setdefault("NORVEX_HOME", tempfile.mkdtemp(prefix="norvex-python-home-"))

import norvex  # noqa: E402


@pytest.fixture
def emulator():
    with norvex.Emulator() as emulator:
        yield emulator


@pytest.fixture
def machine(emulator):
    with norvex.Platesetter(device_dir=emulator.folder, timeout_ms=2000) as machine:
        yield machine
