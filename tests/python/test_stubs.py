"""The committed .pyi stubs match what the built modules generate, and type checkers find
them where an install puts them."""

import difflib
import json
import os
import pathlib
import re
import subprocess
import sys

import pytest

import _cell_command_link

ROOT = pathlib.Path(__file__).resolve().parents[2]
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


def marked_lines(marker):
    """1-based line number -> what follows the marker on that line."""
    return {number: line.split(marker, 1)[1].strip()
            for number, line in enumerate(USER_SCRIPT.splitlines(), 1) if marker in line}


@pytest.fixture(scope="module")
def installed(tmp_path_factory):
    """A venv whose site-packages is laid out by the same install rules the wheel uses."""
    root = tmp_path_factory.mktemp("typecheck")
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(root / "venv")],
                   check=True, timeout=60)
    python = str(root / "venv" / "bin" / "python")
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH")}
    site = subprocess.run([python, "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"],
                          check=True, capture_output=True, text=True, env=env).stdout.strip()
    subprocess.run(["cmake", "--install", str(pathlib.Path(MODULE_DIR).parent), "--component",
                    "python", "--prefix", site], check=True, capture_output=True, timeout=60)
    # The laid-out modules import without the build directory on the path.
    subprocess.run([python, "-c", "import _cell_command_link, _cell_telemetry, _cell_station, "
                    "_cell_simulator"], check=True, env=env, cwd=root, timeout=60)
    (root / "app.py").write_text(USER_SCRIPT)
    return root, python, env


def run_mypy(root, python, env):
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--python-executable", python, "--no-incremental",
         "--cache-dir", os.devnull, "--no-error-summary", "--hide-error-context", "app.py"],
        cwd=root, env=env, capture_output=True, text=True, timeout=300)
    errors, revealed = {}, {}
    for line in result.stdout.splitlines():
        match = re.match(r"app\.py:(\d+): (error|note): (.*)", line)
        assert match, result.stdout + result.stderr
        number, kind, text = int(match[1]), match[2], match[3]
        if kind == "error":
            errors[number] = text
        elif text.startswith("Revealed type is "):
            revealed[number] = text.removeprefix("Revealed type is ").strip('"')
    return errors, revealed


def run_pyright(root, python, env):
    result = subprocess.run(
        [sys.executable, "-m", "pyright", "--outputjson", "--pythonpath", python, "app.py"],
        cwd=root, env=dict(env, PYRIGHT_PYTHON_IGNORE_WARNINGS="1"), capture_output=True,
        text=True, timeout=300)
    report = json.loads(result.stdout)
    errors, revealed = {}, {}
    for diagnostic in report["generalDiagnostics"]:
        number = diagnostic["range"]["start"]["line"] + 1
        if diagnostic["severity"] == "information":
            revealed[number] = re.match(r'Type of ".*" is "(.*)"$', diagnostic["message"])[1]
        else:
            errors[number] = diagnostic["message"]
    return errors, revealed


@pytest.mark.parametrize("checker", ["mypy", "pyright"])
def test_type_checkers_resolve_the_installed_stubs(installed, checker):
    errors, revealed = (run_mypy if checker == "mypy" else run_pyright)(*installed)
    assert set(errors) == set(marked_lines("# error:")), errors
    assert "conect" in errors[min(errors)]
    assert revealed == {number: REVEALED[checker].get(shown, shown)
                        for number, shown in marked_lines("# reveal:").items()}
