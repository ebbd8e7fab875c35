# make demo: install what is missing, build, run the main job.
# make test: install what is missing, build, run every C++ and Python test.

SHELL := /bin/bash
ROOT := $(abspath $(dir $(lastword $(MAKEFILE_LIST))))
VENV := $(ROOT)/.venv
BUILD := $(ROOT)/build/release
BUILD_ASAN := $(ROOT)/build/asan
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

# Python 3.12 comes from pyenv: its shim refuses to run while another version is global,
# so the interpreter is looked up directly.
PYENV_ROOT ?= $(shell pyenv root 2>/dev/null || echo $(HOME)/.pyenv)
PY312 ?= $(lastword $(sort $(wildcard $(PYENV_ROOT)/versions/3.12.*/bin/python3.12)))

APT_PACKAGES := build-essential libsnappy-dev libflatbuffers-dev flatbuffers-compiler libgtest-dev \
	libfmt-dev clang
PIP_PACKAGES := numpy 'pybind11>=3' pytest scikit-build-core cmake ninja

CMAKE := $(VENV)/bin/cmake
CONFIGURE = $(CMAKE) -S $(ROOT) -G Ninja -DPython_EXECUTABLE=$(VENV)/bin/python \
	-Dpybind11_DIR=$$($(VENV)/bin/python -m pybind11 --cmakedir)

.PHONY: all deps build test test-cpp test-python sanitize demo install clean

all: build

$(ROOT)/build/.apt-stamp:
	@missing=""; \
	for p in $(APT_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing system packages:$$missing"; \
	  SUDO=""; [ "$$(id -u)" -eq 0 ] || SUDO=sudo; \
	  $$SUDO apt-get update -qq && $$SUDO apt-get install -y -qq $$missing; \
	fi
	@mkdir -p $(ROOT)/build && touch $@

$(VENV)/.stamp:
	@if [ -z "$(PY312)" ] || ! "$(PY312)" -c 'import sys; assert sys.version_info[:2] == (3, 12)' 2>/dev/null; then \
	  echo "error: Python 3.12 was not found under $(PYENV_ROOT)/versions/3.12.*;" \
	       "install it with 'pyenv install 3.12' or pass PY312=/path/to/python3.12" >&2; exit 1; fi
	"$(PY312)" -m venv $(VENV)
	$(VENV)/bin/pip install -q --upgrade pip
	$(VENV)/bin/pip install -q $(PIP_PACKAGES)
	@touch $@

deps: $(ROOT)/build/.apt-stamp $(VENV)/.stamp

$(BUILD)/build.ninja: | deps
	$(CONFIGURE) -B $(BUILD) -DCMAKE_BUILD_TYPE=Release

build: deps $(BUILD)/build.ninja
	$(CMAKE) --build $(BUILD) -j $(JOBS)

test-cpp: build
	$(BUILD)/tests/nuvra_tests --gtest_brief=1

test-python: build
	cd $(ROOT) && PYTHONPATH=$(BUILD)/python $(VENV)/bin/python -m pytest -q tests/python

test: test-cpp test-python

$(BUILD_ASAN)/build.ninja: | deps
	$(CONFIGURE) -B $(BUILD_ASAN) -DCMAKE_BUILD_TYPE=Debug -DNUVRA_SANITIZE=ON -DNUVRA_PYTHON=OFF

# The C++ unit tests again, under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: deps $(BUILD_ASAN)/build.ninja
	$(CMAKE) --build $(BUILD_ASAN) -j $(JOBS) --target nuvra_tests
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  $(BUILD_ASAN)/tests/nuvra_tests --gtest_brief=1

demo: build
	cd $(ROOT) && PYTHONPATH=$(BUILD)/python $(VENV)/bin/python examples/demo.py

# Installs the nuvra package into the project's virtual environment.
install: deps
	$(VENV)/bin/pip install $(ROOT)

clean:
	rm -rf $(ROOT)/build
