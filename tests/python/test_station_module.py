"""The `_cell_station` and `_cell_telemetry` modules, the cross-module registry and the guards."""

import gc
import glob
import importlib
import importlib.util
import os
import pathlib
import shutil
import subprocess
import sys
import textwrap
import threading
import time
import tomllib

import pytest

import _cell_command_link
import _cell_simulator
import _cell_station
import _cell_telemetry
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

    @pytest.mark.parametrize("opened", ["station", "link", "receiver"])
    def test_with_block_disconnects_and_lets_exceptions_through(self, sim, opened):
        def open_one():
            if opened == "station":
                return _cell_station.CellStation("127.0.0.1", sim.command_port,
                                                 sim.telemetry_port)
            if opened == "link":
                link = _cell_command_link.CellCommandLink()
                link.connect("127.0.0.1", sim.command_port)
                return link
            receiver = _cell_telemetry.EthernetReceiveInterface()
            receiver.connect("127.0.0.1", sim.telemetry_port)
            return receiver

        with open_one() as first:
            assert first.is_connected()
        assert not first.is_connected()
        with pytest.raises(KeyError, match="from the block"):
            with open_one() as second:
                raise KeyError("from the block")
        assert not second.is_connected()
        if opened != "receiver":
            assert sim.command_log()[-1] == "$Logout"

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
        with pytest.raises(_cell_command_link.NotConnectedError, match="socket not connected"):
            control.get_tool()

    def test_dropping_the_station_mid_motion_lets_other_threads_run(self, spinner):
        import _cell_command_link  # noqa: F401
        import _cell_telemetry  # noqa: F401
        with _cell_simulator.Simulator(time_scale=0.2) as slow:
            station = _cell_station.CellStation("127.0.0.1", slow.command_port,
                                                slow.telemetry_port)
            control = station.get_control_interface()
            x, y, z, u, v, w = control.get_state()["tcp_pose"]
            slow.set_point("P2", [x - 60.0, y, z, u, v, w])
            control.motor_on()
            errors = []

            def move():
                try:
                    control.go("P2", False, False, None, None, None, False, 1)
                except Exception as error:  # reported below
                    errors.append(error)

            mover = threading.Thread(target=move)
            mover.start()
            assert slow.wait_for_command("Go P2", 5) is not None
            with spinner() as spin:
                start = time.monotonic()
                del station  # waits for the motion to close the link
                gc.collect()
                elapsed = time.monotonic() - start
                spun = spin.count
            mover.join(10)
            assert errors == [] and not slow.is_moving()
            assert not control.is_connected()
            assert elapsed > 0.2  # long enough to tell
            assert spun > 200 * elapsed  # the spinner ran for most of the wait


class TestCrossModuleRegistry:
    def test_station_alone_then_each_module_registers_its_type(self, sim):
        with _cell_simulator.Simulator(password="not-the-station's") as refusing:
            result = run_python(f"""
                import _cell_station

                def refused_login():
                    try:
                        _cell_station.CellStation("127.0.0.1", {refusing.command_port})
                    except RuntimeError as error:
                        print(type(error).__name__, getattr(error, "code", None),
                              getattr(error, "command", None), error)

                for getter in (_cell_station.CellStation.get_control_interface,
                               _cell_station.CellStation.get_receive_interface):
                    print(getter.__doc__.splitlines()[0])
                refused_login()
                station = _cell_station.CellStation("127.0.0.1", {sim.command_port},
                                                    {sim.telemetry_port})
                for getter in (station.get_control_interface, station.get_receive_interface):
                    try:
                        getter()
                        print("returned")
                    except TypeError:
                        print("TypeError")
                import _cell_command_link
                refused_login()
                control = station.get_control_interface()
                print(type(control).__name__, control.is_logged_in(), control.get_tool())
                import _cell_telemetry
                receive = station.get_receive_interface()
                print(type(receive).__name__, receive.is_connected(),
                      len(receive.get_sample().joints))
                station.disconnect()
                print(control.is_logged_in(), receive.is_connected())
            """)
        assert result.returncode == 0, result.stderr
        lines = [line for line in result.stdout.splitlines()
                 if not line.startswith(("Connected to ", "Disconnected from "))]
        refusal = "Remote command failed: !Login,13 (command: $Login,<redacted>)"
        assert lines == [
            "get_control_interface(self: _cell_station.CellStation) -> "
            "_cell_command_link.CellCommandLink",
            "get_receive_interface(self: _cell_station.CellStation) -> "
            "_cell_telemetry.EthernetReceiveInterface",
            f"RuntimeError None None {refusal}",
            "TypeError", "TypeError",
            f"ControllerError 13 $Login,<redacted> {refusal}",
            "CellCommandLink True 0",
            "EthernetReceiveInterface True 6", "False False"]

    def test_log_to_python_routes_every_copy_of_the_command_link(self, sim):
        # The station writes through its own copy of the command link; once routed, its
        # lines reach logging too, and nothing reaches the standard streams.
        result = run_python(f"""
            import logging, sys
            import _cell_command_link, _cell_telemetry
            from _cell_station import CellStation
            CellStation("127.0.0.1", {sim.command_port}, {sim.telemetry_port}).disconnect()
            sys.stdout.flush()
            print("-- routed")
            logging.basicConfig(level=logging.INFO, stream=sys.stdout,
                                format="%(name)s %(levelname)s %(message)s")
            _cell_command_link.log_to_python()
            with CellStation("127.0.0.1", {sim.command_port}, {sim.telemetry_port}):
                pass
            link = _cell_command_link.CellCommandLink()
            try:
                link.connect("a" * 70 + ".invalid", 1)  # refused by the resolver, locally
            except RuntimeError:
                pass
            del link
        """)
        assert result.returncode == 0, result.stderr
        endpoint = f"127.0.0.1:{sim.command_port}"
        before, routed = result.stdout.split("-- routed\n")
        assert before == f"Connected to {endpoint}\nDisconnected from {endpoint}\n"
        lines = routed.splitlines()
        assert lines[:2] == [f"epson_cell INFO Connected to {endpoint}",
                             f"epson_cell INFO Disconnected from {endpoint}"]
        assert len(lines) == 3 and lines[2].startswith(
            f"epson_cell ERROR Failed to resolve {'a' * 70}.invalid:1: ")
        assert result.stderr == ""


def _python311():
    candidates = sorted(glob.glob(os.path.expanduser("~/.pyenv/versions/3.11.*/bin/python3.11")))
    candidates += sorted(glob.glob("/root/.pyenv/versions/3.11.*/bin/python3.11"))
    return candidates[-1] if candidates else None


MODULES = ["_cell_command_link", "_cell_station", "_cell_telemetry", "_cell_simulator"]


class TestModuleFiles:
    @pytest.mark.parametrize("module", MODULES)
    def test_version_comes_from_the_package(self, module):
        pyproject = pathlib.Path(__file__).resolve().parents[2] / "pyproject.toml"
        version = tomllib.loads(pyproject.read_text())["project"]["version"]
        assert importlib.import_module(module).__version__ == version

    @pytest.mark.parametrize("module", MODULES)
    def test_only_the_entry_point_and_asios_thread_stack_are_exported(self, module):
        # Anything else in the dynamic symbol table could be merged with the other modules'
        # copies of the same code. Asio's per-thread stack of running io_contexts must be
        # merged, as unique objects: one module's code drives links that another's opened.
        nm = shutil.which("nm")
        assert nm, "nm (binutils) is needed to read the dynamic symbol table"
        path = importlib.util.find_spec(module).origin
        listing = subprocess.run([nm, "-D", "--defined-only", "-C", path], capture_output=True,
                                 text=True, check=True, timeout=60).stdout
        symbols = [line.split(maxsplit=2)[1:] for line in listing.splitlines()]
        assert ["T", f"PyInit_{module}"] in symbols
        shared = [(kind, name) for kind, name in symbols if name != f"PyInit_{module}"]
        thread_stack = "boost::asio::detail::call_stack<boost::asio::detail::thread_context, "
        assert any(name.startswith(thread_stack) for _, name in shared)
        for kind, name in shared:
            assert kind == "u", name
            assert name.removeprefix("guard variable for ").startswith((
                "boost::asio::detail::call_stack<",
                "boost::asio::detail::keyword_tss_ptr<boost::asio::detail::call_stack<")), name


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
        assert repr(sample) == f"TelemetrySample(joints={sample.joints!r}, " \
                               f"tcp_pose={sample.tcp_pose!r})"
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
