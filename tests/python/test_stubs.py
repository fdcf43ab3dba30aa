"""The committed .pyi stubs match what the built modules generate, and type checkers find
them where an install puts them."""

import difflib
import os
import subprocess
import sys

import pytest

import _cell_command_link
from typecheck import ROOT, marked_lines

MODULE_DIR = os.path.dirname(_cell_command_link.__file__)


def test_committed_stubs_are_current(tmp_path):
    result = subprocess.run(
        [sys.executable, str(ROOT / "scripts" / "generate_stubs.py"), MODULE_DIR, "-o",
         str(tmp_path)], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    generated = sorted(tmp_path.glob("*.pyi"))
    assert [p.name for p in generated] == sorted(p.name for p in (ROOT / "python").glob("*.pyi"))
    for fresh in generated:
        committed = (ROOT / "python" / fresh.name).read_text()
        diff = "".join(difflib.unified_diff(committed.splitlines(True),
                                            fresh.read_text().splitlines(True),
                                            f"python/{fresh.name}", "generated"))
        assert not diff, f"stale stub; run `make stubs`:\n{diff}"


# A user's script after `pip install .`: each marked line must be flagged, each reveal_type
# must show the type in the table, and nothing else may be reported.
USER_SCRIPT = '''\
import _cell_command_link
import _cell_simulator
import _cell_telemetry
from _cell_station import CellStation


def use(station: CellStation, sim: _cell_simulator.Simulator) -> None:
    control = station.get_control_interface()
    reveal_type(control)  # reveal: CellCommandLink
    reveal_type(control.get_state()["tcp_pose"])  # reveal: list[float]
    reveal_type(control.get_controller_status()["stat"])  # reveal: int
    reveal_type(station.get_receive_interface().get_sample().joints)  # reveal: list[float]
    control.go("P1", False, False, None, None, None, False, speed_percent=50)
    control.conect("127.0.0.1")  # error: misspelt method
    control.set_tool("1")  # error: wrong argument type
    control.go("P1")  # error: missing arguments
    try:
        with _cell_command_link.CellCommandLink() as link:
            link.connect("127.0.0.1", sim.command_port)
        with _cell_telemetry.EthernetReceiveInterface() as receive:
            receive.connect("127.0.0.1", sim.telemetry_port)
    except _cell_command_link.ControllerError as error:
        reveal_type(error.code)  # reveal: int
'''
REVEALED = {"mypy": {"CellCommandLink": "_cell_command_link.CellCommandLink"},
            "pyright": {}}


@pytest.fixture(scope="module")
def installed(typecheck_site):
    # The laid-out modules import without the build directory on the path.
    subprocess.run([typecheck_site.python, "-c", "import _cell_command_link, _cell_telemetry, "
                    "_cell_station, _cell_simulator"], check=True, env=typecheck_site.env,
                   cwd=typecheck_site.root, timeout=60)
    (typecheck_site.root / "stubs_app.py").write_text(USER_SCRIPT)
    return typecheck_site


@pytest.mark.parametrize("checker", ["mypy", "pyright"])
def test_type_checkers_resolve_the_installed_stubs(installed, checker):
    errors, revealed = getattr(installed, checker)(["stubs_app.py"])
    assert set(errors) == {("stubs_app.py", n) for n in marked_lines(USER_SCRIPT, "# error:")}, \
        errors
    assert "conect" in errors[min(errors)]
    assert revealed == {number: REVEALED[checker].get(shown, shown)
                        for number, shown in marked_lines(USER_SCRIPT, "# reveal:").items()}
