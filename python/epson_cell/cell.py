"""A robot cell: both links to one controller, with keyword motions."""

from __future__ import annotations

import asyncio
import contextlib
import logging
import pathlib
import time
from collections.abc import Callable, Generator
from types import TracebackType
from typing import overload

from ._modules import _cell_command_link, _cell_station, _cell_telemetry
from .events import MotionEvent
from .status import Status
from .streaming import Recording, Sample, Samples
from .targets import JA, XY, Target, spel

_log = logging.getLogger("epson_cell")


def till_clause(condition: str | None) -> str | None:
    """The SPEL+ search clause of a ``till`` condition: ``"Sw(3) = On"`` gives
    ``"Till Sw(3) = On"``."""
    if condition is None:
        return None
    text = condition.strip()
    if not text:
        raise ValueError("till must not be empty: give the condition, e.g. 'Sw(3) = On'")
    if text.split(None, 1)[0].lower() == "till":
        raise ValueError(f"till takes the condition alone, without 'Till': {condition!r}")
    return "Till " + text


def _check(target: Target, till: str | None) -> None:
    # An async motion refuses bad arguments in the caller, before a worker thread starts.
    spel(target)
    till_clause(till)


class Cell:
    """A connected robot cell: the command link as ``control``, the telemetry as ``telemetry``.

    Use it as a context manager, or call ``close()``: both links are closed together.
    """

    def __init__(self, control: _cell_command_link.CellCommandLink,
                 telemetry: _cell_telemetry.EthernetReceiveInterface,
                 station: _cell_station.CellStation | None = None) -> None:
        self.control = control
        self.telemetry = telemetry
        self._station = station
        self._motion_observers: list[Callable[[MotionEvent], None]] = []

    # ---- lifetime ----

    def close(self) -> None:
        """Disconnect both links, telemetry first; safe to call twice."""
        if self._station is not None:
            self._station.disconnect()
            return
        try:
            self.telemetry.disconnect()
        finally:
            self.control.disconnect()

    def __enter__(self) -> Cell:
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        self.close()

    # ---- motions ----

    @overload
    def go(self, target: Target, *, speed: int | None = ..., acceleration: int | None = ...,
           deceleration: int | None = ..., cp: bool = ..., ljm: bool = ..., till: None = ...,
           parallel: str | None = ...) -> None: ...
    @overload
    def go(self, target: Target, *, speed: int | None = ..., acceleration: int | None = ...,
           deceleration: int | None = ..., cp: bool = ..., ljm: bool = ..., till: str,
           parallel: str | None = ...) -> bool: ...
    def go(self, target: Target, *, speed: int | None = None, acceleration: int | None = None,
           deceleration: int | None = None, cp: bool = False, ljm: bool = False,
           till: str | None = None, parallel: str | None = None) -> bool | None:
        """Point-to-point motion (SPEL+ ``Go``); returns when the arm has stopped.

        Args:
            target: ``XY(...)``, ``JA(...)``, ``Point("P1")``, ``HERE`` or SPEL+ text.
            speed: ``Speed`` in percent (1-100); ``None`` keeps the controller's setting.
            acceleration, deceleration: ``Accel`` in percent; deceleration defaults to
                acceleration.
            cp: continuous-path mode. ljm: least joint motion.
            till: a search condition such as ``"Sw(3) = On"``: the arm stops when it holds.
            parallel: a SPEL+ statement run during the motion.

        Returns:
            With ``till``: whether the condition stopped the motion. Otherwise ``None``.

        Raises:
            ValueError: A target or argument that cannot form a command; nothing is sent.
            ControllerError: The controller refused the motion (``MotionAbortedError`` when
                this link aborted it).
            ConnectionLostError, NotConnectedError: The link is gone.
        """
        return self._go(target, speed, acceleration, deceleration, cp, ljm, till, parallel)

    def _go(self, target: Target, speed: int | None, acceleration: int | None,
            deceleration: int | None, cp: bool, ljm: bool, till: str | None,
            parallel: str | None) -> bool | None:
        destination = spel(target)
        search = till_clause(till)
        with self._observed("Go", destination, search) as result:
            self.control.go(destination, cp, ljm, None, search, parallel, False, speed,
                            acceleration, deceleration)
            result.append(self.control.till_on() if search is not None else None)
        return result[0]

    @overload
    def move(self, target: Target, *, speed: float | None = ...,
             acceleration: float | None = ..., cp: bool = ..., till: None = ...,
             parallel: str | None = ...) -> None: ...
    @overload
    def move(self, target: Target, *, speed: float | None = ...,
             acceleration: float | None = ..., cp: bool = ..., till: str,
             parallel: str | None = ...) -> bool: ...
    def move(self, target: Target, *, speed: float | None = None,
             acceleration: float | None = None, cp: bool = False, till: str | None = None,
             parallel: str | None = None) -> bool | None:
        """Straight-line motion (SPEL+ ``Move``); returns when the arm has stopped.

        ``speed`` is ``SpeedS`` in mm/s and ``acceleration`` ``AccelS`` in mm/s² (both
        acceleration and deceleration). The rest is as for ``go()``.
        """
        return self._move(target, speed, acceleration, cp, till, parallel)

    def _move(self, target: Target, speed: float | None, acceleration: float | None, cp: bool,
              till: str | None, parallel: str | None) -> bool | None:
        destination = spel(target)
        search = till_clause(till)
        with self._observed("Move", destination, search) as result:
            self.control.move(destination, False, False, cp, search, parallel, False, speed,
                              acceleration)
            result.append(self.control.till_on() if search is not None else None)
        return result[0]

    @overload
    async def go_async(self, target: Target, *, speed: int | None = ...,
                       acceleration: int | None = ..., deceleration: int | None = ...,
                       cp: bool = ..., ljm: bool = ..., till: None = ...,
                       parallel: str | None = ...) -> None: ...
    @overload
    async def go_async(self, target: Target, *, speed: int | None = ...,
                       acceleration: int | None = ..., deceleration: int | None = ...,
                       cp: bool = ..., ljm: bool = ..., till: str,
                       parallel: str | None = ...) -> bool: ...
    async def go_async(self, target: Target, *, speed: int | None = None,
                       acceleration: int | None = None, deceleration: int | None = None,
                       cp: bool = False, ljm: bool = False, till: str | None = None,
                       parallel: str | None = None) -> bool | None:
        """``go()`` without blocking the event loop; cancelling the task aborts the motion."""
        _check(target, till)
        return await self._motion(lambda: self._go(target, speed, acceleration, deceleration,
                                                   cp, ljm, till, parallel))

    @overload
    async def move_async(self, target: Target, *, speed: float | None = ...,
                         acceleration: float | None = ..., cp: bool = ..., till: None = ...,
                         parallel: str | None = ...) -> None: ...
    @overload
    async def move_async(self, target: Target, *, speed: float | None = ...,
                         acceleration: float | None = ..., cp: bool = ..., till: str,
                         parallel: str | None = ...) -> bool: ...
    async def move_async(self, target: Target, *, speed: float | None = None,
                         acceleration: float | None = None, cp: bool = False,
                         till: str | None = None, parallel: str | None = None) -> bool | None:
        """``move()`` without blocking the event loop; cancelling the task aborts the motion."""
        _check(target, till)
        return await self._motion(lambda: self._move(target, speed, acceleration, cp, till,
                                                     parallel))

    async def _motion(self, run: Callable[[], bool | None]) -> bool | None:
        # The link releases the interpreter lock while it waits, so a worker thread carries the
        # motion and the loop stays free.
        motion = asyncio.ensure_future(asyncio.to_thread(run))
        # An abandoned motion's error is expected; retrieve it so asyncio does not warn.
        motion.add_done_callback(lambda done: done.cancelled() or done.exception())
        try:
            return await asyncio.shield(motion)
        except asyncio.CancelledError:
            await self._abort_after_cancel(motion)
            raise

    async def _abort_after_cancel(self, motion: asyncio.Future[bool | None]) -> None:
        # Cancelled: the arm must be stopped before the cancellation goes on, even when the
        # task is cancelled again meanwhile.
        abort = asyncio.ensure_future(asyncio.to_thread(self.control.abort_motion))
        aborted = False
        while not abort.done():
            try:
                await asyncio.shield(abort)
            except asyncio.CancelledError:
                continue
            except Exception as error:  # the cancellation still goes on; say why the arm may not
                _log.error("abort after a cancelled motion failed: %s", error)
                break
            aborted = True
        if aborted:
            # The aborted motion answers once the arm stands; its error is the expected one.
            while not motion.done():
                try:
                    await asyncio.wait([motion])
                except asyncio.CancelledError:
                    continue
            if not motion.cancelled() and motion.exception() is None:
                _log.info("the cancelled motion had finished before the abort")

    # ---- following the motion calls ----

    def observe_motions(self, observer: Callable[[MotionEvent], None]) -> Callable[[], None]:
        """Call ``observer`` with a ``MotionEvent`` at each step of every ``go()`` and
        ``move()`` from now on, on the thread that runs the motion; returns the function that
        stops it. An observer that raises is logged and does not disturb the motion."""
        self._motion_observers.append(observer)

        def stop() -> None:
            with contextlib.suppress(ValueError):
                self._motion_observers.remove(observer)
        return stop

    def _notify(self, event: MotionEvent) -> None:
        for observer in list(self._motion_observers):
            try:
                observer(event)
            except Exception:
                _log.exception("a motion observer failed")

    @contextlib.contextmanager
    def _observed(self, motion: str, target: str, till: str | None) -> Generator[list[bool | None], None, None]:
        if not self._motion_observers:
            yield []
            return
        self._notify(MotionEvent("start", motion, target, till))
        result: list[bool | None] = []
        try:
            yield result
        except _cell_command_link.MotionAbortedError as error:
            self._notify(MotionEvent("abort", motion, target, till, str(error)))
            raise
        except BaseException as error:
            self._notify(MotionEvent("error", motion, target, till,
                                     f"{type(error).__name__}: {error}"))
            raise
        if result and result[0]:
            self._notify(MotionEvent("till", motion, target, till))
        self._notify(MotionEvent("end", motion, target, till))

    # ---- state ----

    def status(self) -> Status:
        """The controller's remote status, decoded; also answers while a motion runs."""
        return Status.decode(self.control.get_remote_status())

    def joints(self) -> JA:
        """The joint angles, read on the command link (not during a motion: use ``sample()``)."""
        return JA(*self.control.get_state()["joint_positions"])

    def pose(self) -> XY:
        """The TCP pose, read on the command link (not during a motion: use ``sample()``)."""
        return XY(*self.control.get_state()["tcp_pose"])

    def sample(self) -> Sample:
        """The latest telemetry sample, with its arrival time."""
        raw = self.telemetry.get_sample()
        age = self.telemetry.sample_age_seconds()
        return Sample.of(raw, time.monotonic() - age, time.time() - age)

    def wait_until(self, predicate: Callable[[], bool], timeout: float,
                   interval: float = 0.01) -> None:
        """Call ``predicate`` until it returns true.

        Raises:
            TimeoutError: If it is still false after ``timeout`` seconds.
        """
        deadline = time.monotonic() + timeout
        while not predicate():
            if time.monotonic() >= deadline:
                raise TimeoutError(f"condition not met within {timeout:g} s")
            time.sleep(interval)

    # ---- streaming ----

    def samples(self, capacity: int = 4096) -> Samples:
        """Every sample from now on, in order, through a queue of ``capacity`` entries."""
        return Samples(self.telemetry.subscribe(capacity))

    def samples_async(self, capacity: int = 4096) -> Samples:
        """As ``samples()``, for ``async for``."""
        return self.samples(capacity)

    def record(self, path: str | pathlib.Path) -> Recording:
        """Record every sample and status to a CSV file while the ``with`` block runs."""
        return Recording(self.telemetry, path)


def connect(host: str, *, command_port: int = 5000, telemetry_port: int = 2000,
            password: str | None = None, wait_for_status: bool = True,
            status_timeout: float = 5.0) -> Cell:
    """Open both links to a controller and return the ``Cell``.

    Without ``password`` the station opens them with its built-in login; with one, the two
    links are opened one by one. With ``wait_for_status`` the call also waits until the first
    controller status has arrived on the telemetry connection.

    Raises:
        RuntimeError (and its subclasses): A connection or the login failed; nothing is left
            open.
        TimeoutError: No controller status within ``status_timeout`` seconds.
    """
    if password is None:
        station = _cell_station.CellStation(host, command_port, telemetry_port)
        cell = Cell(station.get_control_interface(), station.get_receive_interface(), station)
    else:
        control = _cell_command_link.CellCommandLink()
        telemetry = _cell_telemetry.EthernetReceiveInterface()
        try:
            # A refused login leaves the socket open; the disconnect below closes it.
            control.connect(host, command_port, password)
            telemetry.connect(host, telemetry_port)
        except BaseException:
            with contextlib.suppress(RuntimeError):  # the first failure is the one to report
                control.disconnect()
            raise
        cell = Cell(control, telemetry)
    if wait_for_status:
        try:
            cell.wait_until(cell.telemetry.has_controller_status, status_timeout)
        except BaseException as error:
            with contextlib.suppress(RuntimeError):
                cell.close()
            if isinstance(error, TimeoutError):
                raise TimeoutError(f"no controller status from {host}:{telemetry_port} within "
                                   f"{status_timeout:g} s") from None
            raise
    return cell
