"""Finding, loading and declaring the Korvane host library.

The library is looked for, in this order: the path in the ``KORVANE_LIBRARY`` environment
variable; a copy inside this package (a wheel may carry one); the system's search path.
It is loaded once, on first use, so that ``import korvane`` works without it.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
import threading
from ctypes import POINTER, c_char, c_char_p, c_float, c_int32, c_size_t, c_void_p, c_wchar_p
from pathlib import Path
from typing import Any, List, Optional, Tuple

ENVIRONMENT_VARIABLE = "KORVANE_LIBRARY"

_WINDOWS = sys.platform == "win32"
# The export's stdcall convention on Windows is what WinDLL calls; on 64-bit it changes
# nothing, on 32-bit a CDLL would corrupt the stack.
_LOADER: Any = ctypes.WinDLL if _WINDOWS else ctypes.CDLL  # type: ignore[attr-defined]
_FILE_NAMES = ("Korvane.dll",) if _WINDOWS else ("libkorvane.so.1", "libkorvane.so")
_SYSTEM_NAME = "Korvane" if _WINDOWS else "korvane"

# Return type and argument types of every export. c_wchar_p is UTF-16 on Windows and UTF-32
# on Linux, as the library's wchar_t port name is.
_PROTOTYPES = {
    "Korvane_Connect": (c_int32, [c_wchar_p, c_int32, POINTER(c_void_p)]),
    "Korvane_Disconnect": (c_int32, [c_void_p]),
    "Korvane_GetLastError": (c_char_p, [c_void_p]),
    "Korvane_GetVersion": (c_char_p, []),
    "Korvane_GetState": (c_int32, [c_void_p, POINTER(c_int32)]),
    "Korvane_GetPosition": (c_int32, [c_void_p, POINTER(c_float), POINTER(c_int32)]),
    "Korvane_GetSpeed": (c_int32, [c_void_p, POINTER(c_float)]),
    "Korvane_GetLimits": (c_int32, [c_void_p, POINTER(c_int32)]),
    "Korvane_GetDeviceUUID": (c_int32, [c_void_p, POINTER(c_char), c_size_t]),
    "Korvane_JogAbs": (c_int32, [c_void_p, c_int32, c_float, c_float]),
    "Korvane_JogRel": (c_int32, [c_void_p, c_int32, c_float, c_float]),
    "Korvane_SetPos": (c_int32, [c_void_p, c_int32, c_float]),
    "Korvane_SetAcceleration": (c_int32, [c_void_p, c_int32, c_float]),
    "Korvane_EnableSoftLimits": (c_int32, [c_void_p, c_int32, c_int32]),
    "Korvane_SetSoftLimitRange": (c_int32, [c_void_p, c_int32, c_float, c_float]),
    "Korvane_EmergencyStop": (c_int32, [c_void_p]),
    "Korvane_FeedHold": (c_int32, [c_void_p]),
    "Korvane_Resume": (c_int32, [c_void_p]),
    "Korvane_Home": (c_int32, [c_void_p, c_int32]),
    "Korvane_VelocityStart": (c_int32, [c_void_p, c_int32, c_float]),
    "Korvane_VelocityStop": (c_int32, [c_void_p]),
}


class LibraryNotFoundError(ImportError):
    """The Korvane host library could not be found or loaded.

    The message lists every place that was tried and why each failed.
    """


_lock = threading.Lock()
_loaded: Optional[Tuple[Any, str]] = None


def load() -> Any:
    """The loaded library with every export declared; loads it on the first call.

    Raises:
        LibraryNotFoundError: no usable library was found (nothing is cached then, so a
            later call looks again).
    """
    global _loaded
    with _lock:
        if _loaded is None:
            _loaded = _find_and_load()
        return _loaded[0]


def loaded_path() -> str:
    """The path or name the library was loaded from (loading it first if need be)."""
    load()
    assert _loaded is not None
    return _loaded[1]


def _find_and_load() -> Tuple[Any, str]:
    explicit = os.environ.get(ENVIRONMENT_VARIABLE)
    if explicit:
        # A library the user named is the only one wanted: no quiet fallback to another.
        try:
            return _open(explicit), explicit
        except OSError as error:
            raise LibraryNotFoundError(
                f"{ENVIRONMENT_VARIABLE}={explicit} could not be loaded: {error}\n"
                f"Point {ENVIRONMENT_VARIABLE} at the Korvane library "
                f"({' or '.join(_FILE_NAMES)}), "
                "or unset it to search the package and the system."
            ) from None

    tried: List[str] = [f"{ENVIRONMENT_VARIABLE}: not set"]
    package_dir = Path(__file__).resolve().parent
    for name in _FILE_NAMES:
        path = package_dir / name
        if not path.is_file():
            tried.append(f"{path}: not there")
            continue
        try:
            return _open(str(path)), str(path)
        except OSError as error:
            tried.append(f"{path}: {error}")

    for name in _system_candidates():
        try:
            return _open(name), name
        except OSError as error:
            tried.append(f"system search for {name}: {error}")

    raise LibraryNotFoundError(
        "The Korvane host library was not found. Looked in:\n  "
        + "\n  ".join(tried)
        + f"\nSet {ENVIRONMENT_VARIABLE} to the library's path "
        f"(for example build/default/src/{_FILE_NAMES[0]}), or install the library."
    )


def _system_candidates() -> List[str]:
    found = ctypes.util.find_library(_SYSTEM_NAME)
    # Loading by bare name also searches what find_library does not read: LD_LIBRARY_PATH
    # on Linux, the directories added with os.add_dll_directory on Windows.
    return ([found] if found else []) + [name for name in _FILE_NAMES if name != found]


def _open(name: str) -> Any:
    library = _LOADER(name)
    missing = [export for export in _PROTOTYPES if not hasattr(library, export)]
    if missing:
        raise OSError(f"not the Korvane library: it lacks {', '.join(missing)}")
    for export, (restype, argtypes) in _PROTOTYPES.items():
        function = getattr(library, export)
        function.restype = restype
        function.argtypes = argtypes
    return library
