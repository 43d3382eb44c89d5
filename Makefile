# make test   - create the virtual environment, build and install the package, run the tests
# make demo   - the same set-up, then run the demo session
# make bench  - the same set-up, then print the benchmark ratios
# make stubtest - the same set-up, then check the type stubs against the built modules
#                 and the examples with mypy --strict (also part of make test)
# make dev    - in-tree build for development (modules land in python/, use PYTHONPATH=python)
PY ?= python3
VENV ?= .venv
BIN := $(VENV)/bin
STAMP := $(VENV)/.deps-installed
PYTEST_ARGS ?=

.PHONY: all test demo bench build dev clean redis-server stubtest

all: test

$(STAMP): requirements-dev.txt pyproject.toml
	$(PY) -m venv $(VENV)
	$(BIN)/python -m pip install -q --upgrade pip
	$(BIN)/python -m pip install -q -r requirements-dev.txt
	touch $@

build: $(STAMP)
	$(BIN)/python -m pip install -q --no-build-isolation --no-deps --force-reinstall .

# The tests and the demo start private Redis servers: install Debian's package when missing.
redis-server:
	@command -v redis-server >/dev/null 2>&1 || { \
	    echo "== installing redis-server"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq redis-server >/dev/null; }

test: build redis-server
	cd tests && ../$(BIN)/python -m pytest -q $(PYTEST_ARGS)

demo: build redis-server
	$(BIN)/python -m kavrel_tools.demo

bench: build
	$(BIN)/python benchmarks/run.py

stubtest: build
	cd tests && ../$(BIN)/python -m pytest -q test_stubs.py

# In-tree development build. BUILD selects the build folder, TARGET one module (default all).
BUILD ?= build/dev
TARGET ?= all
dev: $(STAMP)
	$(BIN)/cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DKAVREL_INPLACE=ON \
	    -DPython_EXECUTABLE=$(abspath $(BIN)/python) >/dev/null
	$(BIN)/cmake --build $(BUILD) --target $(TARGET)

clean:
	rm -rf build python/kavrel_trader/**/*.so
