"""Emulator: a norvex-emu daemon serving a virtual platesetter in a private
folder, for tests and trials without a machine.

    with norvex.Emulator() as emulator, norvex.Platesetter(emulator.folder) as machine:
        machine.get_kernel_name()
"""

import os
import shutil
import signal
import subprocess
import tempfile
from typing import Optional, Sequence


def _program() -> str:
    named = os.environ.get("NORVEX_EMU")
    if named:
        return named
    found = shutil.which("norvex-emu")
    if found:
        return found
    raise FileNotFoundError("norvex-emu was not found: put it on the PATH or name it in NORVEX_EMU")


class Emulator:
    """norvex-emu serving `name` in a private temporary folder (or `folder`).
    unplug() stops it (its endpoint goes, as at an unplug), plug() starts it
    again in the same folder. `options` are more arguments of norvex-emu,
    e.g. ["--fault", "bulk-partial=64"] (norvex-emu(1))."""

    def __init__(self, folder: Optional[str] = None, name: str = "platesetter-0", program: Optional[str] = None,
                 options: Sequence[str] = ()) -> None:
        self._own_folder = folder is None
        self.folder = folder or tempfile.mkdtemp(prefix="norvex-emu-")
        self.name = name
        self.program = program or _program()
        self.options = list(options)
        self._process: Optional["subprocess.Popen[str]"] = None

    @property
    def endpoint(self) -> str:
        """The endpoint's path."""
        return os.path.join(self.folder, self.name)

    def plug(self) -> "Emulator":
        """Starts the daemon; returns once its endpoint is served."""
        if self._process is not None:
            return self
        process = subprocess.Popen([self.program, "--dir", self.folder, "--name", self.name] + self.options,
                                   stdout=subprocess.PIPE, text=True)
        # It says so once its endpoint is there.
        line = process.stdout.readline() if process.stdout is not None else ""
        if not line.startswith("norvex-emu: serving"):
            process.wait()
            raise RuntimeError(f"norvex-emu did not start: {line.strip()!r}")
        self._process = process
        return self

    def unplug(self) -> None:
        """Stops the daemon, which removes its endpoint first."""
        if self._process is None:
            return
        self._process.send_signal(signal.SIGTERM)
        self._process.communicate()
        self._process = None

    def close(self) -> None:
        """Stops the daemon and removes its private folder."""
        self.unplug()
        if self._own_folder:
            shutil.rmtree(self.folder, ignore_errors=True)

    def __enter__(self) -> "Emulator":
        return self.plug()

    def __exit__(self, *exc: object) -> None:
        self.close()
