"""
Provide the Epson controller telemetry receiver.

``EthernetReceiveInterface`` keeps the latest sample and controller status pushed
by the controller's Background Task.
"""
from __future__ import annotations
import typing
__all__: list[str] = ['ControllerStatus', 'EthernetReceiveInterface', 'TelemetrySample']
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
    def sample_age_seconds(self) -> float:
        """
        Return the age of the latest sample.
        
        Returns:
            Seconds since it arrived, or infinity when there is none.
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
