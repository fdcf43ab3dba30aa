"""A picture of a recording: joints and TCP position against time, status changes marked."""

from __future__ import annotations

import csv
import importlib
import pathlib
from typing import Any, BinaryIO

JOINTS = [f"J{i}" for i in range(1, 7)]
POSITION = ["X", "Y", "Z"]
STATUS = ["stat", "system_error", "emergency_stopped", "safeguard_open", "teach_mode",
          "control_device", "robot_info", "ctrl_info"]


class MissingExtraError(ImportError):
    """An optional dependency is not installed."""


def read_recording(path: str | pathlib.Path) -> tuple[list[float], dict[str, list[float]],
                                                       list[float]]:
    """Return the sample times (seconds from the first row), the columns of the samples, and
    the times at which the status fields changed.

    Raises:
        OSError: If the file cannot be read.
        ValueError: If it is not a recording.
    """
    with open(path, newline="") as file:
        reader = csv.DictReader(file)
        missing = [c for c in ["monotonic_s", *JOINTS, *POSITION, *STATUS]
                   if c not in (reader.fieldnames or [])]
        if missing:
            raise ValueError(f"{path} is not a telemetry recording: no column "
                             f"{', '.join(missing)}")
        times: list[float] = []
        columns: dict[str, list[float]] = {c: [] for c in JOINTS + POSITION}
        changes: list[float] = []
        start: float | None = None
        last_status: tuple[str, ...] | None = None
        for line, row in enumerate(reader, 2):
            try:
                t = float(row["monotonic_s"])
                start = t if start is None else start
                status = tuple(row[c] for c in STATUS)
                if status[0] and status != last_status:
                    if last_status is not None:
                        changes.append(t - start)
                    last_status = status
                if row["J1"]:
                    for c in columns:
                        columns[c].append(float(row[c]))
                    times.append(t - start)
            except (TypeError, ValueError) as error:
                raise ValueError(f"{path}, line {line}: not a recording row ({error})") from None
    return times, columns, changes


def plot_recording(csv_path: str | pathlib.Path,
                   png_path: str | pathlib.Path | BinaryIO) -> int:
    """Draw the recording into a PNG (a path, or a binary file such as stdout's buffer);
    returns the number of status changes marked.

    Raises:
        MissingExtraError: If matplotlib is not installed.
        OSError, ValueError: As for ``read_recording``, or if the PNG cannot be written.
    """
    try:
        # Imported by name: matplotlib is an optional extra, typed here as Any.
        matplotlib: Any = importlib.import_module("matplotlib")
    except ImportError:
        raise MissingExtraError("plotting needs matplotlib: pip install 'epson-cell[plot]'") \
            from None
    matplotlib.use("Agg")
    plt: Any = importlib.import_module("matplotlib.pyplot")

    times, columns, changes = read_recording(csv_path)
    figure, (joints, position) = plt.subplots(2, 1, sharex=True, figsize=(10, 7))
    try:
        for name in JOINTS:
            joints.plot(times, columns[name], label=name)
        joints.set_ylabel("joint angle (deg)")
        for name in POSITION:
            position.plot(times, columns[name], label=name)
        position.set_ylabel("TCP position (mm)")
        position.set_xlabel("time (s)")
        for axes in (joints, position):
            for i, t in enumerate(changes):
                axes.axvline(t, color="grey", linestyle="--", linewidth=0.8,
                             label="status change" if i == 0 else None)
            axes.legend(loc="upper right", fontsize="small", ncol=2)
            axes.grid(True, alpha=0.3)
        figure.suptitle(f"{pathlib.Path(csv_path).name}: {len(times)} samples")
        figure.tight_layout()
        figure.savefig(png_path, dpi=100, format="png")
    finally:
        plt.close(figure)
    return len(changes)
