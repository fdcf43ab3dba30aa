#!/usr/bin/env bash
# Runs the Python tests against the freshly built modules.
set -uo pipefail
PY="$1"
MODULE_DIR="$2"
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

if ! compgen -G "$ROOT/tests/python/test_*.py" >/dev/null; then
    echo "pytest: no Python tests yet"
    exit 0
fi
PYTHONPATH="$MODULE_DIR${PYTHONPATH:+:$PYTHONPATH}" exec "$PY" -m pytest -q "$ROOT/tests/python"
