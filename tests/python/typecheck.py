"""One installed site and one way of running mypy and pyright, for the typing tests.

The site is laid out by the install rules the wheel uses (modules, stubs and the package), so
the checkers find the stubs where a user's checker finds them, not beside the sources."""

import json
import os
import pathlib
import re
import subprocess
import sys

import _cell_command_link

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(_cell_command_link.__file__).resolve().parents[1]


class Site:
    def __init__(self, root):
        self.root = root
        subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(root / "venv")],
                       check=True, timeout=60)
        self.python = str(root / "venv" / "bin" / "python")
        self.env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH")}
        purelib = subprocess.run(
            [self.python, "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"],
            check=True, capture_output=True, text=True, env=self.env).stdout.strip()
        subprocess.run(["cmake", "--install", str(BUILD), "--component", "python", "--prefix",
                        purelib], check=True, capture_output=True, timeout=60)

    def mypy(self, paths, strict=False):
        """(path, line) -> error text, and line -> revealed type (builtins. dropped)."""
        result = subprocess.run(
            [sys.executable, "-m", "mypy", *(["--strict"] if strict else []),
             "--python-executable", self.python, "--no-incremental", "--cache-dir", os.devnull,
             "--no-error-summary", "--hide-error-context", *paths],
            cwd=self.root, env=self.env, capture_output=True, text=True, timeout=300)
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

    def pyright(self, paths, strict=False):
        """As mypy(), from pyright's report."""
        config = self.root / f"pyright-{abs(hash(tuple(paths)))}.json"
        config.write_text(json.dumps(
            {"typeCheckingMode": "strict" if strict else "standard", "include": list(paths)}))
        result = subprocess.run(
            [sys.executable, "-m", "pyright", "--outputjson", "--pythonpath", self.python,
             "--project", str(config)], cwd=self.root,
            env=dict(self.env, PYRIGHT_PYTHON_IGNORE_WARNINGS="1"), capture_output=True,
            text=True, timeout=300)
        errors, revealed = {}, {}
        for diagnostic in json.loads(result.stdout)["generalDiagnostics"]:
            path = os.path.relpath(diagnostic["file"], self.root)
            number = diagnostic["range"]["start"]["line"] + 1
            if diagnostic["severity"] == "information":
                revealed[number] = re.match(r'Type of ".*" is "(.*)"$', diagnostic["message"])[1]
            else:
                errors[(path, number)] = diagnostic["message"]
        return errors, revealed


def marked_lines(script, marker):
    """1-based line number -> what follows the marker on that line."""
    return {number: line.split(marker, 1)[1].strip()
            for number, line in enumerate(script.splitlines(), 1) if marker in line}
