"""The extension modules, imported in the order the station needs.

`_cell_station` hands out its two links as the Python classes that `_cell_command_link` and
`_cell_telemetry` register, so those two must be loaded first.
"""

import _cell_command_link
import _cell_telemetry
import _cell_station
import _cell_simulator

__all__ = ["_cell_command_link", "_cell_telemetry", "_cell_station", "_cell_simulator"]
