# The two commands of the README:
#   make demo   runs a real optimisation (examples/quickstart.py)
#   make test   runs every test (C++ under CTest, Python under pytest)
# Both work on a fresh machine: they create .venv, install what they need from
# the package registries, and build the package.

SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
WERROR ?= OFF
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: demo test cxx-test py-test sanitize bench fuzz install gtest clean

demo: install
	$(PY) examples/quickstart.py

test: cxx-test py-test

$(PY):
	@python=$$(scripts/find_python.sh) && echo "using $$python" && "$$python" -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet "pytest>=8" mypy "cmake>=3.20" ninja "scikit-build-core>=0.10"

install: $(PY)
	$(PY) -m pip install --quiet .

gtest:
	@if [ ! -f /usr/include/gtest/gtest.h ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev cmake; \
	  else \
	    echo "error: GoogleTest is missing; install it with: sudo apt-get install -y libgtest-dev cmake" >&2; \
	    exit 1; \
	  fi; \
	fi

# $(1): build directory, $(2): extra CMake arguments
define cxx_build
	PATH=$(abspath $(VENV))/bin:$$PATH cmake -S . -B $(1) -G Ninja -DVORDAOPT_BUILD_TESTS=ON \
	  -DVORDAOPT_BUILD_BENCH=ON -DVORDAOPT_WERROR=$(WERROR) $(2)
	PATH=$(abspath $(VENV))/bin:$$PATH cmake --build $(1) -j $(JOBS)
	cd $(1) && PATH=$(abspath $(VENV))/bin:$$PATH ctest --output-on-failure -j $(JOBS)
endef

cxx-test: $(PY) gtest
	$(call cxx_build,build/cxx,)

# The C++ tests once more under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: $(PY) gtest
	$(call cxx_build,build/sanitize,-DCMAKE_BUILD_TYPE=Debug -DVORDAOPT_SANITIZE=address$(,)undefined)

py-test: install
	$(PY) -m pytest -q tests/python

# The benchmarks print their figures. Optuna, the comparison for the
# per-trial overhead, lives only in the benchmark's own environment.
BENCH_VENV := build/bench-venv
bench: install cxx-test
	build/cxx/bench_strategies
	$(PY) bench/parse_vs_json.py
	$(PY) bench/probe_throughput.py
	@test -x $(BENCH_VENV)/bin/python || "$$(scripts/find_python.sh)" -m venv $(BENCH_VENV)
	$(BENCH_VENV)/bin/python -m pip install --quiet optuna .
	$(BENCH_VENV)/bin/python bench/overhead_vs_optuna.py

clean:
	rm -rf build $(VENV)

, := ,
