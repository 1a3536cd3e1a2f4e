"""Python bindings of the Korvane host library: drive a CNC motion controller over a
serial port.

::

    import korvane

    with korvane.connect("/dev/ttyUSB0", baud=115200) as ctl:   # "COM3" on Windows
        print(ctl.get_state(), ctl.get_position())
        ctl.jog_rel("x", 5.0, feed=300)

Every failure the library reports raises a :class:`KorvaneError` subclass. The library
(``libkorvane.so`` or ``Korvane.dll``) is found through ``KORVANE_LIBRARY``, a copy inside
this package, or the system's search path.
"""

from __future__ import annotations

from typing import Optional

from . import _library
from ._library import LibraryNotFoundError
from .controller import DEFAULT_BAUD, Controller, connect
from .enums import Axis, Result, State
from .errors import (
    FirmwareError,
    InvalidArgumentError,
    InvalidHandleError,
    KorvaneError,
    NotConnectedError,
    PortOpenError,
    ResourceError,
    ResponseTimeout,
    VelocityActiveError,
    WriteError,
)
from .velocity import VelocityJog

__version__ = "1.0.0"


def library_version() -> str:
    """The loaded library's version ("1.0.0"); needs no connection.

    Raises:
        LibraryNotFoundError: the library cannot be found or loaded.
    """
    raw: Optional[bytes] = _library.load().Korvane_GetVersion()
    return raw.decode("ascii", "replace") if raw else ""


def library_path() -> str:
    """Where the library was loaded from: a path, or the name the system resolved.

    Raises:
        LibraryNotFoundError: the library cannot be found or loaded.
    """
    return _library.loaded_path()


__all__ = [
    "Axis",
    "Controller",
    "DEFAULT_BAUD",
    "FirmwareError",
    "InvalidArgumentError",
    "InvalidHandleError",
    "KorvaneError",
    "LibraryNotFoundError",
    "NotConnectedError",
    "PortOpenError",
    "ResourceError",
    "ResponseTimeout",
    "Result",
    "State",
    "VelocityActiveError",
    "VelocityJog",
    "WriteError",
    "connect",
    "library_path",
    "library_version",
]
