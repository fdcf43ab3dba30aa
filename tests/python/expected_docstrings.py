"""The docstrings the Python modules must carry, word for word."""

COMMAND_LINK = {
    '__module__': (
        'Provide Epson Remote Ethernet command access.\n'
        '\n'
        'Use ``CellCommandLink`` for controller commands and TCP management.\n'
        'Continuous telemetry is handled separately by ``EthernetReceiveInterface``.\n'
    ),
    'CellCommandLink': (
        'Control an Epson robot through Remote Ethernet.\n'
        '\n'
        'The interface owns one command socket, serializes commands, and exposes both\n'
        'native Epson Tool operations and robot-facing TCP operations. Native Tool poses\n'
        'use millimetres and ``[U, V, W]`` angles; TCP poses use metres and\n'
        '``[rx, ry, rz]`` Euler-XYZ angles.\n'
        '\n'
        'Attributes:\n'
        '    default_port (int): Default Remote Ethernet port, ``5000``.\n'
        '    default_password (str): Protocol default password, an empty string.\n'
        '\n'
        'Examples:\n'
        '    >>> control = CellCommandLink()\n'
        '    >>> control.connect("192.168.0.1", password="plover")\n'
        '    >>> control.is_logged_in()\n'
        '    True\n'
        '    >>> control.disconnect()\n'
    ),
    'default_port': (
        'Return the default Remote Ethernet command port.\n'
        '\n'
        'Returns:\n'
        '    Port ``5000``.\n'
    ),
    'default_password': (
        "Return the protocol's default password.\n"
        '\n'
        'Returns:\n'
        '    An empty string.\n'
    ),
    '__init__': (
        'Create a disconnected control interface.'
    ),
    'connect': (
        'Connect and log in without turning the motors on.\n'
        '\n'
        'Call ``motor_on()`` explicitly after confirming that the physical cell is safe.\n'
        '\n'
        'Args:\n'
        '    host: Controller hostname or IP address.\n'
        '    port: Remote Ethernet command port.\n'
        '    password: Remote Ethernet login password.\n'
        '\n'
        'Raises:\n'
        '    RuntimeError: If name resolution, connection, or login fails.\n'
    ),
    'disconnect': (
        'Restore controller state, log out, and close the socket.\n'
        '\n'
        'Safe to call when already disconnected.\n'
        '\n'
        'Raises:\n'
        '    RuntimeError: If the socket cannot be closed.\n'
    ),
    'is_connected': (
        'Return whether the command socket is connected.\n'
        '\n'
        'Returns:\n'
        '    ``True`` while the socket is connected.\n'
    ),
    'is_logged_in': (
        'Return whether the Remote Ethernet session is logged in.\n'
        '\n'
        'Returns:\n'
        '    ``True`` after a successful login and before logout.\n'
    ),
    'motor_on_error': (
        'Return the error from the most recent explicit motor-on attempt.\n'
        '\n'
        'Returns:\n'
        '    An empty string after success or when no attempt has been made; otherwise\n'
        '    the most recent controller error.\n'
    ),
    'is_emergency_stopped': (
        'Return whether Emergency Stop is active.\n'
        '\n'
        'Returns:\n'
        '    ``True`` while the controller reports an Emergency Stop.\n'
        '\n'
        'Raises:\n'
        '    RuntimeError: If the session is unavailable or the response is invalid.\n'
    ),
    'get_controller_status': (
        'Read raw Epson controller status fields.\n'
        '\n'
        'Returns:\n'
        '    A dictionary containing ``stat``, ``system_error``,\n'
        '    ``emergency_stopped``, ``safeguard_open``, ``teach_mode``,\n'
        '    ``control_device``, ``robot_info``, and ``ctrl_info``.\n'
        '\n'
        'Raises:\n'
        '    RuntimeError: If the session is unavailable or the response is invalid.\n'
    ),
    'reset_controller': (
        'Clear the current controller error with SPEL+ ``Reset``.\n'
        '\n'
        'This does not release physical safety devices or turn motors on.\n'
        '\n'
        'Raises:\n'
        '    RuntimeError: If the session is unavailable or the command is rejected.\n'
    ),
    'motor_on': (
        'Turn the Epson robot motors on.\n'
        '\n'
        'Raises:\n'
        '    RuntimeError: If the session is unavailable or the command is rejected.\n'
    ),
    'motor_off': (
        'Turn the Epson robot motors off.\n'
        '\n'
        'Raises:\n'
        '    RuntimeError: If the session is unavailable or the command is rejected.\n'
    ),
    'pause': (
        'Pause active Epson tasks and robot motion.\n'
        '\n'
        'Uses the Remote Ethernet ``$Pause`` command. The controller accepts it only in\n'
        'Auto mode while execution is running.\n'
        '\n'
        'Raises:\n'
        '    RuntimeError: If the session is unavailable or the command is rejected.\n'
    ),
    'continue_motion': (
        'Continue paused Epson tasks and robot motion.\n'
        '\n'
        'Uses the Remote Ethernet ``$Continue`` command. The controller accepts it only\n'
        'in Auto mode while execution is paused.\n'
        '\n'
        'Raises:\n'
        '    RuntimeError: If the session is unavailable or the command is rejected.\n'
    ),
    'till_on': (
        'Return whether the last motion was stopped by its search condition.'
    ),
    'get_power_mode': (
        'Read the current Epson servo power mode.\n'
        '\n'
        'Returns:\n'
        '    EpsonPowerMode: ``LOW`` or ``HIGH`` as reported by the controller.\n'
        '\n'
        'Raises:\n'
        '    RuntimeError: If the session is unavailable, the query is rejected, or the\n'
        '        controller returns an invalid value.\n'
    ),
    'get_ptp_motion_limits': (
        'Read maximum SPEL+ point-to-point motion settings.\n'
        '\n'
        'Returns:\n'
        '    PtpMotionLimits: Maximum speed, acceleration, and deceleration in Epson\n'
        '    percentage units. Speed is always 100; acceleration and deceleration come\n'
        '    from ``AccelMax(1)`` and ``AccelMax(2)`` on the connected controller.\n'
        '\n'
        'Raises:\n'
        '    RuntimeError: If the session is unavailable, the query is rejected, or the\n'
        '        controller response is invalid.\n'
    ),
    'add_safety_cuboid': (
        "Set the Epson controller's allowed Cartesian workspace.\n"
        '\n'
        'Corners are [X, Y, Z] in robot-base millimeters. Replaces the existing XYLim\n'
        'definition and enables XYLIM_STRICT for trajectory and pulse-motion checks.\n'
        'This is a software motion limit, not a certified safety function. XYLimMode\n'
        'may reset to the controller preference when the controller restarts.\n'
        '\n'
        'Raises:\n'
        '    ValueError: If either corner is invalid.\n'
        '    RuntimeError: If the controller rejects or fails to verify the settings.\n'
    ),
    'set_power_mode': (
        'Set and verify the Epson servo power mode.\n'
        '\n'
        'This does not turn the motors on and cannot override an E-stop, safeguard,\n'
        'operating-mode restriction, or controller motion limit.\n'
        '\n'
        'Args:\n'
        '    mode: Requested :class:`EpsonPowerMode`.\n'
        '\n'
        'Raises:\n'
        '    RuntimeError: If the session is unavailable, the command is rejected, or\n'
        '        controller read-back does not match the requested mode.\n'
    ),
    'tl_set': (
        'Define a native Epson Tool with SPEL+ ``TLSet``.\n'
        '\n'
        'Args:\n'
        '    tool_num: Tool slot from 1 through 15.\n'
        '    tool_def_point: SPEL+ point expression such as ``XY(...)`` or ``P10``.\n'
        '\n'
        'Raises:\n'
        '    IndexError: If the Tool slot is outside the supported range.\n'
        '    ValueError: If the point expression is invalid.\n'
        '    RuntimeError: If the session is unavailable or the command is rejected.\n'
    ),
    'tl_clear': (
        'Clear a native Epson Tool definition.\n'
        '\n'
        'Args:\n'
        '    tool_num: Tool slot from 1 through 15.\n'
        '\n'
        'Raises:\n'
        '    IndexError: If ``tool_num`` is outside the supported range.\n'
        '    RuntimeError: If the session is unavailable or the command is rejected.\n'
    ),
    'set_tool': (
        'Select the Tool used by subsequent Epson motion.\n'
        '\n'
        'Args:\n'
        '    tool_num: Tool number from 0 through 15. Tool 0 is the flange.\n'
        '\n'
        'Raises:\n'
        '    IndexError: If ``tool_num`` is outside the supported range.\n'
        '    RuntimeError: If the session is unavailable or the command is rejected.\n'
    ),
    'get_tool': (
        'Return the selected Epson Tool number.\n'
        '\n'
        'Returns:\n'
        '    The selected Tool number from 0 through 15.\n'
        '\n'
        'Raises:\n'
        '    RuntimeError: If the session is unavailable or the response is invalid.\n'
    ),
    'is_tool_defined': (
        'Return whether an Epson Tool slot has a definition.\n'
        '\n'
        'Args:\n'
        '    tool_num: Tool slot from 1 through 15.\n'
        '\n'
        'Returns:\n'
        '    ``True`` when the slot has a ``TLSet`` definition.\n'
        '\n'
        'Raises:\n'
        '    IndexError: If ``tool_num`` is outside the supported range.\n'
        '    RuntimeError: If the session is unavailable or the response is invalid.\n'
    ),
    'get_tool_definition': (
        'Read a native Epson Tool definition.\n'
        '\n'
        'Args:\n'
        '    tool_num: Tool slot from 1 through 15.\n'
        '\n'
        'Returns:\n'
        '    ``[X, Y, Z, U, V, W]`` in millimetres and degrees.\n'
        '\n'
        'Raises:\n'
        '    IndexError: If ``tool_num`` is outside the supported range.\n'
        '    RuntimeError: If the Tool is undefined or the response is invalid.\n'
    ),
    'get_tcp_offset': (
        'Read the selected controller TCP in Veltrix units.\n'
        '\n'
        'Returns:\n'
        '    ``[x, y, z, rx, ry, rz]`` in metres and Euler-XYZ degrees.\n'
        '\n'
        'Raises:\n'
        '    RuntimeError: If the Tool definition cannot be read.\n'
    ),
    'set_tcp_offset': (
        'Set the active controller TCP in Veltrix units.\n'
        '\n'
        'The first call saves the selected Tool and reserved custom Tool definition so\n'
        'they can be restored by ``restore_tcp_offset()`` or ``disconnect()``.\n'
        '\n'
        'Args:\n'
        '    pose: ``[x, y, z, rx, ry, rz]`` in metres and Euler-XYZ degrees.\n'
        '\n'
        'Raises:\n'
        '    ValueError: If ``pose`` does not contain six finite values.\n'
        '    RuntimeError: If the controller update or verification fails.\n'
        '\n'
        'Examples:\n'
        '    >>> control.set_tcp_offset([0, 0, 0.1, 0, 0, 0])\n'
    ),
    'restore_tcp_offset': (
        'Restore the controller Tool state saved by ``set_tcp_offset``.\n'
        '\n'
        'Safe to call when no TCP override is active.\n'
        '\n'
        'Raises:\n'
        '    RuntimeError: If restoration is required and a controller command fails.\n'
    ),
    'inverse_kinematics': (
        'Solve inverse kinematics on the connected Epson controller.\n'
        '\n'
        'This evaluates SPEL+ ``PAgl`` for joints 1 through 6 and does not move the\n'
        'robot. With ``least_joint_motion=True``, ``LJM(..., Here)`` selects a posture\n'
        "requiring least joint motion from the controller's current position.\n"
        '\n'
        'Args:\n'
        '    cartesian_pose: Native Epson pose ``[X, Y, Z, U, V, W]`` with translation\n'
        '        in millimetres and orientation in degrees.\n'
        '    least_joint_motion: Whether to select the solution nearest ``Here``.\n'
        '    reference_joint_positions: Optional ``[J1, ..., J6]`` reference in degrees\n'
        '        for least-joint-motion selection. When omitted, ``Here`` is used.\n'
        '\n'
        'Returns:\n'
        '    ``[J1, J2, J3, J4, J5, J6]`` in degrees.\n'
        '\n'
        'Raises:\n'
        '    ValueError: If the pose does not contain exactly six finite values.\n'
        '    RuntimeError: If disconnected, the pose is unreachable, the controller\n'
        '        rejects the query, or its response is invalid.\n'
    ),
    'go': (
        'Execute a point-to-point SPEL+ ``Go`` motion.\n'
        '\n'
        'Args:\n'
        '    destination: SPEL+ point or point expression.\n'
        '    cp: Whether to enable continuous-path mode.\n'
        '    ljm: Whether to use least-joint-motion selection.\n'
        '    orientation_flag: Optional LJM orientation selection; requires ``ljm``.\n'
        '    search_expression: Optional SPEL+ search condition.\n'
        '    parallel_processing: Optional SPEL+ statement run during motion.\n'
        '    sync: Whether to append the SPEL+ ``SYNC`` modifier.\n'
        '    speed_percent: Optional integer from 1 through 100 selecting the SPEL+\n'
        '        ``Speed`` percentage of maximum point-to-point speed.\n'
        '    acceleration_percent: Optional positive integer selecting the SPEL+\n'
        '        ``Accel`` acceleration percentage. Its robot-specific maximum is\n'
        '        available from ``get_ptp_motion_limits()``.\n'
        '    deceleration_percent: Optional positive integer selecting the SPEL+\n'
        '        ``Accel`` deceleration percentage. Defaults to ``acceleration_percent``\n'
        '        when omitted; its maximum is controller-dependent.\n'
        '\n'
        'Raises:\n'
        '    ValueError: If arguments cannot form a valid command.\n'
        '    RuntimeError: If the session is unavailable or motion fails.\n'
    ),
    'move': (
        'Execute a straight-line Cartesian SPEL+ ``Move`` motion.\n'
        '\n'
        'Optional motion parameters must be finite and positive. The controller enforces\n'
        "model-specific limits. Omitted parameters retain the controller's settings.\n"
        '\n'
        'Args:\n'
        '    destination: SPEL+ point or point expression.\n'
        '    rot: Whether to interpolate tool orientation.\n'
        '    ecp: Whether to move relative to the external control point.\n'
        '    cp: Whether to enable continuous-path mode.\n'
        '    search_expression: Optional SPEL+ search condition.\n'
        '    parallel_processing: Optional SPEL+ statement run during motion.\n'
        '    sync: Whether to append the SPEL+ ``SYNC`` modifier.\n'
        '    speed_mm_s: Optional ``SpeedS`` TCP speed in millimeters/second.\n'
        '    acceleration_mm_s2: Optional ``AccelS`` acceleration and deceleration in\n'
        '        millimeters/second squared.\n'
        '\n'
        'Raises:\n'
        '    ValueError: If arguments cannot form a valid command.\n'
        '    RuntimeError: If the session is unavailable or motion fails.\n'
    ),
    'get_state': (
        'Read joint positions and TCP pose in one controller request.\n'
        '\n'
        'Returns:\n'
        '    A dictionary with ``joint_positions`` in degrees and ``tcp_pose`` as\n'
        '    native Epson ``[X, Y, Z, U, V, W]`` in millimetres and degrees.\n'
        '\n'
        'Raises:\n'
        '    RuntimeError: If the session is unavailable or the response is invalid.\n'
    ),
    'EpsonPowerMode': (
        'Epson controller servo power mode.\n'
        '\n'
        'This is independent of whether the motors are on. ``LOW`` limits speed and\n'
        'servo stiffness; ``HIGH`` permits full configured performance subject to the\n'
        "controller's safety state and motion limits.\n"
    ),
    'PtpMotionLimits': (
        'Maximum Epson SPEL+ point-to-point motion settings.\n'
        '\n'
        'All values are percentages. ``speed_percent`` is always 100 because SPEL+\n'
        'defines PTP speed on a fixed 1--100 scale. Acceleration and deceleration are\n'
        'reported by the connected robot through ``AccelMax``.\n'
    ),
}

STATION = {
    '__module__': (
        'Provide combined ownership of Epson hardware connections.\n'
        '\n'
        '``CellStation`` opens and closes the command and telemetry\n'
        'interfaces as one unit.\n'
    ),
    'CellStation': (
        'Own the Epson command and telemetry connections together.\n'
        '\n'
        'Construction logs into the command interface, verifies the login, and then\n'
        'opens telemetry without enabling the motors. Motor power is controlled\n'
        'separately through the command interface. If either connection fails, both\n'
        'interfaces are closed before the original exception is propagated. The Remote\n'
        'Ethernet credential is managed privately by the C++ hardware layer.\n'
        '\n'
        'Examples:\n'
        '    >>> hardware = CellStation("192.168.0.1")\n'
        '    >>> control = hardware.get_control_interface()\n'
        '    >>> receive = hardware.get_receive_interface()\n'
        '    >>> hardware.disconnect()\n'
    ),
    '__init__': (
        'Connect to an Epson controller.\n'
        '\n'
        'Args:\n'
        '    host: Controller hostname or IP address.\n'
        '    control_port: Remote Ethernet command port.\n'
        '    receive_port: Controller-pushed telemetry port.\n'
        '\n'
        'Raises:\n'
        '    RuntimeError: If either connection, login, or initial telemetry readiness\n'
        '        check fails.\n'
    ),
    'get_control_interface': (
        'Return the owned command interface.\n'
        '\n'
        'Returns:\n'
        '    The connected :class:`CellCommandLink`.\n'
    ),
    'get_receive_interface': (
        'Return the owned telemetry interface.\n'
        '\n'
        'Returns:\n'
        '    The connected :class:`EthernetReceiveInterface`.\n'
    ),
    'is_connected': (
        'Return whether both Epson connections are active.\n'
        '\n'
        'Returns:\n'
        '    ``True`` only while command and telemetry interfaces are connected.\n'
    ),
    'disconnect': (
        'Disconnect both Epson interfaces.\n'
        '\n'
        'The telemetry interface is stopped first. The control interface then restores\n'
        'the original Tool state, turns motors off when appropriate, logs out, and\n'
        'closes its socket.\n'
        '\n'
        'Raises:\n'
        '    RuntimeError: If either interface reports a shutdown failure.\n'
    ),
}

POWER_MODE_MEMBERS = {
    "LOW": "Low speed and servo stiffness.",
    "HIGH": "Full configured speed and servo stiffness.",
}
