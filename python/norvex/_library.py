"""The Norvex library loaded through ctypes, with the prototypes the package uses.

On Linux it is libnorvex.so.3 (cdecl); on Windows Norvex.dll, whose exports use
the standard calling convention, so it is loaded with ctypes.WinDLL. The
library is loaded at the first use, not at import.
"""

import ctypes
import ctypes.util
import os
import sys
from typing import Any, Callable, Dict, List, Optional, Tuple

WINDOWS = sys.platform == "win32"

u32 = ctypes.c_uint32
vp = ctypes.c_void_p


class CommandPacket(ctypes.Structure):
    """The CTP_SendCommand record (norvex.h)."""

    _fields_ = [
        ("requestData", ctypes.c_void_p),
        ("requestLength", ctypes.c_uint32),
        ("replyData", ctypes.c_void_p),
        ("replyLength", ctypes.c_uint32),
        ("address", ctypes.c_uint16),
        ("command", ctypes.c_uint16),
        ("replyAddress", ctypes.c_uint16),
        ("replyCommand", ctypes.c_uint16),
    ]


# Functions whose types differ from "uint32_t f(pointers and 32-bit values)".
_SPECIAL: Dict[str, Tuple[Any, Optional[List[Any]]]] = {
    "Norvex_GetVersion": (vp, [vp]),
    "CTP_GetErrorInfo": (ctypes.c_char_p, [u32]),
    "CTP_SendCommand": (u32, [ctypes.POINTER(CommandPacket)]),
    "Norvex_SetDebugFolder": (u32, [ctypes.c_char_p]),
    "Norvex_SetPrintDataSaveIdle": (u32, [ctypes.c_int32]),
    "Norvex_WriteSDRAM": (u32, [vp, u32]),
    "NorvexHost_CreateWindow": (vp, []),
    "NorvexHost_DestroyWindow": (u32, [vp]),
    "NorvexHost_GetFilesFolder": (u32, [ctypes.c_char_p, u32]),
    "NorvexHost_WriteIniString": (u32, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p]),
    "NorvexHost_GetErrorText": (u32, [u32, ctypes.c_char_p, u32]),
    "NorvexHost_TextToUtf8": (u32, [ctypes.c_char_p, ctypes.c_char_p, u32]),
}

_library: Any = None


def _candidates() -> List[str]:
    named = os.environ.get("NORVEX_LIBRARY")
    if named:
        return [named]
    if WINDOWS:
        return ["Norvex.dll"]
    found = ctypes.util.find_library("norvex")
    return ["libnorvex.so.3"] + ([found] if found else [])


def _host_files_folder() -> None:
    # A Python host's executable is the interpreter, whose folder is no
    # application's own (and often cannot be written): unless NORVEX_HOME
    # says otherwise, the library keeps its log and Varnock.ini in the
    # per-user state folder, as it does for any host whose folder it cannot
    # write.
    if WINDOWS or os.environ.get("NORVEX_HOME"):
        return
    state = os.environ.get("XDG_STATE_HOME", "")
    if not os.path.isabs(state):
        state = os.path.join(os.path.expanduser("~"), ".local", "state")
    os.environ["NORVEX_HOME"] = os.path.join(state, "norvex")


def library() -> Any:
    """The loaded library (loaded at the first call)."""
    global _library
    if _library is None:
        _host_files_folder()
        errors = []
        loader: Any = getattr(ctypes, "WinDLL") if WINDOWS else ctypes.CDLL
        for name in _candidates():
            try:
                _library = loader(name)
                break
            except OSError as error:
                errors.append(f"{name}: {error}")
        else:
            raise OSError("the Norvex library cannot be loaded (set NORVEX_LIBRARY to its file): " + "; ".join(errors))
    return _library


def function(name: str) -> Callable[..., Any]:
    """The library's function `name`, with its argument and result types."""
    f: Any = getattr(library(), name)
    if not hasattr(f, "_norvex_typed"):
        restype, argtypes = _SPECIAL.get(name, (u32, None))
        f.restype = restype
        if argtypes is not None:
            f.argtypes = argtypes
        f._norvex_typed = True
    result: Callable[..., Any] = f
    return result


def text_of(fill: Callable[[Any, int], int]) -> str:
    """A text that `fill(buffer, capacity)` writes as the library's text
    functions do (returning its whole length), read whole."""
    buffer = ctypes.create_string_buffer(256)
    n = int(fill(buffer, len(buffer)))
    if n >= len(buffer):
        buffer = ctypes.create_string_buffer(n + 1)
        n = min(int(fill(buffer, len(buffer))), len(buffer) - 1)
    return buffer.raw[:n].decode("utf-8", errors="replace")
