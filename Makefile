# Entry points: `make demo`, `make test`, `make check`. Each does its own set-up.
SHELL := /bin/bash
ROOT := $(abspath .)
VENV := $(ROOT)/.venv
PY := $(VENV)/bin/python
BUILD ?= $(ROOT)/build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)
# CI builds with warnings as errors.
WERROR ?= $(if $(CI),ON,OFF)

.PHONY: all bootstrap bootstrap-build configure build test test-cpp test-python check check-asan check-tsan soak soak-short demo clean format stubs

all: build

bootstrap:
	@bash scripts/bootstrap.sh

# Only what building the wheel needs: no test, lint or fuzzing tools.
bootstrap-build:
	@bash scripts/bootstrap.sh --build

configure: bootstrap
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DEPSON_WERROR=$(WERROR) \
	    -DPython_EXECUTABLE=$(PY) -Dpybind11_DIR="$$($(PY) -m pybind11 --cmakedir)" >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test-cpp: build
	@ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) --timeout 180

test-python: build
	@bash scripts/run_pytest.sh "$(PY)" "$(BUILD)/python"

test: test-cpp test-python

# The C++ suite again under AddressSanitizer+UndefinedBehaviorSanitizer and ThreadSanitizer.
SAN_ENV := ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
define sanitized_suite
	@cmake -S . -B $(ROOT)/build-$(1) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DEPSON_SANITIZE=$(2) \
	    -DEPSON_WERROR=$(WERROR) -DEPSON_BUILD_PYTHON=OFF >/dev/null
	@cmake --build $(ROOT)/build-$(1) -j $(JOBS)
	@$(SAN_ENV) ctest --test-dir $(ROOT)/build-$(1) --output-on-failure -j $(JOBS) --timeout 300
endef

check-asan: bootstrap
	$(call sanitized_suite,asan,address)

check-tsan: bootstrap
	$(call sanitized_suite,tsan,thread)

# Fault soak against the simulator: `make soak SOAK_SECONDS=600`; `make check` runs a short one.
SOAK_SECONDS ?= 300
soak: build
	@PYTHONPATH=$(BUILD)/python $(PY) tests/soak/soak.py --seconds $(SOAK_SECONDS)

soak-short: build
	@PYTHONPATH=$(BUILD)/python $(PY) tests/soak/soak.py --seconds 60

# The command link's randomized fault run, longer than in make test and with a new seed each
# time (printed; EPSON_FAULT_SEED=<seed> reproduces it): `make fault-run FAULT_SECONDS=600`.
FAULT_SECONDS ?= 150
.PHONY: fault-run
fault-run: build
	@EPSON_FAULT_SECONDS=$(FAULT_SECONDS) EPSON_FAULT_SEED=$${EPSON_FAULT_SEED:-$$(date +%s)} \
	    $(BUILD)/tests/cpp/command/command_tests --gtest_filter='LinkUnderFaults.*'

# libFuzzer harnesses (fuzz/, scripts/fuzz.sh): a short run in check, a longer one on demand.
# FUZZ_CHECK_SECONDS keeps check's share, build included, within about two minutes.
FUZZ_CHECK_SECONDS ?= 15
FUZZ_SECONDS ?= 300
.PHONY: fuzz fuzz-check

fuzz-check: bootstrap
	@bash scripts/fuzz.sh $(FUZZ_CHECK_SECONDS)

fuzz: bootstrap
	@bash scripts/fuzz.sh $(FUZZ_SECONDS)

check: test check-asan check-tsan soak-short fault-run fuzz-check wheel-test

# The wheel (`pip install` without a compiler): built with the same CMake project through
# scikit-build-core, then repaired by auditwheel to a manylinux tag in $(WHEELHOUSE).
WHEELHOUSE ?= $(BUILD)/wheelhouse
.PHONY: wheel wheel-test
wheel: bootstrap-build
	@rm -rf $(BUILD)/dist $(WHEELHOUSE)
	@$(PY) -m pip wheel -q --no-build-isolation --no-deps -w $(BUILD)/dist $(ROOT)
	@PATH="$(VENV)/bin:$$PATH" $(PY) -m auditwheel repair -w $(WHEELHOUSE) $(BUILD)/dist/*.whl
	@ls $(WHEELHOUSE)/*.whl

# Installs the repaired wheel into a fresh venv, offline and alone, and runs an example.
wheel-test: wheel
	@bash scripts/wheel_test.sh "$(PY)" $(WHEELHOUSE)/*.whl

# `make demo VIEW=web` (or native) shows the session in Rerun; RRD=run.rrd records it.
demo: build
	@PYTHONPATH=$(BUILD)/python $(PY) examples/demo.py $(if $(VIEW),--view $(VIEW)) \
	    $(if $(RRD),--rrd $(RRD))

stubs: build
	@$(PY) scripts/generate_stubs.py $(BUILD)/python -o python

# Benchmarks (bench/README.md): a Release build of their own, then all six, a few minutes.
BENCH_BUILD ?= $(ROOT)/build-bench
.PHONY: bench
bench: bootstrap
	@cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DEPSON_BUILD_BENCH=ON \
	    -DEPSON_BUILD_TESTS=OFF -DPython_EXECUTABLE=$(PY) \
	    -Dpybind11_DIR="$$($(PY) -m pybind11 --cmakedir)" >/dev/null
	@cmake --build $(BENCH_BUILD) -j $(JOBS)
	@EPSON_BENCH_BUILD=$(BENCH_BUILD) $(PY) bench/run.py

format:
	@clang-format -i $$(git ls-files '*.cpp' '*.hpp')

clean:
	@rm -rf $(BUILD) $(ROOT)/build-asan $(ROOT)/build-tsan $(ROOT)/build-bench $(ROOT)/build-fuzz
