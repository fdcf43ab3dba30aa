"""Subscriptions and recording of `_cell_telemetry`, counted against what the simulator sent."""

import _thread
import csv
import pathlib
import threading
import time

import pytest

import _cell_command_link  # noqa: F401  registers the station's command-link type
import _cell_simulator
import _cell_station
import _cell_telemetry
from conftest import wait_until

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
