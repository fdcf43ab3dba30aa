"""The `_cell_station` and `_cell_telemetry` modules, the cross-module registry and the guards."""

import gc
import glob
import importlib.util
import os
import subprocess
import sys
import textwrap

import pytest

import _cell_station
from expected_docstrings import STATION

MODULE_DIR = os.path.dirname(_cell_station.__file__)


def run_python(code, executable=sys.executable, timeout=60):
    env = dict(os.environ, PYTHONPATH=MODULE_DIR)
    return subprocess.run([executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout, env=env)


class TestStation:
    def test_surface_and_docstrings(self):
        from _cell_station import CellStation
        assert [n for n in dir(_cell_station) if not n.startswith("_")] == ["CellStation"]
        assert _cell_station.__doc__ == STATION["__module__"]
        assert CellStation.__doc__ == STATION["CellStation"]
        for name in ("__init__", "get_control_interface", "get_receive_interface",
                     "is_connected", "disconnect"):
            doc = getattr(CellStation, name).__doc__
            assert doc.split("\n\n", 1)[1].rstrip("\n") == STATION[name].rstrip("\n"), name
        assert "control_port: typing.SupportsInt | typing.SupportsIndex = 5000" in \
            CellStation.__init__.__doc__
        assert "receive_port: typing.SupportsInt | typing.SupportsIndex = 2000" in \
            CellStation.__init__.__doc__

    def test_out_of_range_port_is_a_type_error_before_any_connection(self, sim):
        with pytest.raises(TypeError):
            _cell_station.CellStation("127.0.0.1", sim.command_port, 70000)
        assert sim.command_log() == []

    def test_opens_both_links_without_motors_and_closes_them(self, sim):
        import _cell_command_link  # noqa: F401  registers the returned types
        import _cell_telemetry  # noqa: F401
        station = _cell_station.CellStation("127.0.0.1", sim.command_port, sim.telemetry_port)
        assert station.is_connected()
        control = station.get_control_interface()
        receive = station.get_receive_interface()
        assert control.is_logged_in() and receive.is_connected()
        assert len(receive.get_sample().joints) == 6
        assert not any("Motor" in line for line in sim.command_log())
        station.disconnect()
        assert not station.is_connected()
        assert not control.is_connected() and not receive.is_connected()
        assert sim.command_log()[-1] == "$Logout"
        station.disconnect()  # repeated: nothing to report

    def test_telemetry_refusal_logs_out_before_the_error_arrives(self, sim):
        sim.set_telemetry_mode("refused")
        with pytest.raises(RuntimeError) as caught:
            _cell_station.CellStation("127.0.0.1", sim.command_port, sim.telemetry_port)
        # Read at once: the logout must already have happened.
        assert sim.command_log()[-1] == "$Logout"
        assert str(caught.value).startswith("Failed to connect to Epson telemetry at 127.0.0.1:")

    def test_handles_outlive_the_station_disconnected(self, sim):
        import _cell_command_link  # noqa: F401
        import _cell_telemetry  # noqa: F401
        station = _cell_station.CellStation("127.0.0.1", sim.command_port, sim.telemetry_port)
        control = station.get_control_interface()
        receive = station.get_receive_interface()
        del station
        gc.collect()
        assert not control.is_connected() and not control.is_logged_in()
        assert not receive.is_connected()
        assert receive.has_sample()  # the last sample stays readable
        with pytest.raises(RuntimeError, match="socket not connected"):
            control.get_tool()


class TestCrossModuleRegistry:
    def test_station_alone_then_each_module_registers_its_type(self, sim):
        result = run_python(f"""
            import _cell_station
            station = _cell_station.CellStation("127.0.0.1", {sim.command_port},
                                                {sim.telemetry_port})
            for getter in (station.get_control_interface, station.get_receive_interface):
                try:
                    getter()
                    print("returned")
                except TypeError:
                    print("TypeError")
            import _cell_command_link
            control = station.get_control_interface()
            print(type(control).__name__, control.is_logged_in(), control.get_tool())
            import _cell_telemetry
            receive = station.get_receive_interface()
            print(type(receive).__name__, receive.is_connected(), len(receive.get_sample().joints))
            station.disconnect()
            print(control.is_logged_in(), receive.is_connected())
        """)
        assert result.returncode == 0, result.stderr
        lines = [line for line in result.stdout.splitlines()
                 if not line.startswith(("Connected to ", "Disconnected from "))]
        assert lines == [
            "TypeError", "TypeError", "CellCommandLink True 0",
            "EthernetReceiveInterface True 6", "False False"]


def _python311():
    candidates = sorted(glob.glob(os.path.expanduser("~/.pyenv/versions/3.11.*/bin/python3.11")))
    candidates += sorted(glob.glob("/root/.pyenv/versions/3.11.*/bin/python3.11"))
    return candidates[-1] if candidates else None


class TestLoadGuards:
    @pytest.mark.parametrize("module", ["_cell_command_link", "_cell_station", "_cell_telemetry"])
    def test_another_python_version_gets_the_exact_import_error(self, module):
        python311 = _python311()
        if python311 is None:
            pytest.skip("no CPython 3.11 on this machine")
        path = importlib.util.find_spec(module).origin
        result = run_python(f"""
            import importlib.machinery, importlib.util, sys
            loader = importlib.machinery.ExtensionFileLoader({module!r}, {path!r})
            spec = importlib.util.spec_from_loader({module!r}, loader)
            try:
                importlib.util.module_from_spec(spec)
            except ImportError as error:
                print(error)
            print(repr(sys.version))
        """, executable=python311)
        message, version = result.stdout.strip().splitlines()
        version = eval(version)
        assert message == ("Python version mismatch: module was compiled for Python 3.12, but "
                           f"the interpreter version is incompatible: {version}.")

    @pytest.mark.parametrize("module", ["_cell_command_link", "_cell_station", "_cell_telemetry"])
    def test_sub_interpreters_are_refused(self, module):
        result = run_python(f"""
            import _xxsubinterpreters as interpreters
            interp = interpreters.create()
            try:
                interpreters.run_string(interp, "import {module}")
                print("loaded")
            except Exception as error:
                print(type(error).__name__, error)
        """)
        assert result.returncode == 0, result.stderr
        assert "does not support loading in subinterpreters" in result.stdout


class TestTelemetryModule:
    def test_receiver_reads_samples_and_status(self, sim):
        import _cell_telemetry
        receive = _cell_telemetry.EthernetReceiveInterface()
        assert receive.sample_age_seconds() == float("inf")
        with pytest.raises(RuntimeError, match="No complete Epson telemetry sample"):
            receive.get_sample()
        receive.connect("127.0.0.1", sim.telemetry_port)
        sample = receive.get_sample()
        assert len(sample.joints) == 6 and len(sample.tcp_pose) == 6
        with pytest.raises(AttributeError):
            sample.joints = [0.0] * 6
        from conftest import wait_until
        assert wait_until(receive.has_controller_status, 3)
        assert list(receive.get_controller_status())[0] == "control_device"
        assert receive.sample_age_seconds() < 1.0
        receive.disconnect()
        receive.disconnect()
        assert not receive.is_connected()


def test_the_demo_session_runs_end_to_end():
    demo = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "demo.py")
    result = subprocess.run([sys.executable, demo, "--time-scale", "0.1"], capture_output=True,
                            text=True, timeout=120, env=dict(os.environ, PYTHONPATH=MODULE_DIR))
    assert result.returncode == 0, result.stdout + result.stderr
    out = result.stdout
    for line in ("Power mode now: HIGH", "TCP offset set to [0.000, 0.000, 0.100, 0.000, 0.000, "
                 "0.000]", "  paused", "  continued", "Motors off",
                 "Disconnected; cell connected: False"):
        assert line in out, out
    assert "telemetry: joints" in out
