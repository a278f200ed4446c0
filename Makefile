# make demo / make test do all set-up: find Python 3.10, make .venv, build and
# install the project into it, then run. A second run reuses what is there and
# rebuilds only what changed.

PYTHON310 := $(shell for p in python3.10 "$$(pyenv root 2>/dev/null)"/versions/3.10*/bin/python3.10 \
                 "$$HOME"/.pyenv/versions/3.10*/bin/python3.10 /usr/bin/python3.10 /usr/local/bin/python3.10; do \
                 "$$p" -c 'import sys; assert sys.version_info[:2] == (3, 10)' >/dev/null 2>&1 && { echo "$$p"; break; }; done)
VENV := .venv
PY := $(VENV)/bin/python
BUILD_DEPS := scikit-build-core cmake ninja
# All the extension modules, from the one list of them.
MODULES := $(shell awk '/^[a-z]/ {printf "%s%s", sep, $$1; sep=";"}' src/python_api/modules.txt)
SOURCES := $(shell find src app -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.py' -o -name '*.pyi' -o -name '*.txt' -o -name py.typed \) -not -path '*/__pycache__/*') \
           CMakeLists.txt pyproject.toml

.PHONY: demo test build bench clean wheel-check sanitize clang-check browser

demo: $(VENV)/.installed
	$(PY) demo/demo.py

test: $(VENV)/.installed browser
	$(PY) -m pytest tests

# Debian's chromium, for the test that opens the local API's documentation page (playwright
# drives it; nothing is downloaded besides the Debian package). Installed as root (CI);
# elsewhere that one test is skipped until it is there.
browser:
	@command -v chromium >/dev/null || { test "$$(id -u)" = 0 && apt-get update -qq && \
		DEBIAN_FRONTEND=noninteractive apt-get install -y -qq chromium; } || \
		echo "chromium is not installed (needs root): the documentation page test will be skipped"

# matplotlib draws the README's plots (bench/plots.py); only the benchmarks need it.
bench: $(VENV)/.installed
	$(PY) -m pip install -q 'matplotlib>=3.7'
	$(PY) bench/run.py

build: $(VENV)/.installed

# The wheel as users get it (`pip wheel .`), installed alone into a fresh environment and called.
wheel-check:
	@test -n "$(PYTHON310)" || { echo "Python 3.10 not found (python3.10 on PATH or under pyenv)"; exit 1; }
	bash tests/wheel_roundtrip.sh $(PYTHON310)

$(VENV)/.tools:
	@test -n "$(PYTHON310)" || { echo "Python 3.10 not found (python3.10 on PATH or under pyenv)"; exit 1; }
	$(PYTHON310) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q $(BUILD_DEPS)
	touch $@

# Warnings are errors in our own builds; the build tree is kept in build/ so
# that a rebuild compiles only what changed.
$(VENV)/.installed: $(VENV)/.tools $(SOURCES)
	$(PY) -m pip install -q --no-build-isolation -Ccmake.define.ZENTAB_WERROR=ON -Ccmake.define.ZENTAB_MODULES='$(MODULES)' '.[test]'
	touch $@

# ---- Memory errors: the modules built with AddressSanitizer + UBSan, the tests run under them.
# Its own environment and build tree, so the normal build is left as it is.
ASAN_VENV := .venv-asan
# The interpreter is not instrumented, so the sanitizer runtime is preloaded (ASan first, and
# libstdc++ already there when ASan looks up the __cxa_throw it intercepts). PYTHONMALLOC=malloc
# hands every Python object to ASan's allocator: an object freed too early is then a freed block.
SANITIZE_ENV := LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
	ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 PYTHONMALLOC=malloc
SANITIZE_TESTS ?= tests

sanitize: $(ASAN_VENV)/.installed browser
	$(SANITIZE_ENV) $(ASAN_VENV)/bin/python -m pytest -p no:cacheprovider $(SANITIZE_TESTS)

$(ASAN_VENV)/.installed: $(SOURCES)
	@test -n "$(PYTHON310)" || { echo "Python 3.10 not found (python3.10 on PATH or under pyenv)"; exit 1; }
	test -x $(ASAN_VENV)/bin/python || $(PYTHON310) -m venv $(ASAN_VENV)
	$(ASAN_VENV)/bin/python -m pip install -q --upgrade pip $(BUILD_DEPS)
	$(ASAN_VENV)/bin/python -m pip install -q --no-build-isolation -Cbuild-dir=build/asan \
		-Ccmake.build-type=RelWithDebInfo -Ccmake.define.ZENTAB_SANITIZE=ON -Ccmake.define.ZENTAB_WERROR=ON '.[test]'
	touch $@

# ---- The other toolchain: clang++ with libc++ builds the four modules; they import and pass the
# contracts and module tests. The compiler is installed from Debian when missing (CI runs as root); 16 is
# the first libc++ with <source_location>.
CLANG_VENV := .venv-clang
CLANG_VERSION := 16
CLANG_PACKAGES := clang-$(CLANG_VERSION) libc++-$(CLANG_VERSION)-dev libc++abi-$(CLANG_VERSION)-dev
# The contracts, the module calls and the log reader (the leak loops and end-to-end runs are left out).
CLANG_TESTS ?= $(wildcard tests/test_contracts_*.py tests/test_coroutine_*.py tests/test_*_calls.py \
	tests/test_tidewell_status.py tests/test_tidewell_errors.py tests/test_tidewell_reports.py tests/test_tidewell_doubles.py \
	tests/test_*differential*.py tests/test_logs_generators.py tests/test_logs_recent.py tests/test_logs_module.py \
	tests/test_stubs.py)
MODULE_NAMES := zentab_api.python_api.sync.tidewell zentab_api.python_api.sync.parcelry \
	zentab_api.python_api.auth.local.keyfolio zentab_api.python_api.admin.logs

clang-check: $(CLANG_VENV)/.installed
	files=$$(cd /tmp && $(CURDIR)/$(CLANG_VENV)/bin/python -c 'import importlib, sys; \
		[print(importlib.import_module(name).__file__) for name in sys.argv[1:]]' $(MODULE_NAMES)) && \
	for f in $$files; do ldd $$f | grep 'libc++\.so' >/dev/null || { echo "$$f: not linked with libc++"; exit 1; }; done
	$(CLANG_VENV)/bin/python -m pytest -p no:cacheprovider $(CLANG_TESTS)

$(CLANG_VENV)/.installed: $(SOURCES)
	@test -n "$(PYTHON310)" || { echo "Python 3.10 not found (python3.10 on PATH or under pyenv)"; exit 1; }
	command -v clang++-$(CLANG_VERSION) >/dev/null && test -e /usr/lib/llvm-$(CLANG_VERSION)/include/c++/v1/coroutine || \
		{ apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $(CLANG_PACKAGES); }
	test -x $(CLANG_VENV)/bin/python || $(PYTHON310) -m venv $(CLANG_VENV)
	$(CLANG_VENV)/bin/python -m pip install -q --upgrade pip $(BUILD_DEPS)
	CXX=clang++-$(CLANG_VERSION) CXXFLAGS=-stdlib=libc++ LDFLAGS=-stdlib=libc++ $(CLANG_VENV)/bin/python -m pip install -q \
		--no-build-isolation -Cbuild-dir=build/clang -Ccmake.define.ZENTAB_WERROR=ON '.[test]'
	touch $@

clean:
	rm -rf $(VENV) $(ASAN_VENV) $(CLANG_VENV) build
