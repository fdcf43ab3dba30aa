#!/usr/bin/env bash
# Prepares a fresh machine: Debian build dependencies and a .venv on CPython 3.12.
# Safe to run repeatedly; a second run changes nothing.
#   bootstrap.sh          everything `make test` and `make check` need
#   bootstrap.sh --build  only what building the wheel needs (`make wheel`): the compiler, CMake,
#                         Boost headers, Eigen and RE2, and requirements-build.txt
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="${ROOT}/.venv"
BUILD_ONLY=0
if [[ "${1:-}" == "--build" ]]; then
    BUILD_ONLY=1
fi

# What building needs. RE2: the simulator's reply rules match regular expressions in time
# linear in the line.
DEB_PACKAGES=(g++ make cmake ninja-build libboost-dev libeigen3-dev libre2-dev pkg-config)
REQUIREMENTS=("$ROOT/requirements-build.txt")
if ((!BUILD_ONLY)); then
    # The tests, benchmarks and development tools.
    DEB_PACKAGES+=(libgtest-dev libgmock-dev libbenchmark-dev)
    REQUIREMENTS+=("$ROOT/requirements-dev.txt")
    # clang provides libFuzzer and the sanitizer runtimes used by `make check`; Debian only
    # recommends the runtime package, which a --no-install-recommends install leaves out.
    DEB_PACKAGES+=(clang libclang-rt-14-dev)
    # pyright (the stubs test) runs on node; without one on PATH it would try to download one.
    DEB_PACKAGES+=(nodejs)
    # `make format` runs it on every C++ file.
    DEB_PACKAGES+=(clang-format)
    # A C++ test that overruns its time limit has every thread's stack printed by gdb.
    DEB_PACKAGES+=(gdb)
    # The view's browser test opens Rerun's web viewer in headless Chromium.
    DEB_PACKAGES+=(chromium)
fi

missing=()
for pkg in "${DEB_PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$pkg")
    fi
done
if ((${#missing[@]})); then
    if [[ $(id -u) -eq 0 ]]; then
        echo "bootstrap: installing ${missing[*]}"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq
        apt-get install -y -qq --no-install-recommends "${missing[@]}"
    else
        echo "bootstrap: missing Debian packages; run:" >&2
        echo "    sudo apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
fi

is_py312() { "$1" -c 'import sys; sys.exit(0 if sys.version_info[:2] == (3, 12) else 1)' 2>/dev/null; }

find_python312() {
    local candidate
    # A pyenv shim on PATH may exist without the version being active, so run it to be sure.
    for candidate in python3.12 python3; do
        if command -v "$candidate" >/dev/null && is_py312 "$candidate"; then
            command -v "$candidate"
            return 0
        fi
    done
    local roots=("${PYENV_ROOT:-}" "${HOME}/.pyenv" /root/.pyenv)
    for root in "${roots[@]}"; do
        [[ -n "$root" && -d "$root/versions" ]] || continue
        # Newest 3.12 patch release first.
        for candidate in $(ls -d "$root"/versions/3.12.* 2>/dev/null | sort -t. -k3,3nr); do
            if [[ -x "$candidate/bin/python3.12" ]] && is_py312 "$candidate/bin/python3.12"; then
                echo "$candidate/bin/python3.12"
                return 0
            fi
        done
    done
    return 1
}

if [[ ! -x "$VENV/bin/python" ]] || ! is_py312 "$VENV/bin/python"; then
    if ! PY312="$(find_python312)"; then
        echo "bootstrap: CPython 3.12 not found on PATH or under pyenv; install it (e.g. 'pyenv install 3.12')" >&2
        exit 1
    fi
    echo "bootstrap: creating .venv with $PY312"
    rm -rf "$VENV"
    "$PY312" -m venv "$VENV"
fi

# Install the pinned tools unless exactly these versions are present already.
if ! "$VENV/bin/python" - "${REQUIREMENTS[@]}" <<'PY' 2>/dev/null
import importlib.metadata as md, sys
for path in sys.argv[1:]:
    for line in open(path):
        line = line.split("#")[0].strip()
        if line:
            name, version = line.split("==")
            if md.version(name) != version:
                sys.exit(1)
PY
then
    echo "bootstrap: installing pinned Python tools into .venv"
    "$VENV/bin/python" -m pip install -q --upgrade pip
    "$VENV/bin/python" -m pip install -q $(printf -- '-r %s ' "${REQUIREMENTS[@]}")
fi
