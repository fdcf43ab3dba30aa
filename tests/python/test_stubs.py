"""The committed .pyi stubs must match what the built modules generate."""

import difflib
import os
import pathlib
import subprocess
import sys

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
