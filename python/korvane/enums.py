"""The library's numbered values as Python enums: machine states, axes and result codes."""

from __future__ import annotations

import enum


class _NamedIntEnum(enum.IntEnum):
    """An IntEnum that prints as its name ("IDLE"), while comparing and "%d" as its number."""

    def __str__(self) -> str:
        return self.name

    def __format__(self, format_spec: str) -> str:
        return format(self.name, format_spec)


class State(_NamedIntEnum):
    """Machine state, the first field of a status report.

    A successful query never reports ``UNKNOWN``; it exists because the library numbers it.
    """

    UNKNOWN = 0
    IDLE = 1
    RUN = 2
    JOG = 3
    HOLD = 4
    ALARM = 5
    HOME = 6
    SLEEP = 7
    DOOR = 8
    CHECK = 9


class Axis(_NamedIntEnum):
    """Axis index. Every method that takes an axis also takes 0..5 or a letter "x".."c"."""

    X = 0
    Y = 1
    Z = 2
    A = 3
    B = 4
    C = 5


class Result(_NamedIntEnum):
    """Result code of a library call (``KORVANE_`` + the member's name in the C header)."""

    SUCCESS = 0
    NOT_CONNECTED = 1
    ALREADY_CONNECTED = 2
    PORT_OPEN_FAILED = 3
    WRITE_FAILED = 4
    TIMEOUT = 5
    VELOCITY_ACTIVE = 6
    FIRMWARE_ERROR = 7
    INVALID_ARGUMENT = 8
    INVALID_HANDLE = 9
    RESOURCE_FAILURE = 10
