#!/usr/bin/env python3
"""Pick parts from a feeder and place them on a tray, finding each part with a search.

The arm moves down over the feeder until the part sensor (input 3) sees a part: the search
(`till`) stops the motion there, and `move()` says whether it found one. The gripper (output 0)
then closes, and its sensor (input 8, "closed") must confirm it before the arm lifts; at the
tray it opens again, confirmed by input 9 ("open"). A gripper that does not confirm stops the
run with `GripperError`. An empty feeder ends the run. By default the controller simulator
runs in this process and plays the sensors; with --host the script drives a real controller,
whose inputs 3, 8 and 9 must be wired to the sensors and output 0 to the gripper's valve.
"""

from __future__ import annotations

import argparse
import sys
import threading
from dataclasses import replace

import epson_cell
from epson_cell import XY, Cell, Gripper, GripperError

SENSOR = "Sw(3) = On"
ABOVE = 100.0  # mm above the feeder and the tray where the arm travels
DEPTH = 150.0  # mm the search may go down before it gives up
GRIPPER_OUTPUT, CLOSED_INPUT, OPEN_INPUT = 0, 8, 9
GRIPPER_DELAY = 0.08  # s the simulated gripper takes to report its new position


def pick_and_place(cell: Cell, gripper: Gripper, feeder: XY, tray: XY, slots: int) -> int:
    """Move parts from the feeder to the tray until it is full or the feeder is empty."""
    placed = 0
    gripper.open()
    for slot in range(slots):
        cell.go(replace(feeder, z=feeder.z + ABOVE), speed=50)
        # A steep deceleration so that the arm stops close to where the sensor fired.
        found = cell.move(replace(feeder, z=feeder.z - DEPTH), speed=200, acceleration=5000,
                          till=SENSOR)
        if not found:
            print(f"slot {slot}: no part in the feeder, stopping")
            cell.move(replace(feeder, z=feeder.z + ABOVE), speed=400)
            break
        print(f"slot {slot}: part found at z = {cell.pose().z:.1f} mm")
        gripper.close()  # GripperError unless the closed sensor confirms within its time-out
        print(f"slot {slot}: gripper closed")
        cell.move(replace(feeder, z=feeder.z + ABOVE), speed=400)
        target = replace(tray, y=tray.y + 40.0 * slot)
        cell.go(replace(target, z=target.z + ABOVE), speed=50)
        cell.move(target, speed=200)
        if not gripper.is_closed:
            raise GripperError(f"slot {slot}: the part was lost on the way to the tray")
        gripper.open()
        cell.move(replace(target, z=target.z + ABOVE), speed=400)
        placed += 1
    return placed


def run(cell: Cell, slots: int) -> int:
    home = cell.pose()
    feeder = replace(home, y=home.y + 150.0, z=home.z - 200.0)
    tray = replace(home, y=home.y - 200.0, z=home.z - 200.0)
    gripper = cell.gripper(GRIPPER_OUTPUT, CLOSED_INPUT, open_input=OPEN_INPUT, timeout=1.0)
    cell.control.motor_on()
    try:
        placed = pick_and_place(cell, gripper, feeder, tray, slots)
        cell.go(home, speed=50)
    finally:
        cell.control.motor_off()
    print(f"placed {placed} part(s)")
    return placed


class SimulatedSensor:
    """Switches the simulator's input 3 on while the tool is at a part's top in the feeder."""

    def __init__(self, sim: epson_cell.Simulator, part_top: float, parts: int) -> None:
        self._sim, self._top, self._parts = sim, part_top, parts
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self) -> None:
        on = False
        while not self._stop.wait(0.0005):
            _, y, z = self._sim.pose()[:3]
            near = self._parts > 0 and z <= self._top and y > 100.0
            if near and not on:
                self._sim.set_input(3, True)
                on = True
            elif on and z > self._top + 20.0:
                self._sim.set_input(3, False)
                self._parts -= 1
                on = False

    def __enter__(self) -> SimulatedSensor:
        self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self._stop.set()
        self._thread.join()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--host", help="a real controller; default: an in-process simulator")
    parser.add_argument("--command-port", type=int, default=5000)
    parser.add_argument("--telemetry-port", type=int, default=2000)
    parser.add_argument("--slots", type=int, default=3, help="places on the tray")
    parser.add_argument("--time-scale", type=float, default=1.0,
                        help="simulator only: wall seconds per simulated second")
    parser.add_argument("--broken-gripper", action="store_true",
                        help="simulator only: the gripper's closed sensor never answers")
    args = parser.parse_args(argv)
    if args.host:
        with epson_cell.connect(args.host, command_port=args.command_port,
                                telemetry_port=args.telemetry_port) as cell:
            try:
                run(cell, args.slots)
            except GripperError as error:
                print(f"stopped: {error}")
                return 1
        return 0
    with epson_cell.Simulator(time_scale=args.time_scale) as sim:
        # The gripper's sensors follow its output after a delay, as a real gripper's do.
        if not args.broken_gripper:
            sim.tie_input(GRIPPER_OUTPUT, CLOSED_INPUT, GRIPPER_DELAY)
        sim.tie_input(GRIPPER_OUTPUT, OPEN_INPUT, GRIPPER_DELAY, inverted=True)
        sim.set_input(OPEN_INPUT, True)
        # Two parts in the feeder for three slots: the third search finds nothing.
        part_top = sim.pose()[2] - 200.0 - 60.0
        with SimulatedSensor(sim, part_top, parts=2), epson_cell.connect(
                "127.0.0.1", command_port=sim.command_port,
                telemetry_port=sim.telemetry_port) as cell:
            try:
                placed = run(cell, args.slots)
            except GripperError as error:
                print(f"stopped: {error}")
                return 1
    return 0 if placed == min(args.slots, 2) else 1


if __name__ == "__main__":
    sys.exit(main())
