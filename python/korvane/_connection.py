"""One open library handle, the calls in flight on it, and its single disconnect.

The library forbids disconnecting while another call on the same handle runs, and a handle
is freed by the disconnect. So every call registers here first; closing refuses new calls at
once, waits for the registered ones to return, and only then disconnects.
"""

from __future__ import annotations

import threading
import warnings
from contextlib import contextmanager
from typing import Any, Dict, Iterator, Optional

from . import errors
from .enums import Result


class Connection:
    """A handle and its users. Shared by a Controller and its finalizer, never by two
    Controllers."""

    def __init__(self, library: Any, handle: int, description: str) -> None:
        self.library = library
        self._handle: Optional[int] = handle
        self._description = description
        self._condition = threading.Condition()
        self._callers: Dict[int, int] = {}  # thread id -> calls in flight on that thread
        self._closing = False
        self._closed = False

    @property
    def closing(self) -> bool:
        return self._closing

    @contextmanager
    def use(self, function: str) -> Iterator[int]:
        """The handle, valid until the block ends; NotConnectedError once closing began."""
        me = threading.get_ident()
        with self._condition:
            if self._closing:
                raise errors.exception_for(Result.NOT_CONNECTED, function)
            assert self._handle is not None
            handle = self._handle
            self._callers[me] = self._callers.get(me, 0) + 1
        try:
            yield handle
        finally:
            with self._condition:
                self._callers[me] -= 1
                if not self._callers[me]:
                    del self._callers[me]
                    self._condition.notify_all()

    def call(self, function: str, *args: Any) -> None:
        """Calls the export ``function`` with the handle first; raises on a non-zero result."""
        with self.use(function) as handle:
            result = getattr(self.library, function)(handle, *args)
            if result == Result.SUCCESS:
                return
            message: Optional[str] = None
            if errors.leaves_message(result):
                # Read on this thread and before the handle can go: the text is per connection
                # and copied into a buffer of the calling thread.
                raw = self.library.Korvane_GetLastError(handle)
                message = raw.decode("utf-8", "replace") if raw else None
        raise errors.exception_for(result, function, message)

    def close(self) -> None:
        """Disconnects once: refuses new calls, waits for those in flight, disconnects.

        A second close, from any thread, returns when the first has disconnected.
        """
        with self._condition:
            if threading.get_ident() in self._callers:
                raise RuntimeError("close() inside a call on this connection would wait for itself")
            while self._closing and not self._closed:
                self._condition.wait()
            if self._closed:
                return
            self._closing = True
            try:
                self._condition.wait_for(lambda: not self._callers)
            except BaseException:
                # Interrupted (Ctrl-C): the connection stays open, usable and owned by its
                # finalizer, and another thread's close may take over.
                self._closing = False
                self._condition.notify_all()
                raise
            handle, self._handle = self._handle, None
        try:
            self.library.Korvane_Disconnect(handle)
        finally:
            with self._condition:
                self._closed = True
                self._condition.notify_all()

    def close_unclosed(self) -> None:
        """The finalizer of a Controller that was never closed: warn, then disconnect."""
        if self._closing:
            return
        try:
            warnings.warn(f"unclosed {self._description}", ResourceWarning, stacklevel=2)
        except Exception:  # warnings may be half torn down at interpreter exit
            pass
        self.close()
