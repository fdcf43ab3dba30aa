"""Every telemetry sample in order, and recordings to CSV."""

from __future__ import annotations

import asyncio
import pathlib
from collections.abc import AsyncIterator, Iterator
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


class Samples:
    """Every sample the receiver publishes, in order, from a bounded queue of its own.

    Iterate over it (``for sample in samples``) or ``async for`` over ``samples_async()``.
    When the consumer lags, the oldest entries are dropped and counted in ``dropped``.
    Iteration ends when the stream is closed or the receiver disconnects. Leaving a ``with``
    block closes it.
    """

    def __init__(self, subscription: _cell_telemetry.TelemetrySubscription) -> None:
        self._subscription = subscription
        self._status: _cell_telemetry.ControllerStatus | None = None

    @property
    def dropped(self) -> int:
        """Entries lost because the consumer lagged."""
        return self._subscription.dropped()

    @property
    def status(self) -> _cell_telemetry.ControllerStatus | None:
        """The latest controller status that came through this stream, if any."""
        return self._status

    @property
    def closed(self) -> bool:
        return self._subscription.closed

    def close(self) -> None:
        self._subscription.close()

    def get(self, timeout: float | None = None) -> Sample | None:
        """Return the next sample, or ``None`` when ``timeout`` passes or the stream has ended."""
        while True:
            event = self._subscription.get(timeout)
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
        for event in self._subscription:
            sample = self._take(event)
            if sample is not None:
                yield sample

    async def __aiter__(self) -> AsyncIterator[Sample]:
        # Drain what is queued without leaving the event loop; wait for more in a worker thread,
        # in short slices so that a cancelled consumer does not leave a thread blocked for long.
        while True:
            event = self._subscription.get(0.0)
            if event is None:
                if self._subscription.closed:
                    return
                event = await asyncio.to_thread(self._subscription.get, 0.1)
                if event is None:
                    continue
            sample = self._take(event)
            if sample is not None:
                yield sample

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
