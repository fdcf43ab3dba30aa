"""Motion targets and the SPEL+ text they stand for."""

from __future__ import annotations

import math
import re
from collections.abc import Iterator
from dataclasses import astuple, dataclass
from typing import Final, TypeAlias, final


def _number(value: float, what: str) -> str:
    # repr() is the shortest text that reads back as the same double, so nothing is lost on
    # the way to the controller.
    number = float(value)
    if not math.isfinite(number):
        raise ValueError(f"{what} must be finite, got {value!r}")
    return repr(number)


@final
@dataclass(frozen=True, slots=True)
class XY:
    """A Cartesian point: millimetres and degrees, the controller's own pose ``XY(...)``.

    Poses read from the cell (``cell.pose()``, ``sample.pose``) are ``XY`` too, so they go back
    into ``go()``/``move()`` unchanged.
    """

    x: float
    y: float
    z: float
    u: float
    v: float
    w: float

    def __iter__(self) -> Iterator[float]:
        return iter(astuple(self))

    def spel(self) -> str:
        """Return the SPEL+ point expression; ``ValueError`` when a value is not finite."""
        names = ("x", "y", "z", "u", "v", "w")
        return "XY(" + ",".join(_number(v, f"XY.{n}") for n, v in zip(names, self)) + ")"


@final
@dataclass(frozen=True, slots=True)
class JA:
    """Joint angles ``J1 ... J6`` in degrees, the controller's ``JA(...)``."""

    j1: float
    j2: float
    j3: float
    j4: float
    j5: float
    j6: float

    def __iter__(self) -> Iterator[float]:
        return iter(astuple(self))

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
            return target
        case XY() | JA() | Point() | _Here():
            return target.spel()
        case _:  # an untyped caller's mistake
            raise TypeError(f"not a motion target: {target!r} (use XY, JA, Point, HERE or a "
                            "string)")
