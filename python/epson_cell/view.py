"""A cell in Rerun: the arm in 3D with its TCP trail, joints and TCP as time series, status
changes and motion calls as events, live in Rerun's viewer or into an ``.rrd`` file.

Needs the optional extra ``[view]`` (``rerun-sdk``)::

    import epson_cell
    from epson_cell.view import log_cell

    with epson_cell.connect("192.168.0.1") as cell, log_cell(cell, rrd="run.rrd", viewer="web") as view:
        print("open", view.web_url)
        cell.go(epson_cell.Point("P1"))

The geometry that draws the arm (``ArmGeometry``) needs no extra.
"""

from __future__ import annotations

import collections
import contextlib
import importlib
import logging
import math
import os
import pathlib
import re
import shutil
import subprocess
import threading
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from types import TracebackType
from typing import Any, Literal, NamedTuple

from ._modules import _cell_simulator, _cell_telemetry
from .cell import Cell
from .events import MotionEvent
from .plot import MissingExtraError
from .status import motors_on, power_high

_log = logging.getLogger("epson_cell")

Vector = tuple[float, float, float]
Matrix = tuple[Vector, Vector, Vector]
IDENTITY: Matrix = ((1.0, 0.0, 0.0), (0.0, 1.0, 0.0), (0.0, 0.0, 1.0))

# The timeline every entity is logged on: the receive time of each sample, and the moment of
# each motion call, on the wall clock.
TIMELINE = "time"
ARM = "cell/arm"
JOINT_CENTRES = "cell/arm/joints"
FLANGE = "cell/flange"
TCP = "cell/tcp"
TRAIL = "cell/trail"
JOINT_SERIES = "plots/joints"
TCP_SERIES = "plots/tcp"
MOTION_EVENTS = "events/motion"
STATUS_EVENTS = "events/status"


# ---- geometry ----

class Frame(NamedTuple):
    """A frame in the base frame: its origin (mm) and its axes as the columns of ``rotation``."""

    position: Vector
    rotation: Matrix


@dataclass(frozen=True, slots=True)
class Link:
    """One joint and the link after it: the joint turns the frame reached so far about its own
    ``axis`` (``sign`` -1: a positive angle turns about the negative axis), then ``offset``
    (mm) is taken along the turned axes."""

    axis: Literal["x", "y", "z"]
    sign: int
    offset: Vector


def _rotation(axis: str, degrees: float) -> Matrix:
    c, s = math.cos(math.radians(degrees)), math.sin(math.radians(degrees))
    if axis == "x":
        return ((1.0, 0.0, 0.0), (0.0, c, -s), (0.0, s, c))
    if axis == "y":
        return ((c, 0.0, s), (0.0, 1.0, 0.0), (-s, 0.0, c))
    return ((c, -s, 0.0), (s, c, 0.0), (0.0, 0.0, 1.0))


def _product(a: Matrix, b: Matrix) -> Matrix:
    def row(r: Vector) -> Vector:
        return (r[0] * b[0][0] + r[1] * b[1][0] + r[2] * b[2][0],
                r[0] * b[0][1] + r[1] * b[1][1] + r[2] * b[2][1],
                r[0] * b[0][2] + r[1] * b[1][2] + r[2] * b[2][2])

    return (row(a[0]), row(a[1]), row(a[2]))


def _apply(m: Matrix, v: Sequence[float]) -> Vector:
    return (m[0][0] * v[0] + m[0][1] * v[1] + m[0][2] * v[2],
            m[1][0] * v[0] + m[1][1] * v[1] + m[1][2] * v[2],
            m[2][0] * v[0] + m[2][1] * v[1] + m[2][2] * v[2])


def pose_rotation(pose: Sequence[float]) -> Matrix:
    """The axes of a controller pose ``[X, Y, Z, U, V, W]``: Rz(U) * Ry(V) * Rx(W)."""
    return _product(_product(_rotation("z", pose[3]), _rotation("y", pose[4])),
                    _rotation("x", pose[5]))


def _vector(value: Iterable[float], what: str) -> Vector:
    numbers = tuple(float(v) for v in value)
    if len(numbers) != 3 or not all(math.isfinite(v) for v in numbers):
        raise ValueError(f"{what} must be three finite numbers, not {numbers!r}")
    return (numbers[0], numbers[1], numbers[2])


@dataclass(frozen=True, slots=True)
class ArmGeometry:
    """A serial arm as a chain of ``Link``s, one per joint, and the flange's axes in the frame
    that the last joint turns. ``ArmGeometry.simulator()`` is the simulated arm, read from the
    simulator's own kinematics; ``ArmGeometry.from_table()`` describes another arm."""

    links: tuple[Link, ...]
    flange_axes: Matrix = IDENTITY

    @classmethod
    def simulator(cls) -> ArmGeometry:
        """The simulator's six-axis arm, from the table its forward kinematics walks."""
        # The stub can only say "dict" of a module constant; the shape is the one read here.
        table: dict[str, Any] = getattr(_cell_simulator, "ARM_GEOMETRY")
        return cls.from_table(table["links"], table["flange_axes"])

    @classmethod
    def from_table(cls, rows: Iterable[Mapping[str, Any] | Sequence[Any]],
                   flange_axes: Iterable[Iterable[float]] | None = None) -> ArmGeometry:
        """A geometry from one row per joint: ``(axis, sign, (x, y, z))`` or a mapping with
        ``axis``, ``sign`` and ``offset``; ``flange_axes`` row by row (default: identity).

        Raises:
            ValueError: A row that is not a joint about x, y or z with sign +-1 and a finite
                offset, or no rows at all.
        """
        links: list[Link] = []
        for n, row in enumerate(rows, 1):
            axis, sign, offset = ((row["axis"], row["sign"], row["offset"])
                                  if isinstance(row, Mapping) else row)
            if axis not in ("x", "y", "z") or sign not in (1, -1):
                raise ValueError(f"link {n}: axis must be 'x', 'y' or 'z' and sign 1 or -1, "
                                 f"not {axis!r}, {sign!r}")
            links.append(Link(axis, int(sign), _vector(offset, f"link {n}'s offset")))
        if not links:
            raise ValueError("an arm needs at least one link")
        rows_given = [] if flange_axes is None else [
            _vector(r, "a row of flange_axes") for r in flange_axes]
        if flange_axes is not None and len(rows_given) != 3:
            raise ValueError("flange_axes must have three rows")
        axes = IDENTITY if flange_axes is None else (rows_given[0], rows_given[1], rows_given[2])
        return cls(tuple(links), axes)

    def frames(self, joints: Sequence[float]) -> list[Frame]:
        """The frame at each joint (its origin on the joint's axis, turned by the joint), then
        the flange frame: ``len(links) + 1`` frames in the base frame.

        Raises:
            ValueError: If ``joints`` does not have one angle (degrees) per link.
        """
        if len(joints) != len(self.links):
            raise ValueError(f"{len(self.links)} joint angles expected, not {len(joints)}")
        rotation, position = IDENTITY, (0.0, 0.0, 0.0)
        frames: list[Frame] = []
        for link, angle in zip(self.links, joints):
            rotation = _product(rotation, _rotation(link.axis, link.sign * angle))
            frames.append(Frame(position, rotation))
            step = _apply(rotation, link.offset)
            position = (position[0] + step[0], position[1] + step[1], position[2] + step[2])
        frames.append(Frame(position, _product(rotation, self.flange_axes)))
        return frames

    def outline(self, joints: Sequence[float]) -> list[Vector]:
        """The arm as one polyline from the base to the flange: each link drawn along its
        frame's z, then x, then y, as a column, an arm and a wrist would be."""
        frames = self.frames(joints)
        points: list[Vector] = [frames[0].position]
        for link, frame in zip(self.links, frames):
            corner = frame.position
            for k in (2, 0, 1):
                if link.offset[k]:
                    column = tuple(frame.rotation[i][k] * link.offset[k] for i in range(3))
                    corner = (corner[0] + column[0], corner[1] + column[1],
                              corner[2] + column[2])
                    points.append(corner)
        return points


# ---- the optional extra ----

MISSING_VIEW = "the view needs rerun-sdk: pip install 'epson-cell[view]'"


def _rerun() -> Any:
    try:
        # Imported by name: rerun-sdk is an optional extra, typed here as Any.
        return importlib.import_module("rerun")
    except ImportError:
        raise MissingExtraError(MISSING_VIEW) from None


def rerun_available() -> bool:
    """Whether the extra ``[view]`` is installed."""
    try:
        _rerun()
    except MissingExtraError:
        return False
    return True


# ---- many samples at once (numpy, which comes with rerun-sdk) ----

_AXIS_PLANE = {"x": (1, 2), "y": (2, 0), "z": (0, 1)}


def _rotations(np: Any, axis: str, degrees: Any) -> Any:
    """``_rotation()`` for an array of angles: shape (n, 3, 3)."""
    radians = np.radians(degrees)
    c, s = np.cos(radians), np.sin(radians)
    i, j = _AXIS_PLANE[axis]
    m = np.zeros((len(radians), 3, 3))
    m[:, 3 - i - j, 3 - i - j] = 1.0
    m[:, i, i] = c
    m[:, j, j] = c
    m[:, i, j] = -s
    m[:, j, i] = s
    return m


def _pose_rotations(np: Any, poses: Any) -> Any:
    """``pose_rotation()`` for an array of poses (n, 6): shape (n, 3, 3)."""
    return (_rotations(np, "z", poses[:, 3]) @ _rotations(np, "y", poses[:, 4])
            @ _rotations(np, "x", poses[:, 5]))


def _arm_arrays(np: Any, geometry: ArmGeometry, joints: Any) -> tuple[Any, Any, Any, Any]:
    """``frames()`` and ``outline()`` for an array of joint angles (n, links): the joint
    centres (n, links, 3), the flange frame's origin (n, 3) and axes (n, 3, 3), and the
    outline (n, points, 3), each equal to what the one-sample methods give."""
    n = joints.shape[0]
    rotation = np.broadcast_to(np.eye(3), (n, 3, 3))
    position = np.zeros((n, 3))
    centres: list[Any] = []
    outline: list[Any] = [position]
    for k, link in enumerate(geometry.links):
        rotation = rotation @ _rotations(np, link.axis, link.sign * joints[:, k])
        centres.append(position)
        corner = position
        for axis in (2, 0, 1):
            if link.offset[axis]:
                corner = corner + rotation[:, :, axis] * link.offset[axis]
                outline.append(corner)
        position = position + rotation @ np.asarray(link.offset)
    flange = rotation @ np.asarray(geometry.flange_axes)
    return np.stack(centres, axis=1), position, flange, np.stack(outline, axis=1)


# ---- a viewer of our own, on loopback ----

_GRPC_LINE = re.compile(r"Listening for gRPC connections on ([0-9.]+):(\d+)")
_WEB_LINE = re.compile(r"Hosting a web-viewer at (http://[0-9.]+:\d+)")


def rerun_executable() -> str:
    """The ``rerun`` viewer that comes with rerun-sdk."""
    _rerun()
    with contextlib.suppress(ImportError):
        bundled = pathlib.Path(importlib.import_module("rerun_cli").__file__ or "").parent / "rerun"
        if bundled.is_file():
            return str(bundled)
    found = shutil.which("rerun")
    if found is None:
        raise MissingExtraError("rerun-sdk's viewer (rerun) is not installed")
    return found


class Viewer:
    """A Rerun viewer process that this program started, listening on 127.0.0.1 only, on
    ports the system picks: the native viewer, or with ``web=True`` a web viewer served over
    HTTP (``url``) for a browser on this machine or through an SSH tunnel."""

    def __init__(self, *, web: bool = False, timeout: float = 20.0) -> None:
        command = [rerun_executable(), "--bind", "127.0.0.1", "--port", "0"]
        if web:
            command += ["--serve-web", "--web-viewer-port", "0"]
        self._process = subprocess.Popen(command, stdin=subprocess.DEVNULL,
                                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                         text=True, errors="replace",
                                         # A native window outlives Ctrl-C in the terminal.
                                         start_new_session=not web)
        self.grpc_url = ""
        self.url: str | None = None
        self._lines: collections.deque[str] = collections.deque(maxlen=50)
        ready = threading.Event()
        self._reader = threading.Thread(target=self._read, args=(web, ready), daemon=True,
                                        name="rerun viewer output")
        self._reader.start()
        if not ready.wait(timeout) or not self.grpc_url or (web and not self.url):
            self.close()
            said = "\n".join(self._lines)
            raise RuntimeError(f"the Rerun viewer did not start within {timeout:g} s"
                               + (f":\n{said}" if said else ""))

    def _read(self, web: bool, ready: threading.Event) -> None:
        # Read to the end, so that the viewer never blocks on a full pipe.
        assert self._process.stderr is not None
        for line in self._process.stderr:
            self._lines.append(line.rstrip())
            if (m := _GRPC_LINE.search(line)) and not self.grpc_url:
                self.grpc_url = f"rerun+http://{m[1]}:{m[2]}/proxy"
            if (m := _WEB_LINE.search(line)) and self.url is None:
                self.url = m[1]
            if self.grpc_url and (self.url or not web):
                ready.set()
        ready.set()

    @property
    def viewer_url(self) -> str | None:
        """The web viewer's address with the live stream selected, to open in a browser."""
        if self.url is None:
            return None
        from urllib.parse import quote
        return f"{self.url}/?url={quote(self.grpc_url, safe='')}"

    def running(self) -> bool:
        return self._process.poll() is None

    def close(self) -> None:
        """Stop the viewer; safe to call twice."""
        if self._process.poll() is None:
            self._process.terminate()
            try:
                self._process.wait(5.0)
            except subprocess.TimeoutExpired:
                self._process.kill()
                self._process.wait()
        self._reader.join(5.0)


# ---- logging a cell ----

def _status_text(status: _cell_telemetry.ControllerStatus) -> str:
    parts = [f"motors {'on' if motors_on(status) else 'off'}",
             f"power {'high' if power_high(status) else 'low'}"]
    if status["emergency_stopped"]:
        parts.append("EMERGENCY STOP")
    if status["safeguard_open"]:
        parts.append("safeguard open")
    if status["teach_mode"]:
        parts.append("teach mode")
    if status["system_error"]:
        parts.append(f"system error {status['system_error']}")
    return ", ".join(parts) + f" (stat {status['stat']})"


# The arm is orange and nothing else is, so that it stands out (and a test can find it).
_ARM_COLOUR = [230, 140, 40]
_SERIES_COLOURS = [[31, 119, 180], [44, 160, 44], [148, 103, 189], [23, 190, 207],
                   [127, 127, 127], [214, 39, 40]]
_XYZ_COLOURS = [[214, 39, 40], [44, 160, 44], [31, 119, 180]]

_MOTION_LEVEL = {"start": "INFO", "end": "INFO", "till": "INFO", "abort": "WARN",
                 "error": "ERROR"}


Source = Cell | _cell_telemetry.EthernetReceiveInterface


class CellView:
    """Logs a cell to a Rerun recording while it is open: every telemetry sample (the arm's
    links, joint centres, flange and TCP frames, the TCP's trail, joints and TCP position as
    time series), every change of the controller status, and, for a ``Cell``, each step of
    its ``go()`` and ``move()`` calls, all on the timeline ``time`` (wall clock). A telemetry
    receiver alone gives all but the motion calls.

    ``recording`` is a ``rerun.RecordingStream`` whose sinks the caller set; ``log_cell()``
    makes one. Samples come through a telemetry subscription of ``capacity`` entries; what a
    slow logger loses is counted in ``dropped``. The logger takes them in batches, every
    ``batch`` seconds (each sample still a frame at its own time), so that at 1 kHz it wakes
    and holds the interpreter a few times a second rather than once per sample.
    """

    def __init__(self, source: Source, recording: Any, *, geometry: ArmGeometry | None = None,
                 trail: int = 500, trail_step: float = 1.0, capacity: int = 8192,
                 batch: float = 0.05) -> None:
        self._rr = _rerun()
        self._numpy: Any = importlib.import_module("numpy")  # comes with rerun-sdk
        self._pyarrow: Any = importlib.import_module("pyarrow")  # so does this
        # Rerun converts a column of matrices one by one (tens of us each); one Arrow array
        # of Rerun's own type for them is taken as it is.
        self._mat3x3_type = self._rr.components.TransformMat3x3Batch(
            [IDENTITY]).as_arrow_array().type
        self._cell = source if isinstance(source, Cell) else None
        self._telemetry = source.telemetry if isinstance(source, Cell) else source
        self.recording = recording
        self.geometry = geometry if geometry is not None else ArmGeometry.simulator()
        self.samples = 0
        """Samples logged so far."""
        self._trail: collections.deque[Vector] = collections.deque(maxlen=max(2, trail))
        self._trail_step = trail_step
        self._last_status: dict[str, Any] | None = None
        self._lock = threading.Lock()
        self._subscription: _cell_telemetry.TelemetrySubscription | None = None
        self._thread: threading.Thread | None = None
        self._stop_observing: Any = None
        self._error: BaseException | None = None
        self._capacity = capacity
        if not (math.isfinite(batch) and batch > 0):
            raise ValueError(f"batch must be a positive number of seconds, not {batch!r}")
        self._batch = batch
        self._stopping = threading.Event()

    @property
    def dropped(self) -> int:
        """Samples and statuses the logger lost because it fell behind."""
        return self._subscription.dropped() if self._subscription is not None else 0

    def start(self) -> CellView:
        """Log the static parts, subscribe to the telemetry and follow the motion calls."""
        rr = self._rr
        rec = self.recording
        rec.log("cell", rr.ViewCoordinates.RIGHT_HAND_Z_UP, static=True)
        joints = len(self.geometry.links)
        rec.log(JOINT_SERIES, rr.SeriesLines(
            names=[f"J{i}" for i in range(1, joints + 1)],
            colors=[_SERIES_COLOURS[i % len(_SERIES_COLOURS)] for i in range(joints)]),
            static=True)
        rec.log(TCP_SERIES, rr.SeriesLines(names=["X", "Y", "Z"], colors=_XYZ_COLOURS),
                static=True)
        rec.log(TCP, rr.TransformAxes3D(100.0), static=True)
        rec.log(FLANGE, rr.TransformAxes3D(50.0), static=True)
        # What never changes is logged once; each frame then carries only positions.
        rec.log(ARM, rr.LineStrips3D.from_fields(radii=8.0, colors=[_ARM_COLOUR]), static=True)
        rec.log(JOINT_CENTRES, rr.Points3D.from_fields(radii=14.0, colors=[[90, 90, 90]]),
                static=True)
        rec.log(TRAIL, rr.LineStrips3D.from_fields(radii=2.0, colors=[[40, 120, 230]]),
                static=True)
        self._subscription = self._telemetry.subscribe(self._capacity)
        if self._cell is not None:
            self._stop_observing = self._cell.observe_motions(self._motion)
        self._thread = threading.Thread(target=self._follow, name="rerun cell logger",
                                        daemon=True)
        self._thread.start()
        return self

    def close(self) -> None:
        """Stop following the cell and flush what was logged; safe to call twice."""
        if self._stop_observing is not None:
            self._stop_observing()
            self._stop_observing = None
        if self._subscription is not None:
            self._subscription.close()
        self._stopping.set()
        if self._thread is not None:
            self._thread.join()
            self._thread = None
        self.recording.flush()
        if self._error is not None:
            error, self._error = self._error, None
            raise RuntimeError(f"logging the cell to Rerun failed: {error}") from error

    def __enter__(self) -> CellView:
        return self.start() if self._thread is None else self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        self.close()

    def _follow(self) -> None:
        subscription = self._subscription
        assert subscription is not None
        try:
            while True:
                # Read before draining: whatever came before the end is then taken below.
                ended = subscription.closed
                pending: list[tuple[Sequence[float], Sequence[float], float]] = []
                while (event := subscription.get(0)) is not None:
                    if event.sample is not None:
                        pending.append((event.sample.joints, event.sample.tcp_pose,
                                        event.wall_time))
                    elif event.status is not None:
                        self.log_status(event.status, event.wall_time)
                self.log_samples(pending)
                if ended:
                    return
                # Woken once a batch, not once a sample: a thread woken by each sample would
                # contend for the interpreter with every other reader woken by the same one.
                self._stopping.wait(self._batch)
        except BaseException as error:  # reported by close(); the cell goes on without a view
            _log.exception("logging the cell to Rerun failed")
            self._error = error

    def _timestamp(self, wall_time: float) -> Any:
        # Whole nanoseconds, rounded once here: a reader matches each frame to its sample by
        # round(wall_time * 1e9), which a float timestamp would not always give.
        return self._numpy.datetime64(round(wall_time * 1e9), "ns")

    def log_sample(self, joints: Sequence[float], pose: Sequence[float],
                   wall_time: float) -> None:
        """Log one sample received at ``wall_time`` (seconds since the epoch)."""
        self.log_samples([(joints, pose, wall_time)])

    def log_samples(self, samples: Sequence[tuple[Sequence[float], Sequence[float], float]]
                    ) -> None:
        """Log samples ``(joints, pose, wall_time)``, each as a frame at its own time, with one
        columnar send per entity: far cheaper per sample than logging them one by one."""
        if not samples:
            return
        rr, rec, np = self._rr, self.recording, self._numpy
        joints = np.array([s[0] for s in samples], dtype=float)
        poses = np.array([s[1] for s in samples], dtype=float)
        if joints.ndim != 2 or joints.shape[1] != len(self.geometry.links):
            raise ValueError(f"{len(self.geometry.links)} joint angles expected per sample")
        times = [rr.TimeColumn(TIMELINE, timestamp=np.array(
            [self._timestamp(s[2]) for s in samples], dtype="datetime64[ns]"))]
        centres, flange_at, flange_axes, outline = _arm_arrays(np, self.geometry, joints)
        tcp = poses[:, :3]

        def matrices(m: Any) -> Any:  # Rerun stores a 3x3 matrix column by column
            flat = np.ascontiguousarray(m.transpose(0, 2, 1), dtype=np.float32).ravel()
            return self._pyarrow.FixedSizeListArray.from_arrays(flat, type=self._mat3x3_type)

        rec.send_columns(ARM, indexes=times, columns=rr.LineStrips3D.columns(strips=outline))
        rec.send_columns(JOINT_CENTRES, indexes=times, columns=rr.Points3D.columns(
            positions=centres.reshape(-1, 3)).partition([centres.shape[1]] * len(samples)))
        rec.send_columns(FLANGE, indexes=times, columns=rr.Transform3D.columns(
            translation=flange_at, mat3x3=matrices(flange_axes)))
        rec.send_columns(TCP, indexes=times, columns=rr.Transform3D.columns(
            translation=tcp, mat3x3=matrices(_pose_rotations(np, poses))))
        rec.send_columns(JOINT_SERIES, indexes=times, columns=rr.Scalars.columns(scalars=joints))
        rec.send_columns(TCP_SERIES, indexes=times, columns=rr.Scalars.columns(scalars=tcp))
        with self._lock:
            # The trail is drawn once per batch, at its last sample: a line of up to ``trail``
            # points per frame would cost more than all the rest.
            grown = False
            for point in tcp.tolist():
                if not self._trail or math.dist(self._trail[-1], point) >= self._trail_step:
                    self._trail.append((point[0], point[1], point[2]))
                    grown = True
            if grown and len(self._trail) >= 2:
                rec.set_time(TIMELINE, timestamp=self._timestamp(samples[-1][2]))
                rec.log(TRAIL, rr.LineStrips3D([list(self._trail)]))
            self.samples += len(samples)

    def log_status(self, status: _cell_telemetry.ControllerStatus, wall_time: float) -> None:
        """Log a controller status received at ``wall_time`` if it differs from the last one."""
        current = dict(status)
        with self._lock:
            if current == self._last_status:
                return
            first = self._last_status is None
            self._last_status = current
            self.recording.set_time(TIMELINE, timestamp=self._timestamp(wall_time))
            level = "ERROR" if status["emergency_stopped"] or status["system_error"] else "INFO"
            self.recording.log(STATUS_EVENTS, self._rr.TextLog(
                ("status: " if first else "status changed: ") + _status_text(status),
                level=level))

    def _motion(self, event: MotionEvent) -> None:
        text = f"{event.phase}: {event.motion} {event.target}"
        if event.till:
            text += f" {event.till}"
        if event.detail:
            text += f" ({event.detail})"
        with self._lock:
            self.recording.set_time(TIMELINE, timestamp=self._timestamp(event.wall_time))
            self.recording.log(MOTION_EVENTS, self._rr.TextLog(
                text, level=_MOTION_LEVEL[event.phase]))


def log_cell(cell: Source, *, rrd: str | os.PathLike[str] | None = None,
             viewer: Literal["native", "web"] | Viewer | None = None,
             geometry: ArmGeometry | None = None, application_id: str = "epson_cell",
             **options: Any) -> LoggedCell:
    """Log ``cell`` to Rerun: into the file ``rrd``, to a viewer (``"native"`` starts Rerun's
    viewer, ``"web"`` serves the web viewer on 127.0.0.1 and puts its address in
    ``web_url``; or a ``Viewer`` already running), or both. Use it as a context manager.

    Raises:
        MissingExtraError: rerun-sdk is not installed.
        RuntimeError: The viewer did not start.
    """
    rr = _rerun()
    if rrd is None and viewer is None:
        raise ValueError("log_cell() needs an rrd file, a viewer or both")
    owned = Viewer(web=viewer == "web") if isinstance(viewer, str) else None
    live = owned if owned is not None else viewer if isinstance(viewer, Viewer) else None
    recording = rr.RecordingStream(application_id)
    sinks: list[Any] = []
    if rrd is not None:
        sinks.append(rr.FileSink(os.fspath(rrd)))
    if live is not None:
        sinks.append(rr.GrpcSink(live.grpc_url))
    try:
        recording.set_sinks(*sinks)
        view = CellView(cell, recording, geometry=geometry, **options)
    except BaseException:
        if owned is not None:
            owned.close()
        raise
    return LoggedCell(view, live, owned)


class LoggedCell:
    """What ``log_cell()`` returns: the ``CellView``, and the viewer it logs to, if any."""

    def __init__(self, view: CellView, viewer: Viewer | None, owned: Viewer | None) -> None:
        self.view = view
        self.viewer = viewer
        self._owned = owned

    @property
    def web_url(self) -> str | None:
        """The web viewer's address, when it serves one."""
        return self.viewer.viewer_url if self.viewer is not None else None

    def __enter__(self) -> LoggedCell:
        self.view.__enter__()
        return self

    def close(self, *, keep_viewer: bool = False) -> None:
        """Stop logging and finish the file; stop a web viewer started here (a native one
        stays open for the user) unless ``keep_viewer``."""
        try:
            self.view.close()
            self.view.recording.disconnect()
        finally:
            if self._owned is not None and self._owned.url is not None and not keep_viewer:
                self._owned.close()

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        self.close()


__all__ = ["ArmGeometry", "CellView", "Frame", "Link", "LoggedCell", "Viewer", "log_cell",
           "pose_rotation", "rerun_available", "rerun_executable"]
