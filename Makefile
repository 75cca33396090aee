# The two set-up commands: `make demo` runs the main job, `make test` the whole test suite.
# Both create the virtual environment with the newest Python on the machine and install the
# package into it; the CMake build directory (build/) persists, so later runs rebuild
# incrementally.

PYTHON ?= $(shell scripts/find-python.sh)
VENV ?= .venv
VPY := $(VENV)/bin/python
PIP := $(VPY) -m pip
SOURCES := $(shell find src stubs -type f) CMakeLists.txt pyproject.toml $(wildcard cmake/*)

.PHONY: demo test install system clean bench sanitize

$(VPY):
	$(PYTHON) -m venv $(VENV)
	$(PIP) install -q --upgrade pip

system:
	scripts/setup-system.sh

$(VENV)/.build-deps: $(VPY)
	$(PIP) install -q "scikit-build-core>=0.10" "numpy>=2" cmake ninja
	touch $@

$(VENV)/.installed: $(VENV)/.build-deps $(SOURCES) | system
	$(PIP) install -q --no-build-isolation ".[test]"
	touch $@

install: $(VENV)/.installed

test: install
	$(VPY) -m pytest -q -p no:cacheprovider tests

# The suite again, against modules built with AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: install
	scripts/sanitize-test.sh

# The demo's own dependencies (the `demo` extra) on top of the installed package.
$(VENV)/.demo-deps: $(VENV)/.installed
	$(PIP) install -q --no-build-isolation ".[demo]"
	touch $@

demo: $(VENV)/.demo-deps
	$(VPY) examples/demo.py

# Side-by-side benchmarks against NumPy and PyTorch (one thread each) in their own Python 3.11
# environment (scripts/bench-env.sh); writes bench/results/. OpenBLAS core-type overrides are
# dropped for this command alone. Options: make bench BENCH_ARGS="--filter matmul --quick".
bench: | system
	scripts/bench-env.sh >/dev/null
	env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE build/bench-venv/bin/python bench/run.py $(BENCH_ARGS)

clean:
	rm -rf build $(VENV)
