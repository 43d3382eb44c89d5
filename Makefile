# make test   - create the virtual environment, build and install the package (gcc or the
#               default compiler, warnings as errors), run the tests in parallel
#               (PYTEST_WORKERS processes, each with its own Redis servers and agents)
# make demo   - the same set-up, then run the demo session
# make demo-futu - the same set-up, then the demo session against the Futu stand-in server
# make bench  - the same set-up, then print the benchmark ratios
# make soak   - the same set-up, then the QMT order soak (Redis and agent restarts; all counts 0)
# make stubtest - the same set-up, then check the type stubs against the built modules
#                 and the examples with mypy --strict (also part of make test)
# make dev    - in-tree build for development (modules land in python/, use PYTHONPATH=python)
# make fuzz   - the same set-up, then every fuzz target with FUZZ_EXAMPLES inputs (each in a child)
# make asan   - every module built by clang (warnings as errors) with AddressSanitizer and
#               UndefinedBehaviorSanitizer into build/asan, then the whole test suite and a
#               short fuzz run against that build
# make warnings - every module built with each of WARN_COMPILERS (gcc and clang), warnings
#               as errors
# make m32    - the engine headers compiled and checked as 32-bit code (g++ -m32)
PY ?= python3
VENV ?= .venv
BIN := $(VENV)/bin
STAMP := $(VENV)/.deps-installed
PYTEST_ARGS ?=
# The suite mostly waits (servers, agents, time-outs): more workers than cores pays. Six on
# two cores measured 80 s against 95-100 s for four and 92 s for eight. A worker that runs
# out of tests takes some from a busy one (--dist worksteal).
PYTEST_WORKERS ?= 6
# The package's own build treats compiler warnings as errors (OFF for a tolerant build).
WERROR ?= ON

.PHONY: all test demo demo-futu bench soak build dev clean redis-server stubtest fuzz asan warnings m32 clang

all: test

$(STAMP): requirements-dev.txt pyproject.toml
	$(PY) -m venv $(VENV)
	$(BIN)/python -m pip install -q --upgrade pip
	$(BIN)/python -m pip install -q -r requirements-dev.txt
	KAVREL_WERROR=$(WERROR) $(BIN)/python -m pip install -q --no-build-isolation --no-deps .
	$(BIN)/python -m pip install -q 'kavrel-native[qmt,futu,demo,test]'
	touch $@

build: $(STAMP)
	KAVREL_WERROR=$(WERROR) $(BIN)/python -m pip install -q --no-build-isolation --no-deps --force-reinstall .

# The tests and the demo start private Redis servers: install Debian's package when missing.
redis-server:
	@command -v redis-server >/dev/null 2>&1 || { \
	    echo "== installing redis-server"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq redis-server >/dev/null; }

test: build redis-server
	cd tests && ../$(BIN)/python -m pytest -q -n $(PYTEST_WORKERS) --dist worksteal $(PYTEST_ARGS)

demo: build redis-server
	$(BIN)/python -m kavrel_tools.demo

demo-futu: build
	$(BIN)/python -m kavrel_tools.demo --broker futu

bench: build
	$(BIN)/python benchmarks/run.py

soak: build redis-server
	$(BIN)/python benchmarks/soak_qmt.py

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

# ---------------------------------------------------------------- reliability
FUZZ_EXAMPLES ?= 100000
FUZZ_ARGS ?=
# Fuzz children running at once (the targets are independent: one per core).
FUZZ_JOBS ?= 2
fuzz: build
	cd tests && FUZZ_EXAMPLES=$(FUZZ_EXAMPLES) $(abspath $(BIN))/python -m fuzz --jobs $(FUZZ_JOBS) $(FUZZ_ARGS)

# The sanitizer build is clang's, unoptimised and with warnings as errors, so it is also the
# clang warnings check (make test's own build is the gcc one). The interpreter is not
# instrumented: the sanitizer runtime is preloaded (with the C++ runtime, whose exception
# functions it must find at start-up), leak reports are off (the interpreter keeps its
# objects until exit) and UBSan stops at its first report. The suite leaves out its short
# fuzz run: the fuzz run that follows runs the same targets with three times the inputs, and
# sends CPython's own small allocations through malloc, so a use of a freed Python object is
# seen too (the test suite keeps pymalloc: its allocation-size checks measure pymalloc's
# arenas). ASAN_CXX=g++ builds with gcc's sanitizers instead.
ASAN_BUILD ?= build/asan
ASAN_FUZZ_EXAMPLES ?= 300
# Sanitized code is several times slower, so its suite keeps four workers: six left a
# timing-bound server test short of its time-out.
ASAN_PYTEST_WORKERS ?= 4
ASAN_CXX ?= clang++
ASAN_RUNTIME = $$(case "$(ASAN_CXX)" in \
    clang*) $(ASAN_CXX) -print-file-name=libclang_rt.asan-$$(uname -m).so ;; \
    *) $(ASAN_CXX) -print-file-name=libasan.so ;; esac)
ASAN_ENV = LD_PRELOAD="$(ASAN_RUNTIME) $$(g++ -print-file-name=libstdc++.so)" \
    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    PYTHONPATH=$(abspath $(ASAN_BUILD))/site
asan: $(STAMP) redis-server $(if $(findstring clang,$(ASAN_CXX)),clang)
	$(BIN)/cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-O0 \
	    -DCMAKE_CXX_COMPILER=$(ASAN_CXX) -DKAVREL_WERROR=$(WERROR) -DKAVREL_SANITIZE=address,undefined \
	    -DPython_EXECUTABLE=$(abspath $(BIN)/python) >/dev/null
	$(BIN)/cmake --build $(ASAN_BUILD) -j2
	$(BIN)/cmake --install $(ASAN_BUILD) --prefix $(ASAN_BUILD)/site >/dev/null
	cd tests && $(ASAN_ENV) $(abspath $(BIN))/python -m pytest -q -p no:cacheprovider \
	    -n $(ASAN_PYTEST_WORKERS) --dist worksteal -k "not test_every_target_survives_a_short_run" $(PYTEST_ARGS)
	cd tests && $(ASAN_ENV) PYTHONMALLOC=malloc $(abspath $(BIN))/python -m fuzz --derandomize --together \
	    --jobs $(FUZZ_JOBS) --examples $(ASAN_FUZZ_EXAMPLES)

# Debian's clang and its sanitizer runtime when missing (for the warnings and sanitizer builds).
clang:
	@command -v clang++ >/dev/null 2>&1 && [ -f "$$(clang++ -print-file-name=libclang_rt.asan-$$(uname -m).so)" ] || { \
	    echo "== installing clang"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang libclang-rt-dev >/dev/null; }

# gcc builds optimised, since some of its warnings come from its optimiser's analyses;
# clang's warnings all come from its front end, so its build skips optimising.
WARN_COMPILERS ?= g++ clang++
warnings: $(STAMP) clang
	for cxx in $(WARN_COMPILERS); do \
	    case $$cxx in clang*) opt="-O0 -DNDEBUG" ;; *) opt="-O3 -DNDEBUG" ;; esac; \
	    $(BIN)/cmake -S . -B build/warn-$$cxx -G Ninja -DCMAKE_BUILD_TYPE=Release -DKAVREL_WERROR=ON \
	        "-DCMAKE_CXX_FLAGS_RELEASE=$$opt" \
	        -DCMAKE_CXX_COMPILER=$$cxx -DPython_EXECUTABLE=$(abspath $(BIN)/python) >/dev/null && \
	    $(BIN)/cmake --build build/warn-$$cxx -j2 || exit 1; \
	done

# The engine is pure C++: each header compiles alone as 32-bit code (long and pointers of
# 4 bytes, as on the deployment host), and the engine checks run as a 32-bit program, once
# with SSE2 arithmetic (what MSVC emits for 32-bit Windows) and once with x87 arithmetic
# (wider intermediates). Needs Debian's g++-multilib (installed when missing).
M32_CXXFLAGS = -m32 -std=c++17 -Wall -Wextra -Werror -O2 -Icpp
m32:
	@echo 'int main(){}' | $(CXX) -m32 -x c++ - -o /dev/null 2>/dev/null || { \
	    echo "== installing g++-multilib"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq g++-multilib >/dev/null; }
	mkdir -p build/m32
	for h in cpp/engine/*.hpp; do \
	    echo "#include \"engine/$$(basename $$h)\"" | $(CXX) $(M32_CXXFLAGS) -x c++ -c - -o /dev/null || exit 1; \
	done
	$(CXX) $(M32_CXXFLAGS) -msse2 -mfpmath=sse tests/native/engine_checks.cpp -o build/m32/engine_checks_sse2
	$(CXX) $(M32_CXXFLAGS) -mfpmath=387 tests/native/engine_checks.cpp -o build/m32/engine_checks_x87
	build/m32/engine_checks_sse2
	build/m32/engine_checks_x87
