#!/usr/bin/env bash
# Installs a wheel into a fresh CPython 3.12 venv with nothing else in it (no index, no source
# tree on the path) and runs the tool and an example against the simulator it ships.
set -euo pipefail
PY="$1"
WHEEL="$2"
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT

BASE="$("$PY" -c 'import sys; print(sys._base_executable)')"
"$BASE" -m venv "$WORK/venv"
"$WORK/venv/bin/python" -m pip install -q --no-index "$WHEEL"
cp "$ROOT"/examples/*.py "$WORK/"
cd "$WORK"
unset PYTHONPATH
"$WORK/venv/bin/epson-cell" --help >/dev/null
"$WORK/venv/bin/python" -m epson_cell --help >/dev/null
timeout 120 "$WORK/venv/bin/python" pick_and_place.py --time-scale 0.02
echo "wheel-test: $(basename "$WHEEL") installs alone and runs pick_and_place.py"
