"""epson_cell type-checks: its sources and the examples are clean under mypy --strict and
pyright's strict mode, and a user's mistakes (a wrong target type, a wrong keyword) are caught."""

import json
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

import _cell_command_link

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(_cell_command_link.__file__).resolve().parents[1]

USER_SCRIPT = '''\
import epson_cell
from epson_cell import HERE, JA, XY, Point


def use(cell: epson_cell.Cell) -> None:
    reveal_type(cell.go(XY(1, 2, 3, 4, 5, 6), speed=50))  # reveal: None
    reveal_type(cell.move(Point("P1"), till="Sw(3) = On"))  # reveal: bool
    reveal_type(cell.sample().pose.x)  # reveal: float
    reveal_type(cell.status().running)  # reveal: bool
    cell.go([300, 0, 400, 0, 0, 180])  # error: a list is not a target
    cell.go(HERE, speed_percent=50)  # error: the module's keyword, not the package's
    cell.move(JA(0, 0, 0, 0, 0, 0), deceleration=10)  # error: move has no deceleration
    cell.go("P1", speed=50.5)  # error: go's speed is a whole percentage
    cell.go(XY(1, 2, 3))  # error: six values
'''


def marked(marker):
    return {n: line.split(marker, 1)[1].strip()
            for n, line in enumerate(USER_SCRIPT.splitlines(), 1) if marker in line}


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    """A venv laid out by the install rules the wheel uses: modules, stubs and the package."""
    root = tmp_path_factory.mktemp("epson_cell_typing")
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(root / "venv")],
                   check=True, timeout=60)
    python = str(root / "venv" / "bin" / "python")
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH")}
    purelib = subprocess.run(
        [python, "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"], check=True,
        capture_output=True, text=True, env=env).stdout.strip()
    subprocess.run(["cmake", "--install", str(BUILD), "--component", "python", "--prefix",
                    purelib], check=True, capture_output=True, timeout=60)
    (root / "app.py").write_text(USER_SCRIPT)
    # The sources are checked from a copy, so that the checkers take the modules' stubs from
    # the install, as a user's checker does, and not from python/ beside the package.
    shutil.copytree(ROOT / "python" / "epson_cell", root / "sources" / "epson_cell",
                    ignore=shutil.ignore_patterns("__pycache__"))
    shutil.copytree(ROOT / "examples", root / "sources" / "examples",
                    ignore=shutil.ignore_patterns("__pycache__"))
    return root, python, env


def run_mypy(root, python, env):
    """(file, line) -> error text and app.py line -> revealed type."""
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--python-executable", python,
         "--no-incremental", "--cache-dir", os.devnull, "--no-error-summary",
         "--hide-error-context", "sources/epson_cell", "sources/examples", "app.py"],
        cwd=root, env=env, capture_output=True, text=True, timeout=300)
    errors, revealed = {}, {}
    for line in result.stdout.splitlines():
        match = re.match(r"(.+?):(\d+): (error|note): (.*)", line)
        assert match, result.stdout + result.stderr
        path, number, kind, text = match[1], int(match[2]), match[3], match[4]
        if kind == "error":
            errors[(path, number)] = text
        elif text.startswith("Revealed type is "):
            revealed[number] = text.removeprefix("Revealed type is ").strip('"').replace(
                "builtins.", "")
    return errors, revealed


def run_pyright(root, python, env):
    (root / "pyrightconfig.json").write_text(json.dumps(
        {"typeCheckingMode": "strict", "include": ["sources", "app.py"]}))
    result = subprocess.run(
        [sys.executable, "-m", "pyright", "--outputjson", "--pythonpath", python], cwd=root,
        env=dict(env, PYRIGHT_PYTHON_IGNORE_WARNINGS="1"), capture_output=True, text=True,
        timeout=300)
    errors, revealed = {}, {}
    for diagnostic in json.loads(result.stdout)["generalDiagnostics"]:
        path = os.path.relpath(diagnostic["file"], root)
        number = diagnostic["range"]["start"]["line"] + 1
        if diagnostic["severity"] == "information":
            revealed[number] = re.match(r'Type of ".*" is "(.*)"$', diagnostic["message"])[1]
        else:
            errors[(path, number)] = diagnostic["message"]
    return errors, revealed


@pytest.mark.parametrize("checker", [run_mypy, run_pyright], ids=["mypy", "pyright"])
def test_strict_checkers_pass_the_package_and_catch_a_users_mistakes(site, checker):
    errors, revealed = checker(*site)
    assert set(errors) == {("app.py", n) for n in marked("# error:")}, errors
    assert revealed == marked("# reveal:")
