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

.PHONY: all bootstrap configure build test test-cpp test-python check demo clean format

all: build

bootstrap:
	@bash scripts/bootstrap.sh

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

check: test

demo: build
	@PYTHONPATH=$(BUILD)/python $(PY) examples/demo.py

format:
	@clang-format -i $$(git ls-files '*.cpp' '*.hpp')

clean:
	@rm -rf $(BUILD)
