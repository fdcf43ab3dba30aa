"""Subscriptions and recording of `_cell_telemetry`, counted against what the simulator sent."""

import _thread
import asyncio
import csv
import fcntl
import os
import pathlib
import struct
import subprocess
import sys
import termios
import threading
import time

import pytest

import _cell_command_link  # noqa: F401  registers the station's command-link type
import _cell_simulator
import _cell_station
import _cell_telemetry
import epson_cell
from conftest import wait_until
from epson_cell.streaming import Samples

HEADER = ("monotonic_s,wall_time,J1,J2,J3,J4,J5,J6,X,Y,Z,U,V,W,stat,system_error,"
          "emergency_stopped,safeguard_open,teach_mode,control_device,robot_info,ctrl_info,kind")


def quiet(sim, receive):
    """Silences the simulator and waits until nothing is in flight any more."""
    sim.set_telemetry_mode("silent")
    assert wait_until(lambda: receive.sample_age_seconds() > 0.05, timeout=3.0)


@pytest.mark.parametrize("rate_hz, seconds", [(1000.0, 1.0), (10000.0, 0.3)])
def test_every_sample_reaches_subscribers_and_the_recording(tmp_path, rate_hz, seconds):
    sim = _cell_simulator.Simulator(rate_hz=rate_hz)
    sim.start()
    # The station's receiver, driven through this module's bindings.
    station = _cell_station.CellStation("127.0.0.1", sim.command_port, sim.telemetry_port)
    try:
        receive = station.get_receive_interface()
        quiet(sim, receive)
        reader = receive.subscribe()
        laggard = receive.subscribe(16)  # never read while the stream runs
        events = []
        consumer = threading.Thread(target=lambda: events.extend(reader))
        consumer.start()
        path = tmp_path / "run.csv"
        receive.start_recording(path)  # a path-like object is accepted too
        before = sim.telemetry_samples_sent()

        sim.set_telemetry_mode("normal")
        assert wait_until(lambda: receive.sample_age_seconds() < 0.01, timeout=3.0)
        ages = []
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            ages.append(receive.sample_age_seconds())
            time.sleep(0.01)
        quiet(sim, receive)
        sent = sim.telemetry_samples_sent() - before

        summary = receive.stop_recording()
        reader.close()  # ends the consumer's iteration once it has drained the queue
        consumer.join(5)
        assert not consumer.is_alive()
    finally:
        station.disconnect()
        sim.stop()

    assert sent > 0.5 * rate_hz * seconds
    samples = [e for e in events if e.kind == "sample"]
    assert len(samples) == sent
    assert reader.dropped() == 0
    assert all(e.sample is not None and e.status is None for e in samples)
    statuses = [e for e in events if e.kind == "status"]
    assert statuses and all(e.sample is None and len(e.status) == 8 for e in statuses)
    times = [e.monotonic_time for e in events]
    assert times == sorted(times), "in arrival order"
    assert abs(events[-1].wall_time - time.time()) < 30
    # Loose bounds: the machine is shared; a receiver held up by the laggard would be far off.
    assert sorted(ages)[len(ages) // 2] < 0.005 and max(ages) < 0.2, \
        "the latest sample stays fresh while one subscription lags"
    assert laggard.dropped() == len(events) - 16

    assert (summary.rows, summary.lost, summary.path) == (len(events), 0, str(path))
    with open(path, newline="") as file:
        lines = file.read().splitlines()
    assert lines[0] == HEADER
    rows = list(csv.reader(lines[1:]))
    assert [row[0] for row in rows] == [f"{t:.6f}" for t in times], "one row per event, in order"
    assert [row[22] for row in rows] == [e.kind for e in events], "each row says what it is"
    assert sum(1 for row in rows if row[2]) == sent
    first = samples[0].sample
    row = next(r for r in rows if r[2])
    assert [float(v) for v in row[2:14]] == first.joints + first.tcp_pose


def test_waiting_ending_and_refusing(sim, tmp_path, default_sigint):
    receive = _cell_telemetry.EthernetReceiveInterface()
    with pytest.raises(RuntimeError, match="^Cannot subscribe: the Epson telemetry receiver is "
                                           "not connected$"):
        receive.subscribe()
    with pytest.raises(RuntimeError, match="^No telemetry recording is running$"):
        receive.stop_recording()
    missing = tmp_path / "missing" / "run.csv"
    with pytest.raises(RuntimeError, match=f'"{missing}": No such file or directory'):
        receive.start_recording(str(missing))
    assert not receive.is_recording()

    receive.connect("127.0.0.1", sim.telemetry_port)
    with pytest.raises(ValueError):
        receive.subscribe(0)
    quiet(sim, receive)
    subscription = receive.subscribe(capacity=8)
    assert subscription.capacity == 8 and not subscription.closed
    with pytest.raises(ValueError):
        subscription.get(-1)
    start = time.monotonic()
    assert subscription.get(0.15) is None
    assert 0.14 <= time.monotonic() - start < 1.0

    # A wait without a time-out lets other threads run and ends at Ctrl-C.
    timer = threading.Timer(0.2, _thread.interrupt_main)
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        subscription.get()
    timer.join(5)

    # A disconnect ends a blocked iteration.
    finished = threading.Event()

    def iterate():
        for _ in subscription:
            pass
        finished.set()

    threading.Thread(target=iterate, daemon=True).start()
    time.sleep(0.1)
    receive.disconnect()
    assert finished.wait(2), "iteration ends when the receiver disconnects"
    assert subscription.closed and subscription.get() is None

    sim.set_telemetry_mode("normal")
    receive.connect("127.0.0.1", sim.telemetry_port)
    with receive.subscribe() as events:
        event = events.get(2)
        assert event.kind in ("sample", "status") and repr(event).startswith("TelemetryEvent(")
    assert events.closed
    receive.disconnect()


# ---- Teardown, streams that end, asyncio, and stalled files -----------------------------------

EXIT_SCRIPT = """
import threading, _cell_simulator, _cell_telemetry
sim = _cell_simulator.Simulator(rate_hz=200)
sim.start()
receive = _cell_telemetry.EthernetReceiveInterface()
receive.connect("127.0.0.1", sim.telemetry_port)
subscription = receive.subscribe()
waiting = threading.Event()
def reader():
    waiting.set()
    {wait}
threading.Thread(target=reader, daemon=True).start()
assert waiting.wait(5)
print("leaving", flush=True)
"""


@pytest.mark.parametrize("wait", [
    "for _ in subscription: pass",
    "while True: subscription.get()",
    "while True: subscription.get(0.01)",
])
def test_interpreter_exit_with_a_thread_still_reading_is_clean(wait):
    # The receiver goes with the interpreter and wakes the reader while it finalizes.
    done = subprocess.run([sys.executable, "-c", EXIT_SCRIPT.format(wait=wait)],
                          capture_output=True, text=True, timeout=60)
    assert "leaving" in done.stdout
    assert done.returncode == 0, done.stderr
    assert "terminate" not in done.stderr


def test_dropping_a_receiver_whose_recording_is_stalled_lets_python_run(tmp_path):
    sim = _cell_simulator.Simulator(rate_hz=5000)
    sim.start()
    fifo = tmp_path / "stalled.fifo"
    os.mkfifo(fifo)
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)  # opened, never read
    # Should the drop hold the interpreter, nothing in this process could end it: a child
    # drains the pipe after a deadline, so the test fails instead of hanging.
    rescue = subprocess.Popen(["sh", "-c", f"sleep 8; exec cat '{fifo}' >/dev/null"])
    try:
        receive = _cell_telemetry.EthernetReceiveInterface()
        receive.connect("127.0.0.1", sim.telemetry_port)
        receive.start_recording(fifo)

        def queued():
            return struct.unpack("i", fcntl.ioctl(reader, termios.FIONREAD, b"\0" * 4))[0]

        sizes = []

        def full():  # the writer is stuck once the pipe stays the same while rows come
            sizes.append(queued())
            return len(sizes) > 20 and sizes[-1] == sizes[-21] and sizes[-1] >= 48 * 1024

        assert wait_until(full, timeout=5.0), "the pipe fills"
        ticks = 0
        stop = threading.Event()

        def heartbeat():
            nonlocal ticks
            while not stop.wait(0.005):
                ticks += 1

        beating = threading.Thread(target=heartbeat)
        beating.start()
        start = time.monotonic()
        del receive
        elapsed = time.monotonic() - start
        stop.set()
        beating.join()
    finally:
        rescue.kill()
        rescue.wait()
        os.close(reader)
        sim.stop()
    assert 0.5 < elapsed < 3.0, "a stalled file holds up the receiver's end for its grace only"
    assert ticks >= 0.2 * elapsed / 0.005, "the interpreter lock is free meanwhile"


def test_async_streams_yield_to_the_loop_and_cancelled_steps_lose_nothing():
    sim = _cell_simulator.Simulator(rate_hz=2000)
    sim.start()
    receive = _cell_telemetry.EthernetReceiveInterface()
    try:
        receive.connect("127.0.0.1", sim.telemetry_port)

        async def slow_consumer():
            ticks = 0

            async def heartbeat():
                nonlocal ticks
                while True:
                    await asyncio.sleep(0.01)
                    ticks += 1

            beat = asyncio.create_task(heartbeat())
            start = time.monotonic()
            timed_out = False
            try:
                async with asyncio.timeout(0.5):
                    async for _ in Samples(receive.subscribe()):
                        time.sleep(0.001)  # slower than the stream
                        if time.monotonic() - start > 3.0:
                            break
            except TimeoutError:
                timed_out = True
            beat.cancel()
            return timed_out, time.monotonic() - start, ticks

        timed_out, elapsed, ticks = asyncio.run(slow_consumer())
        assert timed_out and elapsed < 1.5, "the time-out fires while samples are queued"
        assert ticks >= 10, "other tasks run meanwhile"

        quiet(sim, receive)
        stream = Samples(receive.subscribe(1 << 20))
        before = sim.telemetry_samples_sent()
        sim.set_telemetry_mode("normal")

        async def step(timeout):
            """One step, cancelled when it takes longer than timeout; whether it gave a sample.
            A step that finished just as it was cancelled still counts, so that any loss
            is the stream's."""
            task = asyncio.ensure_future(anext(stream))
            await asyncio.wait({task}, timeout=timeout)
            task.cancel()
            try:
                await task
                return True
            except asyncio.CancelledError:
                return False

        async def impatient_consumer():
            got = 0
            end = time.monotonic() + 1.0
            while time.monotonic() < end:
                got += await step(0.0005)
            quiet(sim, receive)
            while await step(0.5):
                got += 1
            return got

        got = asyncio.run(impatient_consumer())
        sent = sim.telemetry_samples_sent() - before
        assert sent > 500
        assert (got, stream.dropped) == (sent, 0), "every sample, cancelled steps or not"

        # Statuses only: a time-out holds for the whole call, and statuses dropped by a full
        # queue are not counted as dropped samples.
        sim.set_telemetry_mode("status-only")
        assert wait_until(lambda: receive.sample_age_seconds() > 0.05, timeout=3.0)
        statuses = Samples(receive.subscribe())
        laggard = Samples(receive.subscribe(4))
        result = []
        waiter = threading.Thread(target=lambda: result.append(statuses.get(timeout=0.3)),
                                  daemon=True)
        start = time.monotonic()
        waiter.start()
        waiter.join(3.0)
        assert not waiter.is_alive() and result == [None]
        assert time.monotonic() - start < 1.0
        assert statuses.status is not None
        assert wait_until(lambda: laggard._subscription.dropped() > 20, timeout=3.0)
        assert laggard.dropped == 0
    finally:
        receive.disconnect()
        sim.stop()


def test_streams_end_when_the_telemetry_goes_and_stale_samples_show(sim):
    cell = epson_cell.connect("127.0.0.1", command_port=sim.command_port,
                              telemetry_port=sim.telemetry_port)
    with cell:
        # The latest sample carries the arrival time its event states, not one computed apart.
        events = cell.telemetry.subscribe()
        last = None
        while last is None and (event := events.get(2.0)) is not None:
            last = event if event.sample is not None else None
        quiet(sim, cell.telemetry)
        while (event := events.get(0)) is not None:
            last = event if event.sample is not None else last
        assert last is not None and cell.sample().monotonic_time == last.monotonic_time
        assert cell.sample().age >= 0.05
        with pytest.raises(TimeoutError):
            cell.sample(max_age=0.01)
        sim.set_telemetry_mode("normal")
        assert wait_until(lambda: cell.sample().age < 0.1, timeout=3.0)

        samples = cell.samples()
        iterated = threading.Event()

        def iterate():
            for _ in samples:
                pass
            iterated.set()

        threading.Thread(target=iterate, daemon=True).start()
        stream = cell.samples_async()

        async def consume():
            async with asyncio.timeout(5.0):
                async for _ in stream:
                    pass

        waiting = cell.samples()
        sim.set_telemetry_mode("closed")
        assert iterated.wait(3.0), "iteration ends when the connection breaks"
        asyncio.run(consume())  # ends, well before its time-out
        start = time.monotonic()
        while waiting.get(timeout=5.0) is not None:
            pass
        assert time.monotonic() - start < 1.0 and waiting.closed
        assert wait_until(lambda: cell.telemetry.sample_age_seconds() > 0.3, timeout=3.0)
        with pytest.raises((epson_cell.NotConnectedError, TimeoutError)):
            cell.sample(max_age=0.2)
        sim.set_telemetry_mode("normal")
        assert wait_until(lambda: cell.telemetry.is_connected(), timeout=3.0)
    with pytest.raises(epson_cell.NotConnectedError):
        cell.sample()
    with pytest.raises(RuntimeError, match="not connected"):
        cell.samples()
