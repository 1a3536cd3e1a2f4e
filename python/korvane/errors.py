"""Exceptions raised for the library's non-zero results, one class per result code."""

from __future__ import annotations

import re
from typing import Any, Dict, Optional, Tuple, Type

from .enums import Result


class KorvaneError(Exception):
    """A library call returned a non-zero result.

    Attributes:
        code: the result code, a :class:`~korvane.Result` (an ``int``) for known codes.
        name: the code's name in the C header, for example ``"KORVANE_TIMEOUT"``.
        message: the connection's last-error text for this failure (for ``connect``, the
            text the library keeps for the connecting thread), or a fixed text for the results
            that leave none (not connected, invalid handle); for a bad argument the refusal's
            text, also when the package refused it before any call. When two threads fail on
            one connection at the same moment, the library keeps one text per connection, so
            one of them may read the other's message; the code is always the call's own.
        function: the library export that failed, for example ``"Korvane_GetState"``.
    """

    def __init__(self, code: int, message: str, function: str = "") -> None:
        super().__init__(message)
        self.code = _result_or_int(code)
        self.name = result_name(code)
        self.message = message
        self.function = function

    def __str__(self) -> str:
        where = f"{self.function}: " if self.function else ""
        return f"{where}{self.message} ({self.name})"

    def __reduce__(self) -> Tuple[Any, ...]:
        # The default rebuilds from args alone, which lack the code: the exception could not
        # cross a process boundary (multiprocessing, concurrent.futures).
        return (type(self), (int(self.code), self.message, self.function))


class NotConnectedError(KorvaneError):
    """The connection is closed (result 1)."""


class PortOpenError(KorvaneError, OSError):
    """The serial port could not be opened or configured (result 3).

    The message says why: no such port, in use, permission denied (with the group to join on
    Linux), not a serial device, or the rate refused.

    Attributes:
        errno: the Linux error number of the system call that failed (``errno.ENOENT`` for a
            missing port, ``errno.EACCES`` for one the user may not open, ...), or ``None``.
        winerror: the Windows error code of the call that failed (2 for a missing port, 5 for
            one in use), or ``None``.
    """

    def __init__(self, code: int, message: str, function: str = "") -> None:
        super().__init__(code, message, function)
        self.errno, self.winerror = system_error_codes(message)


class WriteError(KorvaneError, OSError):
    """A write to the serial port failed or was short (result 4)."""


class ResponseTimeout(KorvaneError, TimeoutError):
    """No conclusive reply came within the call's time limit (result 5)."""


class VelocityActiveError(KorvaneError):
    """Refused because velocity mode runs on this connection; stop it first (result 6)."""


class FirmwareError(KorvaneError):
    """The controller answered with an error line or ended homing in Alarm (result 7)."""


class InvalidArgumentError(KorvaneError, ValueError):
    """A bad argument (result 8): an unknown axis, a feed, position, acceleration or
    velocity out of range, NaN or infinity.

    Raised by the library's refusal and by the package's own checks before a call alike, with
    one wording: ``Invalid <argument>: <value> (accepted: <accepted values>)``, the argument
    named as the C header names the parameter. Also a ``ValueError``.
    """


class InvalidArgumentTypeError(InvalidArgumentError, TypeError):
    """An argument of a type the export cannot take (a text for a number, say): an
    :class:`InvalidArgumentError` that is also a ``TypeError``."""


class InvalidHandleError(KorvaneError):
    """The library was given a null handle (result 9)."""


class ResourceError(KorvaneError):
    """Memory or the velocity worker thread could not be had (result 10)."""


_CLASSES: Dict[int, Type[KorvaneError]] = {
    Result.NOT_CONNECTED: NotConnectedError,
    Result.PORT_OPEN_FAILED: PortOpenError,
    Result.WRITE_FAILED: WriteError,
    Result.TIMEOUT: ResponseTimeout,
    Result.VELOCITY_ACTIVE: VelocityActiveError,
    Result.FIRMWARE_ERROR: FirmwareError,
    Result.INVALID_ARGUMENT: InvalidArgumentError,
    Result.INVALID_HANDLE: InvalidHandleError,
    Result.RESOURCE_FAILURE: ResourceError,
}

# Texts for the results after which the library keeps no message of its own.
_FIXED_TEXTS: Dict[int, str] = {
    Result.NOT_CONNECTED: "The connection is closed",
    Result.INVALID_HANDLE: "Invalid handle",
}


# The library ends a port-open message with the failed system call's code.
_SYSTEM_CODE = re.compile(r"\((?:errno (\d+)|Windows error (\d+))\)\Z")


def system_error_codes(message: str) -> Tuple[Optional[int], Optional[int]]:
    """The ``(errno, winerror)`` a library message ends with: "(errno N)" on Linux, "(Windows
    error N)" on Windows; ``None`` for the one it does not carry."""
    found = _SYSTEM_CODE.search(message)
    if found is None:
        return None, None
    posix, windows = found.groups()
    return (int(posix) if posix else None), (int(windows) if windows else None)


def _result_or_int(code: int) -> int:
    try:
        return Result(code)
    except ValueError:
        return int(code)


def result_name(code: int) -> str:
    """The C header's name of a result code; ``KORVANE_RESULT_<n>`` for unknown codes."""
    try:
        return "KORVANE_" + Result(code).name
    except ValueError:
        return f"KORVANE_RESULT_{int(code)}"


def leaves_message(code: int) -> bool:
    """Whether a failure with this code leaves a last-error text in its connection."""
    return code not in _FIXED_TEXTS


def exception_for(code: int, function: str, message: Optional[str] = None) -> KorvaneError:
    """The exception for a non-zero result of ``function``.

    ``message`` is the connection's last-error text; when it is missing or empty, a fixed
    text for the code is used instead.
    """
    if not message:
        message = _FIXED_TEXTS.get(code, f"The call failed with result {int(code)}")
    return _CLASSES.get(code, KorvaneError)(code, message, function)
