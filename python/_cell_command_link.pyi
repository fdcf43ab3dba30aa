"""
Provide Epson Remote Ethernet command access.

Use ``CellCommandLink`` for controller commands and TCP management.
Continuous telemetry is handled separately by ``EthernetReceiveInterface``.
"""
from __future__ import annotations
import collections.abc
import typing
__all__: list[str] = ['CellCommandLink', 'ConnectionLostError', 'ControllerError', 'ControllerStatus', 'EpsonPowerMode', 'MotionAbortedError', 'NotConnectedError', 'OutcomeUnknownError', 'PtpMotionLimits', 'RemoteStatus', 'RobotState', 'log_to_python']
class EpsonPowerMode:
    """
    Epson controller servo power mode.
    
    This is independent of whether the motors are on. ``LOW`` limits speed and
    servo stiffness; ``HIGH`` permits full configured performance subject to the
    controller's safety state and motion limits.
    
    
    Members:
    
      LOW : Low speed and servo stiffness.
    
      HIGH : Full configured speed and servo stiffness.
    """
    HIGH: typing.ClassVar[EpsonPowerMode]
    LOW: typing.ClassVar[EpsonPowerMode]
    __members__: typing.ClassVar[dict[str, EpsonPowerMode]]
    @typing.overload
    def __eq__(self, other: EpsonPowerMode) -> bool:
        ...
    @typing.overload
    def __eq__(self, other: typing.Any) -> bool:
        ...
    def __getstate__(self) -> int:
        ...
    def __hash__(self) -> int:
        ...
    def __index__(self) -> int:
        ...
    def __init__(self, value: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
    def __int__(self) -> int:
        ...
    @typing.overload
    def __ne__(self, other: EpsonPowerMode) -> bool:
        ...
    @typing.overload
    def __ne__(self, other: typing.Any) -> bool:
        ...
    def __repr__(self) -> str:
        ...
    def __setstate__(self, state: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
    def __str__(self) -> str:
        ...
    @property
    def name(self) -> str:
        ...
    @property
    def value(self) -> int:
        ...
class PtpMotionLimits:
    """
    Maximum Epson SPEL+ point-to-point motion settings.
    
    All values are percentages. ``speed_percent`` is always 100 because SPEL+
    defines PTP speed on a fixed 1--100 scale. Acceleration and deceleration are
    reported by the connected robot through ``AccelMax``.
    """
    def __repr__(self) -> str:
        """
        Return the three limits in one line.
        """
    @property
    def acceleration_percent(self) -> int:
        ...
    @property
    def deceleration_percent(self) -> int:
        ...
    @property
    def speed_percent(self) -> int:
        ...
class RemoteStatus:
    """
    The controller's Remote Ethernet status, as ``get_remote_status()`` reads it.
    
    Attributes:
        test, teach, auto: The operation mode flags.
        warning, serious_error, error: Whether a warning, a serious error (only a
            restart clears it) or an error is active.
        safeguard, emergency_stop: Whether the safeguard is open, or an emergency
            stop is active.
        paused, running, ready: Whether execution is paused, runs, or can start.
        code (int): The error or warning code; 0 when there is none.
    """
    def __repr__(self) -> str:
        """
        Return the flags that are set and the code.
        """
    @property
    def auto(self) -> bool:
        ...
    @property
    def code(self) -> int:
        ...
    @property
    def emergency_stop(self) -> bool:
        ...
    @property
    def error(self) -> bool:
        ...
    @property
    def paused(self) -> bool:
        ...
    @property
    def ready(self) -> bool:
        ...
    @property
    def running(self) -> bool:
        ...
    @property
    def safeguard(self) -> bool:
        ...
    @property
    def serious_error(self) -> bool:
        ...
    @property
    def teach(self) -> bool:
        ...
    @property
    def test(self) -> bool:
        ...
    @property
    def warning(self) -> bool:
        ...
class CellCommandLink:
    """
    Control an Epson robot through Remote Ethernet.
    
    The interface owns one command socket, serializes commands, and exposes both
    native Epson Tool operations and robot-facing TCP operations. Native Tool poses
    use millimetres and ``[U, V, W]`` angles; TCP poses use metres and
    ``[rx, ry, rz]`` Euler-XYZ angles.
    
    Attributes:
        default_port (int): Default Remote Ethernet port, ``5000``.
        default_password (str): Protocol default password, an empty string.
    
    Examples:
        >>> control = CellCommandLink()
        >>> control.connect("192.168.0.1", password="plover")
        >>> control.is_logged_in()
        True
        >>> control.disconnect()
    """
    default_password: typing.ClassVar[str] = ''
    """
    Return the protocol's default password.
    
    Returns:
        An empty string.
    """
    default_port: typing.ClassVar[int] = 5000
    """
    Return the default Remote Ethernet command port.
    
    Returns:
        Port ``5000``.
    """
    def __enter__(self) -> CellCommandLink:
        """
        Return this link, for use in a ``with`` statement.
        """
    def __exit__(self, exc_type: typing.Any, exc_value: typing.Any, traceback: typing.Any) -> None:
        """
        Disconnect when the ``with`` block ends, as ``disconnect()`` does.
        
        An exception from the block is never suppressed.
        """
    def __init__(self) -> None:
        """
        Create a disconnected control interface.
        """
    def abort_motion(self) -> bool:
        """
        Abort the running Epson motion.
        
        Uses the Remote Ethernet ``$Abort`` command, which the controller accepts while
        ``$Execute`` runs. The motion then ends with the controller's answer, normally an
        error that ``go()`` or ``move()`` raises as ``MotionAbortedError``. It goes out at
        once, even while ``pause()`` or ``continue_motion()`` waits for its reply, and never
        reaches a motion called after it. A ``go()`` or ``move()`` still waiting for the
        connection does not start, and nothing is sent for it. With no motion called
        the command is sent on its own when the connection is free.
        
        Returns:
            bool: Whether ``$Abort`` went beside a motion that may still run;
            ``False`` when no motion could be stopped.
        
        Raises:
            RuntimeError: If the session is unavailable, the controller rejects the
                command, or its reply does not come within 5 seconds (then as
                ``OutcomeUnknownError``: the abort may have taken effect).
        """
    def add_safety_cuboid(self, min_corner_mm: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex], max_corner_mm: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex]) -> None:
        """
        Set the Epson controller's allowed Cartesian workspace.
        
        Corners are [X, Y, Z] in robot-base millimeters. Replaces the existing XYLim
        definition and enables XYLIM_STRICT for trajectory and pulse-motion checks.
        This is a software motion limit, not a certified safety function. XYLimMode
        may reset to the controller preference when the controller restarts.
        
        Raises:
            ValueError: If either corner is invalid.
            RuntimeError: If the controller rejects or fails to verify the settings.
        """
    def connect(self, host: str, port: typing.SupportsInt | typing.SupportsIndex = 5000, password: str = '') -> None:
        """
        Connect and log in without turning the motors on.
        
        Call ``motor_on()`` explicitly after confirming that the physical cell is safe.
        
        Args:
            host: Controller hostname or IP address.
            port: Remote Ethernet command port.
            password: Remote Ethernet login password.
        
        Raises:
            RuntimeError: If name resolution, connection, or login fails.
        """
    def continue_motion(self) -> None:
        """
        Continue paused Epson tasks and robot motion.
        
        Uses the Remote Ethernet ``$Continue`` command. The controller accepts it only
        in Auto mode while execution is paused.
        
        Raises:
            RuntimeError: If the session is unavailable or the command is rejected.
        """
    def disconnect(self) -> None:
        """
        Restore controller state, log out, and close the socket.
        
        Safe to call when already disconnected.
        
        Raises:
            RuntimeError: If the socket cannot be closed.
        """
    def get_controller_status(self) -> ControllerStatus:
        """
        Read raw Epson controller status fields.
        
        Returns:
            A dictionary containing ``stat``, ``system_error``,
            ``emergency_stopped``, ``safeguard_open``, ``teach_mode``,
            ``control_device``, ``robot_info``, and ``ctrl_info``.
        
        Raises:
            RuntimeError: If the session is unavailable or the response is invalid.
        """
    def get_input_bit(self, bit: typing.SupportsInt | typing.SupportsIndex) -> bool:
        """
        Return whether input ``bit`` (0 to 511) is on (SPEL+ ``Sw``).
        
        Raises IndexError and RuntimeError as ``set_output_bit``.
        """
    def get_input_byte(self, port: typing.SupportsInt | typing.SupportsIndex) -> int:
        """
        Return input byte ``port`` (0 to 63), bits 8*port to 8*port+7, as 0..255 (SPEL+ ``In``).
        """
    def get_input_word(self, port: typing.SupportsInt | typing.SupportsIndex) -> int:
        """
        Return input word ``port`` (0 to 31), bits 16*port to 16*port+15, as 0..65535 (SPEL+ ``InW``).
        """
    def get_output_bit(self, bit: typing.SupportsInt | typing.SupportsIndex) -> bool:
        """
        Return whether output ``bit`` (0 to 511) is on (SPEL+ ``Oport``).
        
        Raises IndexError and RuntimeError as ``set_output_bit``.
        """
    def get_output_byte(self, port: typing.SupportsInt | typing.SupportsIndex) -> int:
        """
        Return output byte ``port`` (0 to 63) as 0..255 (SPEL+ ``Out``).
        """
    def get_output_word(self, port: typing.SupportsInt | typing.SupportsIndex) -> int:
        """
        Return output word ``port`` (0 to 31) as 0..65535 (SPEL+ ``OutW``).
        """
    def get_power_mode(self) -> EpsonPowerMode:
        """
        Read the current Epson servo power mode.
        
        Returns:
            EpsonPowerMode: ``LOW`` or ``HIGH`` as reported by the controller.
        
        Raises:
            RuntimeError: If the session is unavailable, the query is rejected, or the
                controller returns an invalid value.
        """
    def get_ptp_motion_limits(self) -> PtpMotionLimits:
        """
        Read maximum SPEL+ point-to-point motion settings.
        
        Returns:
            PtpMotionLimits: Maximum speed, acceleration, and deceleration in Epson
            percentage units. Speed is always 100; acceleration and deceleration come
            from ``AccelMax(1)`` and ``AccelMax(2)`` on the connected controller.
        
        Raises:
            RuntimeError: If the session is unavailable, the query is rejected, or the
                controller response is invalid.
        """
    def get_remote_status(self) -> RemoteStatus:
        """
        Read the controller's Remote Ethernet status.
        
        Uses the ``$GetStatus`` command, which the controller accepts while ``$Execute``
        runs: during a motion it goes beside the motion like ``pause()``, otherwise
        as an ordinary command.
        
        Returns:
            RemoteStatus: The status flags and the error code.
        
        Raises:
            RuntimeError: If the session is unavailable, the reply is malformed, or
                during a motion it does not come within 5 seconds.
        """
    def get_state(self) -> RobotState:
        """
        Read joint positions and TCP pose in one controller request.
        
        Returns:
            A dictionary with ``joint_positions`` in degrees and ``tcp_pose`` as
            native Epson ``[X, Y, Z, U, V, W]`` in millimetres and degrees.
        
        Raises:
            RuntimeError: If the session is unavailable or the response is invalid.
        """
    def get_tcp_offset(self) -> list[float]:
        """
        Read the selected controller TCP in Veltrix units.
        
        Returns:
            ``[x, y, z, rx, ry, rz]`` in metres and Euler-XYZ degrees.
        
        Raises:
            RuntimeError: If the Tool definition cannot be read.
        """
    def get_tool(self) -> int:
        """
        Return the selected Epson Tool number.
        
        Returns:
            The selected Tool number from 0 through 15.
        
        Raises:
            RuntimeError: If the session is unavailable or the response is invalid.
        """
    def get_tool_definition(self, tool_num: typing.SupportsInt | typing.SupportsIndex) -> list[float]:
        """
        Read a native Epson Tool definition.
        
        Args:
            tool_num: Tool slot from 1 through 15.
        
        Returns:
            ``[X, Y, Z, U, V, W]`` in millimetres and degrees.
        
        Raises:
            IndexError: If ``tool_num`` is outside the supported range.
            RuntimeError: If the Tool is undefined or the response is invalid.
        """
    def go(self, destination: str, cp: bool, ljm: bool, orientation_flag: typing.SupportsInt | typing.SupportsIndex | None, search_expression: str | None, parallel_processing: str | None, sync: bool, speed_percent: typing.SupportsInt | typing.SupportsIndex | None = None, acceleration_percent: typing.SupportsInt | typing.SupportsIndex | None = None, deceleration_percent: typing.SupportsInt | typing.SupportsIndex | None = None) -> None:
        """
        Execute a point-to-point SPEL+ ``Go`` motion.
        
        Args:
            destination: SPEL+ point or point expression.
            cp: Whether to enable continuous-path mode.
            ljm: Whether to use least-joint-motion selection.
            orientation_flag: Optional LJM orientation selection; requires ``ljm``.
            search_expression: Optional SPEL+ search condition.
            parallel_processing: Optional SPEL+ statement run during motion.
            sync: Whether to append the SPEL+ ``SYNC`` modifier.
            speed_percent: Optional integer from 1 through 100 selecting the SPEL+
                ``Speed`` percentage of maximum point-to-point speed.
            acceleration_percent: Optional positive integer selecting the SPEL+
                ``Accel`` acceleration percentage. Its robot-specific maximum is
                available from ``get_ptp_motion_limits()``.
            deceleration_percent: Optional positive integer selecting the SPEL+
                ``Accel`` deceleration percentage. Defaults to ``acceleration_percent``
                when omitted; its maximum is controller-dependent.
        
        Raises:
            ValueError: If arguments cannot form a valid command.
            RuntimeError: If the session is unavailable or motion fails.
        """
    def inverse_kinematics(self, cartesian_pose: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex], least_joint_motion: bool = True, reference_joint_positions: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex] | None = None) -> list[float]:
        """
        Solve inverse kinematics on the connected Epson controller.
        
        This evaluates SPEL+ ``PAgl`` for joints 1 through 6 and does not move the
        robot. With ``least_joint_motion=True``, ``LJM(..., Here)`` selects a posture
        requiring least joint motion from the controller's current position.
        
        Args:
            cartesian_pose: Native Epson pose ``[X, Y, Z, U, V, W]`` with translation
                in millimetres and orientation in degrees.
            least_joint_motion: Whether to select the solution nearest ``Here``.
            reference_joint_positions: Optional ``[J1, ..., J6]`` reference in degrees
                for least-joint-motion selection. When omitted, ``Here`` is used.
        
        Returns:
            ``[J1, J2, J3, J4, J5, J6]`` in degrees.
        
        Raises:
            ValueError: If the pose does not contain exactly six finite values.
            RuntimeError: If disconnected, the pose is unreachable, the controller
                rejects the query, or its response is invalid.
        """
    def is_connected(self) -> bool:
        """
        Return whether the command socket is connected.
        
        Returns:
            ``True`` while the socket is connected.
        """
    def is_emergency_stopped(self) -> bool:
        """
        Return whether Emergency Stop is active.
        
        Returns:
            ``True`` while the controller reports an Emergency Stop.
        
        Raises:
            RuntimeError: If the session is unavailable or the response is invalid.
        """
    def is_logged_in(self) -> bool:
        """
        Return whether the Remote Ethernet session is logged in.
        
        Returns:
            ``True`` after a successful login and before logout.
        """
    def is_tool_defined(self, tool_num: typing.SupportsInt | typing.SupportsIndex) -> bool:
        """
        Return whether an Epson Tool slot has a definition.
        
        Args:
            tool_num: Tool slot from 1 through 15.
        
        Returns:
            ``True`` when the slot has a ``TLSet`` definition.
        
        Raises:
            IndexError: If ``tool_num`` is outside the supported range.
            RuntimeError: If the session is unavailable or the response is invalid.
        """
    def motor_off(self) -> None:
        """
        Turn the Epson robot motors off.
        
        Raises:
            RuntimeError: If the session is unavailable or the command is rejected.
        """
    def motor_on(self) -> None:
        """
        Turn the Epson robot motors on.
        
        Raises:
            RuntimeError: If the session is unavailable or the command is rejected.
        """
    def motor_on_error(self) -> str:
        """
        Return the error from the most recent explicit motor-on attempt.
        
        Returns:
            An empty string after success or when no attempt has been made; otherwise
            the most recent controller error.
        """
    def move(self, destination: str, rot: bool, ecp: bool, cp: bool, search_expression: str | None, parallel_processing: str | None, sync: bool, speed_mm_s: typing.SupportsFloat | typing.SupportsIndex | None = None, acceleration_mm_s2: typing.SupportsFloat | typing.SupportsIndex | None = None) -> None:
        """
        Execute a straight-line Cartesian SPEL+ ``Move`` motion.
        
        Optional motion parameters must be finite and positive. The controller enforces
        model-specific limits. Omitted parameters retain the controller's settings.
        
        Args:
            destination: SPEL+ point or point expression.
            rot: Whether to interpolate tool orientation.
            ecp: Whether to move relative to the external control point.
            cp: Whether to enable continuous-path mode.
            search_expression: Optional SPEL+ search condition.
            parallel_processing: Optional SPEL+ statement run during motion.
            sync: Whether to append the SPEL+ ``SYNC`` modifier.
            speed_mm_s: Optional ``SpeedS`` TCP speed in millimeters/second.
            acceleration_mm_s2: Optional ``AccelS`` acceleration and deceleration in
                millimeters/second squared.
        
        Raises:
            ValueError: If arguments cannot form a valid command.
            RuntimeError: If the session is unavailable or motion fails.
        """
    def pause(self) -> None:
        """
        Pause active Epson tasks and robot motion.
        
        Uses the Remote Ethernet ``$Pause`` command. The controller accepts it only in
        Auto mode while execution is running.
        
        Raises:
            RuntimeError: If the session is unavailable or the command is rejected.
        """
    def reset_controller(self) -> None:
        """
        Clear the current controller error with SPEL+ ``Reset``.
        
        This does not release physical safety devices or turn motors on.
        
        Raises:
            RuntimeError: If the session is unavailable or the command is rejected.
        """
    def restore_tcp_offset(self) -> None:
        """
        Restore the controller Tool state saved by ``set_tcp_offset``.
        
        Safe to call when no TCP override is active.
        
        Raises:
            RuntimeError: If restoration is required and a controller command fails.
        """
    def set_connect_attempts(self, attempts: typing.SupportsInt | typing.SupportsIndex) -> None:
        """
        Set how many attempts the next ``connect()`` makes when the connection is lost.
        
        Three unless set, two seconds apart. One attempt tells at once whether the controller takes
        this client, instead of waiting behind another client that holds it.
        
        Args:
            attempts: 1 to 10.
        
        Raises:
            ValueError: If ``attempts`` is outside 1 to 10.
        """
    def set_output_bit(self, bit: typing.SupportsInt | typing.SupportsIndex, on: bool) -> None:
        """
        Switch output ``bit`` (0 to 511) on or off (SPEL+ ``On``/``Off``).
        
        Raises IndexError for a bit outside 0..511 and RuntimeError at once while a motion runs (the controller runs one $Execute at a time); nothing is sent then.
        """
    def set_power_mode(self, mode: EpsonPowerMode) -> None:
        """
        Set and verify the Epson servo power mode.
        
        This does not turn the motors on and cannot override an E-stop, safeguard,
        operating-mode restriction, or controller motion limit.
        
        Args:
            mode: Requested :class:`EpsonPowerMode`.
        
        Raises:
            RuntimeError: If the session is unavailable, the command is rejected, or
                controller read-back does not match the requested mode.
        """
    def set_tcp_offset(self, pose: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex]) -> None:
        """
        Set the active controller TCP in Veltrix units.
        
        The first call saves the selected Tool and reserved custom Tool definition so
        they can be restored by ``restore_tcp_offset()`` or ``disconnect()``.
        
        Args:
            pose: ``[x, y, z, rx, ry, rz]`` in metres and Euler-XYZ degrees.
        
        Raises:
            ValueError: If ``pose`` does not contain six finite values.
            RuntimeError: If the controller update or verification fails.
        
        Examples:
            >>> control.set_tcp_offset([0, 0, 0.1, 0, 0, 0])
        """
    def set_tool(self, tool_num: typing.SupportsInt | typing.SupportsIndex) -> None:
        """
        Select the Tool used by subsequent Epson motion.
        
        Args:
            tool_num: Tool number from 0 through 15. Tool 0 is the flange.
        
        Raises:
            IndexError: If ``tool_num`` is outside the supported range.
            RuntimeError: If the session is unavailable or the command is rejected.
        """
    def till_on(self) -> bool:
        """
        Return whether the last motion was stopped by its search condition.
        """
    def tl_clear(self, tool_num: typing.SupportsInt | typing.SupportsIndex) -> None:
        """
        Clear a native Epson Tool definition.
        
        Args:
            tool_num: Tool slot from 1 through 15.
        
        Raises:
            IndexError: If ``tool_num`` is outside the supported range.
            RuntimeError: If the session is unavailable or the command is rejected.
        """
    def tl_set(self, tool_num: typing.SupportsInt | typing.SupportsIndex, tool_def_point: str) -> None:
        """
        Define a native Epson Tool with SPEL+ ``TLSet``.
        
        Args:
            tool_num: Tool slot from 1 through 15.
            tool_def_point: SPEL+ point expression such as ``XY(...)`` or ``P10``.
        
        Raises:
            IndexError: If the Tool slot is outside the supported range.
            ValueError: If the point expression is invalid.
            RuntimeError: If the session is unavailable or the command is rejected.
        """
class RobotState(typing.TypedDict):
    """
    The dictionary that ``CellCommandLink.get_state()`` returns.
    
    Keys:
        joint_positions: ``[J1, ..., J6]`` in degrees.
        tcp_pose: Native ``[X, Y, Z, U, V, W]`` in millimetres and degrees.
    """
    joint_positions: list[float]
    tcp_pose: list[float]
class ControllerStatus(typing.TypedDict):
    """
    The dictionary that ``CellCommandLink.get_controller_status()`` returns: the raw
    controller status fields, each an integer.
    """
    control_device: int
    ctrl_info: int
    emergency_stopped: int
    robot_info: int
    safeguard_open: int
    stat: int
    system_error: int
    teach_mode: int
class ControllerError(RuntimeError):
    """
    The controller refused a command: its reply began with ``!``.
    
    The message is the same as before this class existed; ``except RuntimeError``
    still catches it.
    
    Attributes:
        code (int): The reply's Remote Ethernet error code; 0 when it has none.
        command (str): The refused command as shown in messages; a login is shown
            as ``$Login,<redacted>``.
        reply (str): The controller's reply line.
        meaning (str): What the Remote Ethernet documentation says the code means;
            empty for a code it does not list.
    """
    code: int
    command: str
    meaning: str
    reply: str
class ConnectionLostError(RuntimeError):
    """
    The link gave its connection up: no reply within the deadline, a read error,
    or a reply that never ends.
    
    The link is disconnected afterwards; commands raise ``NotConnectedError``
    until the next ``connect()``.
    """
class NotConnectedError(RuntimeError):
    """
    A command on a link that is not connected. Nothing was sent.
    """
class MotionAbortedError(ControllerError):
    """
    A motion that this link aborted, by ``abort_motion()`` or by Ctrl-C.
    
    A subclass of ``ControllerError`` with the message the motion would have had,
    so that a caller tells its own stop from a controller fault. A motion stopped
    before it sent its statement has the message "Epson motion was aborted before
    it started", ``code`` 0 and an empty ``reply``.
    """
class OutcomeUnknownError(RuntimeError):
    """
    A command went out but its outcome is unknown: it may have taken effect.
    
    Its reply was lost, or the line read for it was blank or not its own (an
    error naming another command included). The link stays connected and treats
    the command as possibly done: after a ``motor_on()`` of unknown outcome,
    ``disconnect()`` still switches the motors off.
    """
def log_to_python(enable: bool = True) -> None:
    """
    Send the connector's console lines to the ``logging`` logger ``epson_cell``.
    
    By default the command links write their progress lines to standard output
    and their warnings and failures to standard error. Once this is called, every
    copy of the command link in the process (the station's included) hands the
    lines to ``epson_cell`` instead: connections and disconnections as INFO,
    retried connection attempts as WARNING, failures (resolution, refused
    login or logout checks, clean-up steps of a disconnect) as ERROR. A thread of
    this module delivers them, so lines written while the interpreter lock is
    held elsewhere arrive shortly afterwards, in order.
    
    Args:
        enable: ``False`` writes to the standard streams again.
    """
__version__: str
