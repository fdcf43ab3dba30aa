"""Script an Epson robot cell.

``epson_cell.connect(host)`` opens the command and telemetry connections of one controller
and returns a :class:`Cell`::

    import epson_cell
    from epson_cell import XY

    with epson_cell.connect("192.168.0.1") as cell:
        cell.control.motor_on()
        cell.go(XY(300, 0, 400, 0, 0, 180), speed=50)
        found = cell.move(XY(300, 0, 200, 0, 0, 180), speed=100, till="Sw(3) = On")

The extension modules underneath (``_cell_command_link``, ``_cell_telemetry``,
``_cell_station``, ``_cell_simulator``) are imported here in the order they need and stay
reachable as ``cell.control`` and ``cell.telemetry``. Their console lines ("Connected to ...")
go to the logger ``epson_cell`` once this package is imported: ``set_console_lines()``.
"""

from ._modules import _cell_command_link
from _cell_command_link import (ConnectionLostError, ControllerError, EpsonPowerMode,
                                MotionAbortedError, NotConnectedError)
from _cell_simulator import Simulator

from .cell import Cell, connect, till_clause
from .console import ConsoleLines, set_console_lines
from .errors import ConnectFailedError, ControllerBusyError, OutcomeUnknownError, explain
from .io import Gripper, GripperError
from .status import Status, motors_on, power_high
from .streaming import Recording, Sample, Samples
from .targets import HERE, JA, XY, Point, Target, spel

__version__: str = _cell_command_link.__version__

# A script's standard output is its own: the links' lines go to logging unless it asks.
set_console_lines("logging")

__all__ = [
    "HERE", "JA", "XY", "Cell", "ConnectFailedError", "ConnectionLostError", "ConsoleLines",
    "ControllerBusyError", "ControllerError", "EpsonPowerMode", "Gripper", "GripperError",
    "MotionAbortedError", "NotConnectedError", "OutcomeUnknownError", "Point", "Recording",
    "Sample", "Samples", "Simulator", "Status", "Target", "connect", "explain", "motors_on",
    "power_high", "set_console_lines", "spel", "till_clause",
]
