"""The epson_cell package's own logic: target text, keyword mapping, status decoding,
cancellation, streaming. The modules underneath have their own tests."""

import asyncio
import logging
import math
import subprocess
import sys
import textwrap
import threading
import types

import pytest

import epson_cell
from conftest import wait_until
from epson_cell import HERE, JA, XY, Cell, Point, Status


@pytest.mark.parametrize("target, text", [
    (XY(300, -12.5, 400, 0, 0, 180), "XY(300.0,-12.5,400.0,0.0,0.0,180.0)"),
    # Shortest round-trip text: nothing lost, and -0.0 kept.
    (XY(0.1, 1 / 3, 1e-07, 123456789.123456789, -0.0, 1e22),
     "XY(0.1,0.3333333333333333,1e-07,123456789.12345679,-0.0,1e+22)"),
    (JA(0, -45, 90, 0, -90, 30.25), "JA(0.0,-45.0,90.0,0.0,-90.0,30.25)"),
    (Point("P1"), "P1"), (Point("P(12)"), "P(12)"), (Point("pick_1"), "pick_1"),
    (HERE, "Here"), ("XY(1,2,3,4,5,6) /L", "XY(1,2,3,4,5,6) /L"),
])
def test_targets_render_to_the_text_sent(target, text):
    assert epson_cell.spel(target) == text


def test_bad_targets_are_refused_before_anything_is_sent():
    for bad in (math.nan, math.inf, -math.inf):
        for target in (XY(1, 2, bad, 4, 5, 6), JA(bad, 0, 0, 0, 0, 0)):
            with pytest.raises(ValueError, match="must be finite"):
                epson_cell.spel(target)
    for name in ("", "P 1", "P1\"", "1P", "P(1", "Here\r\nGo P2"):
        with pytest.raises(ValueError, match="not a point name"):
            Point(name)
    for wrong in ([1, 2, 3, 4, 5, 6], 5, None):
        with pytest.raises(TypeError, match="not a motion target"):
            epson_cell.spel(wrong)


def test_poses_read_by_name_and_go_back_as_targets():
    pose = XY(1, 2, 3, 4, 5, 6)
    assert (pose.x, pose.w, list(pose)) == (1, 6, [1, 2, 3, 4, 5, 6])
    assert JA(*range(6)).j6 == 5
    assert XY(*range(6)) != JA(*range(6))  # equal numbers, different points
    # Sequences of their six values, for indexing and numpy.
    joints = JA(10, 20, 30, 40, 50, 60)
    assert (len(joints), joints[0], joints[-1], joints[1:3]) == (6, 10, 60, (20, 30))
    with pytest.raises(IndexError):
        joints[6]
    numpy = pytest.importorskip("numpy")
    for values in (pose, joints):
        array = numpy.asarray(values)
        assert array.shape == (6,) and array.dtype == float and list(array) == list(values)


class FakeLink:
    """Records how the package calls the command link; a motion waits until released."""

    def __init__(self, till_on=False, block=False):
        self.calls = []
        self._till_on = till_on
        self.release = threading.Event()
        if not block:
            self.release.set()
        self.started = threading.Event()

    def go(self, *args):
        self._motion("go", args)

    def move(self, *args):
        self._motion("move", args)

    def _motion(self, name, args):
        self.calls.append((name, *args))
        self.started.set()
        self.release.wait(10)
        if self.calls[-1][0] == "abort_motion":
            raise RuntimeError("aborted")

    def till_on(self):
        self.calls.append(("till_on",))
        return self._till_on

    def abort_motion(self):
        self.calls.append(("abort_motion",))
        self.release.set()

    def get_remote_status(self):
        return types.SimpleNamespace(test=False, teach=False, auto=True, warning=False,
                                     serious_error=False, safeguard=False,
                                     emergency_stop=False, error=False, paused=False,
                                     running=True, ready=False, code=0)


# (method, keywords, the link call it must make, whether it returns TillOn)
MAPPING = [
    ("go", {}, ("go", "P1", False, False, None, None, None, False, None, None, None), False),
    ("go", {"speed": 50, "acceleration": 40, "deceleration": 20, "cp": True, "ljm": True},
     ("go", "P1", True, True, None, None, None, False, 50, 40, 20), False),
    ("go", {"till": " Sw(3) = On ", "parallel": "On 1"},
     ("go", "P1", False, False, None, "Till Sw(3) = On", "On 1", False, None, None, None), True),
    ("move", {}, ("move", "P1", False, False, False, None, None, False, None, None), False),
    ("move", {"speed": 120.5, "acceleration": 900.0, "cp": True, "till": "In(0) = 3"},
     ("move", "P1", False, False, True, "Till In(0) = 3", None, False, 120.5, 900.0), True),
]


@pytest.mark.parametrize("method, keywords, call, asks_till", MAPPING)
@pytest.mark.parametrize("till_on", [False, True])
def test_keywords_map_onto_the_link(method, keywords, call, asks_till, till_on):
    link = FakeLink(till_on=till_on)
    result = getattr(Cell(link, None), method)(Point("P1"), **keywords)
    assert link.calls == [call] + ([("till_on",)] if asks_till else [])
    assert result is (till_on if asks_till else None)


# (method, arguments, keywords, the error and what its message says); nothing reaches the link
@pytest.mark.parametrize("method, args, keywords, error, says", [
    *[("move", ["P1"], {"till": till}, ValueError, "till")
      for till in ["", "  ", "Till Sw(3) = On", "till Sw(3)"]],
    ("go", ["P1"], {"speed": 50.5}, TypeError, "speed must be a whole number"),
    ("go", ["P1"], {"deceleration": "10"}, TypeError, "deceleration must be a whole number"),
    ("go", ["P1"], {"ljm": 1}, TypeError, "ljm must be True or False"),
    ("move", ["P1"], {"speed": "fast"}, TypeError, "speed must be a number"),
    ("move", ["P1"], {"cp": None}, TypeError, "cp must be True or False"),
    ("move", ["P1"], {"till": 3}, TypeError, "till must be a string"),
    ("go", ["P1"], {"parallel": b"On 1"}, TypeError, "parallel must be a string"),
    ("go", ['P1"'], {}, ValueError, "must not contain quotes"),
    ("move", ["Go P1\r\nGo P2"], {}, ValueError, "line ends"),
])
def test_bad_arguments_are_refused_in_plain_words(method, args, keywords, error, says):
    link = FakeLink()
    with pytest.raises(error, match=says) as raised:
        getattr(Cell(link, None), method)(*args, **keywords)
    assert "incompatible function arguments" not in str(raised.value)
    assert link.calls == []


@pytest.mark.parametrize("keywords, error, says", [
    ({"host": 5}, TypeError, "host must be a string"),
    ({"command_port": 99999}, ValueError, "command_port must be from 1 to 65535"),
    ({"telemetry_port": "2000"}, TypeError, "telemetry_port must be an int"),
    ({"password": 1234}, TypeError, "password must be a string"),
    ({"status_timeout": 0}, ValueError, "status_timeout must be a positive"),
])
def test_connect_refuses_bad_arguments_before_connecting(keywords, error, says, refusing_port):
    with pytest.raises(error, match=says):
        epson_cell.connect(**{"host": "127.0.0.1", "command_port": refusing_port,
                              "telemetry_port": refusing_port, **keywords})


FLAGS = ["test", "teach", "auto", "warning", "serious_error", "safeguard", "emergency_stop",
         "error", "paused", "running", "ready"]


@pytest.mark.parametrize("set_flags, code", [([], 0), (["auto", "ready"], 0),
                                             (["emergency_stop", "error"], 1), (FLAGS, 9999)])
def test_status_decodes_every_flag_and_the_code(set_flags, code):
    remote = types.SimpleNamespace(code=code, **{f: f in set_flags for f in FLAGS})
    status = Status.decode(remote)
    assert status.flags == [f for f in FLAGS if f in set_flags]
    assert status.as_dict() == {**{f: f in set_flags for f in FLAGS}, "code": code}
    assert str(status).endswith(f"code {code}")
    with pytest.raises(TypeError, match="running"):
        Status.decode(types.SimpleNamespace(**{**vars(remote), "running": 1}))


def test_telemetry_status_words_decode_motors_and_power():
    for info, motors, high in ((0, False, False), (4, True, False), (8, False, True),
                               (0b11101, True, True)):
        assert (epson_cell.motors_on({"robot_info": info}),
                epson_cell.power_high({"robot_info": info})) == (motors, high)


@pytest.mark.parametrize("method", ["go_async", "move_async"])
def test_cancelling_an_async_motion_aborts_it_first(method):
    link = FakeLink(block=True)
    cell = Cell(link, None)

    async def scenario():
        task = asyncio.create_task(getattr(cell, method)(HERE))
        await asyncio.to_thread(link.started.wait, 5)
        task.cancel()
        # A second cancel while the abort is on its way must not skip it.
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        # By the time the cancellation arrives, the abort went out and the motion returned.
        assert [c[0] for c in link.calls] == [method.removesuffix("_async"), "abort_motion"]

    asyncio.run(asyncio.wait_for(scenario(), 10))


def test_async_motion_returns_what_the_motion_returns_and_refuses_early():
    link = FakeLink(till_on=True)
    cell = Cell(link, None)
    assert asyncio.run(cell.move_async("P1", till="Sw(1) = On")) is True
    with pytest.raises(ValueError):
        asyncio.run(cell.go_async(XY(math.nan, 0, 0, 0, 0, 0)))
    assert [c[0] for c in link.calls] == ["move", "till_on"]


def test_wait_until_returns_when_true_and_times_out_otherwise():
    cell = Cell(FakeLink(), None)
    calls = []
    cell.wait_until(lambda: calls.append(1) or len(calls) == 3, timeout=5, interval=0)
    assert len(calls) == 3
    with pytest.raises(TimeoutError, match="0.05 s"):
        cell.wait_until(lambda: False, timeout=0.05)
    assert cell.status().running


# ---- against the simulator ----

def test_connect_opens_both_links_with_or_without_a_password(sim):
    with epson_cell.connect("127.0.0.1", command_port=sim.command_port,
                            telemetry_port=sim.telemetry_port, password="plover") as cell:
        assert cell.control.is_logged_in() and cell.telemetry.has_controller_status()
        assert list(cell.pose()) == pytest.approx(sim.pose(), abs=1e-6)
    assert not cell.control.is_connected() and not cell.telemetry.is_connected()


def test_a_refused_login_leaves_nothing_open():
    with epson_cell.Simulator(password="right") as sim:
        with pytest.raises(epson_cell.ControllerError) as refused:
            epson_cell.connect("127.0.0.1", command_port=sim.command_port,
                               telemetry_port=sim.telemetry_port, password="wrong")
        assert wait_until(lambda: not sim.is_command_client_connected())
        assert sim.telemetry_client_count() == 0
    # The message keeps the link's text and says what the code means.
    assert refused.value.code == 13
    assert str(refused.value) == (f"Remote command failed: !Login,13 (command: "
                                  f"$Login,<redacted>): {refused.value.meaning}")
    assert "password" in refused.value.meaning.lower()


def test_connection_failures_are_connection_errors(refusing_port):
    # A host that does not resolve (locally, at once) and a port where nothing listens.
    # Through the station (no password) and through the two links.
    for host, port, password in (("a" * 70 + ".invalid", 5000, None),
                                 ("127.0.0.1", refusing_port, "")):
        with pytest.raises(epson_cell.ConnectFailedError) as failed:
            epson_cell.connect(host, command_port=port, password=password)
        assert isinstance(failed.value, ConnectionError) and isinstance(failed.value,
                                                                        RuntimeError)
        assert not isinstance(failed.value, epson_cell.ControllerBusyError)


def test_refusals_say_what_they_mean(sim, cell):
    # The motors are off: the controller's code 20, in words.
    with pytest.raises(epson_cell.ControllerError) as refused:
        cell.go(HERE)
    assert refused.value.code == 20 and str(refused.value).endswith(": " + refused.value.meaning)
    assert epson_cell.explain(refused.value) == str(refused.value)
    # The same refusal straight from the module keeps the module's message.
    with pytest.raises(epson_cell.ControllerError) as raw:
        cell.control.go("Here", False, False, None, None, None, False)
    assert refused.value.meaning not in str(raw.value)
    assert epson_cell.explain(raw.value) == str(refused.value)


def test_console_lines_leave_a_scripts_stdout_alone(sim):
    script = textwrap.dedent(f"""
        import epson_cell
        for destination in ("logging", "streams"):
            if destination == "streams":
                epson_cell.set_console_lines("streams")
            with epson_cell.connect("127.0.0.1", command_port={sim.command_port},
                                    telemetry_port={sim.telemetry_port}):
                print("result", flush=True)
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 0, result.stderr
    endpoint = f"127.0.0.1:{sim.command_port}"
    assert result.stdout == f"result\nConnected to {endpoint}\nresult\nDisconnected from {endpoint}\n"
    assert "Connected" not in result.stderr


def test_no_controller_status_in_time_closes_both_links(sim):
    # Samples without any status: the receiver connects, the status never comes.
    sim.set_telemetry_mode("silent")
    packet = ";".join([f"J{i}agl=0" for i in range(1, 7)] + [f"{k}=1" for k in "XYZUVW"]) + "\r"
    stop = threading.Event()

    def feed():
        while not stop.wait(0.01):
            sim.send_telemetry_raw(packet.encode())

    feeder = threading.Thread(target=feed)
    feeder.start()
    try:
        with pytest.raises(TimeoutError, match="no controller status .* within 0.2 s"):
            epson_cell.connect("127.0.0.1", command_port=sim.command_port,
                               telemetry_port=sim.telemetry_port, status_timeout=0.2)
    finally:
        stop.set()
        feeder.join(5)
    assert wait_until(lambda: not sim.is_command_client_connected())
    assert wait_until(lambda: sim.telemetry_client_count() == 0)


def test_an_exception_leaving_the_cell_aborts_its_running_motion(sim, caplog):
    errors = []
    with pytest.raises(KeyError):
        with epson_cell.connect("127.0.0.1", command_port=sim.command_port,
                                telemetry_port=sim.telemetry_port) as cell:
            cell.control.motor_on()
            far = XY(*sim.pose()[:2], sim.pose()[2] - 300, *sim.pose()[3:])

            def motion():
                try:
                    cell.move(far, speed=2.0)
                except epson_cell.ControllerError as error:
                    errors.append(error)

            mover = threading.Thread(target=motion)
            mover.start()
            assert wait_until(sim.is_moving)
            raise KeyError("the script failed")
    mover.join(10)
    assert not sim.is_moving() and sim.wait_for_command("$Abort", timeout=0)
    assert len(errors) == 1 and isinstance(errors[0], epson_cell.MotionAbortedError)
    assert any("aborting its running motion" in r.getMessage() and r.levelno == logging.WARNING
               for r in caplog.records)


def test_cancelled_motion_sends_abort_and_the_arm_stops(sim, cell):
    cell.control.motor_on()
    far = XY(*sim.pose()[:2], sim.pose()[2] - 300, *sim.pose()[3:])

    async def scenario():
        task = asyncio.create_task(cell.move_async(far, speed=20))
        await asyncio.to_thread(cell.wait_until, sim.is_moving, 5)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert not sim.is_moving()

    asyncio.run(asyncio.wait_for(scenario(), 20))
    assert sim.wait_for_command("$Abort", timeout=0)
    assert cell.pose().z > far.z + 1


def test_till_reports_whether_the_search_stopped_the_motion(sim, cell):
    cell.control.motor_on()
    x, y, z, u, v, w = sim.pose()
    assert cell.move(XY(x, y, z - 100, u, v, w), speed=500, till="Sw(3) = On") is False
    assert sim.pose()[2] == pytest.approx(z - 100)
    sim.set_input(3, True)
    assert cell.move(XY(x, y, z, u, v, w), speed=500, till="Sw(3) = On") is True
    assert sim.pose()[2] < z - 50  # stopped at once, far from the target
    assert cell.go(HERE) is None


def test_samples_arrive_in_order_and_record_writes_rows(sim, cell, tmp_path):
    with cell.samples(capacity=64) as samples:
        got = [samples.get(timeout=2) for _ in range(5)]
        assert all(isinstance(s, epson_cell.Sample) for s in got)
        times = [s.monotonic_time for s in got]
        assert times == sorted(times) and samples.dropped == 0
    assert samples.closed and samples.get(timeout=0) is None
    with cell.record(tmp_path / "run.csv") as recording, cell.samples() as later:
        assert all(later.get(timeout=2) is not None for _ in range(3))
    assert recording.rows is not None and recording.rows >= 3 and recording.lost == 0
    lines = (tmp_path / "run.csv").read_text().splitlines()
    assert lines[0].startswith("monotonic_s,wall_time,J1") and len(lines) == recording.rows + 1


def test_samples_async_streams_and_ends_when_closed(cell):
    async def scenario():
        seen = []
        with cell.samples_async(capacity=64) as samples:
            async for sample in samples:
                seen.append(sample)
                if len(seen) == 3:
                    samples.close()
        return seen

    seen = asyncio.run(asyncio.wait_for(scenario(), 10))
    assert len(seen) >= 3 and seen[0].monotonic_time <= seen[-1].monotonic_time
