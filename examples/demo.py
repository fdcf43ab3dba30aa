#!/usr/bin/env python3
"""Open a robot cell, look around, move the arm and close the cell again.

By default the demo starts the controller simulator in this process and drives it; with
--host it talks to a real controller instead (which must already hold the station's login).
With --view native|web (or EPSON_DEMO_VIEW) the session shows in Rerun, with --rrd it is
recorded to a file; both need the extra: pip install 'epson-cell[view]'.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
import threading
import time
from collections.abc import Iterable
from typing import Literal

import epson_cell
from epson_cell import XY, EpsonPowerMode


def fmt(values: Iterable[float], digits: int = 2) -> str:
    return "[" + ", ".join(f"{v:.{digits}f}" for v in values) + "]"


def print_telemetry(cell: epson_cell.Cell, stop: threading.Event, period: float) -> None:
    while not stop.wait(period):
        sample = cell.sample()
        print(f"    telemetry: joints {fmt(sample.joints)}  pose {fmt(sample.pose)}  "
              f"age {(time.monotonic() - sample.monotonic_time) * 1000:.1f} ms", flush=True)


def run(host: str, control_port: int, receive_port: int,
        view: Literal["native", "web"] | None = None, rrd: str | None = None) -> None:
    print(f"Opening the cell at {host} (command {control_port}, telemetry {receive_port})")
    with epson_cell.connect(host, command_port=control_port,
                            telemetry_port=receive_port) as cell:
        with contextlib.ExitStack() as shown:
            if view or rrd:
                from epson_cell.view import log_cell

                logged = shown.enter_context(log_cell(cell, rrd=rrd, viewer=view))
                if logged.web_url:
                    print("Rerun web viewer:", logged.web_url, flush=True)
                    # The viewer replays the whole session to a browser that connects late.
                    shown.callback(hold_web_viewer)
            show(cell)
    print("Disconnected; cell connected:", cell.control.is_connected())


def hold_web_viewer() -> None:
    if sys.stdin.isatty():
        with contextlib.suppress(EOFError, KeyboardInterrupt):
            input("Press Enter to stop the web viewer ")


def show(cell: epson_cell.Cell) -> None:
    control = cell.control
    print("Status:", dict(control.get_controller_status()))
    print("Emergency stop:", control.is_emergency_stopped())
    print("Power mode:", control.get_power_mode().name)
    limits = control.get_ptp_motion_limits()
    print(f"PTP limits: speed {limits.speed_percent}%, acceleration "
          f"{limits.acceleration_percent}%, deceleration {limits.deceleration_percent}%")

    control.set_tcp_offset([0.0, 0.0, 0.1, 0.0, 0.0, 0.0])
    print("TCP offset set to", fmt(control.get_tcp_offset(), 3), "(m, deg)")
    control.restore_tcp_offset()
    print("TCP offset restored to", fmt(control.get_tcp_offset(), 3))

    home = cell.pose()
    print("Joints:", fmt(cell.joints()), " pose:", fmt(home))
    low = [home.x - 300.0, home.y - 300.0, home.z - 300.0]
    high = [home.x + 300.0, home.y + 300.0, home.z + 300.0]
    control.add_safety_cuboid(low, high)
    print("Workspace fenced to", fmt(low, 1), "..", fmt(high, 1), "mm")

    target = XY(home.x - 80.0, home.y + 60.0, home.z - 50.0, home.u, home.v, home.w)
    joints = control.inverse_kinematics(list(target))
    print("IK of", fmt(target), "->", fmt(joints))

    control.motor_on()
    print("Motors on")
    # Motor On puts the controller back to low power: ask for high power after it.
    control.set_power_mode(EpsonPowerMode.HIGH)
    print("Power mode now:", control.get_power_mode().name)
    stop = threading.Event()
    reporter = threading.Thread(target=print_telemetry, args=(cell, stop, 0.25))
    reporter.start()
    try:
        print("Go to the target (PTP, speed 30%)")
        cell.go(target, ljm=True, speed=30)
        print("Move back in a straight line, with a pause on the way")
        mover = threading.Thread(target=lambda: cell.move(home, speed=50.0,
                                                          acceleration=500.0))
        start = cell.sample().pose
        mover.start()
        # A controller refuses a pause when nothing runs: wait until the arm is on its way.
        cell.wait_until(lambda: max(abs(a - b) for a, b in zip(
            list(cell.sample().pose)[:3], list(start)[:3])) >= 5.0, timeout=5.0,
            interval=0.002)
        control.pause()
        print("  paused")
        time.sleep(0.5)
        control.continue_motion()
        print("  continued")
        mover.join()
        print("Arrived at", fmt(cell.pose()))
    finally:
        stop.set()
        reporter.join()
    control.motor_off()
    print("Motors off")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--host", help="a real controller; default: an in-process simulator")
    parser.add_argument("--control-port", type=int, default=5000)
    parser.add_argument("--receive-port", type=int, default=2000)
    parser.add_argument("--time-scale", type=float, default=1.0,
                        help="simulator only: wall seconds per simulated second")
    parser.add_argument("--view", choices=["native", "web"],
                        default=os.environ.get("EPSON_DEMO_VIEW") or None,
                        help="show the session in Rerun's viewer, or serve its web viewer on "
                             "127.0.0.1 (needs epson-cell[view])")
    parser.add_argument("--rrd", help="record the session to this Rerun file")
    args = parser.parse_args(argv)
    if args.view or args.rrd:
        from epson_cell.view import MISSING_VIEW, rerun_available

        if not rerun_available():
            print(f"demo: {MISSING_VIEW}", file=sys.stderr)
            return 7
    if args.host:
        run(args.host, args.control_port, args.receive_port, args.view, args.rrd)
        return 0
    with epson_cell.Simulator(time_scale=args.time_scale) as sim:
        print(f"Simulator listening on 127.0.0.1: command {sim.command_port}, "
              f"telemetry {sim.telemetry_port}")
        run("127.0.0.1", sim.command_port, sim.telemetry_port, args.view, args.rrd)
    return 0


if __name__ == "__main__":
    sys.exit(main())
