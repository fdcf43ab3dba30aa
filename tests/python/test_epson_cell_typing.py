"""epson_cell type-checks: its sources and the examples are clean under mypy --strict and
pyright's strict mode, and a user's mistakes (a wrong target type, a wrong keyword) are caught."""

import shutil

import pytest

from typecheck import ROOT, marked_lines

USER_SCRIPT = '''\
from collections.abc import Sequence

import epson_cell
from epson_cell import HERE, JA, XY, Point


def first(values: Sequence[float]) -> float:
    return values[0]


def use(cell: epson_cell.Cell) -> None:
    reveal_type(cell.go(XY(1, 2, 3, 4, 5, 6), speed=50))  # reveal: None
    reveal_type(cell.move(Point("P1"), till="Sw(3) = On"))  # reveal: bool
    reveal_type(cell.sample().pose.x)  # reveal: float
    reveal_type(cell.status().running)  # reveal: bool
    reveal_type(cell.sample().joints[0])  # reveal: float
    reveal_type(len(cell.pose()))  # reveal: int
    reveal_type(first(cell.sample().pose))  # reveal: float
    cell.go([300, 0, 400, 0, 0, 180])  # error: a list is not a target
    cell.go(HERE, speed_percent=50)  # error: the module's keyword, not the package's
    cell.move(JA(0, 0, 0, 0, 0, 0), deceleration=10)  # error: move has no deceleration
    cell.go("P1", speed=50.5)  # error: go's speed is a whole percentage
    cell.go(XY(1, 2, 3))  # error: six values
'''


@pytest.fixture(scope="module")
def site(typecheck_site):
    (typecheck_site.root / "app.py").write_text(USER_SCRIPT)
    # The sources are checked from a copy, so that the checkers take the modules' stubs from
    # the install, as a user's checker does, and not from python/ beside the package.
    for name, source in (("epson_cell", ROOT / "python" / "epson_cell"),
                         ("examples", ROOT / "examples")):
        shutil.copytree(source, typecheck_site.root / "sources" / name,
                        ignore=shutil.ignore_patterns("__pycache__"), dirs_exist_ok=True)
    return typecheck_site


@pytest.mark.parametrize("checker", ["mypy", "pyright"])
def test_strict_checkers_pass_the_package_and_catch_a_users_mistakes(site, checker):
    errors, revealed = getattr(site, checker)(
        ["sources/epson_cell", "sources/examples", "app.py"], strict=True)
    assert set(errors) == {("app.py", n) for n in marked_lines(USER_SCRIPT, "# error:")}, errors
    assert revealed == marked_lines(USER_SCRIPT, "# reveal:")
