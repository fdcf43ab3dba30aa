"""The controller's status, decoded."""

from __future__ import annotations

from dataclasses import asdict, dataclass, fields
from typing import Protocol

from ._modules import _cell_telemetry


class _RemoteStatus(Protocol):
    # What `_cell_command_link.RemoteStatus` offers; a protocol so that tests can decode plain
    # objects too.
    @property
    def test(self) -> bool: ...
    @property
    def teach(self) -> bool: ...
    @property
    def auto(self) -> bool: ...
    @property
    def warning(self) -> bool: ...
    @property
    def serious_error(self) -> bool: ...
    @property
    def safeguard(self) -> bool: ...
    @property
    def emergency_stop(self) -> bool: ...
    @property
    def error(self) -> bool: ...
    @property
    def paused(self) -> bool: ...
    @property
    def running(self) -> bool: ...
    @property
    def ready(self) -> bool: ...
    @property
    def code(self) -> int: ...


@dataclass(frozen=True, slots=True)
class Status:
    """The controller's remote status (``$GetStatus``): its eleven flags and its error code."""

    test: bool
    teach: bool
    auto: bool
    warning: bool
    serious_error: bool
    safeguard: bool
    emergency_stop: bool
    error: bool
    paused: bool
    running: bool
    ready: bool
    code: int

    @classmethod
    def decode(cls, remote: _RemoteStatus) -> Status:
        """Copy what ``CellCommandLink.get_remote_status()`` returned."""
        values = {f.name: getattr(remote, f.name) for f in fields(cls)}
        for name, value in values.items():
            expected = int if name == "code" else bool
            if type(value) is not expected:
                raise TypeError(f"remote status {name} is {value!r}, not {expected.__name__}")
        return cls(**values)

    @property
    def flags(self) -> list[str]:
        """The names of the flags that are set, in the controller's order."""
        return [f.name for f in fields(self) if f.name != "code" and getattr(self, f.name)]

    def as_dict(self) -> dict[str, bool | int]:
        return asdict(self)

    def __str__(self) -> str:
        return " ".join(self.flags or ["(no flags)"]) + f", code {self.code}"


# RobotInfo(0) bits that the telemetry status carries in `robot_info`.
_ROBOT_MOTORS_ON = 1 << 2
_ROBOT_POWER_HIGH = 1 << 3


def motors_on(controller_status: _cell_telemetry.ControllerStatus) -> bool:
    """Whether the motors are on, from a raw controller status (``robot_info``, RobotInfo(0))."""
    return bool(controller_status["robot_info"] & _ROBOT_MOTORS_ON)


def power_high(controller_status: _cell_telemetry.ControllerStatus) -> bool:
    """Whether the servo power is High, from a raw controller status (``robot_info``)."""
    return bool(controller_status["robot_info"] & _ROBOT_POWER_HIGH)
