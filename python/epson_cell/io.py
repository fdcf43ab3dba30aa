"""Digital inputs and outputs of a cell, and a gripper switched by an output and read by its
sensors.

Every read and write is one SPEL+ statement on the command link (``On``/``Off``, ``Oport``,
``Sw``). The controller runs one statement at a time, so while a motion runs these calls raise
``RuntimeError`` at once: switch an output during a motion with the motion's ``parallel``
clause (``parallel="On 0"``) instead.
"""

from __future__ import annotations

import asyncio
import time
from typing import Protocol


class IoLink(Protocol):
    """What this module needs of a command link (``CellCommandLink`` has it)."""

    def set_output_bit(self, bit: int, on: bool) -> None: ...
    def get_output_bit(self, bit: int) -> bool: ...
    def get_input_bit(self, bit: int) -> bool: ...


#: How often a wait reads its input.
POLL_INTERVAL = 0.01


class GripperError(TimeoutError):
    """A gripper's sensor did not report the position within the time-out after its output
    was switched: the gripper is blocked, has no air or power, or the sensor is not wired to
    the input given."""


def _state(on: bool) -> str:
    return "on" if on else "off"


def _timeout_message(bit: int, on: bool, timeout: float) -> str:
    return f"input {bit} did not turn {_state(on)} within {timeout:g} s"


def _check_wait(timeout: float, interval: float) -> None:
    if not timeout >= 0:
        raise ValueError(f"timeout must be 0 or more seconds, got {timeout!r}")
    if not interval > 0:
        raise ValueError(f"interval must be more than 0 seconds, got {interval!r}")


def wait_for_input(link: IoLink, bit: int, on: bool = True, *, timeout: float = 5.0,
                   interval: float = POLL_INTERVAL) -> None:
    """Read input ``bit`` until it is ``on`` (or off with ``on=False``).

    Raises:
        TimeoutError: It did not within ``timeout`` seconds.
        IndexError: ``bit`` is outside 0..511; nothing is sent.
        RuntimeError: A motion runs (the controller reads no input beside it), or the link
            failed.
    """
    _check_wait(timeout, interval)
    deadline = time.monotonic() + timeout
    while link.get_input_bit(bit) != on:
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            raise TimeoutError(_timeout_message(bit, on, timeout))
        time.sleep(min(interval, remaining))


async def wait_for_input_async(link: IoLink, bit: int, on: bool = True, *,
                               timeout: float = 5.0, interval: float = POLL_INTERVAL) -> None:
    """``wait_for_input()`` without blocking the event loop: each read runs in a worker thread
    (the link releases the interpreter lock while it waits)."""
    _check_wait(timeout, interval)
    deadline = time.monotonic() + timeout
    while await asyncio.to_thread(link.get_input_bit, bit) != on:
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            raise TimeoutError(_timeout_message(bit, on, timeout))
        await asyncio.sleep(min(interval, remaining))


class Gripper:
    """A gripper closed by switching ``output`` on (off with ``close_on=False``), with a sensor
    input that comes on when it is closed and, optionally, one that comes on when it is open.

    ``close()`` and ``open()`` switch the output and wait for the sensor; without
    ``open_input``, ``open()`` waits for ``closed_input`` to go off.

    Example::

        gripper = cell.gripper(output=0, closed_input=8, open_input=9, timeout=1.0)
        gripper.close()      # raises GripperError if input 8 is not on within 1 s
    """

    def __init__(self, link: IoLink, output: int, closed_input: int, *,
                 open_input: int | None = None, close_on: bool = True,
                 timeout: float = 2.0) -> None:
        _check_wait(timeout, POLL_INTERVAL)
        self._link = link
        self.output = output
        self.closed_input = closed_input
        self.open_input = open_input
        self.close_on = close_on
        self.timeout = timeout

    def _plan(self, close: bool) -> tuple[bool, int, bool]:
        """The output's value, and the input to wait for with the value it must reach."""
        level = self.close_on if close else not self.close_on
        if close:
            return level, self.closed_input, True
        if self.open_input is not None:
            return level, self.open_input, True
        return level, self.closed_input, False

    def _error(self, close: bool, level: bool, bit: int, on: bool, timeout: float) -> GripperError:
        return GripperError(
            f"gripper did not {'close' if close else 'open'}: input {bit} was not "
            f"{_state(on)} {timeout:g} s after output {self.output} was switched "
            f"{_state(level)}; check the gripper, its supply and the sensor's wiring")

    def _move(self, close: bool, timeout: float | None) -> None:
        limit = self.timeout if timeout is None else timeout
        level, bit, on = self._plan(close)
        self._link.set_output_bit(self.output, level)
        try:
            wait_for_input(self._link, bit, on, timeout=limit)
        except TimeoutError:
            raise self._error(close, level, bit, on, limit) from None

    async def _move_async(self, close: bool, timeout: float | None) -> None:
        limit = self.timeout if timeout is None else timeout
        level, bit, on = self._plan(close)
        await asyncio.to_thread(self._link.set_output_bit, self.output, level)
        try:
            await wait_for_input_async(self._link, bit, on, timeout=limit)
        except TimeoutError:
            raise self._error(close, level, bit, on, limit) from None

    def close(self, timeout: float | None = None) -> None:
        """Close the gripper and wait until its sensor says closed.

        Raises:
            GripperError: The sensor did not within ``timeout`` (default: the gripper's).
            RuntimeError: A motion runs, or the link failed.
        """
        self._move(True, timeout)

    def open(self, timeout: float | None = None) -> None:
        """Open the gripper and wait until its sensor says open; raises as ``close()``."""
        self._move(False, timeout)

    async def close_async(self, timeout: float | None = None) -> None:
        """``close()`` without blocking the event loop."""
        await self._move_async(True, timeout)

    async def open_async(self, timeout: float | None = None) -> None:
        """``open()`` without blocking the event loop."""
        await self._move_async(False, timeout)

    @property
    def is_closed(self) -> bool:
        """Whether the closed sensor is on now."""
        return self._link.get_input_bit(self.closed_input)
