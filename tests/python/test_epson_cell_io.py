"""Digital I/O in epson_cell against the simulator: outputs, inputs tied to them, the waits
(blocking and asyncio) and their time-outs, and a gripper whose sensor answers or never does."""

import asyncio
import dataclasses
import threading
import time

import pytest

import epson_cell
from epson_cell import Gripper, GripperError

DELAY = 0.08  # the simulated gripper reports its position this long after its output switches


@pytest.fixture
def cell(sim):
    # Output 0 drives a gripper: input 8 says "closed", input 9 says "open".
    sim.tie_input(0, 8, DELAY)
    sim.tie_input(0, 9, DELAY, inverted=True)
    sim.set_input(9, True)
    with epson_cell.connect("127.0.0.1", command_port=sim.command_port,
                            telemetry_port=sim.telemetry_port) as opened:
        yield opened


def raises_after(kind, match, call):
    """How long ``call`` took to raise ``kind`` with a message matching ``match``."""
    start = time.monotonic()
    with pytest.raises(kind, match=match):
        call()
    return time.monotonic() - start


def test_outputs_inputs_and_the_waits(cell, sim):
    assert cell.output(0) is False and cell.input(9) is True
    sent = time.monotonic()
    cell.set_output(0, True)
    assert cell.output(0) is True and sim.output(0)
    cell.wait_for_input(8, timeout=5)
    assert time.monotonic() - sent >= DELAY
    assert cell.input(9) is False
    cell.set_output(0, False)
    asyncio.run(cell.wait_for_input_async(8, on=False, timeout=5))
    assert cell.input(9) is True
    # Time-outs, blocking and async, for an input nothing drives.
    for wait in (lambda: cell.wait_for_input(13, timeout=0.2),
                 lambda: asyncio.run(cell.wait_for_input_async(13, timeout=0.2))):
        assert raises_after(TimeoutError, "^input 13 did not turn on within 0.2 s$", wait) >= 0.2
    for bad in (lambda: cell.set_output(512, True), lambda: cell.input(-1),
                lambda: cell.wait_for_input(600, timeout=0)):
        with pytest.raises(IndexError, match="I/O bit number must be between 0 and 511"):
            bad()
    with pytest.raises(ValueError, match="timeout"):
        cell.wait_for_input(8, timeout=-1)


def test_async_wait_leaves_the_loop_free(cell):
    async def main():
        ticks = 0

        async def tick():
            nonlocal ticks
            while True:
                ticks += 1
                await asyncio.sleep(0.005)

        ticker = asyncio.ensure_future(tick())
        await asyncio.to_thread(cell.set_output, 0, True)
        await cell.wait_for_input_async(8, timeout=5)
        ticker.cancel()
        return ticks

    assert asyncio.run(main()) >= 3


@pytest.mark.parametrize("sensor_wired", [True, False])
def test_gripper_closes_and_opens_or_says_its_sensor_never_answered(cell, sim, sensor_wired):
    if not sensor_wired:
        sim.clear_input_ties()
    gripper = cell.gripper(0, 8, open_input=9, timeout=0.5)
    if sensor_wired:
        gripper.close()
        assert gripper.is_closed and sim.output(0)
        asyncio.run(gripper.open_async())
        assert not gripper.is_closed and cell.input(9) and not sim.output(0)
        asyncio.run(gripper.close_async())
        assert gripper.is_closed
        return
    with pytest.raises(GripperError) as error:
        gripper.close()
    assert isinstance(error.value, TimeoutError)
    assert str(error.value) == (
        "gripper did not close: input 8 was not on 0.5 s after output 0 was switched on; "
        "check the gripper, its supply and the sensor's wiring")
    assert sim.output(0)  # the output was switched; only the sensor stayed silent


def test_gripper_without_open_sensor_waits_for_closed_to_go_off(cell):
    gripper = Gripper(cell.control, 0, 8, close_on=True, timeout=2)
    gripper.close()
    gripper.open()
    assert not cell.input(8)


def test_refused_at_once_while_a_motion_runs():
    # At real speed, so that the motion runs long enough to be seen running.
    with epson_cell.Simulator(time_scale=1.0) as sim, epson_cell.connect(
            "127.0.0.1", command_port=sim.command_port,
            telemetry_port=sim.telemetry_port) as cell:
        cell.control.motor_on()
        far = dataclasses.replace(cell.pose(), y=cell.pose().y + 150)
        ended = []

        def run():
            try:
                cell.go(far, speed=1)
            except epson_cell.MotionAbortedError as error:
                ended.append(error)

        motion = threading.Thread(target=run)
        motion.start()
        try:
            deadline = time.monotonic() + 5
            while not cell.status().running:
                assert time.monotonic() < deadline, "the motion never started"
                time.sleep(0.005)
            for call in (lambda: cell.set_output(0, True), lambda: cell.input(8)):
                took = raises_after(RuntimeError, "Digital I/O is refused while a motion", call)
                assert took < 0.5
        finally:
            cell.control.abort_motion()
            motion.join(10)
        assert ended and not cell.output(0)  # aborted, and nothing was switched
