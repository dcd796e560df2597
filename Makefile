# The two entry points of the README: `make demo` and `make test`.
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
STAMP := $(VENV)/.deps-stamp
DEV := build/dev

.PHONY: demo test install dev dev-test asan-test format clean

$(STAMP): pyproject.toml
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --upgrade pip
	$(PY) -m pip install "tomli; python_version<'3.11'"
	$(PY) -m pip install $$($(PY) tools/requirements.py build) cmake ninja
	$(PY) -m pip install ".[test,demo]" --no-build-isolation
	touch $(STAMP)

# Rebuilds the extension incrementally and installs it into the venv.
install: $(STAMP)
	$(PY) -m pip install . --no-build-isolation --no-deps --quiet

test: install
	cd tests && MPLBACKEND=Agg $(abspath $(PY)) -m pytest -q

demo: install
	$(PY) examples/demo.py

# Development build beside the sources: `make dev-test DEV=build/dev-mine`.
dev: $(STAMP)
	$(VENV)/bin/cmake -S . -B $(DEV) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir) -DPython_EXECUTABLE=$(abspath $(PY)) $(CMAKE_EXTRA)
	$(VENV)/bin/cmake --build $(DEV)

dev-test: dev
	cd tests && MPLBACKEND=Agg PYTHONPATH=$(abspath $(DEV))/pkg $(abspath $(PY)) -m pytest -q $(ARGS)

# The tests under AddressSanitizer and UndefinedBehaviorSanitizer. Unoptimised: the
# sanitizers then see every access as written, and it compiles in a third of the
# time that -O2 takes (the suite runs as fast). CRASH_SEEDS=N runs the crash tests
# on N seeds (TROV_CRASH_SEEDS); their children use the system allocator, so the
# sanitizer sees their Python objects freed.
CRASH_SEEDS ?= $(TROV_CRASH_SEEDS)
asan-test: $(STAMP)
	$(MAKE) dev DEV=build/asan CMAKE_EXTRA="-DTROV_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug"
	cd tests && MPLBACKEND=Agg PYTHONPATH=$(abspath build/asan)/pkg ASAN_OPTIONS=detect_leaks=0 \
	  $(if $(CRASH_SEEDS),TROV_CRASH_SEEDS=$(CRASH_SEEDS)) \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" $(abspath $(PY)) -m pytest -q -p no:cacheprovider $(ARGS)

# clang-format is pinned in the `dev` extra, so every developer formats alike.
format: $(STAMP)
	$(PY) -m pip install --quiet $$($(PY) tools/requirements.py extra dev)
	$(VENV)/bin/clang-format -i $$(find src -name '*.cpp' -o -name '*.h')

clean:
	rm -rf build
