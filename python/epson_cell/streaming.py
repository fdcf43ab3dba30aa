"""Every telemetry sample in order, and recordings to CSV."""

from __future__ import annotations

import asyncio
import collections
import pathlib
import time
from collections.abc import Iterator
from dataclasses import dataclass
from types import TracebackType

from ._modules import _cell_telemetry
from .targets import JA, XY


@dataclass(frozen=True, slots=True)
class Sample:
    """One telemetry sample: joints, pose and when it arrived."""

    joints: JA
    pose: XY
    monotonic_time: float
    """Arrival on the clock of ``time.monotonic()``, in seconds."""
    wall_time: float
    """Arrival in seconds since the epoch."""

    @classmethod
    def of(cls, sample: _cell_telemetry.TelemetrySample, monotonic_time: float,
           wall_time: float) -> Sample:
        return cls(JA(*sample.joints), XY(*sample.tcp_pose), monotonic_time, wall_time)

    @property
    def age(self) -> float:
        """Seconds since the sample arrived, now: how stale it is."""
        return time.monotonic() - self.monotonic_time


class Samples:
    """Every sample the receiver publishes, in order, from a bounded queue of its own.

    Iterate over it (``for sample in samples``) or ``async for`` over ``samples_async()``.
    When the consumer lags, the oldest entries are dropped; ``dropped`` counts the samples
    among them.

    The stream ends, and never raises for it, when it is closed, when the receiver
    disconnects or is closed, or when the telemetry connection breaks (a reconnection starts
    no new stream): what was queued before is still delivered, then iteration stops and
    ``get()`` returns ``None``. ``closed`` tells an end from a time-out. Leaving a ``with``
    block closes it.
    """

    #: How long one wait of ``async for`` blocks a worker thread at most.
    _ASYNC_SLICE = 0.1

    def __init__(self, subscription: _cell_telemetry.TelemetrySubscription) -> None:
        self._subscription = subscription
        self._status: _cell_telemetry.ControllerStatus | None = None
        # Events taken from the queue by a wait whose step was cancelled, kept for the next.
        self._carried: collections.deque[_cell_telemetry.TelemetryEvent] = collections.deque()
        self._inflight: asyncio.Future[None] | None = None

    @property
    def dropped(self) -> int:
        """Samples lost because the consumer lagged (dropped statuses are not counted)."""
        return self._subscription.dropped_samples()

    @property
    def status(self) -> _cell_telemetry.ControllerStatus | None:
        """The latest controller status that came through this stream, if any."""
        return self._status

    @property
    def closed(self) -> bool:
        """Whether the stream has ended (see the class documentation for when)."""
        return self._subscription.closed

    def close(self) -> None:
        self._subscription.close()

    def _next_event(self, timeout: float | None) -> _cell_telemetry.TelemetryEvent | None:
        if self._carried:
            return self._carried.popleft()
        return self._subscription.get(timeout)

    def get(self, timeout: float | None = None) -> Sample | None:
        """Return the next sample, or ``None`` when ``timeout`` passes or the stream has ended.

        The time-out holds for the whole call, however many statuses pass meanwhile.
        """
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            remaining = None if deadline is None else max(0.0, deadline - time.monotonic())
            event = self._next_event(remaining)
            if event is None:
                return None
            sample = self._take(event)
            if sample is not None:
                return sample

    def _take(self, event: _cell_telemetry.TelemetryEvent) -> Sample | None:
        if event.status is not None:
            self._status = event.status
        if event.sample is None:
            return None
        return Sample.of(event.sample, event.monotonic_time, event.wall_time)

    def __iter__(self) -> Iterator[Sample]:
        while True:
            sample = self.get()
            if sample is None:
                return
            yield sample

    def __aiter__(self) -> Samples:
        return self

    def _wait_into_carried(self, timeout: float) -> None:
        event = self._subscription.get(timeout)
        if event is not None:
            self._carried.append(event)

    async def __anext__(self) -> Sample:
        # Each step gives the event loop a turn, so a fast stream cannot starve it. Waiting
        # happens in a worker thread, in short slices, shielded: a cancelled step leaves the
        # wait running, and whatever it takes is carried to the next step, never lost.
        while True:
            await asyncio.sleep(0)
            if self._inflight is not None:
                if self._inflight.get_loop() is asyncio.get_running_loop():
                    await asyncio.shield(self._inflight)
                self._inflight = None
            ended = self._subscription.closed
            event = self._next_event(0.0)
            if event is None:
                if ended:
                    raise StopAsyncIteration
                self._inflight = asyncio.ensure_future(
                    asyncio.to_thread(self._wait_into_carried, self._ASYNC_SLICE))
                await asyncio.shield(self._inflight)
                self._inflight = None
                continue
            sample = self._take(event)
            if sample is not None:
                return sample

    def __enter__(self) -> Samples:
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        self.close()


class Recording:
    """A recording to CSV in progress; ``rows`` and ``lost`` are filled in when it stops."""

    def __init__(self, receiver: _cell_telemetry.EthernetReceiveInterface,
                 path: str | pathlib.Path) -> None:
        self._receiver = receiver
        self.path = pathlib.Path(path)
        self.rows: int | None = None
        self.lost: int | None = None

    def stop(self) -> None:
        """Stop writing; safe to call twice."""
        if self.rows is None and self._receiver.is_recording():
            summary = self._receiver.stop_recording()
            self.rows, self.lost = summary.rows, summary.lost

    def __enter__(self) -> Recording:
        # The binding takes any path-like; its stub leaves PathLike's parameter open.
        self._receiver.start_recording(str(self.path))
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        self.stop()
