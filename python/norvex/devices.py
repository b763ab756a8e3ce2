"""list_devices(): the device endpoints of a device folder and what each is
now (open, busy, stale, absent), as `norvexctl list` shows them.

Each endpoint is opened through the library on its own: the library is shown
a private folder that holds a link to that endpoint alone, with a window of
its own, which closes the device again when it goes.
"""

import ctypes
import os
import shutil
import stat
import tempfile
from typing import List, NamedTuple, Optional, Tuple

from . import _library
from .errors import ERROR_ACCESS_DENIED, ERROR_DEVICE_NOT_CONNECTED, ERROR_NO_MORE_ITEMS, result_name


def default_device_folder() -> str:
    """The device folder the library looks in when no folder is named: the
    folder of NORVEX_DEVICE=local:FOLDER, else NORVEX_DEVICE_DIR, else
    $XDG_RUNTIME_DIR/norvex, else /tmp/norvex-<uid> (a folder of the user's
    own: one that any user could make first is never used)."""
    address = os.environ.get("NORVEX_DEVICE", "")
    if address.startswith("local:") and len(address) > len("local:"):
        return address[len("local:"):]
    folder = os.environ.get("NORVEX_DEVICE_DIR")
    if folder:
        return folder
    runtime = os.environ.get("XDG_RUNTIME_DIR", "")
    if runtime.startswith("/"):
        return runtime + "/norvex"
    return f"/tmp/norvex-{os.geteuid()}"


class Device(NamedTuple):
    """An endpoint of a device folder and what the library found there."""

    name: str  # the endpoint's name in its folder
    endpoint: str  # its path
    state: str  # 'open', 'busy' (another program has it), 'stale' (nobody serves it), 'absent' (gone), 'failed'
    kernel_name: Optional[str]  # the main unit's kernel name, when open
    open_error: int  # the platform error of the open (NorvexHost_GetOpenError), 0 when open

    @property
    def open_error_name(self) -> str:
        """The open error's name, e.g. 'ERROR_ACCESS_DENIED'."""
        return result_name(self.open_error)


def _folder_of(where: Optional[str]) -> str:
    # Where the endpoints are: a folder, "local:FOLDER", or (None) the folder
    # the library would use. A network address serves no folder.
    if where is None:
        address = os.environ.get("NORVEX_DEVICE", "")
        if address and not address.startswith("local:"):
            raise ValueError(f"NORVEX_DEVICE names {address!r}, not a device folder: name one to list_devices()")
        return default_device_folder()
    where = os.fspath(where)
    if where.startswith("local:"):
        return where[len("local:"):]
    if ":" in where.split("/")[0]:
        raise ValueError(f"list_devices() takes a device folder or local:FOLDER, not {where!r}")
    return where


def _endpoints(folder: str) -> List[str]:
    names = []
    try:
        entries = os.listdir(folder)
    except FileNotFoundError:
        return []
    for name in entries:
        try:
            mode = os.lstat(os.path.join(folder, name)).st_mode
        except OSError:
            continue
        if not name.startswith(".") and stat.S_ISSOCK(mode):
            names.append(name)
    return sorted(names)


def _probe(endpoint: str) -> Tuple[str, Optional[str], int]:
    private = tempfile.mkdtemp(prefix="norvex-list-")
    window = None
    try:
        os.symlink(endpoint, os.path.join(private, os.path.basename(endpoint)))
        # The address comes before the folder setting: both name the private
        # folder while it is opened.
        os.environ["NORVEX_DEVICE"] = "local:" + private
        os.environ["NORVEX_DEVICE_DIR"] = private
        window = _library.function("NorvexHost_CreateWindow")()
        result = int(_library.function("Norvex_Init")(window))
        open_error = int(_library.function("NorvexHost_GetOpenError")())
        if result == 0:
            name = ctypes.create_string_buffer(504)
            got = int(_library.function("NV_GetKernelName")(name))
            return "open", name.value.decode("ascii", errors="replace") if got == 0 else None, open_error
        states = {ERROR_ACCESS_DENIED: "busy", ERROR_DEVICE_NOT_CONNECTED: "stale", ERROR_NO_MORE_ITEMS: "absent"}
        return states.get(open_error, "failed"), None, open_error
    finally:
        if window is not None:
            _library.function("NorvexHost_DestroyWindow")(window)
        shutil.rmtree(private, ignore_errors=True)


def list_devices(where: Optional[str] = None) -> List[Device]:
    """The device endpoints of a device folder, each opened on its own
    through the library, as `norvexctl list` shows them: open (with its
    kernel name), busy (another program has it open), stale (a socket nobody
    serves), absent (gone since the folder was read) or failed.

    where: a device folder, or local:FOLDER; None for the folder the library
    uses (default_device_folder()). A folder that does not exist has no
    devices.

    The library drives one device per process: list_devices() refuses to run
    while a Platesetter of this process is open (RuntimeError), and leaves
    the library's link mode at LINK_USB."""
    from . import platesetter
    folder = _folder_of(where)
    if platesetter._open_count > 0:
        raise RuntimeError("list_devices() opens each device through the library: close the open Platesetter first")
    names = _endpoints(folder)
    _library.library()
    _library.function("Norvex_SetPrintDataSaveIdle")(platesetter.LINK_USB)
    before = {name: os.environ.get(name) for name in ("NORVEX_DEVICE", "NORVEX_DEVICE_DIR")}
    devices = []
    try:
        for name in names:
            endpoint = os.path.join(folder, name)
            state, kernel_name, open_error = _probe(endpoint)
            devices.append(Device(name, endpoint, state, kernel_name, open_error))
    finally:
        for name, value in before.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value
    return devices
