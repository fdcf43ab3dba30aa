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
# EPSON_PYTEST_SIGINT=ignore runs the suite as a background job or nohup would start it, with
# SIGINT ignored; tests that need Ctrl-C must pass either way (.ci/run uses it).
if [[ "${EPSON_PYTEST_SIGINT:-}" == ignore ]]; then
    trap '' INT
fi
PYTHONPATH="$MODULE_DIR${PYTHONPATH:+:$PYTHONPATH}" exec "$PY" -m pytest -q "$ROOT/tests/python"
