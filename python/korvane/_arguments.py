"""Checks and conversions of the arguments Python hands to the library.

Everything here runs before any library call. A value that cannot become the C type the
export takes, unchanged, is refused with :class:`~korvane.InvalidArgumentError` (with
``TypeError`` too when its type is wrong), in the library's own wording::

    Invalid <argument>: <value> (accepted: <accepted values>)

The argument is named as the C header names the parameter, and the accepted values are the
library's texts for it, so a refusal reads the same whether Python or the library made it.
Ranges that the library itself tests on a float it can be handed (a feed of 0, an
acceleration below zero, a velocity too slow) are left to it: its message is then the one
raised.
"""

from __future__ import annotations

import math
import numbers
import os
import struct
from typing import NoReturn, Optional, Union

from .enums import Axis, Result
from .errors import InvalidArgumentError, InvalidArgumentTypeError

AxisLike = Union[Axis, int, str]
PortLike = Union[str, "os.PathLike[str]"]

_INT32_MAX = 2**31 - 1
_AXIS_LETTERS = "xyzabc"

# What the library accepts, in its words (src/arguments/argument_rules.h).
AXIS = "0..5 (x, y, z, a, b, c)"
HOMING_AXIS = "0..5 (x, y, z, a, b, c) or -1 (all)"
FEED = "at least 1 and below 2147483648"
FINITE = "a finite number"
ACCELERATION = "a finite number greater than 0"
VELOCITY = "a magnitude of at least 0.1 and below 2147483648"


def refusal(name: str, value: object, accepted: str) -> str:
    """The one wording of a refused argument."""
    return f"Invalid {name}: {_shown(value)} (accepted: {accepted})"


def _refuse(name: str, value: object, accepted: str, wrong_type: bool = False) -> NoReturn:
    kind = InvalidArgumentTypeError if wrong_type else InvalidArgumentError
    raise kind(Result.INVALID_ARGUMENT, refusal(name, value, accepted))


def axis(value: AxisLike) -> Axis:
    """An axis from a letter ("x".."c", either case), an index 0..5 or an Axis."""
    found = _axis_or_none(value, AXIS)
    if found is None:
        _refuse("axis", value, AXIS)
    return found


def homing_axis(value: Optional[AxisLike]) -> int:
    """An axis as for :func:`axis`, or -1 for all of them: None, "all" or -1."""
    if value is None or (isinstance(value, str) and value.lower() == "all"):
        return -1
    if isinstance(value, numbers.Integral) and not isinstance(value, bool) and int(value) == -1:
        return -1
    found = _axis_or_none(value, HOMING_AXIS)
    if found is None:
        _refuse("axis", value, HOMING_AXIS)
    return int(found)


def _axis_or_none(value: object, accepted: str) -> Optional[Axis]:
    if isinstance(value, str):
        index = _AXIS_LETTERS.find(value.lower()) if len(value) == 1 else -1
        return Axis(index) if index >= 0 else None
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        _refuse("axis", value, accepted, wrong_type=True)
    return Axis(int(value)) if 0 <= int(value) <= 5 else None


def single(value: float, name: str, accepted: str = FINITE) -> float:
    """A real number that a C float holds: finite and within single-precision range.

    ``name`` is the library's name of the parameter and ``accepted`` its accepted values.
    """
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        _refuse(name, value, accepted, wrong_type=True)
    try:
        result = float(value)
        # ctypes would pass a value beyond the float range on as infinity without a word.
        overflows = math.isinf(struct.unpack("f", struct.pack("f", result))[0])
    except OverflowError:  # an int too large for a double, or what older Pythons raise
        overflows = True
        result = math.inf
    if not math.isfinite(result) or overflows:
        _refuse(name, value, accepted)
    return result


def flag(value: bool, name: str) -> int:
    """A truth value as 0 or 1; only bool and int, so that the text "false" is not true."""
    if not isinstance(value, numbers.Integral):
        _refuse(name, value, "True or False", wrong_type=True)
    return 1 if value else 0


def baud_rate(value: int) -> int:
    """A baud rate that fits the library's 32-bit parameter."""
    accepted = f"a whole number 1..{_INT32_MAX}"
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        _refuse("baudRate", value, accepted, wrong_type=True)
    if not 0 < int(value) <= _INT32_MAX:
        _refuse("baudRate", value, accepted)
    return int(value)


def port_name(value: PortLike) -> str:
    """A port name as text ("COM3", "/dev/ttyUSB0", a path object)."""
    accepted = "a non-empty str or path without NUL characters"
    name = os.fspath(value) if isinstance(value, os.PathLike) else value
    if not isinstance(name, str):
        _refuse("portName", value, accepted, wrong_type=True)
    # A NUL would end the name on the C side: another port.
    if not name or "\0" in name:
        _refuse("portName", value, accepted)
    return name


def _shown(value: object) -> str:
    """A number as the library shows one ("0.5", "nan", "-inf"); anything else as repr."""
    if isinstance(value, numbers.Real) and not isinstance(value, bool):
        return str(value)
    return repr(value)
