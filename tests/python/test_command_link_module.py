"""The `_cell_command_link` module: its Python surface, conversions and lock release."""

import logging
import os
import signal
import subprocess
import sys
import threading
import time

import pytest

import _cell_command_link
import _cell_simulator
from _cell_command_link import (CellCommandLink, ConnectionLostError, ControllerError,
                                EpsonPowerMode, NotConnectedError, PtpMotionLimits)
from conftest import DEFAULT_SIGINT_PRELUDE, wait_until
from expected_docstrings import COMMAND_LINK, POWER_MODE_MEMBERS

METHODS_IN_ORDER = [
    "connect", "disconnect", "is_connected", "is_logged_in", "motor_on_error",
    "is_emergency_stopped", "get_controller_status", "reset_controller", "motor_on", "motor_off",
    "pause", "continue_motion", "abort_motion", "get_remote_status", "till_on",
    "get_power_mode", "get_ptp_motion_limits",
    "add_safety_cuboid",
    "set_power_mode", "tl_set", "tl_clear", "set_tool", "get_tool", "is_tool_defined",
    "get_tool_definition", "get_tcp_offset", "set_tcp_offset", "restore_tcp_offset",
    "inverse_kinematics", "go", "move", "get_state",
    "set_output_bit", "get_output_bit", "get_input_bit", "get_input_byte", "get_output_byte",
    "get_input_word", "get_output_word",
    "set_connect_attempts",
]
IO_METHODS = METHODS_IN_ORDER[-8:-1]


def shifted(pose, dx):
    """A reachable target near the current pose."""
    return [pose[0] + dx] + list(pose[1:])


def body(doc):
    """A method's docstring without the signature line the binding puts in front."""
    return doc.split("\n\n", 1)[1] if doc.count("\n\n") and "(" in doc.split("\n", 1)[0] else doc


class TestSurface:
    def test_module_registers_three_types_and_only_the_additions_beside_them(self):
        public = [n for n in dir(_cell_command_link) if not n.startswith("_")]
        assert public == sorted(["CellCommandLink", "EpsonPowerMode", "PtpMotionLimits",
                                 "ControllerError", "ConnectionLostError", "NotConnectedError",
                                 "MotionAbortedError", "OutcomeUnknownError", "RemoteStatus",
                                 "RobotState", "ControllerStatus", "log_to_python"])
        assert "LOW" not in dir(_cell_command_link) and "HIGH" not in dir(_cell_command_link)
        for kind in (ControllerError, ConnectionLostError, NotConnectedError,
                     _cell_command_link.OutcomeUnknownError):
            assert kind.__bases__ == (RuntimeError,)
            assert kind.__module__ == "_cell_command_link"

    def test_the_29_methods_and_the_additions_in_order(self):
        names = [n for n in CellCommandLink.__dict__ if not n.startswith("_")
                 and n not in ("default_port", "default_password")]
        assert names == METHODS_IN_ORDER

    def test_class_attributes_are_constants_readable_on_class_and_instance(self):
        assert CellCommandLink.default_port == 5000
        assert CellCommandLink.default_password == ""
        instance = CellCommandLink()
        assert (instance.default_port, instance.default_password) == (5000, "")
        for target in (CellCommandLink, instance):
            with pytest.raises(AttributeError):
                target.default_port = 1
            with pytest.raises(AttributeError):
                target.default_password = "x"

    def test_power_mode_enumeration(self):
        assert EpsonPowerMode(1) == EpsonPowerMode.HIGH
        assert int(EpsonPowerMode.LOW) == 0 and EpsonPowerMode.HIGH.value == 1
        assert EpsonPowerMode.HIGH.name == "HIGH"
        assert list(EpsonPowerMode.__members__) == ["LOW", "HIGH"]
        assert len({EpsonPowerMode.LOW, EpsonPowerMode(0)}) == 1
        with pytest.raises(TypeError):
            EpsonPowerMode.LOW + 1  # not arithmetic

    def test_ptp_limits_cannot_be_made_or_changed(self, link):
        with pytest.raises(TypeError):
            PtpMotionLimits()
        limits = link.get_ptp_motion_limits()
        assert limits.speed_percent == 100
        assert limits.acceleration_percent >= 1 and limits.deceleration_percent >= 1
        with pytest.raises(AttributeError):
            limits.speed_percent = 5
        assert repr(limits) == (
            f"PtpMotionLimits(speed_percent=100, acceleration_percent="
            f"{limits.acceleration_percent}, deceleration_percent={limits.deceleration_percent})")

    def test_docstrings_word_for_word(self):
        assert _cell_command_link.__doc__ == COMMAND_LINK["__module__"]
        assert CellCommandLink.__doc__ == COMMAND_LINK["CellCommandLink"]
        assert PtpMotionLimits.__doc__ == COMMAND_LINK["PtpMotionLimits"]
        assert EpsonPowerMode.__doc__.startswith(COMMAND_LINK["EpsonPowerMode"])
        for member, text in POWER_MODE_MEMBERS.items():
            assert f"{member} : {text}" in EpsonPowerMode.__doc__
        for name in ("default_port", "default_password"):
            assert CellCommandLink.__dict__[name].__doc__ == COMMAND_LINK[name]
        assert [m for m in METHODS_IN_ORDER if m not in COMMAND_LINK] == [
            "abort_motion", "get_remote_status"] + IO_METHODS + ["set_connect_attempts"]
        for name in ["__init__"] + [m for m in METHODS_IN_ORDER if m in COMMAND_LINK]:
            doc = getattr(CellCommandLink, name).__doc__
            assert body(doc).rstrip("\n") == COMMAND_LINK[name].rstrip("\n"), name


class TestArguments:
    def test_defaults_in_signatures(self):
        assert "port: typing.SupportsInt | typing.SupportsIndex = 5000, password: str = ''" \
            in CellCommandLink.connect.__doc__
        assert "least_joint_motion: bool = True" in CellCommandLink.inverse_kinematics.__doc__
        assert "reference_joint_positions: " in CellCommandLink.inverse_kinematics.__doc__

    @pytest.mark.parametrize("call", [
        lambda l: l.go("P1"),
        lambda l: l.go("P1", False, False, None, None, None),
        lambda l: l.move("P1", False, False, False, None, None),
        lambda l: l.set_power_mode(1),
        lambda l: l.set_tool(1.0),
        lambda l: l.set_tool(2 ** 31),
        lambda l: l.tl_set(1, None),
        lambda l: l.connect("127.0.0.1", 70000),
        lambda l: l.connect("127.0.0.1", -1),
        lambda l: l.set_tcp_offset("123456"),
        lambda l: l.go("P1", False, False, 1.5, None, None, False),
    ])
    def test_conversion_failures_are_type_errors_before_anything_is_sent(self, sim, call):
        link = CellCommandLink()
        with pytest.raises(TypeError):
            call(link)
        assert sim.command_log() == []

    def test_nullable_required_and_defaulted_parameters(self, sim, link):
        sim.set_point("P1", link.get_state()["tcp_pose"])
        link.motor_on()
        link.go("P1", False, False, None, None, None, False)
        link.move("P1", False, False, False, None, None, False)
        link.go(destination="P1", cp=False, ljm=True, orientation_flag=None,
                search_expression=None, parallel_processing=None, sync=False, speed_percent=50)
        assert sim.command_log()[-2:] == ['$Execute,"Speed 50"', '$Execute,"Go P1 LJM"']

    def test_sequences_of_floats_accept_tuples_and_ints(self, link):
        pose = link.get_state()["tcp_pose"]
        joints = link.inverse_kinematics(tuple(pose))
        assert len(joints) == 6 and all(isinstance(j, float) for j in joints)


class TestResults:
    def test_controller_status_key_order(self, link):
        assert list(link.get_controller_status()) == [
            "control_device", "ctrl_info", "emergency_stopped", "robot_info",
            "safeguard_open", "stat", "system_error", "teach_mode"]

    def test_get_state_has_two_lists_of_six_floats(self, link):
        state = link.get_state()
        assert list(state) == ["joint_positions", "tcp_pose"]
        for values in state.values():
            assert isinstance(values, list) and len(values) == 6
            assert all(isinstance(v, float) for v in values)

    def test_power_mode_round_trip(self, link):
        link.set_power_mode(EpsonPowerMode.HIGH)
        assert link.get_power_mode() is EpsonPowerMode.HIGH or \
            link.get_power_mode() == EpsonPowerMode.HIGH
        link.set_power_mode(EpsonPowerMode.LOW)
        assert link.get_power_mode() == EpsonPowerMode.LOW


class TestExceptions:
    @pytest.mark.parametrize("call, kind, message", [
        (lambda l: l.get_power_mode(), NotConnectedError,
         "command() was called but socket not connected"),
        (lambda l: l.go("P1", False, False, None, None, None, False), NotConnectedError,
         "command() was called but socket not connected"),
        (lambda l: l.tl_set(1, ""), ValueError, "TLSet tool_def_point must not be empty"),
        (lambda l: l.set_tool(16), IndexError, "Tool number must be between 0 and 15"),
        (lambda l: l.set_tcp_offset([0, 0, 0]), ValueError,
         "TCP offset must contain exactly 6 values"),
        (lambda l: l.go("P1\"\r\n$Logout", False, False, None, None, None, False), ValueError,
         "destination must not contain quotes or line endings"),
        (lambda l: l.connect("127.0.0.1", 1, "x\r\n"), ValueError,
         "password must not contain line endings"),
    ])
    def test_native_errors_map_with_their_messages(self, call, kind, message):
        with pytest.raises(kind) as caught:
            call(CellCommandLink())
        assert type(caught.value) is kind
        assert str(caught.value) == message

    @pytest.mark.parametrize("reply, code, meaning, note", [
        ("!Execute,99", 99, "System error or communication error",
         " (Epson Remote Ethernet error 99: system error or communication error; no motion "
         "error code was returned)"),
        ("!Execute,21,7", 21, "Cannot execute since Execute is running", ""),
        ("!Execute,5", 5, "", ""),
        ("!Execute", 0, "", ""),
        ("!Execute, 20", 0, "", ""),
    ])
    def test_controller_rejection_carries_code_command_and_meaning(self, sim, link, reply, code,
                                                                    meaning, note):
        sim.answer("Print Tool", reply, times=1)
        with pytest.raises(RuntimeError) as caught:
            link.get_tool()
        error = caught.value
        assert type(error) is ControllerError
        assert str(error) == f'Remote command failed: {reply}{note} (command: $Execute,"Print Tool")'
        assert (error.code, error.command, error.reply, error.meaning) == (
            code, '$Execute,"Print Tool"', reply, meaning)
        assert link.is_connected()  # a refusal keeps the connection

    def test_refused_login_shows_no_password(self):
        with _cell_simulator.Simulator(password="right") as sim:
            with pytest.raises(ControllerError) as caught:
                CellCommandLink().connect("127.0.0.1", sim.command_port, "wrong")
        assert (caught.value.code, caught.value.command) == (13, "$Login,<redacted>")
        assert caught.value.meaning == "Login command password is wrong"
        assert "wrong" not in str(caught.value)

    def test_lost_connection_then_not_connected(self, sim, link):
        sim.drop_connection("Print Tool", times=1)
        with pytest.raises(ConnectionLostError) as caught:
            link.get_tool()
        assert str(caught.value).startswith(
            "Failed while waiting for an Epson Remote Ethernet response: ")
        assert not link.is_connected()
        with pytest.raises(NotConnectedError,
                           match=r"^command\(\) was called but socket not connected$"):
            link.get_tool()
        # The IK wrapper adds context but keeps the kind.
        with pytest.raises(NotConnectedError, match="IK query failed"):
            link.inverse_kinematics([300.0, 0.0, 500.0, 0.0, 0.0, 180.0])


class TestInterpreterLock:
    def test_other_threads_run_during_connect_retries(self, spinner, refusing_port, capfd):
        # The retry lines go to logging meanwhile: they are written while this thread waits
        # in connect() without the interpreter lock.
        records = []
        handler = logging.Handler()
        handler.emit = records.append
        logging.getLogger("epson_cell").addHandler(handler)
        _cell_command_link.log_to_python()
        try:
            link = CellCommandLink()
            with spinner() as spin:
                start = time.monotonic()
                with pytest.raises(RuntimeError, match="login failed after 3 attempts"):
                    link.connect("127.0.0.1", refusing_port)
                elapsed = time.monotonic() - start
            assert elapsed > 3.5
            assert spin.count > 500  # it kept running for most of the four seconds
            assert wait_until(lambda: len(records) >= 2, 5)
        finally:
            _cell_command_link.log_to_python(False)
            logging.getLogger("epson_cell").removeHandler(handler)
        assert [(r.levelno, r.getMessage()) for r in records] == [
            (logging.WARNING,
             f"Epson Remote Ethernet login attempt {n} failed; retrying in 2 seconds")
            for n in (1, 2)]
        assert "retrying" not in capfd.readouterr().err

    def test_other_threads_run_during_a_motion(self, spinner):
        # Slower than the shared simulator, so that the motion lasts long enough to tell.
        with _cell_simulator.Simulator(time_scale=0.2) as sim:
            link = CellCommandLink()
            link.connect("127.0.0.1", sim.command_port)
            sim.set_point("P2", shifted(link.get_state()["tcp_pose"], -60.0))
            link.motor_on()
            self._go_while_spinning(link, spinner)
            link.disconnect()

    @staticmethod
    def _go_while_spinning(link, spinner):
        with spinner() as spin:
            start = time.monotonic()
            link.go("P2", False, False, None, None, None, False, 1)
            elapsed = time.monotonic() - start
            moved = spin.count
        assert elapsed > 0.2  # long enough to tell
        assert moved > 200 * elapsed  # the spinner ran for most of the motion

    def test_get_state_fails_fast_and_waits_boundedly_without_the_lock(self, sim, link, spinner):
        sim.delay_reply("Print Power", 1.0, times=1)
        worker = threading.Thread(target=link.get_power_mode)
        worker.start()
        assert sim.wait_for_command("Print Power", 5) is not None
        with spinner() as spin:
            start = time.monotonic()
            with pytest.raises(RuntimeError,
                               match=r"getState\(\) timed out waiting for the connection"):
                link.get_state()
            elapsed = time.monotonic() - start
        worker.join(5)
        assert 0.2 < elapsed < 0.8
        assert spin.count > 20

    def test_pause_and_continue_during_a_motion(self, sim, link):
        target = shifted(link.get_state()["tcp_pose"], 60.0)
        sim.set_point("P3", target)
        link.motor_on()
        errors = []

        def run():
            try:
                link.go("P3", False, False, None, None, None, False, 2)
            except Exception as error:  # reported below
                errors.append(error)

        mover = threading.Thread(target=run)
        mover.start()
        assert sim.wait_for_command("Go P3", 5) is not None
        with pytest.raises(RuntimeError, match="getState\\(\\) skipped"):
            link.get_state()
        link.pause()
        # The status goes beside the motion too, and sees the pause.
        status = link.get_remote_status()
        assert status.paused and status.running and not status.ready, repr(status)
        link.continue_motion()
        mover.join(30)
        assert not mover.is_alive() and errors == []
        assert link.get_state()["tcp_pose"][:3] == pytest.approx(target[:3], abs=1e-3)
        status = link.get_remote_status()  # an ordinary command now
        assert status.ready and not status.running and status.code == 0
        assert repr(status) == "RemoteStatus(auto=True, ready=True, code=0)"


INTERRUPTED_MOTION = DEFAULT_SIGINT_PRELUDE + """
import sys
import threading
import time
import _cell_command_link
link = _cell_command_link.CellCommandLink()
link.connect("127.0.0.1", int(sys.argv[1]))
link.motor_on()


def pause_beside():
    time.sleep(0.5)  # into the motion
    try:
        link.pause()
    except RuntimeError as error:
        print("pause:", error, flush=True)


if sys.argv[2] == "pause waits":
    threading.Thread(target=pause_beside, daemon=True).start()
try:
    if sys.argv[2] == "slow logout":
        link.disconnect()
    else:
        link.go("P9", False, False, None, None, None, False, 1)
except KeyboardInterrupt as interruption:
    print("cause:", type(interruption.__cause__).__name__, interruption.__cause__, flush=True)
    raise
print("the motion ended", flush=True)
"""


class TestStoppingAMotion:
    # Ctrl-C aborts the motion, even while another thread's pause waits for its reply; when the
    # abort fails, the interruption says why and the console says the arm may still move. With
    # no motion anywhere (a slow logout) it is a plain interruption: no abort, no alarm.
    @pytest.mark.parametrize("case", ["plain", "pause waits", "abort refused", "slow logout"])
    def test_ctrl_c_aborts_the_motion_or_says_why_not(self, case):
        with _cell_simulator.Simulator() as sim:  # in real time: the motion lasts half a minute
            probe = CellCommandLink()
            probe.connect("127.0.0.1", sim.command_port)
            x, y, z, u, v, w = probe.get_state()["tcp_pose"]
            probe.disconnect()
            sim.set_point("P9", [-y, x, z, u + 90.0, v, w])  # J1 turned by a quarter
            if case == "pause waits":
                sim.go_silent("$Pause", times=1)
            elif case == "abort refused":
                sim.answer("$Abort", "!Abort,20", times=1)
            elif case == "slow logout":
                sim.go_silent("$Logout", times=1)
            module_dir = os.path.dirname(_cell_command_link.__file__)
            process = subprocess.Popen(
                [sys.executable, "-c", INTERRUPTED_MOTION, str(sim.command_port), case],
                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                env=dict(os.environ, PYTHONPATH=module_dir))
            try:
                if case == "slow logout":
                    # The probe's logout came first; this one is the script's.
                    assert wait_until(lambda: [line for line in sim.command_log()
                                               if "$Logout" in line][1:], 10)
                    interrupted = time.monotonic()
                    process.send_signal(signal.SIGINT)
                    output, errors = process.communicate(timeout=10)
                    assert time.monotonic() - interrupted < 1.0
                    assert errors.rstrip().endswith("KeyboardInterrupt"), (output, errors)
                    assert "cause: NoneType None" in output
                    assert "may still be running" not in errors
                    assert "$Abort" not in sim.command_log()
                    return
                assert sim.wait_for_command("Go P9", 10) is not None
                assert wait_until(sim.is_moving, 5)
                assert sim.last_motion()["duration"] > 10
                if case == "pause waits":
                    assert sim.wait_for_command("$Pause", 5) is not None
                time.sleep(1.0)  # well into the motion
                assert sim.is_moving()
                interrupted = time.monotonic()
                process.send_signal(signal.SIGINT)
                output, errors = process.communicate(timeout=10)
                elapsed = time.monotonic() - interrupted
            finally:
                process.kill()
            assert process.returncode != 0
            assert errors.rstrip().endswith("KeyboardInterrupt"), errors
            assert elapsed < 1.0
            assert "$Abort" in sim.command_log()
            if case == "abort refused":
                assert ("cause: ControllerError Remote command failed: !Abort,20 "
                        "(command: $Abort)") in output
                assert "Epson motion may still be running" in errors
                assert "The above exception was the direct cause" in errors
                assert sim.is_moving()  # what the console line warns of
            else:
                assert "cause: NoneType None" in output
                assert "may still be running" not in errors
                assert wait_until(lambda: not sim.is_moving(), 2)
