"""What the package reads from the library's own headers: its version
(norvex.h) and the sizes of the units' state records (norvex_records.h).

A built package (wheel or sdist) carries copies of both headers in
norvex/include/; in the source tree they are the repository's include/. Both
are parsed once, at first use, so that nothing is typed here a second time.
"""

import functools
import os
import re
from typing import Dict, List, NamedTuple, Optional

_PACKAGE = os.path.dirname(os.path.abspath(__file__))
_FOLDERS = (os.path.join(_PACKAGE, "include"), os.path.join(os.path.dirname(os.path.dirname(_PACKAGE)), "include"))

# The record lists of norvex_records.h and the unit each one describes.
_LISTS = {"NORVEX_MAIN_UNIT_RECORDS": "main", "NORVEX_LASER_HEAD_RECORDS": "lh", "NORVEX_HS_BOARD_RECORDS": "hs"}
_ROW = re.compile(r'X\(\s*(\w+)\s*,\s*"([^"]*)"\s*,\s*(0x[0-9A-Fa-f]+|\d+)\s*,\s*(0x[0-9A-Fa-f]+|\d+)\s*,\s*(\w+)\s*\)')


class Record(NamedTuple):
    """A state record of norvex_records.h."""

    unit: str  # 'main', 'lh' or 'hs' (either HS board)
    name: str  # its name within the unit
    reader: str  # the function that reads it, or that and the part it reads
    group: int
    item: int
    size: Optional[int]  # bytes; None for a record of any length (up to 500)


def header_path(name: str) -> str:
    """The path of the library's header `name` that this package reads."""
    for folder in _FOLDERS:
        path = os.path.join(folder, name)
        if os.path.isfile(path):
            return path
    raise FileNotFoundError(f"the norvex package has no copy of the library's {name} (looked in {', '.join(_FOLDERS)})")


def _read(name: str) -> str:
    with open(header_path(name), encoding="utf-8") as header:
        return header.read()


@functools.lru_cache(maxsize=None)
def version() -> str:
    """The library's version as norvex.h gives it, e.g. '3.2.1'."""
    text = _read("norvex.h")
    parts = []
    for part in ("MAJOR", "MINOR", "PATCH"):
        found = re.search(rf"^#define NORVEX_VERSION_{part} (\d+)$", text, re.MULTILINE)
        if found is None:
            raise ValueError(f"{header_path('norvex.h')} has no NORVEX_VERSION_{part}")
        parts.append(found.group(1))
    return ".".join(parts)


@functools.lru_cache(maxsize=None)
def link_modes() -> Dict[str, int]:
    """The link modes of norvex.h by name without their prefix
    (NORVEX_LINK_USB -> 'USB': 1)."""
    found = re.findall(r"^#define NORVEX_LINK_([A-Z_]+) (\d+)$", _read("norvex.h"), re.MULTILINE)
    if not found:
        raise ValueError(f"{header_path('norvex.h')} has no NORVEX_LINK_ modes")
    return {name: int(number) for name, number in found}


@functools.lru_cache(maxsize=None)
def records() -> List[Record]:
    """Every state record of norvex_records.h, in the header's order."""
    text = _read("norvex_records.h")
    found: List[Record] = []
    for macro, unit in _LISTS.items():
        start = re.search(rf"^#define {macro}\(X\)", text, re.MULTILINE)
        if start is None:
            raise ValueError(f"{header_path('norvex_records.h')} has no list {macro}")
        # The list ends with its first line that is not continued.
        end = text.find("\n", start.end())
        while end != -1 and text[:end].rstrip().endswith("\\"):
            end = text.find("\n", end + 1)
        rows = _ROW.findall(text[start.end():end if end != -1 else len(text)])
        if not rows:
            raise ValueError(f"{header_path('norvex_records.h')}: the list {macro} has no records")
        for name, reader, group, item, size in rows:
            found.append(Record(unit, name, reader, int(group, 0), int(item, 0),
                                None if size == "NORVEX_RECORD_ANY_LENGTH" else int(size, 0)))
    return found


@functools.lru_cache(maxsize=None)
def _reply_sizes() -> Dict[str, int]:
    sizes: Dict[str, int] = {}
    for record in records():
        function = record.reader.split(" ")[0]
        if record.size is not None:
            sizes[function] = sizes.get(function, 0) + record.size
    return sizes


def reply_size(function: str) -> int:
    """The bytes that `function` (e.g. 'NV_GetPrintState', 'LH_GetInfo')
    writes into its caller's buffer: its record, or the records it reads
    one after the other."""
    size = _reply_sizes().get(function)
    if size is None:
        raise KeyError(f"norvex_records.h has no record read by {function}")
    return size
