"""A robot cell: both links to one controller, with keyword motions."""

from __future__ import annotations

import asyncio
import contextlib
import logging
import math
import pathlib
import threading
import time
from collections.abc import Callable, Generator
from types import TracebackType
from typing import cast, overload

from . import io as _io
from ._modules import _cell_command_link, _cell_station, _cell_telemetry
from .errors import connect_failed, explained
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


# The link's own conversions would refuse a wrong type with pybind11's signature listing; the
# package says in its own words which argument it was, before anything is sent.

def _type_name(value: object) -> str:
    return type(value).__name__


def _whole(name: str, value: object) -> None:
    if value is not None and (isinstance(value, bool) or not isinstance(value, int)):
        raise TypeError(f"{name} must be a whole number (int) or None, not {_type_name(value)} "
                        f"{value!r}")


def _real(name: str, value: object) -> None:
    if value is not None and (isinstance(value, bool) or not isinstance(value, (int, float))):
        raise TypeError(f"{name} must be a number or None, not {_type_name(value)} {value!r}")


def _flag(name: str, value: object) -> None:
    if not isinstance(value, bool):
        raise TypeError(f"{name} must be True or False, not {_type_name(value)} {value!r}")


def _text(name: str, value: object) -> None:
    if value is not None and not isinstance(value, str):
        raise TypeError(f"{name} must be a string or None, not {_type_name(value)} {value!r}")


def _check(target: Target, till: str | None, parallel: str | None, cp: bool,
           numbers: dict[str, object], whole: bool) -> tuple[str, str | None]:
    # Everything the motion needs, checked before anything is sent (and, for an async motion,
    # in the caller, before a worker thread starts).
    destination = spel(target)
    _text("till", till)
    _text("parallel", parallel)
    _flag("cp", cp)
    for name, value in numbers.items():
        (_whole if whole else _real)(name, value)
    return destination, till_clause(till)


def _port(name: str, value: object) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {_type_name(value)} {value!r}")
    if not 1 <= value <= 65535:
        raise ValueError(f"{name} must be from 1 to 65535, got {value}")
    return value


class Cell:
    """A connected robot cell: the command link as ``control``, the telemetry as ``telemetry``.

    Use it as a context manager, or call ``close()``: both links are closed together. When an
    exception leaves the ``with`` block while a motion of this cell still runs (in another
    thread or task), the motion is aborted first and a warning logged; a clean exit waits for
    it to end.
    """

    def __init__(self, control: _cell_command_link.CellCommandLink,
                 telemetry: _cell_telemetry.EthernetReceiveInterface,
                 station: _cell_station.CellStation | None = None) -> None:
        self.control = control
        self.telemetry = telemetry
        self._station = station
        self._motions = 0  # go()/move() calls of this cell not yet returned
        self._motions_lock = threading.Lock()
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
        if exc_type is not None and self.motion_running():
            # The block failed; a motion it started elsewhere must not run on to its end.
            _log.warning("leaving the cell on %s: aborting its running motion",
                         exc_type.__name__)
            try:
                self.control.abort_motion()
            except Exception as error:  # the block's own exception is the one that goes on
                _log.error("abort on leaving the cell failed: %s", error)
        self.close()

    def motion_running(self) -> bool:
        """Whether a ``go()``/``move()`` of this cell (any thread or task) has not returned."""
        with self._motions_lock:
            return self._motions > 0

    @contextlib.contextmanager
    def _motion_counted(self) -> Generator[None, None, None]:
        with self._motions_lock:
            self._motions += 1
        try:
            with explained():
                yield
        finally:
            with self._motions_lock:
                self._motions -= 1

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
            TypeError: An argument of the wrong type; nothing is sent.
            ValueError: A target or argument that cannot form a command; nothing is sent.
            ControllerError: The controller refused the motion (``MotionAbortedError`` when
                this link aborted it); its message ends with what the code means.
            ConnectionLostError, NotConnectedError: The link is gone.
        """
        return self._go(target, speed, acceleration, deceleration, cp, ljm, till, parallel)

    def _go(self, target: Target, speed: int | None, acceleration: int | None,
            deceleration: int | None, cp: bool, ljm: bool, till: str | None,
            parallel: str | None) -> bool | None:
        destination, search = _check(target, till, parallel, cp,
                                     {"speed": speed, "acceleration": acceleration,
                                      "deceleration": deceleration}, whole=True)
        _flag("ljm", ljm)
        with self._motion_counted(), self._observed("Go", destination, search) as result:
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
        destination, search = _check(target, till, parallel, cp,
                                     {"speed": speed, "acceleration": acceleration}, whole=False)
        with self._motion_counted(), self._observed("Move", destination, search) as result:
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
        _check(target, till, parallel, cp, {"speed": speed, "acceleration": acceleration,
                                            "deceleration": deceleration}, whole=True)
        _flag("ljm", ljm)
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
        _check(target, till, parallel, cp, {"speed": speed, "acceleration": acceleration},
               whole=False)
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
        with explained():
            return Status.decode(self.control.get_remote_status())

    def joints(self) -> JA:
        """The joint angles, read on the command link (not during a motion: use ``sample()``)."""
        with explained():
            return JA(*self.control.get_state()["joint_positions"])

    def pose(self) -> XY:
        """The TCP pose, read on the command link (not during a motion: use ``sample()``)."""
        with explained():
            return XY(*self.control.get_state()["tcp_pose"])

    def sample(self, max_age: float | None = None) -> Sample:
        """The latest telemetry sample, with its arrival time (``Sample.age`` says how stale).

        Raises:
            NotConnectedError: If the telemetry is not connected: the cell was closed, or the
                connection broke and is not back yet. A sample from then would be stale.
            TimeoutError: If the latest sample is older than ``max_age`` seconds.
        """
        if not self.telemetry.is_connected():
            raise _cell_command_link.NotConnectedError(
                "The Epson telemetry is not connected; no current sample")
        event = self.telemetry.get_timed_sample()
        assert event.sample is not None
        sample = Sample.of(event.sample, event.monotonic_time, event.wall_time)
        if max_age is not None and sample.age > max_age:
            raise TimeoutError(f"The latest telemetry sample is {sample.age:.3f} s old, "
                               f"older than {max_age:g} s")
        return sample

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

    # ---- digital I/O (io.py) ----

    def set_output(self, bit: int, on: bool) -> None:
        """Switch output ``bit`` (0-511) on or off. Raises ``IndexError`` out of range and
        ``RuntimeError`` while a motion runs (use the motion's ``parallel`` clause then)."""
        self.control.set_output_bit(bit, on)

    def output(self, bit: int) -> bool:
        """Whether output ``bit`` is on; raises as ``set_output()``."""
        return self.control.get_output_bit(bit)

    def input(self, bit: int) -> bool:
        """Whether input ``bit`` is on; raises as ``set_output()``."""
        return self.control.get_input_bit(bit)

    def wait_for_input(self, bit: int, on: bool = True, *, timeout: float = 5.0) -> None:
        """Wait until input ``bit`` is ``on`` (off with ``on=False``); ``TimeoutError`` after
        ``timeout`` seconds."""
        _io.wait_for_input(self.control, bit, on, timeout=timeout)

    async def wait_for_input_async(self, bit: int, on: bool = True, *,
                                   timeout: float = 5.0) -> None:
        """``wait_for_input()`` without blocking the event loop."""
        await _io.wait_for_input_async(self.control, bit, on, timeout=timeout)

    def gripper(self, output: int, closed_input: int, *, open_input: int | None = None,
                close_on: bool = True, timeout: float = 2.0) -> _io.Gripper:
        """A gripper switched by ``output`` whose sensor ``closed_input`` comes on when it is
        closed (see ``epson_cell.io.Gripper``)."""
        return _io.Gripper(self.control, output, closed_input, open_input=open_input,
                           close_on=close_on, timeout=timeout)

    # ---- streaming ----

    def samples(self, capacity: int = 4096) -> Samples:
        """Every sample from now on, in order, through a queue of ``capacity`` entries."""
        return Samples(self.telemetry.subscribe(capacity))

    def samples_async(self, capacity: int = 4096) -> Samples:
        """As ``samples()``, for ``async for``: each step gives the event loop a turn, and a
        cancelled step (a time-out) loses no sample."""
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
        ConnectFailedError: A link could not be opened (also a ``ConnectionError``);
            ``ControllerBusyError`` when the controller closed the command connection before
            the login reply, as it does while another client holds it. Nothing is left open.
        ControllerError: The controller refused the login (code 13: a wrong password).
        TimeoutError: No controller status within ``status_timeout`` seconds.
        TypeError, ValueError: An argument of the wrong type or out of range; nothing is sent.
    """
    if not isinstance(cast(object, host), str):  # an untyped caller's mistake
        raise TypeError(f"host must be a string, not {_type_name(host)} {host!r}")
    _port("command_port", command_port)
    _port("telemetry_port", telemetry_port)
    _text("password", password)
    _real("status_timeout", status_timeout)
    if not (math.isfinite(status_timeout) and status_timeout > 0):
        raise ValueError(f"status_timeout must be a positive number of seconds, got "
                         f"{status_timeout!r}")
    if password is None:
        try:
            station = _cell_station.CellStation(host, command_port, telemetry_port)
        except RuntimeError as error:
            raise connect_failed(error) from None
        cell = Cell(station.get_control_interface(), station.get_receive_interface(), station)
    else:
        control = _cell_command_link.CellCommandLink()
        telemetry = _cell_telemetry.EthernetReceiveInterface()
        try:
            # A refused login leaves the socket open; the disconnect below closes it.
            control.connect(host, command_port, password)
            telemetry.connect(host, telemetry_port)
        except BaseException as error:
            with contextlib.suppress(RuntimeError):  # the first failure is the one to report
                control.disconnect()
            if isinstance(error, RuntimeError):
                raise connect_failed(error) from None
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
