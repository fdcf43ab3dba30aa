"""What a cell reports about its motion calls, for a view or a log to follow them."""

from __future__ import annotations

import time
from dataclasses import dataclass, field
from typing import Literal

MotionPhase = Literal["start", "end", "till", "abort", "error"]


@dataclass(frozen=True, slots=True)
class MotionEvent:
    """One step of a ``go()`` or ``move()`` call.

    ``start`` comes before anything is sent; then ``till`` (the search condition stopped the
    arm), and exactly one of ``end``, ``abort`` (this link aborted the motion) or ``error``
    (anything else it raised, in ``detail``).
    """

    phase: MotionPhase
    motion: str
    """``"Go"`` or ``"Move"``."""
    target: str
    """The destination as sent, e.g. ``"XY(300, 0, 400, 0, 0, 180)"``."""
    till: str | None = None
    """The search clause, e.g. ``"Till Sw(3) = On"``."""
    detail: str = ""
    monotonic_time: float = field(default_factory=time.monotonic)
    wall_time: float = field(default_factory=time.time)
