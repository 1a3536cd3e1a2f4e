"""VelocityJog: velocity mode as a context manager that always stops it."""

from __future__ import annotations

from types import TracebackType
from typing import Optional, Protocol, Type

from .enums import Axis
from .errors import NotConnectedError


class _VelocityDriver(Protocol):
    """What a jog needs of its controller; the controller module imports this one, not the
    other way round."""

    def velocity_start(self, axis: Axis, rate: float) -> None: ...

    def velocity_stop(self) -> None: ...


class VelocityJog:
    """Velocity mode on one axis, started by :meth:`Controller.velocity`.

    Leaving the ``with`` block, or :meth:`stop`, ends it with a jog cancel, also when the
    block raised. The jog keeps no state of its own beyond its axis and last rate: if
    velocity mode ended by itself (Alarm, Sleep, Door), :meth:`set_rate` starts it again.
    """

    def __init__(self, controller: _VelocityDriver, axis: Axis, rate: float) -> None:
        self._controller = controller
        self._axis = axis
        self._rate = rate
        self._stopped = False

    @property
    def axis(self) -> Axis:
        """The axis this jog moves."""
        return self._axis

    @property
    def rate(self) -> float:
        """The rate most recently asked for, units per minute (signed)."""
        return self._rate

    @property
    def stopped(self) -> bool:
        """True once :meth:`stop` has been called (or the ``with`` block has ended)."""
        return self._stopped

    def set_rate(self, rate: float) -> None:
        """Changes speed and direction on the fly; the library's worker sends the new jog
        within about 100 ms. No jog cancel is sent.

        Raises:
            RuntimeError: this jog has been stopped.
            InvalidArgumentError: magnitude below 0.1 (the running rate is kept).
        """
        if self._stopped:
            raise RuntimeError("this velocity jog has been stopped; start a new one")
        self._controller.velocity_start(self._axis, rate)
        self._rate = float(rate)

    def stop(self) -> None:
        """Ends velocity mode (jog cancel); does nothing the second time, or when the
        controller has been closed, which ended velocity mode already.

        Raises:
            WriteError: the jog cancel could not be written (velocity mode is over anyway).
        """
        if self._stopped:
            return
        self._stopped = True
        try:
            self._controller.velocity_stop()
        except NotConnectedError:
            pass

    def __enter__(self) -> "VelocityJog":
        return self

    def __exit__(
        self,
        kind: Optional[Type[BaseException]],
        value: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None:
        self.stop()

    def __repr__(self) -> str:
        state = "stopped" if self._stopped else "running"
        return f"<korvane.VelocityJog axis={self._axis.name} rate={self._rate} {state}>"
