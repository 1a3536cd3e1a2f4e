"""The Controller: one open connection to a controller, with a method per library export."""

from __future__ import annotations

import ctypes
import struct
import weakref
from ctypes import byref, c_float, c_int32, c_void_p
from types import TracebackType
from typing import Any, Optional, Tuple, Type

from . import _arguments, _library, errors
from ._arguments import AxisLike, PortLike
from ._connection import Connection
from .enums import Result, State
from .velocity import VelocityJog

DEFAULT_BAUD = 115200



class Controller:
    """An open connection to one controller over a serial port.

    Opening it proves that a controller answers; :meth:`close` (or leaving a ``with`` block)
    ends it. One Controller may be used from several threads: the library sends one command
    at a time, so a call may wait for the one before it (up to about 30 s behind homing).
    Blocking calls release the GIL.

    Every method raises a :class:`~korvane.KorvaneError` subclass when the library reports a
    failure, and :class:`~korvane.NotConnectedError` once the connection is closed.
    Common to all calls that talk to the controller: :class:`~korvane.WriteError` when the
    port takes no more bytes (an unplugged adapter), :class:`~korvane.ResponseTimeout` when
    no reply comes in time, :class:`~korvane.FirmwareError` when the controller answers
    with an error line. A bad argument raises :class:`~korvane.InvalidArgumentError` (a
    ``ValueError``; also a ``TypeError`` for a wrong type), before anything is sent when
    Python can tell, else from the library's refusal: in either case with the library's words,
    "Invalid feed: 0 (accepted: at least 1 and below 2147483648)".
    """

    def __init__(self, port: PortLike, baud: int = DEFAULT_BAUD) -> None:
        """Opens ``port`` at ``baud`` bits per second, 8N1, and waits up to 3 s for the
        controller's answer to a status query.

        ``port`` is "COM3" and the like on Windows; on Linux an absolute path
        ("/dev/serial/by-id/...") or a name under /dev ("ttyUSB0").

        Raises:
            PortOpenError: the port is missing, held by another program (or another
                Controller), not a serial device, or refuses the line settings; its message
                says which, and its ``errno`` (Linux) or ``winerror`` (Windows) carries the
                system's error code.
            ResponseTimeout: the port opened but no controller answered within 3 s.
            ResourceError: the connection could not be allocated.
            LibraryNotFoundError: the Korvane library cannot be loaded.
        """
        self._port = _arguments.port_name(port)
        self._baud = _arguments.baud_rate(baud)
        library = _library.load()
        handle = c_void_p()
        result = library.Korvane_Connect(self._port, self._baud, byref(handle))
        if result != Result.SUCCESS:
            message = _connect_failure(library, result, self._port)
            raise errors.exception_for(result, "Korvane_Connect", message)
        assert handle.value is not None
        self._link = Connection(library, handle.value, repr(self))
        # Also runs at interpreter exit, so that velocity mode left running is cancelled.
        self._finalizer = weakref.finalize(self, self._link.close_unclosed)

    # -- life ------------------------------------------------------------------------------

    @property
    def port(self) -> str:
        """The port name this connection was opened with."""
        return self._port

    @property
    def baud(self) -> int:
        """The line speed this connection was opened with."""
        return self._baud

    @property
    def closed(self) -> bool:
        """True once :meth:`close` has begun."""
        return self._link.closing

    def close(self) -> None:
        """Closes the connection; ends velocity mode first (jog cancel) if it runs.

        Calls already running on other threads are waited for; new ones raise
        :class:`~korvane.NotConnectedError`. Closing again does nothing.

        Raises:
            RuntimeError: called from inside a call on this connection (it would wait for
                itself).
        """
        self._link.close()
        self._finalizer.detach()

    def __enter__(self) -> "Controller":
        return self

    def __exit__(
        self,
        kind: Optional[Type[BaseException]],
        value: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None:
        self.close()

    def __repr__(self) -> str:
        link = getattr(self, "_link", None)
        state = "closed" if link is not None and link.closing else "open"
        return f"<korvane.Controller port={self._port!r} baud={self._baud} {state}>"

    def last_error(self) -> str:
        """The message of the most recent failure on this connection ("" if none)."""
        with self._link.use("Korvane_GetLastError") as handle:
            raw: Optional[bytes] = self._link.library.Korvane_GetLastError(handle)
        return raw.decode("utf-8", "replace") if raw else ""

    # -- status queries: each sends "?" and waits up to 500 ms for a fresh report ----------

    def get_state(self) -> State:
        """The machine state from a fresh status report (IDLE .. CHECK).

        Raises: WriteError, ResponseTimeout (no report within 500 ms), FirmwareError.
        Not refused in velocity mode; polling it is what lets velocity mode follow the machine.
        """
        state = c_int32()
        self._link.call("Korvane_GetState", byref(state))
        return State(state.value)

    def get_position(self) -> Tuple[float, ...]:
        """The axis positions from a fresh status report, as many as the report carried,
        in the order it listed them.

        Raises: WriteError, ResponseTimeout, FirmwareError.
        """
        positions = (c_float * 6)()
        count = c_int32()
        self._link.call("Korvane_GetPosition", positions, byref(count))
        return tuple(_single_to_float(value) for value in positions[: max(0, min(6, count.value))])

    def get_speed(self) -> float:
        """The current feed from a fresh status report (0.0 when it carried none).

        Raises: WriteError, ResponseTimeout, FirmwareError.
        """
        feed = c_float()
        self._link.call("Korvane_GetSpeed", byref(feed))
        return _single_to_float(feed.value)

    def get_limits(self) -> Tuple[int, int, int, int]:
        """The four limit values from a fresh status report (0 for each one it lacked).

        Raises: WriteError, ResponseTimeout, FirmwareError.
        """
        limits = (c_int32 * 4)()
        self._link.call("Korvane_GetLimits", limits)
        return (limits[0], limits[1], limits[2], limits[3])

    def get_device_uuid(self) -> str:
        """The controller's device UUID ("$device_uuid"): the text after the first '=' of
        its answer, or the whole answer line.

        Raises: WriteError, ResponseTimeout (no answer within 2 s), FirmwareError.
        """
        # The library reads answer lines of at most 255 characters: this holds any of them.
        buffer = ctypes.create_string_buffer(256)
        self._link.call("Korvane_GetDeviceUUID", buffer, len(buffer))
        return buffer.value.decode("utf-8", "replace")

    # -- motion and settings: each waits for "ok" and a fresh status report -----------------

    def jog_abs(self, axis: AxisLike, position: float, feed: float) -> None:
        """Jogs ``axis`` to the machine position ``position`` at ``feed`` units per minute
        ("$J=G90"). Returns once the controller has taken the jog, not when it ends.

        The feed is sent as a whole number, truncated toward zero.

        Raises: VelocityActiveError; InvalidArgumentError (an unknown axis, a position that
        is not finite, a feed below 1, 2147483648 or more, or NaN); WriteError; ResponseTimeout (500 ms); FirmwareError (for
        example a target outside enabled soft limits, or the machine in Alarm).
        """
        self._link.call(
            "Korvane_JogAbs",
            _arguments.axis(axis),
            _arguments.single(position, "position"),
            _arguments.single(feed, "feed", _arguments.FEED),
        )

    def jog_rel(self, axis: AxisLike, distance: float, feed: float) -> None:
        """Jogs ``axis`` by ``distance`` at ``feed`` units per minute ("$J=G91").

        Raises: as :meth:`jog_abs`.
        """
        self._link.call(
            "Korvane_JogRel",
            _arguments.axis(axis),
            _arguments.single(distance, "distance"),
            _arguments.single(feed, "feed", _arguments.FEED),
        )

    def set_position(self, axis: AxisLike, position: float) -> None:
        """Sets the machine position of ``axis`` without moving it ("$MPos=").

        Raises: VelocityActiveError; WriteError; ResponseTimeout (2 s); FirmwareError
        (for example while the machine moves).
        """
        self._link.call(
            "Korvane_SetPos", _arguments.axis(axis), _arguments.single(position, "position")
        )

    def set_acceleration(self, axis: AxisLike, acceleration: float) -> None:
        """Sets the acceleration of ``axis`` in units per second squared.

        Raises: VelocityActiveError; InvalidArgumentError (not greater than 0);
        WriteError; ResponseTimeout (2 s); FirmwareError.
        """
        self._link.call(
            "Korvane_SetAcceleration",
            _arguments.axis(axis),
            _arguments.single(acceleration, "acceleration", _arguments.ACCELERATION),
        )

    def enable_soft_limits(self, axis: AxisLike, enable: bool = True) -> None:
        """Turns the soft limits of ``axis`` on or off.

        Raises: VelocityActiveError; WriteError; ResponseTimeout (2 s); FirmwareError.
        """
        self._link.call(
            "Korvane_EnableSoftLimits", _arguments.axis(axis), _arguments.flag(enable, "enable")
        )

    def set_soft_limit_range(
        self, axis: AxisLike, max_travel: float, homing_position: float
    ) -> None:
        """Sets the maximum travel, then the homing machine position of ``axis``: two
        commands, with no other traffic between them. The second is not sent when the
        first fails, and the first is not undone when the second fails.

        Raises: VelocityActiveError; WriteError; ResponseTimeout (2 s each); FirmwareError.
        """
        self._link.call(
            "Korvane_SetSoftLimitRange",
            _arguments.axis(axis),
            _arguments.single(max_travel, "maxTravel"),
            _arguments.single(homing_position, "homingPosition"),
        )

    def home(self, axis: Optional[AxisLike] = None) -> None:
        """Runs the homing cycle of one axis, or of all axes when ``axis`` is None, "all" or
        -1, and returns when it is over (a report showed Home, a later one another state).

        Holds the connection for up to 30 s: other calls on it wait meanwhile.

        Raises: VelocityActiveError; WriteError; FirmwareError (an error line, or the cycle
        ended in Alarm); ResponseTimeout (not over within 30 s).
        """
        self._link.call("Korvane_Home", _arguments.homing_axis(axis))

    # -- stops -----------------------------------------------------------------------------

    def feed_hold(self) -> None:
        """Feed hold: writes the real-time byte "!" and reads no reply. Writes nothing when
        the most recent report showed Idle, except in velocity mode. Waits behind a call
        in progress on the connection.

        In velocity mode the hold ends velocity mode (the controller ends a held jog for
        good, and the jog cancel follows): :meth:`resume` starts nothing, start velocity
        mode again to move.

        Raises: WriteError.
        """
        self._link.call("Korvane_FeedHold")

    def resume(self) -> None:
        """Resume after a feed hold: always writes the real-time byte "~"; reads no reply.

        Raises: WriteError.
        """
        self._link.call("Korvane_Resume")

    def emergency_stop(self) -> None:
        """Emergency stop: ends velocity mode (jog cancel) if it was started, then sends
        "$ES" and waits up to 1 s for the status report. Waits behind a call in progress on
        the connection. Not refused in velocity mode.

        Raises: WriteError (also when the jog cancel could not be written: "$ES" is then
        not sent); ResponseTimeout; FirmwareError.
        """
        self._link.call("Korvane_EmergencyStop")

    # -- velocity mode ---------------------------------------------------------------------

    def velocity(self, axis: AxisLike, rate: float) -> VelocityJog:
        """Starts velocity mode on ``axis`` at ``rate`` (signed, units per minute) and
        returns a :class:`~korvane.VelocityJog`; leaving its ``with`` block stops it, also
        when the block raises::

            with ctl.velocity("x", 600.0) as jog:
                ...                  # poll ctl.get_state() meanwhile
                jog.set_rate(-300.0)

        Raises: as :meth:`velocity_start`.
        """
        self.velocity_start(axis, rate)
        return VelocityJog(self, _arguments.axis(axis), float(rate))

    def velocity_start(self, axis: AxisLike, rate: float) -> None:
        """Starts continuous jogging of ``axis`` at ``rate`` (signed, units per minute);
        changes the rate when it already runs on that axis; switches axes otherwise (jog
        cancel first). Returns at once. A worker in the library re-issues jogs and follows
        the machine through the status reports your own queries bring in: poll
        :meth:`get_state` or the like meanwhile. The worker ends by itself on Alarm, Sleep
        or Door; a later call then starts velocity mode anew. While it runs, jogs,
        settings and homing raise :class:`~korvane.VelocityActiveError`.

        Raises: InvalidArgumentError (magnitude below 0.1, or 2147483648 or more; a running
        jog keeps its rate); ResourceError (the worker thread could not be started).
        """
        self._link.call(
            "Korvane_VelocityStart",
            _arguments.axis(axis),
            _arguments.single(rate, "velocity", _arguments.VELOCITY),
        )

    def velocity_stop(self) -> None:
        """Ends velocity mode: writes the jog cancel (0x85), also when the worker has ended by
        itself, and waits for the worker to end; no jog follows. Does nothing when velocity
        mode was not started.

        Raises: WriteError when the jog cancel could not be written (velocity mode has
        ended all the same, but the machine may still finish its last jog).
        """
        self._link.call("Korvane_VelocityStop")


def _single_to_float(value: float) -> float:
    """The shortest decimal that is the same single-precision number: the report's 0.1 comes
    back as 0.1, not as 0.10000000149011612."""
    single = struct.pack("f", value)
    for digits in range(1, 10):
        shortest = float(f"{value:.{digits}g}")
        if struct.pack("f", shortest) == single:
            return shortest
    return value


def _connect_failure(library: Any, result: int, port: str) -> str:
    # A failed connect hands out no handle: the library keeps its message for a null handle on
    # the thread that connected, which is this one. A library that keeps none answers
    # "Invalid handle", and the texts below stand in.
    raw = library.Korvane_GetLastError(None)
    message = raw.decode("utf-8", "replace") if raw else ""
    if message and message != "Invalid handle":
        return message
    if result == Result.PORT_OPEN_FAILED:
        return f"Failed to open serial port {port!r}"
    if result == Result.TIMEOUT:
        return (
            f"No response from a controller on {port!r} within 3 s. "
            "Check connection and baud rate."
        )
    if result == Result.RESOURCE_FAILURE:
        return "Failed to allocate the connection"
    return ""


def connect(port: PortLike, baud: int = DEFAULT_BAUD) -> Controller:
    """Opens a connection: the same as ``Controller(port, baud)``. Use it in a ``with``
    block, or call :meth:`Controller.close`.
    """
    return Controller(port, baud)

