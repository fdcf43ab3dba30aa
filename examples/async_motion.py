#!/usr/bin/env python3
"""Drive the arm from asyncio: motions that do not block the loop, every telemetry sample
streamed beside them, and a motion cancelled by a time-out (which aborts it on the
controller before the cancellation goes on).
"""

from __future__ import annotations

import argparse
import asyncio
import sys
from dataclasses import replace

import epson_cell
from epson_cell import Cell, Samples


async def log_height(samples: Samples, heights: list[float]) -> None:
    async for sample in samples:
        heights.append(sample.pose.z)


async def run(cell: Cell, time_scale: float) -> None:
    home = cell.pose()
    low = replace(home, z=home.z - 200.0)
    cell.control.motor_on()
    heights: list[float] = []
    with cell.samples_async() as samples:
        logger = asyncio.create_task(log_height(samples, heights))
        await cell.go_async(low, speed=50)
        await cell.move_async(home, speed=500)
        samples.close()
        await logger
        print(f"streamed {len(heights)} samples, lowest z {min(heights):.1f} mm, "
              f"{samples.dropped} dropped")

    # A slow motion that takes longer than we are willing to wait: the time-out cancels it,
    # and the cancellation aborts the motion first.
    try:
        await asyncio.wait_for(cell.move_async(low, speed=10), timeout=2.0 * time_scale)
    except TimeoutError:
        status = cell.status()
        print(f"timed out; the motion was aborted (running: {status.running}) at "
              f"z = {cell.pose().z:.1f} mm")
    cell.control.motor_off()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--time-scale", type=float, default=1.0,
                        help="wall seconds per simulated second")
    args = parser.parse_args(argv)
    with epson_cell.Simulator(time_scale=args.time_scale, rate_hz=250) as sim, \
            epson_cell.connect("127.0.0.1", command_port=sim.command_port,
                               telemetry_port=sim.telemetry_port) as cell:
        asyncio.run(run(cell, args.time_scale))
    return 0


if __name__ == "__main__":
    sys.exit(main())
