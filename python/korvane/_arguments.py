"""Checks and conversions of the arguments Python hands to the library.

Everything here runs before any library call: a value that cannot become the C type the
export takes, unchanged, is refused with TypeError or ValueError. Ranges that the library
itself tests (feeds, accelerations, velocities) are left to it.
"""

from __future__ import annotations

import math
import numbers
import os
import struct
from typing import Union

from .enums import Axis

AxisLike = Union[Axis, int, str]
PortLike = Union[str, "os.PathLike[str]"]

_INT32_MAX = 2**31 - 1
_AXIS_LETTERS = "xyzabc"


def axis(value: AxisLike) -> Axis:
    """An axis from a letter ("x".."c", either case), an index 0..5 or an Axis."""
    if isinstance(value, str):
        index = _AXIS_LETTERS.find(value.lower()) if len(value) == 1 else -1
        if index < 0:
            raise ValueError(f"unknown axis {value!r}: use one of x, y, z, a, b, c")
        return Axis(index)
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"an axis is a letter, an index 0..5 or korvane.Axis, not {_type(value)}")
    if not 0 <= int(value) <= 5:
        raise ValueError(f"axis index {int(value)} is outside 0..5")
    return Axis(int(value))


def single(value: float, what: str) -> float:
    """A real number that a C float holds: finite and within single-precision range."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{what} must be a number, not {_type(value)}")
    result = float(value)
    if not math.isfinite(result):
        raise ValueError(f"{what} must be a finite number, not {result}")
    try:
        overflows = math.isinf(struct.unpack("f", struct.pack("f", result))[0])
    except OverflowError:  # what older Pythons raise instead of rounding to infinity
        overflows = True
    if overflows:
        # ctypes would pass it on as infinity without a word.
        raise ValueError(f"{what} {result} is too large for a single-precision float")
    return result


def flag(value: bool, what: str) -> int:
    """A truth value as 0 or 1; only bool and int, so that the text "false" is not true."""
    if not isinstance(value, numbers.Integral):
        raise TypeError(f"{what} must be True or False, not {_type(value)}")
    return 1 if value else 0


def baud_rate(value: int) -> int:
    """A baud rate that fits the library's 32-bit parameter."""
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"baud must be an int, not {_type(value)}")
    if not 0 < int(value) <= _INT32_MAX:
        raise ValueError(f"baud {int(value)} is outside 1..{_INT32_MAX}")
    return int(value)


def port_name(value: PortLike) -> str:
    """A port name as text ("COM3", "/dev/ttyUSB0", a path object)."""
    name = os.fspath(value) if isinstance(value, os.PathLike) else value
    if not isinstance(name, str):
        raise TypeError(f"a port name is a str or a path, not {_type(value)}")
    if not name:
        raise ValueError("the port name is empty")
    if "\0" in name:
        # The C side would see only the text before it: another port.
        raise ValueError("the port name contains a NUL character")
    return name


def _type(value: object) -> str:
    return type(value).__name__
