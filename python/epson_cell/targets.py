"""Motion targets and the SPEL+ text they stand for."""

from __future__ import annotations

import math
import re
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from importlib import import_module
from typing import Any, Final, TypeAlias, final, overload


def _number(value: float, what: str) -> str:
    # repr() is the shortest text that reads back as the same double, so nothing is lost on
    # the way to the controller.
    number = float(value)
    if not math.isfinite(number):
        raise ValueError(f"{what} must be finite, got {value!r}")
    return repr(number)


class _Values(Sequence[float]):
    """Six numbers that read like a tuple: ``len``, index, slice, iteration, ``numpy.asarray``."""

    __slots__ = ()

    def _values(self) -> tuple[float, ...]:
        raise NotImplementedError

    def __iter__(self) -> Iterator[float]:
        return iter(self._values())

    def __len__(self) -> int:
        return 6

    @overload
    def __getitem__(self, index: int) -> float: ...
    @overload
    def __getitem__(self, index: slice) -> tuple[float, ...]: ...
    def __getitem__(self, index: int | slice) -> float | tuple[float, ...]:
        return self._values()[index]

    def __array__(self, dtype: Any = None, copy: bool | None = None) -> Any:
        # numpy.asarray() gives a float array of the six values, not an object scalar.
        numpy = import_module("numpy")
        return numpy.array(self._values(), dtype=float if dtype is None else dtype)


@final
@dataclass(frozen=True, slots=True)
class XY(_Values):
    """A Cartesian point: millimetres and degrees, the controller's own pose ``XY(...)``.

    A sequence of its six values as well: ``pose[2]`` is ``z``, ``numpy.asarray(pose)`` a float
    array. Poses read from the cell (``cell.pose()``, ``sample.pose``) are ``XY`` too, so they go back
    into ``go()``/``move()`` unchanged.
    """

    x: float
    y: float
    z: float
    u: float
    v: float
    w: float

    def _values(self) -> tuple[float, ...]:
        return (self.x, self.y, self.z, self.u, self.v, self.w)

    def spel(self) -> str:
        """Return the SPEL+ point expression; ``ValueError`` when a value is not finite."""
        names = ("x", "y", "z", "u", "v", "w")
        return "XY(" + ",".join(_number(v, f"XY.{n}") for n, v in zip(names, self)) + ")"


@final
@dataclass(frozen=True, slots=True)
class JA(_Values):
    """Joint angles ``J1 ... J6`` in degrees, the controller's ``JA(...)``; a sequence of six
    values as well (``joints[0]`` is ``j1``)."""

    j1: float
    j2: float
    j3: float
    j4: float
    j5: float
    j6: float

    def _values(self) -> tuple[float, ...]:
        return (self.j1, self.j2, self.j3, self.j4, self.j5, self.j6)

    def spel(self) -> str:
        """Return the SPEL+ point expression; ``ValueError`` when a value is not finite."""
        return "JA(" + ",".join(_number(v, f"JA.j{i}") for i, v in enumerate(self, 1)) + ")"


_POINT_NAME = re.compile(r"P\d+|P\(\d+\)|[A-Za-z][A-Za-z0-9_]*", re.ASCII)


@final
@dataclass(frozen=True, slots=True)
class Point:
    """A point defined on the controller, by number (``"P1"``, ``"P(12)"``) or label."""

    name: str

    def __post_init__(self) -> None:
        if not _POINT_NAME.fullmatch(self.name):
            raise ValueError(f"not a point name: {self.name!r} (use e.g. 'P1', 'P(12)' or a label)")

    def spel(self) -> str:
        return self.name


@final
class _Here:
    """The arm's current position, SPEL+ ``Here``."""

    __slots__ = ()

    def spel(self) -> str:
        return "Here"

    def __repr__(self) -> str:
        return "HERE"


HERE: Final = _Here()
"""The arm's current position, SPEL+ ``Here``."""

Target: TypeAlias = XY | JA | Point | _Here | str
"""What ``go()`` and ``move()`` accept; a plain string is sent verbatim."""


def spel(target: Target) -> str:
    """Return the SPEL+ text of a target, exactly as the connector sends it.

    Raises:
        TypeError: If ``target`` is not a target.
        ValueError: If a coordinate is not finite.
    """
    match target:
        case str():
            # Sent inside the quotes of $Execute: a quote or a line end would end the command.
            if not target.strip():
                raise ValueError("a motion target must not be empty")
            if any(c in target for c in '"\r\n\0'):
                raise ValueError(f"a motion target must not contain quotes, line ends or NUL: "
                                 f"{target!r}")
            return target
        case XY() | JA() | Point() | _Here():
            return target.spel()
        case _:  # an untyped caller's mistake
            raise TypeError(f"not a motion target: {target!r} (use XY, JA, Point, HERE or a "
                            "string)")
