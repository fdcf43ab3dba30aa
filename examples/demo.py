#!/usr/bin/env python3
"""Open a robot cell, look around, move the arm and close the cell again.

By default the demo starts the controller simulator in this process and drives it; with
--host it talks to a real controller instead (which must already hold the station's login).
"""

import argparse
import sys
import threading
import time

import _cell_command_link  # noqa: F401  registers CellCommandLink for the station's handles
import _cell_telemetry  # noqa: F401  registers EthernetReceiveInterface
from _cell_command_link import EpsonPowerMode
from _cell_station import CellStation


def fmt(values, digits=2):
    return "[" + ", ".join(f"{v:.{digits}f}" for v in values) + "]"


def point(pose):
    return "XY(" + ",".join(f"{v:.6f}" for v in pose) + ")"


def print_telemetry(receive, stop, period):
    while not stop.wait(period):
        sample = receive.get_sample()
        print(f"    telemetry: joints {fmt(sample.joints)}  pose {fmt(sample.tcp_pose)}  "
              f"age {receive.sample_age_seconds() * 1000:.1f} ms", flush=True)


def run(host, control_port, receive_port):
    print(f"Opening the cell at {host} (command {control_port}, telemetry {receive_port})")
    station = CellStation(host, control_port, receive_port)
    control = station.get_control_interface()
    receive = station.get_receive_interface()
    try:
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

        state = control.get_state()
        home = state["tcp_pose"]
        print("Joints:", fmt(state["joint_positions"]), " pose:", fmt(home))
        low = [home[0] - 300.0, home[1] - 300.0, home[2] - 300.0]
        high = [home[0] + 300.0, home[1] + 300.0, home[2] + 300.0]
        control.add_safety_cuboid(low, high)
        print("Workspace fenced to", fmt(low, 1), "..", fmt(high, 1), "mm")

        target = [home[0] - 80.0, home[1] + 60.0, home[2] - 50.0] + list(home[3:])
        joints = control.inverse_kinematics(target)
        print("IK of", fmt(target), "->", fmt(joints))

        control.motor_on()
        print("Motors on")
        # Motor On puts the controller back to low power: ask for high power after it.
        control.set_power_mode(EpsonPowerMode.HIGH)
        print("Power mode now:", control.get_power_mode().name)
        stop = threading.Event()
        reporter = threading.Thread(target=print_telemetry, args=(receive, stop, 0.25))
        reporter.start()
        try:
            print("Go to the target (PTP, speed 30%)")
            control.go(point(target), False, True, None, None, None, False, 30)
            print("Move back in a straight line, with a pause on the way")
            mover = threading.Thread(target=control.move, args=(
                point(home), False, False, False, None, None, False, 50.0, 500.0))
            start = receive.get_sample().tcp_pose
            mover.start()
            # A controller refuses a pause when nothing runs: wait until the arm is on its way.
            deadline = time.monotonic() + 5.0
            while time.monotonic() < deadline and max(
                    abs(a - b) for a, b in zip(receive.get_sample().tcp_pose[:3], start)) < 5.0:
                time.sleep(0.002)
            control.pause()
            print("  paused")
            time.sleep(0.5)
            control.continue_motion()
            print("  continued")
            mover.join()
            print("Arrived at", fmt(control.get_state()["tcp_pose"]))
        finally:
            stop.set()
            reporter.join()
        control.motor_off()
        print("Motors off")
    finally:
        station.disconnect()
        print("Disconnected; cell connected:", station.is_connected())


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", help="a real controller; default: an in-process simulator")
    parser.add_argument("--control-port", type=int, default=5000)
    parser.add_argument("--receive-port", type=int, default=2000)
    parser.add_argument("--time-scale", type=float, default=1.0,
                        help="simulator only: wall seconds per simulated second")
    args = parser.parse_args(argv)
    if args.host:
        run(args.host, args.control_port, args.receive_port)
        return 0
    import _cell_simulator

    with _cell_simulator.Simulator(time_scale=args.time_scale) as sim:
        print(f"Simulator listening on 127.0.0.1: command {sim.command_port}, "
              f"telemetry {sim.telemetry_port}")
        run("127.0.0.1", sim.command_port, sim.telemetry_port)
    return 0


if __name__ == "__main__":
    sys.exit(main())
