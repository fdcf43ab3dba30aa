"""
Provide the Epson controller telemetry receiver.

``EthernetReceiveInterface`` keeps the latest sample and controller status pushed
by the controller's Background Task.
"""
from __future__ import annotations
import os
import typing
__all__: list[str] = ['ControllerStatus', 'EthernetReceiveInterface', 'RecordingSummary', 'TelemetryEvent', 'TelemetrySample', 'TelemetrySubscription']
class TelemetrySample:
    """
    One complete Epson telemetry sample in native units.
    
    Attributes:
        joints (list[float]): ``[J1, ..., J6]`` in degrees.
        tcp_pose (list[float]): ``[X, Y, Z, U, V, W]`` in millimetres and degrees.
    """
    def __repr__(self) -> str:
        """
        Return the joints and the pose in one line.
        """
    @property
    def joints(self) -> list[float]:
        ...
    @property
    def tcp_pose(self) -> list[float]:
        ...
class TelemetryEvent:
    """
    One sample or controller status as the receiver published it.
    
    Attributes:
        kind (str): ``"sample"`` or ``"status"``.
        sample (TelemetrySample | None): The sample of a ``"sample"`` event.
        status (ControllerStatus | None): The status of a ``"status"`` event.
        monotonic_time (float): When it was received, in seconds on the clock of
            :func:`time.monotonic`.
        wall_time (float): The same instant in seconds since the epoch.
    """
    def __repr__(self) -> str:
        """
        Return the kind, the receive time and the values in one line.
        """
    @property
    def kind(self) -> str:
        ...
    @property
    def monotonic_time(self) -> float:
        ...
    @property
    def sample(self) -> TelemetrySample | None:
        ...
    @property
    def status(self) -> ControllerStatus | None:
        ...
    @property
    def wall_time(self) -> float:
        ...
class TelemetrySubscription:
    """
    A bounded queue of every sample and status received after ``subscribe()``.
    
    The receiver never waits for the reader: when the queue is full, the oldest
    event is dropped and counted by ``dropped()``. Iterating waits for each event
    and ends when the subscription is closed, the receiver disconnects, or its
    connection breaks (a reconnection needs a new subscription); ``get()``
    then returns ``None``.
    
    Examples:
        >>> with receive.subscribe() as events:
        ...     for event in events:
        ...         print(event.monotonic_time, event.sample)
    """
    def __enter__(self) -> TelemetrySubscription:
        """
        Return this subscription, for use in a ``with`` statement.
        """
    def __exit__(self, exc_type: typing.Any, exc_value: typing.Any, traceback: typing.Any) -> None:
        """
        Close the subscription when the ``with`` block ends.
        
        An exception from the block is never suppressed.
        """
    def __iter__(self) -> TelemetrySubscription:
        """
        Return this subscription: iterating yields each event as it arrives.
        """
    def __next__(self) -> TelemetryEvent:
        """
        Return the next event, waiting for it.
        
        Raises:
            StopIteration: When the subscription has ended and nothing is queued.
        """
    def close(self) -> None:
        """
        End the subscription and wake every waiting ``get()``.
        
        Events already queued can still be read. Safe to call more than once.
        """
    def dropped(self) -> int:
        """
        Return how many events were dropped because the queue was full.
        
        Returns:
            The count since ``subscribe()``; ``0`` while the reader keeps up.
        """
    def dropped_samples(self) -> int:
        """
        Return how many of the dropped events were samples.
        
        Returns:
            The part of ``dropped()`` that were samples; the rest were statuses.
        """
    def get(self, timeout: typing.SupportsFloat | typing.SupportsIndex | None = None) -> TelemetryEvent | None:
        """
        Return the next event, waiting for it.
        
        Args:
            timeout: Seconds to wait at most; ``None`` waits until an event arrives
                or the subscription ends.
        
        Returns:
            The oldest queued :class:`TelemetryEvent`, or ``None`` when the time
            passes, or when the subscription has ended and nothing is queued.
        
        Raises:
            ValueError: If ``timeout`` is negative.
        """
    @property
    def capacity(self) -> int:
        """
        The most events the queue holds.
        """
    @property
    def closed(self) -> bool:
        """
        Whether the subscription has ended, by ``close()`` or the receiver's disconnect.
        """
class RecordingSummary:
    """
    What a finished recording wrote.
    
    Attributes:
        path (str): The CSV file.
        rows (int): Data rows written, without the header.
        lost (int): Rows dropped because the writer could not keep up.
    """
    def __repr__(self) -> str:
        """
        Return the path and the counts in one line.
        """
    @property
    def lost(self) -> int:
        ...
    @property
    def path(self) -> str:
        ...
    @property
    def rows(self) -> int:
        ...
class EthernetReceiveInterface:
    """
    Receive Epson controller telemetry in the background.
    
    A receiver thread reads the controller's telemetry lines, keeps the latest
    complete six-axis sample and the latest controller status, and reconnects about
    once a second after a broken connection. The getters never touch the socket.
    
    Examples:
        >>> receive = EthernetReceiveInterface()
        >>> receive.connect("192.168.0.1")
        >>> receive.get_sample().joints
        >>> receive.disconnect()
    """
    def __enter__(self) -> EthernetReceiveInterface:
        """
        Return this receiver, for use in a ``with`` statement.
        """
    def __exit__(self, exc_type: typing.Any, exc_value: typing.Any, traceback: typing.Any) -> None:
        """
        Disconnect when the ``with`` block ends, as ``disconnect()`` does.
        
        An exception from the block is never suppressed.
        """
    def __init__(self) -> None:
        """
        Create a disconnected telemetry receiver.
        """
    def connect(self, host: str, port: typing.SupportsInt | typing.SupportsIndex = 2000) -> None:
        """
        Connect and wait for the first complete sample.
        
        Args:
            host: Controller hostname or IP address.
            port: Controller-pushed telemetry port.
        
        Raises:
            RuntimeError: If resolution or connection fails, or no complete sample
                arrives within 2 seconds.
        """
    def controller_status_age_seconds(self) -> float:
        """
        Return the age of the latest controller status.
        
        Returns:
            Seconds since it arrived, or infinity when there is none.
        """
    def disconnect(self) -> None:
        """
        Stop the receiver thread and close the socket.
        
        Safe to call when already disconnected. The last sample and status stay readable.
        """
    def get_controller_status(self) -> ControllerStatus:
        """
        Return the latest controller status.
        
        Returns:
            A dictionary containing ``stat``, ``system_error``, ``emergency_stopped``,
            ``safeguard_open``, ``teach_mode``, ``control_device``, ``robot_info``,
            and ``ctrl_info``.
        
        Raises:
            RuntimeError: If no status has been received since ``connect()``.
        """
    def get_sample(self) -> TelemetrySample:
        """
        Return the latest complete sample.
        
        Returns:
            TelemetrySample: Joints and TCP pose in native units.
        
        Raises:
            RuntimeError: If no sample has been received since ``connect()``.
        """
    def get_timed_sample(self) -> TelemetryEvent:
        """
        Return the latest sample together with the time it arrived.
        
        One call reads both, so the time belongs to the sample.
        
        Returns:
            TelemetryEvent: A ``"sample"`` event with its ``monotonic_time`` and
            ``wall_time``.
        
        Raises:
            RuntimeError: If no sample has been received since ``connect()``.
        """
    def has_controller_status(self) -> bool:
        """
        Return whether a controller-status packet arrived since the last ``connect()``.
        
        Returns:
            ``True`` once a status has been received.
        """
    def has_sample(self) -> bool:
        """
        Return whether a sample arrived since the last ``connect()``.
        
        Returns:
            ``True`` once a complete sample has been received.
        """
    def is_connected(self) -> bool:
        """
        Return whether the telemetry socket is connected.
        
        Returns:
            ``True`` while the socket is connected.
        """
    def is_recording(self) -> bool:
        """
        Return whether a recording is running.
        
        Returns:
            ``True`` between ``start_recording()`` and ``stop_recording()``.
        """
    def sample_age_seconds(self) -> float:
        """
        Return the age of the latest sample.
        
        Returns:
            Seconds since it arrived, or infinity when there is none.
        """
    def start_recording(self, path: os.PathLike[str] | str | bytes) -> None:
        """
        Record every sample and status to a CSV file until ``stop_recording()``.
        
        A writer thread of its own writes one row per sample and per status, in
        arrival order, in whole rows that reach the file within about 10 ms. The
        columns are ``monotonic_s``, ``wall_time`` (ISO-8601 UTC), ``J1`` to ``J6``,
        ``X`` to ``W`` and the eight status fields, which repeat the latest status on
        every row, then ``kind``: ``sample`` or ``status``. A status row leaves the
        joint and pose columns empty. Rows the
        writer cannot keep up with are dropped and counted.
        
        Args:
            path: The file to create, or to replace.
        
        Raises:
            RuntimeError: If a recording is already running, or the file cannot be
                opened or written.
        """
    def stop_recording(self) -> RecordingSummary:
        """
        Stop the recording, write what is queued and close the file.
        
        Returns:
            RecordingSummary: The file, the rows written and the rows lost.
        
        Raises:
            RuntimeError: If no recording is running, or writing the file failed.
        """
    def subscribe(self, capacity: typing.SupportsInt | typing.SupportsIndex = 4096) -> TelemetrySubscription:
        """
        Subscribe to every sample and status received from now on.
        
        Args:
            capacity: Events the queue holds; when a slow reader lets it fill, the
                oldest are dropped and counted.
        
        Returns:
            A :class:`TelemetrySubscription`. It ends when it is closed, this
            receiver disconnects, or the connection breaks.
        
        Raises:
            ValueError: If ``capacity`` is 0 or above 16777216.
            RuntimeError: If the receiver is not connected (also while it
                re-establishes a broken connection).
        """
class ControllerStatus(typing.TypedDict):
    """
    The dictionary that ``EthernetReceiveInterface.get_controller_status()``
    returns: the raw controller status fields, each an integer.
    """
    control_device: int
    ctrl_info: int
    emergency_stopped: int
    robot_info: int
    safeguard_open: int
    stat: int
    system_error: int
    teach_mode: int
__version__: str
