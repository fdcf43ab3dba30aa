#!/usr/bin/env python3
"""What a script sees when things go wrong: refusals, an aborted motion and a lost link.

Each failure has its own exception class, so a script can tell a refused command (the
controller said no; the link is fine), an aborted motion and a lost connection (open the cell
again) apart. Runs against an in-process simulator, which can drop the connection on purpose.
"""

from __future__ import annotations

import argparse
import math
import sys
import threading
from dataclasses import replace

import epson_cell
from epson_cell import XY, Cell


def refusals(cell: Cell) -> None:
    # Checked before anything is sent: a target that is not a number.
    try:
        cell.go(XY(math.nan, 0, 0, 0, 0, 0))
    except ValueError as error:
        print(f"refused before sending: {error}")
    # Refused by the controller: a motion with the motors off.
    try:
        cell.go(cell.pose(), speed=50)
    except epson_cell.ControllerError as error:
        print(f"controller refused {error.command!r}: code {error.code} ({error.meaning})")
    # The link is still fine after a refusal.
    print(f"still connected: {cell.control.is_connected()}")


def abort(cell: Cell) -> None:
    cell.control.motor_on()
    far = replace(cell.pose(), z=cell.pose().z - 300.0)
    outcome: list[BaseException | None] = []

    def slow_move() -> None:
        try:
            cell.move(far, speed=20)
            outcome.append(None)
        except epson_cell.ControllerError as error:
            outcome.append(error)

    mover = threading.Thread(target=slow_move)
    mover.start()
    cell.wait_until(lambda: cell.status().running, timeout=5)
    cell.control.abort_motion()
    mover.join()
    error = outcome[0]
    if isinstance(error, epson_cell.MotionAbortedError):
        print(f"motion aborted as asked: {error}")
    else:
        raise SystemExit(f"expected an aborted motion, got {error!r}")
    print(f"the arm stopped at z = {cell.pose().z:.1f} mm, short of {far.z:.1f}")
    cell.control.motor_off()


def lost_link(cell: Cell, sim: epson_cell.Simulator) -> None:
    sim.drop_command_connection()
    try:
        cell.control.get_power_mode()
    except epson_cell.ConnectionLostError as error:
        print(f"connection lost: {error}")
    try:
        cell.control.get_power_mode()
    except epson_cell.NotConnectedError as error:
        print(f"and afterwards, until the cell is opened again: {error}")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--time-scale", type=float, default=1.0,
                        help="wall seconds per simulated second")
    args = parser.parse_args(argv)
    with epson_cell.Simulator(time_scale=args.time_scale) as sim:
        with epson_cell.connect("127.0.0.1", command_port=sim.command_port,
                                telemetry_port=sim.telemetry_port) as cell:
            refusals(cell)
            abort(cell)
            lost_link(cell, sim)
        # A lost link needs a new connection; the controller kept its state.
        with epson_cell.connect("127.0.0.1", command_port=sim.command_port,
                                telemetry_port=sim.telemetry_port) as cell:
            print(f"opened again; status: {cell.status()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
