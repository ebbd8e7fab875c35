# make demo: install what is missing, build, run the main job.
# make test: install what is missing, build, run every C++ and Python test.
# make test-clang: the C++ tests built by clang.
# make fuzz: build the fuzz targets with clang and run each for FUZZ_SECONDS seconds.

SHELL := /bin/bash
ROOT := $(abspath $(dir $(lastword $(MAKEFILE_LIST))))
VENV := $(ROOT)/.venv
BUILD := $(ROOT)/build/release
BUILD_ASAN := $(ROOT)/build/asan
BUILD_FUZZ := $(ROOT)/build/fuzz
BUILD_CLANG := $(ROOT)/build/clang
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

# Python 3.12 comes from pyenv: its shim refuses to run while another version is global,
# so the interpreter is looked up directly.
PYENV_ROOT ?= $(shell pyenv root 2>/dev/null || echo $(HOME)/.pyenv)
PY312 ?= $(lastword $(sort $(wildcard $(PYENV_ROOT)/versions/3.12.*/bin/python3.12)))

APT_PACKAGES := build-essential libsnappy-dev libflatbuffers-dev flatbuffers-compiler libgtest-dev \
	libfmt-dev clang clang-14 libclang-rt-14-dev
PIP_PACKAGES := numpy 'pybind11>=3' pytest scikit-build-core cmake ninja

CMAKE := $(VENV)/bin/cmake
CONFIGURE = $(CMAKE) -S $(ROOT) -G Ninja -DPython_EXECUTABLE=$(VENV)/bin/python \
	-Dpybind11_DIR=$$($(VENV)/bin/python -m pybind11 --cmakedir)

.PHONY: all deps build test test-layers test-clang test-cpp test-python sanitize fuzz fuzz-build fuzz-seeds demo install clean

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

# Every include goes down the layers (tools/check_layers.py holds the table).
test-layers:
	python3 $(ROOT)/tools/check_layers.py $(ROOT)

test-cpp: build
	$(BUILD)/tests/nuvra_tests --gtest_brief=1

# The Python tests also use the test build of the module (simulated boards), staged apart.
test-python: build
	$(CMAKE) --build $(BUILD) -j $(JOBS) --target core_sim
	cd $(ROOT) && PYTHONPATH=$(BUILD)/python $(VENV)/bin/python -m pytest -q tests/python

test: test-layers test-cpp test-python

$(BUILD_ASAN)/build.ninja: | deps
	$(CONFIGURE) -B $(BUILD_ASAN) -DCMAKE_BUILD_TYPE=Debug -DNUVRA_SANITIZE=ON -DNUVRA_PYTHON=OFF

# The C++ unit tests again, under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: deps $(BUILD_ASAN)/build.ninja
	$(CMAKE) --build $(BUILD_ASAN) -j $(JOBS) --target nuvra_tests
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  $(BUILD_ASAN)/tests/nuvra_tests --gtest_brief=1

$(BUILD_CLANG)/build.ninja: | deps
	$(CONFIGURE) -B $(BUILD_CLANG) -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++

# The C++ unit tests and the module again, built by clang (its warnings differ from gcc's).
test-clang: deps $(BUILD_CLANG)/build.ninja
	$(CMAKE) --build $(BUILD_CLANG) -j $(JOBS) --target nuvra_tests core
	$(BUILD_CLANG)/tests/nuvra_tests --gtest_brief=1

# Fuzzing: every target runs FUZZ_SECONDS seconds from its committed seeds (fuzz/corpus/<target>)
# and what it found before (build/fuzz/corpus/<target>). An input that takes more than 5 s, more
# than 2 GB, leaks, trips a sanitizer or ends in anything but a std::exception with a message
# stops the run; it is kept as build/fuzz/findings/<target>-crash-... (or -timeout-, -leak-, -oom-)
# and replays with `build/fuzz/fuzz/fuzz_<target> <file>`.
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := model_buffer program_reader raw_words structured_map model_file
FUZZ_CXX ?= clang++-14
FUZZ_CC ?= clang-14

$(BUILD_FUZZ)/build.ninja: | deps
	$(CMAKE) -S $(ROOT) -G Ninja -B $(BUILD_FUZZ) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_C_COMPILER=$(FUZZ_CC) -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) \
	  -DNUVRA_FUZZ=ON -DNUVRA_PYTHON=OFF -DNUVRA_TESTS=OFF

fuzz-build: deps $(BUILD_FUZZ)/build.ninja
	$(CMAKE) --build $(BUILD_FUZZ) -j $(JOBS)

fuzz: fuzz-build
	@mkdir -p $(BUILD_FUZZ)/findings
	@set -e; for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(BUILD_FUZZ)/corpus/$$t; \
	  echo "fuzz_$$t: $(FUZZ_SECONDS) s"; \
	  UBSAN_OPTIONS=print_stacktrace=1 $(BUILD_FUZZ)/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -timeout=5 \
	    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix=$(BUILD_FUZZ)/findings/$$t- \
	    $(BUILD_FUZZ)/corpus/$$t $(ROOT)/fuzz/corpus/$$t 2>$(BUILD_FUZZ)/fuzz_$$t.log \
	    || { tail -n 60 $(BUILD_FUZZ)/fuzz_$$t.log; exit 1; }; \
	  grep -E '^stat::number_of_executed_units|^Done' $(BUILD_FUZZ)/fuzz_$$t.log || true; \
	done

# Writes the seed corpora of fuzz/corpus from models and programs the project makes.
fuzz-seeds: fuzz-build
	$(BUILD_FUZZ)/fuzz/make_seeds $(ROOT)/fuzz/corpus

# Builds only the module the demo imports.
demo: deps $(BUILD)/build.ninja
	$(CMAKE) --build $(BUILD) -j $(JOBS) --target core
	cd $(ROOT) && PYTHONPATH=$(BUILD)/python $(VENV)/bin/python examples/demo.py

# Installs the nuvra package into the project's virtual environment.
install: deps
	$(VENV)/bin/pip install $(ROOT)

clean:
	rm -rf $(ROOT)/build
